// Encoding on several threads with the stream of one.
//
// The greedy parse at a position depends on nothing but the token starts in the 32,768 bytes
// before it: the head table's entry for a hash yields candidates only when it lies inside the
// window, and it is the latest token start with that hash. So a segment can be parsed from a
// guessed state, an empty table some way before the segment (the lead-in), and wherever the true
// parse reaches a token start that the guess shares, with the same token starts as the guess over
// the whole window before it, the two parses go on identically: from there the guessed tokens are
// the true ones and are spliced in, bit for bit, instead of being parsed again.
//
// Helper threads parse the guesses, each into a slot of its own, at idle priority: they only run
// on a core nobody else wants, so they can make no other work slower, this call's included. The
// calling thread (the joiner) parses the true stream front to back and never parses a guess nor
// waits for one: at every 16 KiB mark it looks at the guess for the segment it is in and, if it is
// parsed, compares token starts and splices it in where they agree; otherwise it parses on. It
// alone writes the stream and reports progress, in stream order, so both are those of one thread.
//
// A helper picks the segment to guess itself: the earliest one that the joiner will not have
// parsed through before the guess can be finished (helpers and joiner parse at about the same
// speed, so bytes stand for time). On two cores that makes the two take turns: the joiner parses
// one segment while the helper guesses the next but one, and the guess in between is spliced in.
//
// What guessing costs the joiner is bounded: it records its token starts only while a parsed
// guess is waiting to be compared, a guess that was compared and never joined ends guessing for
// the call, and it copies the input of each guess a helper claims (a helper reads nothing of the
// call's, so that the call can end without waiting for it). Helpers are started only for cores
// that are idle when the call begins; one starved of a core later costs a look at the slots every
// 16 KiB.
//
// Memory: the joiner adds an 8 KiB ring to the one-thread encoder. A helper has two slots, each
// with room for its guessed stream ((segment + lead-in) * 9 / 8 reserved, the stream's own length
// touched) and its token starts ((segment + lead-in) / 8), and while it parses, the copy of its
// input (segment + lead-in + 386 bytes) and a 256 KiB head table: at most 14.5 MiB with the
// largest segments (4 MiB, inputs of 32 MiB and more on two threads), about 9.5 to 13.5 MiB
// measured on 42 to 48 MiB pictures.
#include "codec/lz_segments.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#elif defined(__unix__) || defined(__APPLE__)
#include <dlfcn.h>
#if defined(__linux__)
#include <link.h>
#endif
#include <pthread.h>
#include <sched.h>
#endif

#include "codec/lz_format.h"

namespace cbmp {

namespace {

// Segments are cut an eighth of the input a thread or smaller, so that the helper and the
// joiner take turns several times, yet long enough that the joins (usually tens of KiB past a
// segment start) and the lead-ins cost little.
constexpr std::uint32_t kSegmentsPerThread = 4;
constexpr std::uint32_t kMinSegment = 256u << 10;
// Below this a call takes tens of milliseconds on one thread: starting and joining helpers would
// cost more than they can save.
constexpr std::uint32_t kMinThreadedInput = 4u << 20;
constexpr std::uint32_t kMaxSegment = 4u << 20;
constexpr std::uint32_t kDefaultLeadIn = 64u << 10;
// The joiner's own token starts are kept for the last kRingBits positions (a power of two of at
// least the window plus a mark plus a match): bit p % kRingBits.
constexpr std::uint32_t kRingBits = 65536;
constexpr std::uint32_t kRingWords = kRingBits / 64;
static_assert(kRingBits >= kWindowSize + kMarkStep + kMaxMatch && std::has_single_bit(kRingBits));

std::uint32_t RoundUpToMark(std::uint64_t bytes) {
    return static_cast<std::uint32_t>(
        std::min<std::uint64_t>((bytes + kMarkStep - 1) / kMarkStep * kMarkStep, 0x80000000u));
}

// The cores this process may run on: on Linux its CPU affinity (taskset, cgroup cpusets), which
// can be fewer than the machine has; elsewhere the machine's count. It is both the default thread
// count of a call and the limit on the helpers of all calls together: helpers beyond it could
// only take turns on the same cores.
unsigned UsableCores() {
#if defined(__linux__)
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) {
            return static_cast<unsigned>(count);
        }
    }
#endif
    return std::max(1u, std::thread::hardware_concurrency());
}

// Cores with nothing to run right now, at most `wanted`: on Linux the cores less the threads the
// kernel counts as runnable (this one aside), from /proc/loadavg; elsewhere `wanted`. A helper
// started where no core is idle would hardly ever run, and a thread that does not run cannot end
// either: its process could not even exit before the kernel gave it a turn.
unsigned IdleCores(unsigned wanted) {
#if defined(__linux__)
    std::FILE* file = std::fopen("/proc/loadavg", "re");
    if (file == nullptr) {
        return wanted;
    }
    double averages[3] = {};
    unsigned runnable = 0;
    unsigned threads = 0;
    const int fields = std::fscanf(file, "%lf %lf %lf %u/%u", &averages[0], &averages[1],
                                   &averages[2], &runnable, &threads);
    std::fclose(file);
    if (fields != 5 || runnable == 0) {
        return wanted;
    }
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    const unsigned others = runnable - 1;
    return others >= cores ? 0 : std::min(wanted, cores - others);
#else
    return wanted;
#endif
}

// Helper threads alive in this process for all calls together.
std::atomic<unsigned> g_helpers{0};

unsigned ReserveHelpers(unsigned wanted) {
    const unsigned limit = UsableCores();
    unsigned current = g_helpers.load();
    for (;;) {
        const unsigned take = current >= limit ? 0 : std::min(wanted, limit - current);
        if (take == 0 || g_helpers.compare_exchange_weak(current, current + take)) {
            return take;
        }
    }
}

// Puts the calling thread at the lowest priority there is: on Linux SCHED_IDLE, which runs it
// only on a core that has nothing else to run. Failure leaves it as it was.
void RunAtIdlePriority() {
#if defined(_WIN32)
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_IDLE);
#elif defined(__linux__)
    sched_param param{};
    param.sched_priority = 0;
    pthread_setschedparam(pthread_self(), SCHED_IDLE, &param);
#elif defined(__unix__) || defined(__APPLE__)
    int policy = 0;
    sched_param param{};
    if (pthread_getschedparam(pthread_self(), &policy, &param) == 0) {
        param.sched_priority = sched_get_priority_min(policy);
        pthread_setschedparam(pthread_self(), policy, &param);
    }
#endif
}

// Keeps the module this code lives in (the program, or a shared library) loaded for the rest of
// the process, so that a helper left to end on its own after its call never runs code that has
// been unloaded. Returns false when that cannot be done; then calls wait for their helpers.
bool KeepCodeLoaded() {
    static const bool kept = [] {
        static const char anchor = 0;  // an address inside this module
#if defined(_WIN32)
        HMODULE module = nullptr;
        return GetModuleHandleExW(
                   GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                   reinterpret_cast<LPCWSTR>(&anchor), &module) != 0;
#elif defined(__linux__)
        // The loaded object that holds the anchor: the program itself is never unloaded; a shared
        // library gets a handle that is never closed, and is marked never to be unloaded.
        struct Search {
            std::uintptr_t address;
            bool kept = false;
        } search{reinterpret_cast<std::uintptr_t>(&anchor)};
        dl_iterate_phdr(
            [](dl_phdr_info* info, std::size_t, void* context) {
                auto* self = static_cast<Search*>(context);
                for (unsigned i = 0; i < info->dlpi_phnum; ++i) {
                    const auto& header = info->dlpi_phdr[i];
                    const std::uintptr_t start = info->dlpi_addr + header.p_vaddr;
                    if (header.p_type == PT_LOAD && self->address >= start &&
                        self->address - start < header.p_memsz) {
                        const bool program = info->dlpi_name == nullptr || *info->dlpi_name == 0;
                        self->kept =
                            program || dlopen(info->dlpi_name,
                                              RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE) != nullptr;
                        return 1;
                    }
                }
                return 0;
            },
            &search);
        return search.kept;
#elif defined(__unix__) || defined(__APPLE__)
        Dl_info info{};
        return dladdr(&anchor, &info) != 0 && info.dli_fname != nullptr &&
               dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE) != nullptr;
#else
        return false;
#endif
    }();
    return kept;
}

// Bits [from, to) of a bitmap, word by word: visit(first bit, mask of the bits in range within
// that bit's word); stops early when visit returns false.
template <class Visit>
void ForEachWord(std::uint64_t from, std::uint64_t to, Visit visit) {
    while (from < to) {
        const unsigned bit = from % 64;
        const std::uint64_t n = std::min<std::uint64_t>(64 - bit, to - from);
        const std::uint64_t mask = (n == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << n) - 1)
                                   << bit;
        if (!visit(from, mask)) {
            return;
        }
        from += n;
    }
}

struct Checkpoint {
    std::uint32_t pos;  // the guess's first token start at or after the mark
    std::uint64_t bit;  // where that token starts in the guess's stream
};

// Waits while `value` still holds `old`: through the futex where the standard library waits on
// one (Linux), elsewhere by looking every millisecond, since the library's fallback there can miss
// a wake-up and would leave a helper asleep for good.
inline void WaitWhile(const std::atomic<unsigned>& value, unsigned old) {
#if defined(__linux__)
    value.wait(old);
#else
    while (value.load() == old) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
#endif
}

// What the helpers of a call share with it, and with each other. The helpers hold it by a shared
// pointer and touch nothing else of the call's: not its input (each guess parses a copy that the
// joiner makes), not its stream. So a call never waits for a helper, which a busy machine may not
// run for a long time: it leaves them to end on their own.
struct Shared {
    std::uint32_t size = 0;
    std::uint32_t segments = 0;
    std::uint32_t segmentBytes = 0;
    std::uint32_t leadInBytes = 0;
    bool guessEverySegment = false;           // the waitForGuesses hook
    std::uint32_t pauseMicroseconds = 0;      // the helperPauseMicroseconds hook
    std::atomic<std::uint32_t> joinerPos{0};  // the joiner's position, for the helpers' choice
    std::atomic<bool> guessing{true};         // written by the joiner alone
    std::atomic<bool> closing{false};
    std::atomic<unsigned> epoch{0};  // bumped when a slot is freed, guessing stops or the call ends
    std::atomic<std::uint32_t> guesses{0};  // guesses parsed to the end
    std::mutex claim;                       // helpers only: the joiner never waits for a helper

    // Wakes the helpers waiting for something to do.
    void Wake() {
        epoch.fetch_add(1, std::memory_order_release);
        epoch.notify_all();
    }
};

// One guessed segment and the room it is parsed in; reused for segment after segment.
//
// Its state moves kFree -> kClaimed (a helper, having set the segment and allocated `input`),
// kClaimed -> kCopying -> kRunning (the joiner, copying the input, or cancelling the guess),
// kRunning -> kDone (the helper, having parsed or given up), kDone -> kFree (the joiner, done with
// it); a helper that finds the call closing takes its claim back, kClaimed -> kDone. So each field
// is written by one thread at a time, and published by the release of `state`.
template <class Lanes>
struct Guess {
    enum State : unsigned { kFree, kClaimed, kCopying, kRunning, kDone };

    std::atomic<unsigned> state{kFree};
    std::atomic<bool> cancel{false};       // the joiner no longer wants it
    std::atomic<std::uint32_t> parsed{0};  // how far the helper has parsed (for the helpers)

    // Set by the helper that claims it.
    std::uint32_t segment = 0;
    std::uint32_t from = 0;   // where the guess starts, with an empty table
    std::uint32_t begin = 0;  // the segment's first byte
    std::uint32_t stop = 0;   // the next segment's first byte, or the input's end
    std::uint32_t base = 0;   // input[i] is byte base + i of the call's input
    std::uint32_t inputBytes = 0;
    ByteBuffer input;  // filled by the joiner, freed by the helper once parsed
    // Set by the parse, read by the joiner once the guess is done.
    BitWriter writer;                     // the guessed tokens, from `from` on
    std::vector<std::uint64_t> starts;    // bit p - from: a guessed token starts at p
    std::vector<Checkpoint> checkpoints;  // for each mark from `begin` to `stop`
    std::uint32_t end = 0;                // the first guessed token start at or after stop
    std::uint64_t endBit = 0;
    bool complete = false;  // parsed to the end: not cancelled, memory and room sufficed
    bool created = false;   // the buffers above are allocated (by the first helper to use it)
    // The joiner's own.
    bool compared = false;  // compared at a mark at least once, and did not join there

    // Sets the segment to guess and allocates room for its input, as a helper claims it: the
    // copy spans the lead-in less the candidates a search reaches back from its start, to the
    // segment's end plus the longest match. False when memory is exhausted.
    bool Prepare(const Shared& shared, std::uint32_t next) {
        segment = next;
        begin = next * shared.segmentBytes;
        from = begin - std::min(begin, shared.leadInBytes);
        stop = static_cast<std::uint32_t>(
            std::min<std::uint64_t>(shared.size, std::uint64_t{begin} + shared.segmentBytes));
        base = from - std::min(from, kMaxCandidates);
        inputBytes = static_cast<std::uint32_t>(
                         std::min<std::uint64_t>(shared.size, std::uint64_t{stop} + kMaxMatch)) -
                     base;
        input = AllocateBytes(inputBytes);
        parsed.store(from, std::memory_order_relaxed);
        cancel.store(false, std::memory_order_relaxed);
        return input != nullptr && (created || Create(shared));
    }

    // Parses the copied input from `from` with an empty table up to the first token start at or
    // after `stop`. Positions inside the copy are the call's less `base`: the parse is the same,
    // since every byte a search or a token reads lies inside the copy (candidates reach back at
    // most 127 bytes from a token start at or after `from`; matches reach at most 258 bytes past
    // a token start before `stop`, or the input's end).
    void Parse(const Shared& shared) {
        complete = false;
        Matcher<Lanes> matcher;
        if (!matcher.Create(input.get(), inputBytes)) {
            return;
        }
        writer.Clear();
        std::fill(starts.begin(), starts.end(), 0);
        checkpoints.clear();
        const StartMarks marks{starts.data(), from - base};
        bool ok = true;
        std::uint32_t pos = from - base;
        for (std::uint32_t mark = from; mark < stop && ok;) {
            if (cancel.load(std::memory_order_relaxed)) {
                return;
            }
            if (shared.pauseMicroseconds != 0) {
                std::this_thread::sleep_for(std::chrono::microseconds(shared.pauseMicroseconds));
            }
            mark = static_cast<std::uint32_t>(
                std::min<std::uint64_t>(stop, std::uint64_t{mark} + kMarkStep));
            pos = EncodeRun(matcher, input.get(), pos, mark - base, writer, marks, ok);
            if (mark >= begin) {
                checkpoints.push_back({pos + base, writer.bit_count()});
            }
            parsed.store(mark, std::memory_order_relaxed);
        }
        end = pos + base;
        endBit = writer.bit_count();
        complete = ok && writer.Finish();
    }

    bool Starts(std::uint32_t pos) const { return (starts[(pos - from) / 64] >> (pos % 64)) & 1; }

  private:
    bool Create(const Shared& shared) {
        const std::uint64_t span =
            std::uint64_t{shared.segmentBytes} + shared.leadInBytes + kMaxMatch;
        const std::uint64_t bytes = (span * kLiteralBits + 7) / 8 + 16;  // 8 to read past the end
        try {
            starts.resize(static_cast<std::size_t>(span / 64 + 2));
            checkpoints.reserve(shared.segmentBytes / kMarkStep + 2);
        } catch (const std::bad_alloc&) {
            return false;
        }
        created =
            writer.Create(static_cast<std::uint32_t>(bytes), static_cast<std::uint32_t>(bytes));
        return created;
    }
};

// The guesses of a call and what its helpers share: owned together by the call and its helpers.
template <class Lanes>
struct Pool : Shared {
    std::vector<std::unique_ptr<Guess<Lanes>>> slots;  // fixed before the helpers start
};

// The helpers' side: claims a guess, waits for the joiner to copy its input, parses it, and again,
// until guessing ends or the call is over. Touches nothing but the pool.
template <class Lanes>
void HelperLoop(const std::shared_ptr<Pool<Lanes>> pool) {
    using State = typename Guess<Lanes>::State;
    RunAtIdlePriority();
    for (;;) {
        const unsigned seen = pool->epoch.load(std::memory_order_acquire);
        if (pool->closing.load() || !pool->guessing.load()) {
            break;
        }
        bool outOfMemory = false;
        Guess<Lanes>* guess = Claim(*pool, outOfMemory);
        if (outOfMemory) {
            break;  // the call goes on with fewer helpers
        }
        if (guess == nullptr) {
            WaitWhile(pool->epoch, seen);  // until a slot is freed or the call is over
            continue;
        }
        // The joiner copies the input at its next look; unless it is closing the call, and may
        // have looked for the last time before this claim (then the claim is taken back).
        unsigned claimed = State::kClaimed;
        if (pool->closing.load() && guess->state.compare_exchange_strong(claimed, State::kDone)) {
            guess->input.reset();
            break;
        }
        for (unsigned state = guess->state.load();
             state == State::kClaimed || state == State::kCopying; state = guess->state.load()) {
            WaitWhile(guess->state, state);
        }
        guess->Parse(*pool);
        guess->input.reset();
        if (guess->complete) {
            pool->guesses.fetch_add(1, std::memory_order_relaxed);
        }
        guess->state.store(State::kDone, std::memory_order_release);
    }
    g_helpers.fetch_sub(1);
}

// The earliest segment not yet guessed that a guess started now would save the joiner at least
// half of: walking from the joiner's position, segments with a guess are taken as spliced once it
// is parsed, the others as parsed by the joiner, at the speed of a helper (so bytes stand for
// time); none when no segment is worth it (segment 0 never is). The waitForGuesses hook takes the
// earliest not yet guessed, whatever it saves.
template <class Lanes>
std::optional<std::uint32_t> SegmentWorthGuessing(const Pool<Lanes>& pool) {
    using State = typename Guess<Lanes>::State;
    const std::uint32_t pos = pool.joinerPos.load(std::memory_order_relaxed);
    std::uint64_t time = 0;  // bytes parsed by one thread until the joiner reaches `segment`
    for (std::uint32_t segment = pos / pool.segmentBytes; segment < pool.segments; ++segment) {
        const std::uint64_t begin = std::uint64_t{segment} * pool.segmentBytes;
        const std::uint64_t stop = std::min<std::uint64_t>(pool.size, begin + pool.segmentBytes);
        const std::uint64_t length = stop - std::max<std::uint64_t>(begin, pos);
        const Guess<Lanes>* guess = nullptr;
        for (const auto& slot : pool.slots) {
            if (slot->state.load(std::memory_order_acquire) != State::kFree &&
                slot->segment == segment) {
                guess = slot.get();
            }
        }
        if (guess == nullptr) {
            const std::uint64_t work =
                stop - (begin - std::min<std::uint64_t>(begin, pool.leadInBytes));
            if (segment > 0 &&
                (pool.guessEverySegment || (begin > pos && time + length >= work + length / 2))) {
                return segment;
            }
            time += length;
        } else {
            const std::uint64_t left =
                guess->state.load(std::memory_order_acquire) == State::kDone
                    ? 0
                    : stop - std::min<std::uint64_t>(stop,
                                                     guess->parsed.load(std::memory_order_relaxed));
            time = left < time + length ? std::max(time, left) : time + length;
        }
    }
    return std::nullopt;
}

// Claims a free slot for the segment most worth guessing now; null when there is no free slot or
// no segment worth it, or memory is exhausted (then `outOfMemory` is set).
template <class Lanes>
Guess<Lanes>* Claim(Pool<Lanes>& pool, bool& outOfMemory) {
    using State = typename Guess<Lanes>::State;
    const std::lock_guard<std::mutex> lock(pool.claim);
    for (auto& slot : pool.slots) {
        if (slot->state.load(std::memory_order_acquire) != State::kFree) {
            continue;
        }
        const std::optional<std::uint32_t> segment = SegmentWorthGuessing(pool);
        if (!segment) {
            return nullptr;
        }
        if (!slot->Prepare(pool, *segment)) {
            slot->input.reset();
            outOfMemory = true;
            return nullptr;
        }
        slot->state.store(State::kClaimed);  // before looking at closing again: see HelperLoop
        return slot.get();
    }
    return nullptr;
}

// The joiner's side: the calling thread's parse, its looks at the guesses, and the splices.
template <class Lanes>
class SegmentEncoder {
  public:
    using State = typename Guess<Lanes>::State;

    SegmentEncoder(const std::uint8_t* data, std::uint32_t size, BitWriter& writer,
                   const LzProgress* progress, const SegmentPlan& plan)
        : data_(data), size_(size), writer_(writer), progress_(progress), plan_(plan) {}

    SegmentEncoder(const SegmentEncoder&) = delete;
    SegmentEncoder& operator=(const SegmentEncoder&) = delete;

    // Ends guessing and leaves the helpers to end on their own (see Shared); where the code
    // could not be kept loaded after the call, waits for them instead.
    ~SegmentEncoder() {
        if (pool_ == nullptr) {
            return;
        }
        pool_->closing.store(true);
        for (auto& guess : pool_->slots) {
            guess->cancel.store(true);
        }
        ServeClaims();  // a helper waiting for its input is let go
        pool_->Wake();
        for (std::thread& helper : helpers_) {
            if (detach_) {
                helper.detach();
            } else {
                helper.join();
            }
        }
    }

    // Allocates the joiner's state and starts the helpers; false when neither memory nor a
    // thread could be had, and nothing has been written. The slots' buffers are allocated by the
    // helpers, on their own time.
    bool Start() {
        unsigned reserved = 0;
        try {
            ring_.assign(kRingWords, 0);
            if (!matcher_.Create(data_, size_)) {
                return false;
            }
            pool_ = std::make_shared<Pool<Lanes>>();
            pool_->size = size_;
            pool_->segments = plan_.segments;
            pool_->segmentBytes = plan_.segmentBytes;
            pool_->leadInBytes = plan_.leadInBytes;
            if (plan_.hooks != nullptr) {
                pool_->guessEverySegment = plan_.hooks->waitForGuesses;
                pool_->pauseMicroseconds = plan_.hooks->helperPauseMicroseconds;
            }
            const unsigned wanted = std::min(plan_.threads - 1, plan_.segments - 1);
            reserved = ReserveHelpers(plan_.hooks != nullptr ? wanted : IdleCores(wanted));
            // Two slots a helper: one it parses, one parsed and waiting for the joiner.
            for (unsigned i = 0; i < 2 * reserved; ++i) {
                pool_->slots.push_back(std::make_unique<Guess<Lanes>>());
            }
            detach_ = KeepCodeLoaded();
            for (; reserved > 0; --reserved) {
                helpers_.emplace_back(HelperLoop<Lanes>, pool_);
            }
        } catch (const std::exception&) {
            // Out of memory or of threads: fewer helpers, or one thread if none started.
        }
        g_helpers.fetch_sub(reserved);  // reserved and never started
        return !helpers_.empty();
    }

    bool Encode(LzCompressReport* report) {
        bool ok = true;
        while (ok && pos_ < size_ && pool_->guessing.load(std::memory_order_relaxed)) {
            ok = Step();
        }
        // Guessing is over: the rest is the one-thread loop, with no bookkeeping at all.
        ok = ok && EncodeToEnd(matcher_, data_, pos_, size_, writer_, progress_, reported_);
        if (report != nullptr) {
            report->segments = plan_.segments;
            report->joins = joins_;
            report->joinBytes = joinBytes_;
            report->guesses = pool_->guesses.load();
            report->stoppedGuessing = stopped_;
        }
        return ok;
    }

  private:
    // One look at the guesses and one move of the true parse: the guess for the current segment
    // spliced in, or the tokens up to the next mark parsed. Returns false when the writer failed.
    bool Step() {
        if (pos_ % kProgressStep == 0 && pos_ != reported_) {
            Report(progress_, LzEvent::kStep, pos_, size_);
            reported_ = pos_;
        }
        const std::uint32_t segment = mark_ / plan_.segmentBytes;
        LeaveSegmentsBefore(segment);
        if (!pool_->guessing.load(std::memory_order_relaxed)) {
            return true;
        }
        ServeClaims();
        Guess<Lanes>* guess = segment > 0 ? GuessFor(segment) : nullptr;
        if (segment > 0 && WaitsFor(segment, guess)) {
            return true;  // looks again
        }
        if (guess != nullptr && guess->state.load(std::memory_order_acquire) == State::kDone) {
            if (!guess->complete) {
                Free(*guess);  // cancelled, or the helper ran out of memory or room
            } else if (WindowRecorded() && Joins(*guess)) {
                return Splice(*guess);
            } else if (WindowRecorded()) {
                guess->compared = true;
            }
        }
        const auto next = static_cast<std::uint32_t>(
            std::min<std::uint64_t>(size_, std::uint64_t{mark_} + kMarkStep));
        bool ok = true;
        if (ComparisonAhead(segment, next)) {
            if (recordedFrom_ == kNotRecorded) {
                recordedFrom_ = mark_;
            }
            ClearRing(mark_, std::uint64_t{next} + kMaxMatch);
            pos_ = EncodeRun(matcher_, data_, pos_, next, writer_,
                             StartMarks{ring_.data(), 0, kRingBits - 1}, ok);
        } else {
            recordedFrom_ = kNotRecorded;
            pos_ = EncodeRun(matcher_, data_, pos_, next, writer_, StartMarks{}, ok);
        }
        mark_ = next;
        pool_->joinerPos.store(pos_, std::memory_order_relaxed);
        return ok;
    }

    // Copies the input of every guess a helper has claimed and hands it over; a guess for a
    // segment the joiner has passed, or claimed after guessing ended, is handed over cancelled.
    void ServeClaims() {
        for (auto& slot : pool_->slots) {
            Guess<Lanes>& guess = *slot;
            unsigned claimed = State::kClaimed;
            if (!guess.state.compare_exchange_strong(claimed, State::kCopying)) {
                continue;
            }
            if (guess.stop <= pos_ || !pool_->guessing.load(std::memory_order_relaxed) ||
                pool_->closing.load()) {
                guess.cancel.store(true, std::memory_order_relaxed);
            } else {
                std::copy_n(data_ + guess.base, guess.inputBytes, guess.input.get());
            }
            guess.state.store(State::kRunning, std::memory_order_release);
            guess.state.notify_one();
        }
    }

    // With the waitForGuesses hook, the joiner waits at a segment's first mark for its guess to
    // be claimed, and then for it to be parsed (polling: tests only). True when it should look
    // again.
    bool WaitsFor(std::uint32_t segment, const Guess<Lanes>* guess) const {
        if (!pool_->guessEverySegment ||
            (guess == nullptr && mark_ != segment * plan_.segmentBytes) ||
            (guess != nullptr && guess->state.load(std::memory_order_acquire) == State::kDone)) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(50));
        return true;
    }

    // True when the joiner's token starts must be recorded over the next run: a parsed guess
    // waits for the current segment, or for one that begins within a window past the next mark.
    // (With the waitForGuesses hook, always: the guesses are compared from their first mark on.)
    bool ComparisonAhead(std::uint32_t segment, std::uint32_t next) {
        if (pool_->guessEverySegment) {
            return true;
        }
        const std::uint32_t ahead = static_cast<std::uint32_t>(std::min<std::uint64_t>(
                                        size_ - 1, std::uint64_t{next} + kWindowSize)) /
                                    plan_.segmentBytes;
        for (std::uint32_t s = std::max(segment, 1u); s <= ahead; ++s) {
            const Guess<Lanes>* guess = GuessFor(s);
            if (guess != nullptr && guess->state.load(std::memory_order_acquire) == State::kDone &&
                guess->complete) {
                return true;
            }
        }
        return false;
    }

    bool WindowRecorded() const {
        return recordedFrom_ != kNotRecorded && std::uint64_t{recordedFrom_} + kWindowSize <= pos_;
    }

    // The slot holding a guess for `segment` (claimed, being parsed, or parsed), or null.
    Guess<Lanes>* GuessFor(std::uint32_t segment) {
        for (auto& slot : pool_->slots) {
            if (slot->state.load(std::memory_order_acquire) != State::kFree &&
                slot->segment == segment) {
                return slot.get();
            }
        }
        return nullptr;
    }

    // The joiner has passed these segments: their guesses are cancelled or freed, and one that
    // was compared and never joined ends guessing for this call.
    void LeaveSegmentsBefore(std::uint32_t segment) {
        bool failed = false;
        for (auto& slot : pool_->slots) {
            const unsigned state = slot->state.load(std::memory_order_acquire);
            if (state == State::kFree || slot->segment >= segment) {
                continue;
            }
            failed = failed || slot->compared;
            slot->cancel.store(true, std::memory_order_relaxed);
            if (state == State::kDone) {
                Free(*slot);
            }
        }
        if (failed) {
            StopGuessing();
        }
    }

    void StopGuessing() {
        pool_->guessing.store(false);
        stopped_ = true;
        for (auto& slot : pool_->slots) {
            slot->cancel.store(true, std::memory_order_relaxed);
        }
        ServeClaims();
        pool_->Wake();
    }

    void Free(Guess<Lanes>& guess) {
        guess.compared = false;
        guess.state.store(State::kFree, std::memory_order_release);
        pool_->Wake();
    }

    static std::size_t Index(const Guess<Lanes>& guess, std::uint32_t mark) {
        return (mark - guess.begin + kMarkStep - 1) / kMarkStep;
    }

    // True when the parsed guess has its token start at pos_, the true parse's first start at or
    // after mark_, and the same token starts over the window before it.
    bool Joins(const Guess<Lanes>& guess) const {
        if (mark_ < guess.begin || Index(guess, mark_) >= guess.checkpoints.size() ||
            guess.checkpoints[Index(guess, mark_)].pos != pos_ ||
            pos_ < std::uint64_t{guess.from} + kWindowSize) {
            return false;
        }
        bool same = true;
        ForEachWord(pos_ - kWindowSize, pos_, [&](std::uint64_t x, std::uint64_t mask) {
            same = ((ring_[static_cast<std::size_t>(x / 64 % kRingWords)] ^
                     guess.starts[static_cast<std::size_t>((x - guess.from) / 64)]) &
                    mask) == 0;
            return same;
        });
        return same;
    }

    // Appends the guess's tokens from the one at pos_ to its end, and takes over its state:
    // reports, token starts and head table. Returns false when the writer failed.
    bool Splice(Guess<Lanes>& guess) {
        const std::uint32_t at = pos_;
        if (!writer_.Append(guess.writer.data(), guess.checkpoints[Index(guess, mark_)].bit,
                            guess.endBit)) {
            return false;
        }
        for (std::uint64_t step = (std::uint64_t{at} / kProgressStep + 1) * kProgressStep;
             step < guess.end; step += kProgressStep) {
            if (guess.Starts(static_cast<std::uint32_t>(step))) {
                Report(progress_, LzEvent::kStep, static_cast<std::uint32_t>(step), size_);
            }
        }
        const std::uint32_t end = guess.end;
        ForEachWord(std::max(at, end - std::min(end, kRingBits)), end,
                    [&](std::uint64_t x, std::uint64_t mask) {
                        std::uint64_t& word = ring_[static_cast<std::size_t>(x / 64 % kRingWords)];
                        word =
                            (word & ~mask) |
                            (guess.starts[static_cast<std::size_t>((x - guess.from) / 64)] & mask);
                        return true;
                    });
        ForEachWord(std::max(at, end - std::min(end, kWindowSize)), end,
                    [&](std::uint64_t x, std::uint64_t mask) {
                        std::uint64_t bits =
                            guess.starts[static_cast<std::size_t>((x - guess.from) / 64)] & mask;
                        const std::uint64_t base = x / 64 * 64;
                        while (bits != 0) {
                            matcher_.Enter(static_cast<std::uint32_t>(
                                base + static_cast<unsigned>(std::countr_zero(bits))));
                            bits &= bits - 1;
                        }
                        return true;
                    });
        // The ring holds true starts from where recording began, or from the guess's tokens over
        // its last kRingBits.
        recordedFrom_ = std::max(recordedFrom_, end - std::min(end, kRingBits));
        pos_ = end;
        mark_ = guess.stop;
        pool_->joinerPos.store(pos_, std::memory_order_relaxed);
        joins_ += 1;
        joinBytes_ += at - guess.begin;
        Free(guess);
        return true;
    }

    void ClearRing(std::uint64_t from, std::uint64_t to) {
        ForEachWord(from, to, [&](std::uint64_t x, std::uint64_t mask) {
            ring_[static_cast<std::size_t>(x / 64 % kRingWords)] &= ~mask;
            return true;
        });
    }

    static constexpr std::uint32_t kNotRecorded = 0xFFFFFFFFu;

    const std::uint8_t* data_;
    std::uint32_t size_;
    BitWriter& writer_;
    const LzProgress* progress_;
    SegmentPlan plan_;

    Matcher<Lanes> matcher_;
    std::vector<std::uint64_t> ring_;             // bit p % kRingBits: a true token starts at p
    std::uint32_t pos_ = 0;                       // the first true token start at or after mark_
    std::uint32_t mark_ = 0;                      // a multiple of kMarkStep, or the input's end
    std::uint32_t recordedFrom_ = kNotRecorded;   // the ring holds true starts from here on
    std::uint64_t reported_ = ~std::uint64_t{0};  // the last position reported
    std::uint32_t joins_ = 0;
    std::uint64_t joinBytes_ = 0;
    bool stopped_ = false;
    bool detach_ = false;  // the helpers may outlive the call
    std::shared_ptr<Pool<Lanes>> pool_;
    std::vector<std::thread> helpers_;
};

}  // namespace

void WaitForHelpersToEnd() {
    while (g_helpers.load() != 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

SegmentPlan PlanSegments(std::uint32_t size, unsigned threads, const LzCompressTesting* hooks) {
    SegmentPlan plan;
    plan.hooks = hooks;
    plan.threads = threads != 0 ? threads : UsableCores();
    if (plan.threads <= 1) {
        return plan;
    }
    const std::uint32_t segmentBytes = hooks != nullptr ? hooks->segmentBytes : 0;
    const std::uint32_t leadInBytes = hooks != nullptr ? hooks->leadInBytes : 0;
    if (segmentBytes != 0) {
        plan.segmentBytes = RoundUpToMark(std::max(segmentBytes, kMarkStep));
    } else if (sizeof(void*) < 8) {
        return plan;  // a 32-bit host keeps its address space for the image and the stream
    } else if (size >= kMinThreadedInput) {
        const std::uint64_t parts = std::uint64_t{plan.threads} * kSegmentsPerThread;
        plan.segmentBytes =
            std::clamp(RoundUpToMark((size + parts - 1) / parts), kMinSegment, kMaxSegment);
    } else {
        return plan;  // too small to pay for a thread
    }
    plan.leadInBytes =
        leadInBytes != 0 ? RoundUpToMark(std::max(leadInBytes, kWindowSize)) : kDefaultLeadIn;
    plan.segments = static_cast<std::uint32_t>((std::uint64_t{size} + plan.segmentBytes - 1) /
                                               plan.segmentBytes);
    if (plan.segments < 2) {
        plan.segments = 1;
    }
    return plan;
}

template <class Lanes>
SegmentOutcome EncodeSegments(const std::uint8_t* data, std::uint32_t size, BitWriter& writer,
                              const LzProgress* progress, const SegmentPlan& plan,
                              LzCompressReport* report) {
    SegmentEncoder<Lanes> encoder(data, size, writer, progress, plan);
    if (!encoder.Start()) {
        return SegmentOutcome::kUnavailable;
    }
    return encoder.Encode(report) ? SegmentOutcome::kDone : SegmentOutcome::kFailed;
}

template SegmentOutcome EncodeSegments<WordLanes>(const std::uint8_t*, std::uint32_t, BitWriter&,
                                                  const LzProgress*, const SegmentPlan&,
                                                  LzCompressReport*);
#if CBMP_X86_SCANS
template SegmentOutcome EncodeSegments<Avx2Lanes>(const std::uint8_t*, std::uint32_t, BitWriter&,
                                                  const LzProgress*, const SegmentPlan&,
                                                  LzCompressReport*);
#endif

}  // namespace cbmp
