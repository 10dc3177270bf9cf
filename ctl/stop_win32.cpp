#include "ctl/stop.h"
#include "ctl/stop_state.h"

#include <windows.h>

namespace vtrl::ctl::stop {

static_assert(CTRL_C_EVENT == 0 && CTRL_BREAK_EVENT == 1 && CTRL_CLOSE_EVENT == 2 && CTRL_LOGOFF_EVENT == 5
                  && CTRL_SHUTDOWN_EVENT == 6,
              "FromConsoleEvent knows these numbers");

namespace {

std::atomic<HANDLE> g_event{nullptr};

// Runs on a thread the system starts for each event.
BOOL WINAPI OnConsoleEvent(DWORD event)
{
    const int signal = FromConsoleEvent(event);
    if (signal == 0)
        return FALSE;
    Request(signal);
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT)
        return TRUE;
    // After a close, logoff or shutdown the system ends the process as soon
    // as this returns (or its grace of a few seconds is over): hold it here
    // while the command tells the device and returns from main, which ends
    // the process with the command's exit code.
    ::Sleep(INFINITE);
    return TRUE;
}

}  // namespace

void Request(int signal)
{
    if (Note(signal))
        if (const HANDLE event = g_event.load())
            ::SetEvent(event);
}

bool Catch()
{
    if (g_event.load() != nullptr)
        return true;
    // Manual reset: once signalled it stays so, for every wait after it.
    const HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (event == nullptr)
        return false;
    g_event.store(event);
    if (Requested() != 0)
        ::SetEvent(event);
    return ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE) != 0;
}

void* WakeEvent() { return g_event.load(); }

void ResetForTesting()
{
    Forget();
    if (const HANDLE event = g_event.load())
        ::ResetEvent(event);
}

}  // namespace vtrl::ctl::stop
