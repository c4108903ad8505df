#include "cli/signal_cleanup.h"

#include <csignal>
#include <cstdio>
#include <cstring>

#ifdef _WIN32
#include <cwchar>
#include <iterator>
#include <string>

#include "io/native_path.h"
#else
#include <unistd.h>
#endif

namespace cbmp {

namespace {

// The handler may only read these; they are set before the file exists and cleared after it is
// gone, so the path is never half-written while the flag is up.
char g_pendingPath[4096];
#ifdef _WIN32
wchar_t g_pendingWide[4096];  // the same name in the form the wide file functions take
#endif
volatile std::sig_atomic_t g_pending = 0;

extern "C" void OnInterrupt(int sig) {
    if (g_pending != 0) {
#ifdef _WIN32
        _wremove(g_pendingWide);
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
#ifdef _WIN32
        const std::wstring wide = NativePath(tempPath, PathRole::kOutput).wstring();
        if (wide.size() >= std::size(g_pendingWide)) {
            return;
        }
        std::wmemcpy(g_pendingWide, wide.c_str(), wide.size() + 1);
#endif
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
