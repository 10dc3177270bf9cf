// POSIX backend: termios ttys, poll() for events, an eventfd per stop event.

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <linux/serial.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <system_error>
#include <vector>

#include "backend.h"
#include "holders.h"
#include "posix_error.h"
#include "portnames.h"

namespace vtrl::serial {
namespace {

bool UserInGroup(gid_t gid) {
    if (getegid() == gid) return true;
    const int n = getgroups(0, nullptr);
    if (n <= 0) return false;
    std::vector<gid_t> groups(static_cast<std::size_t>(n));
    const int got = getgroups(n, groups.data());
    if (got < 0) return false;
    groups.resize(static_cast<std::size_t>(got));
    return std::find(groups.begin(), groups.end(), gid) != groups.end();
}

std::string GroupName(gid_t gid) {
    std::vector<char> buffer(4096);
    group entry{};
    group* found = nullptr;
    if (getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr)
        return "";
    return found->gr_name ? found->gr_name : "";
}

}  // namespace

// The one place where errno becomes a classified error with the system's text.
SystemError ErrorFromErrno(int err, const std::string& path) {
    SystemError e;
    e.code = err;
    const std::string text = std::system_category().message(err);
    switch (err) {
        case ENOENT:
        case ENODEV:
        case ENXIO:
            e.kind = SystemError::Kind::Missing;
            e.detail = path + ": " + text;
            break;
        case ENOTTY:
            // A file or a device that is no serial line: there is no port.
            e.kind = SystemError::Kind::Missing;
            e.detail = path + " is not a terminal";
            break;
        case EBUSY:
        case EWOULDBLOCK:
            e.kind = SystemError::Kind::InUse;
            e.detail = path + " is in use by another program";
            break;
        case EACCES:
        case EPERM: {
            e.kind = SystemError::Kind::Denied;
            e.detail = "permission denied for " + path;
            struct stat st{};
            if (!path.empty() && ::stat(path.c_str(), &st) == 0) {
                const std::string group = GroupName(st.st_gid);
                if (!group.empty()) {
                    const bool member = UserInGroup(st.st_gid);
                    e.detail += " (owned by group " + group;
                    e.detail += member ? ")" : ", which this user is not in)";
                    // Joining helps only where the group may read and write.
                    if (!member && (st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP))
                        e.joinGroup = group;
                }
            }
            break;
        }
        default:
            e.kind = SystemError::Kind::Other;
            e.detail = path + ": " + text;
            break;
    }
    return e;
}

namespace {

SystemError InUseBy(const std::string& path, const PortHolder& holder) {
    SystemError e;
    e.kind = SystemError::Kind::InUse;
    e.code = EBUSY;
    e.holder = holder;
    e.detail = path + " is " + InUseText(holder);
    return e;
}

// A refusal by flock or the kernel's exclusive mode names the program where
// /proc shows one.
void NameHolder(const std::string& path, SystemError& error) {
    if (error.kind != SystemError::Kind::InUse) return;
    const std::string real = RealDevice(path);
    if (const auto holder = FlockHolder(real)) {
        error = InUseBy(path, *holder);
        return;
    }
    const auto openers = OpenersOf({real});
    if (auto it = openers.find(real); it != openers.end() && !it->second.empty())
        error = InUseBy(path, it->second.front());
}

struct BaudEntry {
    std::uint32_t baud;
    speed_t speed;
};
constexpr BaudEntry kBauds[] = {
    {50, B50},         {75, B75},         {110, B110},       {134, B134},
    {150, B150},       {200, B200},       {300, B300},       {600, B600},
    {1200, B1200},     {1800, B1800},     {2400, B2400},     {4800, B4800},
    {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
    {115200, B115200}, {230400, B230400}, {460800, B460800}, {500000, B500000},
    {576000, B576000}, {921600, B921600}, {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {3000000, B3000000}, {4000000, B4000000},
};

class PosixStopEvent final : public StopEvent {
public:
    PosixStopEvent() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
    ~PosixStopEvent() override {
        if (fd_ >= 0) ::close(fd_);
    }
    PosixStopEvent(const PosixStopEvent&) = delete;
    PosixStopEvent& operator=(const PosixStopEvent&) = delete;

    bool valid() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    void Signal() override {
        set_.store(true);
        const std::uint64_t one = 1;
        // Stays readable until closed: the event is manual-reset.
        [[maybe_unused]] const ssize_t n = ::write(fd_, &one, sizeof one);
    }
    bool IsSignalled() override { return set_.load(); }

private:
    int fd_;
    std::atomic<bool> set_{false};
};

class PosixDevice final : public Device {
public:
    PosixDevice(int fd, int wakeFd, std::string path, std::unique_ptr<DeviceClaim> claim)
        : fd_(fd), wakeFd_(wakeFd), path_(std::move(path)), claim_(std::move(claim)) {
        serial_icounter_struct counts{};
        haveCounters_ = ::ioctl(fd_, TIOCGICOUNT, &counts) == 0;
        if (haveCounters_) lastCounts_ = counts;
    }
    ~PosixDevice() override {
        Close();
        if (wakeFd_ >= 0) ::close(wakeFd_);
    }
    PosixDevice(const PosixDevice&) = delete;
    PosixDevice& operator=(const PosixDevice&) = delete;

    void Close() override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (fd_ < 0) return;
        // The exclusive flag belongs to the tty, not to this file; left set it
        // can keep the next program (not root) from opening the port.
        ::ioctl(fd_, TIOCNXCL);
        ::close(fd_);  // also drops the flock
        fd_ = -1;
        claim_.reset();  // and the lock file, after the device is free
    }

    bool SetupQueues(std::uint32_t inQueue, std::uint32_t) override {
        // Only the receive side is ours to size; the kernel owns the transmit
        // buffer.
        std::lock_guard<std::mutex> lock(mutex_);
        if (fd_ < 0) return Fail(EBADF);
        ring_.assign(std::max<std::uint32_t>(inQueue, 1), 0);
        head_ = 0;
        size_ = 0;
        return true;
    }

    bool GetState(LineSettings& s) override {
        std::lock_guard<std::mutex> lock(mutex_);
        termios tio{};
        if (fd_ < 0 || ::tcgetattr(fd_, &tio) != 0) return Fail(fd_ < 0 ? EBADF : errno);
        const speed_t speed = ::cfgetospeed(&tio);
        s.baudRate = 0;
        for (const BaudEntry& e : kBauds)
            if (e.speed == speed) s.baudRate = e.baud;
        switch (tio.c_cflag & CSIZE) {
            case CS5: s.byteSize = 5; break;
            case CS6: s.byteSize = 6; break;
            case CS7: s.byteSize = 7; break;
            default: s.byteSize = 8; break;
        }
        s.parity = (tio.c_cflag & PARENB) ? ((tio.c_cflag & PARODD) ? 1 : 2) : 0;
        s.stopBits = (tio.c_cflag & CSTOPB) ? 2 : 0;
        s.fParity = (tio.c_iflag & INPCK) != 0;
        s.fOutxCtsFlow = (tio.c_cflag & CRTSCTS) != 0;
        s.fOutX = (tio.c_iflag & IXON) != 0;
        s.fInX = (tio.c_iflag & IXOFF) != 0;
        s.xonChar = static_cast<char>(tio.c_cc[VSTART]);
        s.xoffChar = static_cast<char>(tio.c_cc[VSTOP]);
        return true;
    }

    bool SetState(const LineSettings& s) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (fd_ < 0) return Fail(EBADF);
        termios tio{};
        if (::tcgetattr(fd_, &tio) != 0) return Fail(errno);
        const BaudEntry* baud = nullptr;
        for (const BaudEntry& e : kBauds)
            if (e.baud == s.baudRate) baud = &e;
        if (baud == nullptr) return Fail(EINVAL);
        // Raw mode also leaves breaks and bad characters in the data (as 0
        // bytes) instead of signals, and the counters below report them.
        ::cfmakeraw(&tio);
        ::cfsetispeed(&tio, baud->speed);
        ::cfsetospeed(&tio, baud->speed);
        tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
        switch (s.byteSize) {
            case 5: tio.c_cflag |= CS5; break;
            case 6: tio.c_cflag |= CS6; break;
            case 7: tio.c_cflag |= CS7; break;
            default: tio.c_cflag |= CS8; break;
        }
        if (s.parity == 1) tio.c_cflag |= PARENB | PARODD;
        if (s.parity == 2) tio.c_cflag |= PARENB;
        if (s.stopBits != 0) tio.c_cflag |= CSTOPB;
        // termios has one switch for RTS/CTS and none for DSR flow control or
        // DSR sensitivity; those two have no effect here.
        if (s.fOutxCtsFlow || s.fRtsControl == kRtsControlHandshake) tio.c_cflag |= CRTSCTS;
        tio.c_cflag |= CLOCAL | CREAD;
        // Raw mode keeps what the last program left of these; input XON/XOFF
        // would put stop and start bytes into the device's command stream.
        tio.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK);
        if (s.fParity) tio.c_iflag |= INPCK;
        if (s.fOutX) tio.c_iflag |= IXON;
        if (s.fInX) tio.c_iflag |= IXOFF;
        tio.c_cc[VSTART] = static_cast<cc_t>(s.xonChar);
        tio.c_cc[VSTOP] = static_cast<cc_t>(s.xoffChar);
        tio.c_cc[VMIN] = 0;
        tio.c_cc[VTIME] = 0;
        if (::tcsetattr(fd_, TCSANOW, &tio) != 0) return Fail(errno);
        // Pseudo-terminals have no modem lines; their refusal is no failure of
        // the settings.
        const int dtr = TIOCM_DTR;
        const int rts = TIOCM_RTS;
        ::ioctl(fd_, s.fDtrControl == kDtrControlDisable ? TIOCMBIC : TIOCMBIS, &dtr);
        ::ioctl(fd_, s.fRtsControl == kRtsControlDisable ? TIOCMBIC : TIOCMBIS, &rts);
        return true;
    }

    bool SetTimeouts(const CommTimeouts& t) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (fd_ < 0) return Fail(EBADF);
        timeouts_ = t;
        return true;
    }

    bool SetEventMask(std::uint32_t mask) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (fd_ < 0) return Fail(EBADF);
        eventMask_ = mask;
        return true;
    }

    WaitOutcome WaitEvent(StopEvent& stop, std::uint32_t& mask) override {
        auto* posixStop = dynamic_cast<PosixStopEvent*>(&stop);
        if (posixStop == nullptr) return WaitOutcome::Failed;
        for (;;) {
            if (posixStop->IsSignalled()) return WaitOutcome::Stopped;
            int fd = -1;
            bool room = false;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                fd = fd_;
                room = size_ < ring_.size();
            }
            if (fd < 0) return WaitOutcome::Failed;
            // With the receive queue full the tty is not watched for input
            // (the kernel keeps the bytes); a read that makes room wakes us.
            std::array<pollfd, 3> fds{{{posixStop->fd(), POLLIN, 0},
                                       {wakeFd_, POLLIN, 0},
                                       {fd, static_cast<short>(room ? POLLIN : 0), 0}}};
            const int rc = ::poll(fds.data(), fds.size(), -1);
            if (rc < 0) {
                if (errno == EINTR) continue;
                SetError(errno);
                return WaitOutcome::Failed;
            }
            if (fds[0].revents != 0) return WaitOutcome::Stopped;
            if (fds[1].revents & POLLIN) {
                std::uint64_t value = 0;
                [[maybe_unused]] const ssize_t n = ::read(wakeFd_, &value, sizeof value);
            }
            std::uint32_t events = 0;
            bool hungUp = false;
            if (fds[2].revents & POLLIN) {
                const int got = FillQueue(fd);
                if (got > 0) events |= kEvRxChar;
                if (got < 0) hungUp = true;
            }
            // The bytes that came with a hang-up are reported first; the next
            // pass sees the hang-up again, which stays for good.
            if (!(events & kEvRxChar) && (fds[2].revents & (POLLHUP | POLLERR | POLLNVAL)))
                hungUp = true;
            if (hungUp && !(events & kEvRxChar)) {
                std::lock_guard<std::mutex> lock(mutex_);
                gone_ = true;
                Fail(EIO);
                return WaitOutcome::HungUp;
            }
            events |= CheckCounters(fd);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                events &= eventMask_;
            }
            if (events != 0) {
                mask = events;
                return WaitOutcome::Ready;
            }
        }
    }

    bool ClearError(std::uint32_t& errors, std::uint32_t* inQueue) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (fd_ < 0) return Fail(EBADF);
        // Whoever asks how much waits is about to read: what the tty holds
        // counts too, so an answer that came before a write is read before it
        // even when the monitor thread has not run since. After a hang-up the
        // monitor no longer reads at all.
        if (inQueue || gone_) Drain(fd_);
        errors = pendingErrors_;
        pendingErrors_ = 0;
        if (inQueue) *inQueue = static_cast<std::uint32_t>(size_);
        return true;
    }

    bool GetModemStatus(std::uint32_t& status) override {
        std::lock_guard<std::mutex> lock(mutex_);
        int lines = 0;
        if (fd_ < 0) return Fail(EBADF);
        if (::ioctl(fd_, TIOCMGET, &lines) != 0) return Fail(errno);
        status = 0;
        if (lines & TIOCM_CTS) status |= kMsCtsOn;
        if (lines & TIOCM_DSR) status |= kMsDsrOn;
        if (lines & TIOCM_RNG) status |= kMsRingOn;
        if (lines & TIOCM_CAR) status |= kMsRlsdOn;
        return true;
    }

    IoResult Read(std::uint8_t* buffer, std::uint32_t count) override {
        IoResult r;
        bool wasFull = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (fd_ < 0) {
                Fail(EBADF);
                return r;
            }
            wasFull = size_ == ring_.size();
            const std::size_t n = std::min<std::size_t>(count, size_);
            for (std::size_t i = 0; i < n; ++i) {
                buffer[i] = ring_[head_];
                head_ = (head_ + 1) % ring_.size();
            }
            size_ -= n;
            r.count = static_cast<std::uint32_t>(n);
            r.status = IoStatus::Ok;
        }
        if (wasFull && r.count > 0) {
            const std::uint64_t one = 1;
            [[maybe_unused]] const ssize_t n = ::write(wakeFd_, &one, sizeof one);
        }
        return r;
    }

    IoResult Write(const std::uint8_t* buffer, std::uint32_t count) override {
        IoResult r;
        int fd = -1;
        CommTimeouts t;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            fd = fd_;
            t = timeouts_;
        }
        if (fd < 0) {
            Fail(EBADF);
            return r;
        }
        using Clock = std::chrono::steady_clock;
        const std::uint64_t totalMs = static_cast<std::uint64_t>(t.writeTotalTimeoutMultiplier) * count +
                                      t.writeTotalTimeoutConstant;
        const bool limited = totalMs != 0;
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(totalMs);
        std::uint32_t written = 0;
        while (written < count) {
            const ssize_t n = ::write(fd, buffer + written, count - written);
            if (n > 0) {
                written += static_cast<std::uint32_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
                SetError(errno);
                return r;
            }
            int waitMs = -1;
            if (limited) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - Clock::now());
                if (left.count() <= 0) break;
                waitMs = static_cast<int>(std::min<long long>(left.count(), 60000));
            }
            pollfd p{fd, POLLOUT, 0};
            const int rc = ::poll(&p, 1, waitMs);
            if (rc < 0 && errno != EINTR) {
                SetError(errno);
                return r;
            }
        }
        if (written == 0) {
            SetError(ETIMEDOUT);
            return r;
        }
        // A time-out reports what got out, as the system does.
        r.status = IoStatus::Ok;
        r.count = written;
        return r;
    }

    bool SetBreak() override { return Ioctl(TIOCSBRK); }
    bool ClearBreak() override { return Ioctl(TIOCCBRK); }

    bool Escape(std::uint32_t function) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (fd_ < 0) return Fail(EBADF);
        int line = 0;
        unsigned long request = 0;
        switch (function) {
            case kEscSetRts: line = TIOCM_RTS; request = TIOCMBIS; break;
            case kEscClrRts: line = TIOCM_RTS; request = TIOCMBIC; break;
            case kEscSetDtr: line = TIOCM_DTR; request = TIOCMBIS; break;
            case kEscClrDtr: line = TIOCM_DTR; request = TIOCMBIC; break;
            default: return Fail(EINVAL);
        }
        if (::ioctl(fd_, request, &line) != 0) return Fail(errno);
        return true;
    }

    SystemError LastError() const override {
        std::lock_guard<std::mutex> lock(mutex_);
        return lastError_;
    }

private:
    bool Fail(int err) {  // mutex_ held
        lastError_ = ErrorFromErrno(err, path_);
        // On an open tty these mean the device is no longer there.
        if (gone_ || err == EIO || err == ENXIO || err == ENODEV) {
            lastError_.kind = SystemError::Kind::Gone;
            lastError_.detail = path_ + ": the device went away (hang-up)";
        }
        return false;
    }
    void SetError(int err) {
        std::lock_guard<std::mutex> lock(mutex_);
        Fail(err);
    }
    bool Ioctl(unsigned long request) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (fd_ < 0) return Fail(EBADF);
        if (::ioctl(fd_, request, 0) != 0) return Fail(errno);
        return true;
    }

    // Moves what the tty holds into the receive queue; the count appended, or
    // -1 when the tty is gone.
    int FillQueue(int fd) {
        std::lock_guard<std::mutex> lock(mutex_);
        return Drain(fd);
    }
    int Drain(int fd) {  // mutex_ held
        int appended = 0;
        while (size_ < ring_.size()) {
            const std::size_t tail = (head_ + size_) % ring_.size();
            const std::size_t span = std::min(ring_.size() - size_, ring_.size() - tail);
            const ssize_t n = ::read(fd, ring_.data() + tail, span);
            if (n > 0) {
                size_ += static_cast<std::size_t>(n);
                appended += static_cast<int>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            // In raw mode without a minimum count a read of an idle tty gives
            // 0, so only an error tells of a hang-up here; poll's POLLHUP the rest.
            if (n == 0 || errno == EAGAIN || errno == EWOULDBLOCK) break;
            if (appended == 0) return -1;
            break;
        }
        return appended;
    }

    // Breaks and line errors from the driver's counters, where it keeps them.
    std::uint32_t CheckCounters(int fd) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!haveCounters_) return 0;
        serial_icounter_struct now{};
        if (::ioctl(fd, TIOCGICOUNT, &now) != 0) {
            haveCounters_ = false;
            return 0;
        }
        std::uint32_t events = 0;
        if (now.brk != lastCounts_.brk) {
            events |= kEvBreak;
            pendingErrors_ |= kCeBreak;
        }
        std::uint32_t errors = 0;
        if (now.frame != lastCounts_.frame) errors |= kCeFrame;
        if (now.parity != lastCounts_.parity) errors |= kCeRxParity;
        if (now.overrun != lastCounts_.overrun) errors |= kCeOverrun;
        if (now.buf_overrun != lastCounts_.buf_overrun) errors |= kCeRxOver;
        if (errors != 0) {
            events |= kEvErr;
            pendingErrors_ |= errors;
        }
        lastCounts_ = now;
        return events;
    }

    mutable std::mutex mutex_;
    int fd_;
    const int wakeFd_;
    const std::string path_;
    std::vector<std::uint8_t> ring_ = std::vector<std::uint8_t>(4096);
    std::size_t head_ = 0;
    std::size_t size_ = 0;
    std::uint32_t pendingErrors_ = 0;
    std::uint32_t eventMask_ = 0;
    CommTimeouts timeouts_;
    bool haveCounters_ = false;
    serial_icounter_struct lastCounts_{};
    SystemError lastError_;
    bool gone_ = false;
    std::unique_ptr<DeviceClaim> claim_;
};

// Opens and locks the device; fd or -1 with `error` set.
int OpenExclusive(const std::string& path, SystemError& error) {
    // Anything opens read-write (a text file, /dev/null); only a terminal is
    // a port, and what is not even a character device is not opened at all.
    struct stat st{};
    if (::stat(path.c_str(), &st) == 0 && !S_ISCHR(st.st_mode)) {
        error = ErrorFromErrno(ENOTTY, path);
        return -1;
    }
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = ErrorFromErrno(errno, path);
        return -1;
    }
    if (!::isatty(fd)) {
        error = ErrorFromErrno(ENOTTY, path);
        ::close(fd);
        return -1;
    }
    // flock is advisory but honoured by the usual serial programs, holds
    // against root, and -- being tied to the open file -- also against a
    // second open from this very process.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        error = ErrorFromErrno(errno, path);
        ::close(fd);
        return -1;
    }
    // A program that merely has the port open (a shell's exec 3<>, a terminal
    // program that takes no lock) would read our frames or write into them.
    const std::string real = RealDevice(path);
    const auto openers = OpenersOf({real});
    if (auto it = openers.find(real); it != openers.end() && !it->second.empty()) {
        error = InUseBy(path, it->second.front());
        ::close(fd);
        return -1;
    }
    return fd;
}

class PosixBackend final : public SerialBackend {
public:
    std::shared_ptr<Device> Open(std::uint32_t port, SystemError& error) override {
        const std::string path = PortDevicePath(port);
        if (path.empty()) {
            error = ErrorFromErrno(ENOENT, "COM" + std::to_string(port));
            return nullptr;
        }
        struct stat st{};
        if (::stat(path.c_str(), &st) != 0) {
            error = ErrorFromErrno(errno, path);
            return nullptr;
        }
        // The lock file first, as every program that honours them does.
        std::unique_ptr<DeviceClaim> claim;
        PortHolder holder;
        if (DeviceClaim::Take(path, claim, holder) == DeviceClaim::Result::Held) {
            error = InUseBy(path, holder);
            return nullptr;
        }
        const int fd = OpenExclusive(path, error);
        if (fd < 0) {
            NameHolder(path, error);
            return nullptr;
        }
        // TIOCEXCL is enforced by the kernel on every later open() of the tty,
        // also by programs that never heard of flock; root is exempt, hence
        // flock as well.
        ::ioctl(fd, TIOCEXCL);
        // What arrived while nobody held the port is not ours: a COM port
        // starts with empty queues, while a tty keeps old input across opens.
        ::tcflush(fd, TCIOFLUSH);
        const int wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (wakeFd < 0) {
            error = ErrorFromErrno(errno, path);
            ::ioctl(fd, TIOCNXCL);
            ::close(fd);
            return nullptr;
        }
        return std::make_shared<PosixDevice>(fd, wakeFd, path, std::move(claim));
    }

    std::shared_ptr<StopEvent> CreateStopEvent() override {
        auto stop = std::make_shared<PosixStopEvent>();
        if (!stop->valid()) return nullptr;
        return stop;
    }

    PortProbe Probe(std::uint32_t port) override {
        PortProbe probe;
        probe.path = PortDevicePath(port);
        if (probe.path.empty()) {
            probe.outcome = PortProbe::Outcome::Missing;
            probe.detail = "COM" + std::to_string(port) + " names no device";
            return probe;
        }
        if (const auto holder = LockHolder(probe.path))
            return ProbeFailure(std::move(probe), InUseBy(probe.path, *holder));
        SystemError error;
        const int fd = OpenExclusive(probe.path, error);
        if (fd >= 0) {
            ::close(fd);
            probe.outcome = PortProbe::Outcome::Opened;
            return probe;
        }
        NameHolder(probe.path, error);
        return ProbeFailure(std::move(probe), error);
    }
};

}  // namespace

SerialBackend& PlatformBackend() {
    static PosixBackend backend;
    return backend;
}

}  // namespace vtrl::serial
