#pragma once
// What a wait for the device sleeps on: a wake-up the driver's monitor
// thread gives for every port event, and the stop request (ctl/stop.h).
// On POSIX a pipe and poll (wake_posix.cpp), on Windows an event and
// WaitForMultipleObjects (wake_win32.cpp).

#include <chrono>

namespace vtrl::ctl {

class Wake {
public:
    Wake();
    ~Wake();
    Wake(const Wake&) = delete;
    Wake& operator=(const Wake&) = delete;

    // False when the wake-up could not be set up: no event would end a wait
    // before its time-out.
    bool Valid() const;
    // From any thread, also the driver's callback: the next Sleep returns.
    void Notify() const;
    // Until a Notify, a stop request or `timeout`; wake-ups given before are
    // consumed.
    void Sleep(std::chrono::steady_clock::duration timeout);

private:
#ifdef _WIN32
    void* event_ = nullptr;
#else
    int fds_[2] = {-1, -1};
#endif
};

// Whether standard output is a terminal that takes cursor movements (line's
// live table).
bool OutputIsTerminal();

// While it lives, the stop signals are blocked on the calling thread, so that
// threads started meanwhile (the driver's monitor) never take them. Nothing
// on Windows, where no thread is interrupted by a stop.
class StopSignalsBlocked {
public:
    StopSignalsBlocked();
    ~StopSignalsBlocked();
    StopSignalsBlocked(const StopSignalsBlocked&) = delete;
    StopSignalsBlocked& operator=(const StopSignalsBlocked&) = delete;

private:
    alignas(8) unsigned char before_[128];
};

}  // namespace vtrl::ctl
