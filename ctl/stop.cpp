// What the stops share on every platform: the first one noted, their names,
// and the console events of Windows as the POSIX signals they stand for.
#include "ctl/stop.h"
#include "ctl/stop_state.h"

#include <cstdio>

namespace vtrl::ctl::stop {

namespace {

std::atomic<int> g_signal{0};

// The values of wincon.h, here so that the mapping builds and is tested everywhere.
constexpr unsigned long kCtrlC = 0, kCtrlBreak = 1, kCtrlClose = 2, kCtrlLogoff = 5, kCtrlShutdown = 6;

}  // namespace

bool Note(int signal)
{
    int expected = 0;
    return g_signal.compare_exchange_strong(expected, signal);
}

void Forget() { g_signal.store(0); }

int Requested() { return g_signal.load(); }

int FromConsoleEvent(unsigned long event)
{
    switch (event) {
    case kCtrlC:
    case kCtrlBreak: return kInterrupt;
    // The terminal went away, as a hang-up does on POSIX.
    case kCtrlClose: return kHangUp;
    case kCtrlLogoff:
    case kCtrlShutdown: return kTerminate;
    default: return 0;
    }
}

const char* Name(int signal)
{
    switch (signal) {
    case kInterrupt: return "SIGINT";
    case kTerminate: return "SIGTERM";
    case kHangUp: return "SIGHUP";
    default: break;
    }
    static thread_local char text[24];
    std::snprintf(text, sizeof text, "signal %d", signal);
    return text;
}

}  // namespace vtrl::ctl::stop
