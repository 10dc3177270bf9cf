#include "ctl/wake.h"
#include "ctl/stop.h"

#include <windows.h>

#include <algorithm>

namespace vtrl::ctl {

// Auto reset: a Sleep consumes every wake-up given before it, as the pipe's
// drain does on POSIX.
Wake::Wake() : event_(::CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

Wake::~Wake()
{
    if (event_ != nullptr)
        ::CloseHandle(event_);
}

bool Wake::Valid() const { return event_ != nullptr; }

void Wake::Notify() const { ::SetEvent(event_); }

void Wake::Sleep(std::chrono::steady_clock::duration timeout)
{
    const HANDLE handles[2] = {event_, static_cast<HANDLE>(stop::WakeEvent())};
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(timeout).count();
    ::WaitForMultipleObjects(handles[1] != nullptr ? 2 : 1, handles, FALSE,
                             static_cast<DWORD>(std::clamp<long long>(ms, 0, 60'000)));
}

bool OutputIsTerminal()
{
    const HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (out == INVALID_HANDLE_VALUE || out == nullptr || ::GetConsoleMode(out, &mode) == 0)
        return false;
    // The table moves the cursor with escape sequences, which a console
    // follows only in this mode (Windows 10 on); without it, one line an event.
    return (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0
        || ::SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

StopSignalsBlocked::StopSignalsBlocked() : before_{} {}

StopSignalsBlocked::~StopSignalsBlocked() = default;

}  // namespace vtrl::ctl
