#include "cli/signal_cleanup.h"

#include <csignal>
#include <cstdio>
#include <cstring>

#ifndef _WIN32
#include <unistd.h>
#endif

namespace cbmp {

namespace {

// The handler may only read these; they are set before the file exists and cleared after it is
// gone, so the path is never half-written while the flag is up.
char g_pendingPath[4096];
volatile std::sig_atomic_t g_pending = 0;

extern "C" void OnInterrupt(int sig) {
    if (g_pending != 0) {
#ifdef _WIN32
        std::remove(g_pendingPath);
#else
        unlink(g_pendingPath);
#endif
    }
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

void Created(const char* tempPath, void* /*context*/) {
    const std::size_t length = std::strlen(tempPath);
    if (length < sizeof g_pendingPath) {
        std::memcpy(g_pendingPath, tempPath, length + 1);
        g_pending = 1;
    }
}

void Finished(void* /*context*/) {
    g_pending = 0;
}

constexpr TempFileObserver kObserver{&Created, &Finished, nullptr};

}  // namespace

void InstallSignalCleanup() {
    std::signal(SIGINT, &OnInterrupt);
    std::signal(SIGTERM, &OnInterrupt);
}

const TempFileObserver* SignalCleanupObserver() {
    return &kObserver;
}

}  // namespace cbmp
