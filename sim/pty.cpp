#include "pty.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

namespace vtrl::sim {

namespace {

std::string sysError(const char* what)
{
    return std::string(what) + ": " + std::strerror(errno);
}

}  // namespace

std::unique_ptr<Transport> PlatformTransport()
{
    return std::make_unique<PtyTransport>();
}

Fd& Fd::operator=(Fd&& o) noexcept
{
    if (this != &o) {
        reset();
        fd_ = std::exchange(o.fd_, -1);
    }
    return *this;
}

void Fd::reset()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

bool PtyTransport::open(std::string& error)
{
    master_ = Fd(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!master_) {
        error = sysError("posix_openpt");
        return false;
    }
    if (::grantpt(master_.get()) != 0 || ::unlockpt(master_.get()) != 0) {
        error = sysError("grantpt/unlockpt");
        return false;
    }
    char name[256];
    if (::ptsname_r(master_.get(), name, sizeof name) != 0) {
        error = sysError("ptsname_r");
        return false;
    }
    path_ = name;
    // Held open for the whole run: when the wizard closes the port the
    // master would otherwise see a hang-up and lose the line settings.
    slave_ = Fd(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!slave_) {
        error = sysError("open slave");
        return false;
    }
    termios t{};
    if (::tcgetattr(slave_.get(), &t) == 0) {
        ::cfmakeraw(&t);   // no echo: our answers must not come back to us as commands
        ::cfsetispeed(&t, B115200);
        ::cfsetospeed(&t, B115200);
        ::tcsetattr(slave_.get(), TCSANOW, &t);
    }
    const int flags = ::fcntl(master_.get(), F_GETFL);
    ::fcntl(master_.get(), F_SETFL, flags | O_NONBLOCK);
    wake_ = Fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake_) {
        error = sysError("eventfd");
        return false;
    }
    return true;
}

void PtyTransport::close()
{
    wake_.reset();
    slave_.reset();
    master_.reset();
    path_.clear();
}

void PtyTransport::wakeUp()
{
    if (wake_) {
        const std::uint64_t one = 1;
        [[maybe_unused]] auto r = ::write(wake_.get(), &one, sizeof one);
    }
}

void PtyTransport::write(std::vector<std::uint8_t>& out)
{
    while (!out.empty()) {
        const ssize_t n = ::write(master_.get(), out.data(), out.size());
        if (n > 0) {
            out.erase(out.begin(), out.begin() + n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        return;   // EAGAIN: nobody reads the slave; poll tells when there is room
    }
}

bool PtyTransport::wait(std::optional<Millis> timeout, bool wantWrite, std::vector<std::uint8_t>& in,
                        std::string& error)
{
    pollfd fds[2] = {{master_.get(), static_cast<short>(POLLIN | (wantWrite ? POLLOUT : 0)), 0},
                     {wake_.get(), POLLIN, 0}};
    const int rc = ::poll(fds, 2, timeout ? static_cast<int>(timeout->count()) : -1);
    if (rc < 0 && errno != EINTR) {
        error = sysError("poll");
        return false;
    }
    if (fds[1].revents & POLLIN) {
        std::uint64_t v;
        [[maybe_unused]] auto r = ::read(wake_.get(), &v, sizeof v);
    }
    if (fds[0].revents & POLLIN) {
        std::uint8_t buf[4096];
        const ssize_t n = ::read(master_.get(), buf, sizeof buf);
        if (n > 0)
            in.insert(in.end(), buf, buf + n);
    }
    return true;
}

}  // namespace vtrl::sim
