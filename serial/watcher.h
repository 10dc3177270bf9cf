#pragma once
// Adapters plugged in and pulled out while the program runs. On Windows
// nothing is watched yet: fd() is -1 and only Refresh() changes the list.
//
// One file descriptor becomes readable when the port list may have changed:
// the device manager's events for terminals (libudev's monitor), the folders
// of the VTRLCFG_PORTS paths (a symbolic link that appears or goes), and the
// lock files' folder (another program taking or giving back a port). Nothing
// is polled: wait for the descriptor to be readable (poll, or a read-side
// QSocketNotifier) and then call Take().
//
// Without a device manager (a container has no udevd) the device nodes in
// /dev are watched instead, and note() says so.

#include <memory>
#include <string>
#include <vector>

#include "ports.h"

namespace vtrl::serial {

class PortWatcher {
public:
    // Lists the ports and starts watching the system's device database.
    PortWatcher();
    // `database` instead of the system's (null: probe by opening), and the
    // device manager's events only when `deviceEvents`.
    PortWatcher(std::unique_ptr<DeviceDatabase> database, bool deviceEvents);
    ~PortWatcher();
    PortWatcher(const PortWatcher&) = delete;
    PortWatcher& operator=(const PortWatcher&) = delete;

    // Readable when something may have changed; -1 when nothing can be
    // watched (then only lists taken by hand change).
    int fd() const;
    // What is not watched and why, for the operator; "" when everything is.
    const std::string& note() const;

    struct Changes {
        std::vector<PortEntry> came;  // listed now and not before
        std::vector<PortEntry> went;  // listed before and not now
        bool any() const { return !came.empty() || !went.empty(); }
    };
    // Takes what the descriptor holds; when any of it concerns ports, lists
    // them again. Paths registered since the last call are watched from now.
    // Never blocks.
    Changes Take();
    // Lists again now, whatever the descriptor holds.
    Changes Refresh();
    // The list as of the last Take, Refresh or construction.
    const std::vector<PortEntry>& ports() const;

private:
    struct Impl;
    std::unique_ptr<Impl> d_;
};

}  // namespace vtrl::serial
