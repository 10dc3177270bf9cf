#include "ctl/stop.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

namespace vtrl::ctl::stop {

namespace {

std::atomic<int> g_signal{0};
int g_pipe[2] = {-1, -1};

static_assert(std::atomic<int>::is_always_lock_free, "the handler stores into it");

extern "C" void OnSignal(int signal)
{
    const int saved = errno;
    int expected = 0;
    // The first signal is the one reported; later ones change nothing.
    if (g_signal.compare_exchange_strong(expected, signal)) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t n = ::write(g_pipe[1], &byte, 1);
    }
    errno = saved;
}

}  // namespace

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

int Requested() { return g_signal.load(); }

int WakeFd() { return g_pipe[0]; }

const char* Name(int signal)
{
    switch (signal) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    default: break;
    }
    static thread_local char text[24];
    std::snprintf(text, sizeof text, "signal %d", signal);
    return text;
}

}  // namespace vtrl::ctl::stop
