#include "ctl/stop.h"
#include "ctl/stop_state.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <cerrno>

namespace vtrl::ctl::stop {

static_assert(SIGHUP == kHangUp && SIGINT == kInterrupt && SIGTERM == kTerminate, "exit codes are 128 + the signal");

namespace {

int g_pipe[2] = {-1, -1};

extern "C" void OnSignal(int signal)
{
    const int saved = errno;
    Request(signal);
    errno = saved;
}

}  // namespace

void Request(int signal)
{
    if (Note(signal) && g_pipe[1] >= 0) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t n = ::write(g_pipe[1], &byte, 1);
    }
}

bool Catch()
{
    if (g_pipe[0] >= 0)
        return true;
    int fds[2];
    if (::pipe(fds) != 0)
        return false;
    for (const int fd : fds) {
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    g_pipe[0] = fds[0];
    g_pipe[1] = fds[1];
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    // The driver's writes and waits carry on; the waits for the device watch the pipe.
    action.sa_flags = SA_RESTART;
    bool ok = true;
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        ok = ::sigaction(signal, &action, nullptr) == 0 && ok;
    return ok;
}

int WakeFd() { return g_pipe[0]; }

void ResetForTesting()
{
    Forget();
    std::array<char, 16> sink{};
    while (g_pipe[0] >= 0 && ::read(g_pipe[0], sink.data(), sink.size()) > 0) {
    }
}

}  // namespace vtrl::ctl::stop
