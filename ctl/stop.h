#pragma once
// Stop requests. Once vtrlctl talks to a device, a stop no longer ends it on
// the spot: the handler notes it and wakes every wait for the device, so the
// command finishes the frame it is writing, tells the device, says what the
// device took, and exits with 128 + the stop's number.
//
// On POSIX the stops are SIGINT, SIGTERM and SIGHUP, and the handler writes a
// byte to a pipe that the waits watch (stop_posix.cpp). On Windows they are
// the console's control events, which a thread of the system delivers; they
// are known by the POSIX numbers, so the exit codes are the same everywhere,
// and the handler signals an event that the waits watch (stop_win32.cpp).

namespace vtrl::ctl::stop {

inline constexpr int kHangUp = 1;      // SIGHUP; Windows: the console window closed
inline constexpr int kInterrupt = 2;   // SIGINT; Windows: Ctrl-C or Ctrl-Break
inline constexpr int kTerminate = 15;  // SIGTERM; Windows: logoff or shutdown

// Installs the handlers (once). Returns false when the wake-up or a handler
// could not be set up; the stops then keep their default action.
bool Catch();

// The stop that was asked for first; 0 while none was.
int Requested();

// What the handlers do: notes `signal` (the first one counts, later ones
// change nothing) and wakes the waits. Async-signal-safe.
void Request(int signal);

// The stop a Windows console control event (CTRL_C_EVENT ...) stands for; 0
// for an event that is no stop.
int FromConsoleEvent(unsigned long event);

// "SIGINT", "SIGTERM", "SIGHUP", or "signal N".
const char* Name(int signal);

#ifdef _WIN32
// Signalled once a stop was requested (it stays signalled); null before Catch().
void* WakeEvent();
#else
// Readable once a stop was requested (the byte is left in the pipe, so it
// stays readable); -1 before Catch().
int WakeFd();
#endif

// For tests: as if nothing had asked to stop.
void ResetForTesting();

}  // namespace vtrl::ctl::stop
