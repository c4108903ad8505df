// Removal of half-written temporary outputs when a signal ends cbmpz, with several files being
// written at once.
//
// Each worker thread has a slot that the core's temporary-file observer keeps up to date; only
// that thread writes it, always with every signal blocked. When an ending signal arrives, the
// first handler sends it on to every worker; each worker's handler runs in the worker, where the
// slot cannot be half updated, removes that worker's temporary file and waits. The last of them
// ends the process by the first signal's default action. A worker blocks signals only for the
// moment the core creates or renames a temporary, so a signal is acted on at once.
#pragma once

#include "core/cbmpcore.h"

namespace cbmpz {

// The most worker threads at once.
constexpr unsigned kMaxWorkers = 256;

// Installs the handlers (before any thread starts): every catchable signal whose default action
// ends the process, except those ignored when cbmpz started. SIGXFSZ is ignored, so that a write
// past the file-size limit fails and is reported like any other.
void InstallSignalCleanup();

// A worker thread's registration, for the lifetime of the object (made on that thread).
class WorkerRegistration {
  public:
    WorkerRegistration();
    ~WorkerRegistration();
    WorkerRegistration(const WorkerRegistration&) = delete;
    WorkerRegistration& operator=(const WorkerRegistration&) = delete;

    bool ok() const { return slot_ >= 0; }
    // For the core's file calls on this thread.
    const cbmpcore_temp_observer* Observer() const;

  private:
    int slot_ = -1;
};

}  // namespace cbmpz
