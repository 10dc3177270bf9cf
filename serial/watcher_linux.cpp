#include "watcher.h"

#include <libudev.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <map>
#include <set>
#include <tuple>

#include "holders.h"
#include "portnames.h"

namespace vtrl::serial {
namespace {

// Names coming and going only: opening and closing a device in a watched
// folder (as listing does, probing a pseudo-terminal) must not wake us.
constexpr std::uint32_t kFolderEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string Name(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Two entries are the same listed port when the number names the same device,
// and the same adapter on it.
auto Key(const PortEntry& e) { return std::tie(e.port, e.device, e.identity.serial, e.identity.byIdPath); }

bool Contains(const std::vector<PortEntry>& list, const PortEntry& entry) {
    for (const PortEntry& e : list)
        if (e.listed() && Key(e) == Key(entry)) return true;
    return false;
}

}  // namespace

struct PortWatcher::Impl {
    std::unique_ptr<DeviceDatabase> database;
    std::vector<PortEntry> ports;
    Fd epoll{::epoll_create1(EPOLL_CLOEXEC)};
    Fd inotify{::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)};
    udev* udevContext = nullptr;
    udev_monitor* monitor = nullptr;
    // Watched folders and, per folder, what in it matters.
    struct Folder {
        std::string path;
        std::set<std::string> names;  // registered paths' names
        bool locks = false;           // LCK.. files
        bool devices = false;         // the table's device nodes
    };
    std::map<int, Folder> folders;  // by watch descriptor
    std::set<std::string> unwatchable;
    std::size_t registered = 0;  // registered paths as of the last look
    std::string deviceNote;
    std::string fullNote;

    ~Impl() {
        if (monitor) ::udev_monitor_unref(monitor);
        if (udevContext) ::udev_unref(udevContext);
    }

    void Add(int fd) {
        if (fd < 0 || epoll.get() < 0) return;
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = fd;
        ::epoll_ctl(epoll.get(), EPOLL_CTL_ADD, fd, &event);
    }

    Folder* WatchFolder(const std::string& path) {
        if (inotify.get() < 0) return nullptr;
        const int wd = ::inotify_add_watch(inotify.get(), path.c_str(), kFolderEvents | IN_ONLYDIR);
        if (wd < 0) {
            unwatchable.insert(path);
            return nullptr;
        }
        unwatchable.erase(path);
        Folder& folder = folders[wd];
        folder.path = path;
        return &folder;
    }

    void StartDeviceEvents() {
        // Without the device manager running the monitor opens but never
        // hears anything; the nodes in /dev are the next best thing.
        if (::access("/run/udev/control", F_OK) == 0) {
            udevContext = ::udev_new();
            if (udevContext) monitor = ::udev_monitor_new_from_netlink(udevContext, "udev");
            if (monitor && ::udev_monitor_filter_add_match_subsystem_devtype(monitor, "tty", nullptr) >= 0 &&
                ::udev_monitor_enable_receiving(monitor) >= 0) {
                Add(::udev_monitor_get_fd(monitor));
                return;
            }
            if (monitor) ::udev_monitor_unref(monitor);
            monitor = nullptr;
        }
        if (Folder* dev = WatchFolder("/dev")) {
            dev->devices = true;
            deviceNote = "No device manager (udevd) is running: adapters are seen by their nodes in /dev, "
                         "without their names";
        } else {
            deviceNote = "No device manager (udevd) is running and /dev cannot be watched: "
                         "adapters plugged in later are not seen";
        }
    }

    // Watches the folders of registered paths and of the lock files.
    void WatchFolders() {
        registered = 0;
        const std::string locks = LockDirectory();
        if (!locks.empty())
            if (Folder* f = WatchFolder(locks)) f->locks = true;
        for (std::uint32_t port = kFirstRegisteredPort; port <= kLastPort; ++port) {
            const std::string path = PortDevicePath(port);
            if (path.empty()) break;
            ++registered;
            if (Folder* f = WatchFolder(FolderOf(path))) f->names.insert(Name(path));
        }
    }

    // Reads every pending inotify event; true when one concerns ports.
    bool DrainFolders() {
        bool relevant = false;
        alignas(inotify_event) std::array<char, 8192> buffer;
        for (;;) {
            const ssize_t n = ::read(inotify.get(), buffer.data(), buffer.size());
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer.data() + at);
                const ssize_t size = static_cast<ssize_t>(sizeof(inotify_event) + event->len);
                if (at + size > n) break;
                at += size;
                if (event->mask & IN_Q_OVERFLOW) {
                    relevant = true;
                    continue;
                }
                const auto folder = folders.find(event->wd);
                if (folder == folders.end()) continue;
                if (event->mask & IN_IGNORED) {  // the folder itself went
                    unwatchable.insert(folder->second.path);
                    folders.erase(folder);
                    relevant = true;
                    continue;
                }
                // The name is NUL-padded within its length.
                const std::string name(event->name, ::strnlen(event->name, event->len));
                const Folder& f = folder->second;
                if (f.names.count(name) || (f.locks && name.rfind("LCK..", 0) == 0) ||
                    (f.devices && TablePortNumber("/dev/" + name) != 0))
                    relevant = true;
            }
        }
        return relevant;
    }

    bool DrainDeviceEvents() {
        if (!monitor) return false;
        bool any = false;
        pollfd p{::udev_monitor_get_fd(monitor), POLLIN, 0};
        while (::poll(&p, 1, 0) > 0 && (p.revents & POLLIN)) {
            udev_device* device = ::udev_monitor_receive_device(monitor);
            if (!device) break;
            ::udev_device_unref(device);
            any = true;
        }
        return any;
    }

    Changes Relist() {
        std::vector<PortEntry> now = ListPorts(database.get());
        Changes changes;
        for (const PortEntry& e : now)
            if (e.listed() && !Contains(ports, e)) changes.came.push_back(e);
        for (const PortEntry& e : ports)
            if (e.listed() && !Contains(now, e)) changes.went.push_back(e);
        ports = std::move(now);
        return changes;
    }

    void UpdateNote() {
        fullNote = deviceNote;
        for (const std::string& folder : unwatchable) {
            if (!fullNote.empty()) fullNote += "; ";
            fullNote += "not watched: " + folder;
        }
    }
};

PortWatcher::PortWatcher() : PortWatcher(SystemDeviceDatabase(), true) {}

PortWatcher::PortWatcher(std::unique_ptr<DeviceDatabase> database, bool deviceEvents)
    : d_(std::make_unique<Impl>()) {
    d_->database = std::move(database);
    d_->Add(d_->inotify.get());
    if (deviceEvents) d_->StartDeviceEvents();
    d_->WatchFolders();
    d_->UpdateNote();
    // Listed after the watches are in place, so that nothing falls between.
    d_->ports = ListPorts(d_->database.get());
}

PortWatcher::~PortWatcher() = default;

int PortWatcher::fd() const { return d_->epoll.get(); }

const std::string& PortWatcher::note() const { return d_->fullNote; }

PortWatcher::Changes PortWatcher::Take() {
    const std::size_t registered = d_->registered;
    d_->WatchFolders();
    const bool newPaths = d_->registered != registered;
    // Both drained whatever the first says: the descriptor stays readable
    // while either has something.
    const bool folders = d_->DrainFolders();
    const bool devices = d_->DrainDeviceEvents();
    d_->UpdateNote();
    if (!folders && !devices && !newPaths) return {};
    return d_->Relist();
}

PortWatcher::Changes PortWatcher::Refresh() {
    d_->WatchFolders();
    d_->DrainFolders();
    d_->DrainDeviceEvents();
    d_->UpdateNote();
    return d_->Relist();
}

const std::vector<PortEntry>& PortWatcher::ports() const { return d_->ports; }

}  // namespace vtrl::serial
