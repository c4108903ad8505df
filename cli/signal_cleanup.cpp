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
#include <fcntl.h>
#include <unistd.h>
#endif

namespace cbmp {

namespace {

// The handler only reads these. The output file layer calls the observer with every signal
// blocked, so the handler never runs while they change.
char g_pendingName[4096];
#ifdef _WIN32
wchar_t g_pendingWide[4096];  // the same name in the form the wide file functions take
#else
int g_pendingDir = -1;
#endif
volatile std::sig_atomic_t g_pending = 0;

void RemovePending() {
    if (g_pending != 0) {
#ifdef _WIN32
        _wremove(g_pendingWide);
#else
        unlinkat(g_pendingDir, g_pendingName, 0);
#endif
        g_pending = 0;
    }
}

void Created(int dirFd, const char* name, void* /*context*/) {
    const std::size_t length = std::strlen(name);
    if (length < sizeof g_pendingName) {
        std::memcpy(g_pendingName, name, length + 1);
#ifdef _WIN32
        (void)dirFd;
        const std::wstring wide = NativePath(name).wstring();
        if (wide.size() >= std::size(g_pendingWide)) {
            return;
        }
        std::wmemcpy(g_pendingWide, wide.c_str(), wide.size() + 1);
#else
        g_pendingDir = dirFd < 0 ? AT_FDCWD : dirFd;
#endif
        g_pending = 1;
    }
}

void Finished(void* /*context*/) {
    g_pending = 0;
}

constexpr TempFileObserver kObserver{&Created, &Finished, nullptr};

#ifdef _WIN32

extern "C" void OnSignal(int sig) {
    RemovePending();
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

#else

// Every catchable signal whose default action ends the process. SIGXFSZ is left out: it is
// ignored, so that an oversized write fails instead.
constexpr int kEndingSignals[] = {
    SIGHUP,    SIGINT,  SIGQUIT, SIGILL,  SIGTRAP, SIGABRT, SIGBUS,    SIGFPE,  SIGUSR1,
    SIGSEGV,   SIGUSR2, SIGPIPE, SIGALRM, SIGTERM, SIGXCPU, SIGVTALRM, SIGPROF, SIGSYS,
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
#ifdef SIGPOLL
    SIGPOLL,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
};

extern "C" void OnSignal(int sig) {
    RemovePending();
    // Ended by the same signal, with its default action, once this handler returns (the signal
    // is blocked until then).
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(sig, &fallback, nullptr);
    raise(sig);
}

void Catch(int sig, const sigset_t& mask) {
    struct sigaction previous {};
    if (sigaction(sig, nullptr, &previous) != 0 || previous.sa_handler == SIG_IGN) {
        return;  // ignored by whoever started the tool (nohup, a background job): it stays so
    }
    struct sigaction action {};
    action.sa_handler = &OnSignal;
    action.sa_mask = mask;
    sigaction(sig, &action, nullptr);
}

#endif

}  // namespace

void InstallSignalCleanup() {
#ifdef _WIN32
    std::signal(SIGINT, &OnSignal);
    std::signal(SIGTERM, &OnSignal);
#else
    sigset_t mask;
    sigemptyset(&mask);
    for (const int sig : kEndingSignals) {
        sigaddset(&mask, sig);
    }
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) {
        sigaddset(&mask, sig);
    }
    for (const int sig : kEndingSignals) {
        Catch(sig, mask);
    }
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) {
        Catch(sig, mask);
    }
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGXFSZ, &ignore, nullptr);
#endif
}

const TempFileObserver* SignalCleanupObserver() {
    return &kObserver;
}

}  // namespace cbmp
