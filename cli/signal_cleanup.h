// Removal of a half-written temporary output file when the tool is interrupted (SIGINT, SIGTERM).
// The tool runs one operation at a time, so one pending file is tracked.
#pragma once

#include "io/output_file.h"

namespace cbmp {

// Installs the handlers; afterwards an interrupt removes the pending temporary file, if any, and
// ends the process by the same signal.
void InstallSignalCleanup();

// An observer for the image writers that keeps the pending temporary file up to date.
const TempFileObserver* SignalCleanupObserver();

}  // namespace cbmp
