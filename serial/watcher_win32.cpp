// The port watcher on Windows: nothing to wait on yet, so fd() is -1 and
// the list changes only when it is taken again (Refresh).

#include "watcher.h"

namespace vtrl::serial {

struct PortWatcher::Impl {
    std::unique_ptr<DeviceDatabase> database;
    std::vector<PortEntry> ports;
    std::string note = "Ports plugged in or pulled out are seen only when the list is taken again";
};

PortWatcher::PortWatcher() : PortWatcher(SystemDeviceDatabase(), true) {}

PortWatcher::PortWatcher(std::unique_ptr<DeviceDatabase> database, bool)
    : d_(std::make_unique<Impl>()) {
    d_->database = std::move(database);
    d_->ports = ListPorts(d_->database.get());
}

PortWatcher::~PortWatcher() = default;

int PortWatcher::fd() const { return -1; }

const std::string& PortWatcher::note() const { return d_->note; }

PortWatcher::Changes PortWatcher::Take() { return {}; }

PortWatcher::Changes PortWatcher::Refresh() {
    std::vector<PortEntry> now = ListPorts(d_->database.get());
    const auto listedIn = [](const std::vector<PortEntry>& list, const PortEntry& entry) {
        for (const PortEntry& e : list)
            if (e.listed() && e.port == entry.port) return true;
        return false;
    };
    Changes changes;
    for (const PortEntry& e : now)
        if (e.listed() && !listedIn(d_->ports, e)) changes.came.push_back(e);
    for (const PortEntry& e : d_->ports)
        if (e.listed() && !listedIn(now, e)) changes.went.push_back(e);
    d_->ports = std::move(now);
    return changes;
}

const std::vector<PortEntry>& PortWatcher::ports() const { return d_->ports; }

}  // namespace vtrl::serial
