// Runs a cbmpz command: the files it names, converted, tested or listed, with one thread budget
// for the whole run.
#pragma once

#include "cbmpz/options.h"
#include "cbmpz/reporter.h"

namespace cbmpz {

// The cores this process may run on (its CPU affinity), at least 1.
unsigned UsableCores();

// Does what `options` ask, reporting to `report`; the exit status comes from `report`.
void RunCommand(const Options& options, Reporter& report);

}  // namespace cbmpz
