// Removal of a half-written temporary output file when the tool is ended by a signal. The tool
// runs one operation at a time, so one pending file is tracked.
#pragma once

#include "io/output_file.h"

namespace cbmp {

// Installs the handlers: afterwards every catchable signal whose default action ends the process
// (SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGPIPE, SIGALRM, SIGUSR1, SIGUSR2, the real-time signals,
// and the faults SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP, SIGSYS, SIGXCPU, ...) removes
// the pending temporary file, if any, and ends the process by the same signal. A signal that was
// ignored when the tool started stays ignored. SIGXFSZ is ignored, so that a write past the
// file-size limit fails and is reported like any other failed write.
void InstallSignalCleanup();

// An observer for the image writers that keeps the pending temporary file up to date.
const TempFileObserver* SignalCleanupObserver();

}  // namespace cbmp
