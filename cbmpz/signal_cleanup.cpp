#include "cbmpz/signal_cleanup.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>

namespace cbmpz {

namespace {

enum SlotState : int {
    kFree = 0,
    kActive = 1,     // a worker runs on it
    kSignalled = 2,  // a handler has sent the worker the signal; it owes one release
    kReleased = 3,   // that worker has removed its temporary and released
    kClaimed = 4,    // being filled in for a new worker
};

struct Slot {
    std::atomic<int> state{kFree};
    pthread_t thread{};
    // Written by the slot's own thread only, with every signal blocked in it. All zero at
    // first, so that the table takes no room in the program file.
    int pendingDir = 0;
    char pendingName[4096] = {};
    bool pending = false;
    cbmpcore_temp_observer observer{};
};

Slot g_slots[kMaxWorkers];
std::atomic<int> g_signal{0};  // the first ending signal, once one arrived
// Releases owed before the process may end: one for the first handler, one per worker it sent
// the signal to.
std::atomic<int> g_owed{1};

static_assert(std::atomic<int>::is_always_lock_free, "the handler uses these atomics");

void Created(int dirFd, const char* name, void* context) {
    Slot& slot = *static_cast<Slot*>(context);
    const std::size_t length = std::strlen(name);
    if (length < sizeof slot.pendingName) {
        std::memcpy(slot.pendingName, name, length + 1);
        slot.pendingDir = dirFd < 0 ? AT_FDCWD : dirFd;
        slot.pending = true;
    }
}

void Finished(void* context) {
    static_cast<Slot*>(context)->pending = false;
}

// Ends the process by `sig`'s default action.
[[noreturn]] void Die(int sig) {
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(sig, &fallback, nullptr);
    sigset_t just;
    sigemptyset(&just);
    sigaddset(&just, sig);
    pthread_sigmask(SIG_UNBLOCK, &just, nullptr);
    raise(sig);
    _exit(128 + sig);  // not reached for an ending signal
}

void Release() {
    if (g_owed.fetch_sub(1) == 1) {
        Die(g_signal.load());
    }
}

[[noreturn]] void WaitForTheEnd() {
    for (;;) {
        pause();  // the ending signals are blocked here: only the last release ends this
    }
}

Slot* OwnSlot() {
    const pthread_t self = pthread_self();
    for (Slot& slot : g_slots) {
        const int state = slot.state.load();
        if ((state == kActive || state == kSignalled) && pthread_equal(slot.thread, self)) {
            return &slot;
        }
    }
    return nullptr;
}

extern "C" void OnSignal(int sig) {
    int none = 0;
    const bool first = g_signal.compare_exchange_strong(none, sig);
    Slot* own = OwnSlot();
    if (first) {
        for (Slot& slot : g_slots) {
            int active = kActive;
            if (slot.state.compare_exchange_strong(active, kSignalled)) {
                g_owed.fetch_add(1);
                if (&slot != own) {
                    pthread_kill(slot.thread, sig);
                }
            }
        }
    }
    int signalled = kSignalled;
    if (own != nullptr && own->state.compare_exchange_strong(signalled, kReleased)) {
        if (own->pending) {
            unlinkat(own->pendingDir, own->pendingName, 0);
            own->pending = false;
        }
        Release();
    }
    if (first) {
        Release();
    }
    WaitForTheEnd();
}

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

void EndingSignals(sigset_t& set) {
    sigemptyset(&set);
    for (const int sig : kEndingSignals) {
        sigaddset(&set, sig);
    }
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) {
        sigaddset(&set, sig);
    }
}

void Catch(int sig, const sigset_t& mask) {
    struct sigaction previous {};
    if (sigaction(sig, nullptr, &previous) != 0 || previous.sa_handler == SIG_IGN) {
        return;  // ignored by whoever started cbmpz (nohup, a background job): it stays so
    }
    struct sigaction action {};
    action.sa_handler = &OnSignal;
    action.sa_mask = mask;
    sigaction(sig, &action, nullptr);
}

// Frees a worker's slot, with the ending signals blocked and no temporary file pending. When a
// handler has already counted on the worker, it releases instead and waits for the end, as its
// own handler would have; when a signal came but the worker was not counted, it just waits.
void Leave(Slot& slot) {
    int active = kActive;
    if (slot.state.compare_exchange_strong(active, kFree)) {
        if (g_signal.load() != 0) {
            WaitForTheEnd();
        }
        return;
    }
    slot.state.store(kReleased);
    Release();
    WaitForTheEnd();
}

}  // namespace

void InstallSignalCleanup() {
    sigset_t mask;
    EndingSignals(mask);
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
}

WorkerRegistration::WorkerRegistration() {
    sigset_t ending;
    sigset_t saved;
    EndingSignals(ending);
    pthread_sigmask(SIG_BLOCK, &ending, &saved);
    for (unsigned i = 0; i < kMaxWorkers && slot_ < 0; ++i) {
        Slot& slot = g_slots[i];
        int free = kFree;
        if (slot.state.compare_exchange_strong(free, kClaimed)) {
            slot.thread = pthread_self();
            slot.pending = false;
            slot.observer = cbmpcore_temp_observer{&Created, &Finished, &slot};
            slot.state.store(kActive);
            slot_ = static_cast<int>(i);
        }
    }
    // A handler that ran before the slot was active did not count this worker, and one that
    // runs after it sees the slot: a worker that sees the signal has come does no work.
    if (slot_ >= 0 && g_signal.load() != 0) {
        Leave(g_slots[slot_]);
    }
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
}

WorkerRegistration::~WorkerRegistration() {
    if (slot_ < 0) {
        return;
    }
    sigset_t ending;
    sigset_t saved;
    EndingSignals(ending);
    pthread_sigmask(SIG_BLOCK, &ending, &saved);
    Leave(g_slots[slot_]);
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
}

const cbmpcore_temp_observer* WorkerRegistration::Observer() const {
    return slot_ >= 0 ? &g_slots[slot_].observer : nullptr;
}

}  // namespace cbmpz
