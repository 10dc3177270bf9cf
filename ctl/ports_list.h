#pragma once
// The port list as vtrlctl ports prints it, shared by the list and its watch.

#include "ports.h"

#include <QJsonObject>
#include <QTextStream>
#include <QString>

#include <functional>

namespace vtrl::ctl {

QString EntryState(serial::PortEntry::State state);
// Every field the list has about a port; identity fields only where known.
QJsonObject EntryJson(const serial::PortEntry& e);
// "COM Port 33 (/dev/ttyUSB0)  free  FT232R USB UART, FTDI, 0403:6001, serial A1",
// with the reason for a port that cannot be had and the by-id path below.
QString EntryLines(const serial::PortEntry& e, const QString& state, int width, const QString& lead = QString());

// Whether ports plugged in later are seen (ports --watch, line --all, line
// --port PATTERN); not on Windows.
bool PortsFollowed();
// Whether a device path names a port; on Windows only COM numbers do.
bool PathsNamePorts();

// ports --watch: one line for each port that comes or goes, until a stop
// request (ports_watch_posix.cpp). Where ports that come cannot be followed
// (Windows: ports_watch_win32.cpp) it says so and returns kExitUsage.
int WatchPorts(bool json, QTextStream& out, const std::function<int(int, const QString&)>& error,
               const std::function<void(const QString&)>& progress);

}  // namespace vtrl::ctl
