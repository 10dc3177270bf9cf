#pragma once
// Stop requests. Once vtrlctl talks to a device, SIGINT, SIGTERM and SIGHUP
// no longer end it on the spot: the handler notes the signal and writes a
// byte to a pipe that every wait for the device watches, so the command
// finishes the frame it is writing, tells the device, says what the device
// took, and exits with 128 + the signal.

namespace vtrl::ctl::stop {

// Installs the handlers (once). Returns false when the pipe or a handler
// could not be set up; the signals then keep their default action.
bool Catch();

// The signal that asked to stop; 0 while none did.
int Requested();

// Readable once a stop was requested (the byte is left in the pipe, so it
// stays readable); -1 before Catch().
int WakeFd();

// "SIGINT", "SIGTERM", "SIGHUP", or "signal N".
const char* Name(int signal);

}  // namespace vtrl::ctl::stop
