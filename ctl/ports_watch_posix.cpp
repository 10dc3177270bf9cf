#include "ctl/command.h"
#include "ctl/ports_list.h"
#include "ctl/stop.h"

#include "watcher.h"

#include <QDateTime>
#include <QJsonDocument>

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace vtrl::ctl {

bool PortsFollowed() { return true; }

bool PathsNamePorts() { return true; }

int WatchPorts(bool json, QTextStream& out_, const std::function<int(int, const QString&)>& Error,
               const std::function<void(const QString&)>& Progress)
{
    if (StopSignalsWanted())
        stop::Catch();
    serial::PortWatcher watcher;
    if (watcher.fd() < 0)
        return Error(kExitPort, QStringLiteral("cannot watch the ports: %1").arg(Text(watcher.note())));
    if (!watcher.note().empty())
        Progress(QStringLiteral("note: ") + Text(watcher.note()));
    const auto say = [&](const char* event, const serial::PortEntry& e, const QString& state) {
        const QDateTime now = QDateTime::currentDateTime();
        if (json) {
            QJsonObject o = EntryJson(e);
            o[QStringLiteral("event")] = QLatin1String(event);
            o[QStringLiteral("time")] = now.toUTC().toString(Qt::ISODateWithMs);
            o[QStringLiteral("state")] = state;
            out_ << QJsonDocument(o).toJson(QJsonDocument::Compact) << '\n';
        } else {
            out_ << EntryLines(e, state, 26, now.toString(QStringLiteral("HH:mm:ss  ")) + QLatin1String(event) + QStringLiteral("  "));
        }
    };
    for (const serial::PortEntry& e : watcher.ports())
        if (e.listed())
            say("here", e, EntryState(e.state));
    out_.flush();
    while (out_.status() == QTextStream::Ok) {
        pollfd fds[2] = {{watcher.fd(), POLLIN, 0}, {stop::WakeFd(), POLLIN, 0}};
        const int n = ::poll(fds, fds[1].fd >= 0 ? 2 : 1, -1);
        if (stop::Requested() != 0)
            return kExitDone;
        if (n < 0 && errno != EINTR)
            return Error(kExitFailure, QStringLiteral("cannot wait for the ports: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
        if (n <= 0 || fds[0].revents == 0)
            continue;
        const serial::PortWatcher::Changes changes = watcher.Take();
        // A port that went may still be there, taken by another program.
        for (const serial::PortEntry& e : changes.went) {
            const auto& now = watcher.ports();
            const auto still = std::find_if(now.begin(), now.end(),
                                            [&](const serial::PortEntry& p) { return p.port == e.port && p.device == e.device; });
            say("went", still != now.end() ? *still : e, still != now.end() ? EntryState(still->state) : QStringLiteral("gone"));
        }
        for (const serial::PortEntry& e : changes.came)
            say("came", e, EntryState(e.state));
        out_.flush();
    }
    return kExitFailure;
}

}  // namespace vtrl::ctl
