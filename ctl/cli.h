#pragma once
// vtrlctl's command line, kept in the library so that tests run it in-process.

#include "ctl/session.h"

#include <QStringList>
#include <QTextStream>

namespace vtrl::ctl {

// Runs one command. `args` starts with the program name. Results go to
// `out`, progress and errors to `err`. Returns the exit code.
int RunCli(const QStringList& args, QTextStream& out, QTextStream& err, const Timeouts& timeouts = Timeouts{});

// From the moment a command opens a port, SIGINT, SIGTERM and SIGHUP stop
// it in order (see ctl/stop.h) instead of killing it. For the program, not
// for tests that run commands in-process.
void CatchStopSignals();

// The time-outs, multiplied by VTRLCTL_TIME_SCALE when that is set to a
// number between 0 and 1 (test benches with a fast device or a simulator).
Timeouts TimeoutsFromEnvironment();

}  // namespace vtrl::ctl
