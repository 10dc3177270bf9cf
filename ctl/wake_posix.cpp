#include "ctl/wake.h"
#include "ctl/stop.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>

namespace vtrl::ctl {

static_assert(sizeof(sigset_t) <= 128, "the saved mask fits");

Wake::Wake()
{
    if (::pipe(fds_) != 0) {
        fds_[0] = fds_[1] = -1;
        return;
    }
    for (const int fd : fds_) {
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
}

Wake::~Wake()
{
    for (const int fd : fds_)
        if (fd >= 0)
            ::close(fd);
}

bool Wake::Valid() const { return fds_[0] >= 0; }

void Wake::Notify() const
{
    const char byte = 1;
    // A full pipe already holds a wake-up.
    [[maybe_unused]] const ssize_t n = ::write(fds_[1], &byte, 1);
}

void Wake::Sleep(std::chrono::steady_clock::duration timeout)
{
    pollfd fds[2] = {{fds_[0], POLLIN, 0}, {stop::WakeFd(), POLLIN, 0}};
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(timeout).count();
    const int n = ::poll(fds, fds[1].fd >= 0 ? 2 : 1, static_cast<int>(std::clamp<long long>(ms, 0, 60'000)));
    if (n > 0 && fds[0].revents != 0) {
        std::array<char, 64> sink{};
        while (::read(fds_[0], sink.data(), sink.size()) > 0) {
        }
    }
}

bool OutputIsTerminal() { return ::isatty(STDOUT_FILENO) == 1; }

StopSignalsBlocked::StopSignalsBlocked()
{
    sigset_t stops;
    sigemptyset(&stops);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&stops, signal);
    sigset_t before;
    pthread_sigmask(SIG_BLOCK, &stops, &before);
    std::memcpy(before_, &before, sizeof before);
}

StopSignalsBlocked::~StopSignalsBlocked()
{
    sigset_t before;
    std::memcpy(&before, before_, sizeof before);
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

}  // namespace vtrl::ctl
