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
// guess is waiting to be compared, and a guess that was compared and never joined ends guessing
// for the call; a helper starved of a core costs a look at the slots every 16 KiB.
#include "codec/lz_segments.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#elif defined(__unix__) || defined(__APPLE__)
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

// One guessed segment and the room it is parsed in; reused for segment after segment.
//
// Its state moves kFree -> kRunning (a helper claims it, having set the segment), kRunning ->
// kDone (that helper, having parsed or given up), kDone -> kFree (the joiner, done with it). So
// each field is written by one thread at a time, and published by the release of `state`.
template <class Lanes>
struct Guess {
    enum State : unsigned { kFree, kRunning, kDone };

    std::atomic<unsigned> state{kFree};
    std::atomic<bool> cancel{false};       // the joiner no longer wants it
    std::atomic<std::uint32_t> parsed{0};  // how far the helper has parsed (for the helpers)

    // Set by the helper that claims it.
    std::uint32_t segment = 0;
    std::uint32_t from = 0;   // where the guess starts, with an empty table
    std::uint32_t begin = 0;  // the segment's first byte
    std::uint32_t stop = 0;   // the next segment's first byte, or the input's end
    // Set by the parse, read by the joiner once the guess is done.
    BitWriter writer;                     // the guessed tokens, from `from` on
    std::vector<std::uint64_t> starts;    // bit p - from: a guessed token starts at p
    std::vector<Checkpoint> checkpoints;  // for each mark from `begin` to `stop`
    Matcher<Lanes> matcher;
    std::uint32_t end = 0;  // the first guessed token start at or after stop
    std::uint64_t endBit = 0;
    bool complete = false;  // parsed to the end: not cancelled, memory and room sufficed
    bool created = false;   // the buffers above are allocated (by the first helper to use it)
    // The joiner's own.
    bool compared = false;  // compared at a mark at least once, and did not join there

    void Parse(const std::uint8_t* data, std::uint32_t size, const SegmentPlan& plan) {
        complete = false;
        if (!created && !Create(data, size, plan)) {
            return;
        }
        matcher.Clear();
        writer.Clear();
        std::fill(starts.begin(), starts.end(), 0);
        checkpoints.clear();
        const std::uint32_t pause = plan.hooks != nullptr ? plan.hooks->helperPauseMicroseconds : 0;
        const StartMarks marks{starts.data(), from};
        bool ok = true;
        std::uint32_t pos = from;
        for (std::uint32_t mark = from; mark < stop && ok;) {
            if (cancel.load(std::memory_order_relaxed)) {
                return;
            }
            if (pause != 0) {
                std::this_thread::sleep_for(std::chrono::microseconds(pause));
            }
            mark = static_cast<std::uint32_t>(
                std::min<std::uint64_t>(stop, std::uint64_t{mark} + kMarkStep));
            pos = EncodeRun(matcher, data, pos, mark, writer, marks, ok);
            if (mark >= begin) {
                checkpoints.push_back({pos, writer.bit_count()});
            }
            parsed.store(mark, std::memory_order_relaxed);
        }
        end = pos;
        endBit = writer.bit_count();
        complete = ok && writer.Finish();
    }

    bool Starts(std::uint32_t pos) const { return (starts[(pos - from) / 64] >> (pos % 64)) & 1; }

  private:
    bool Create(const std::uint8_t* data, std::uint32_t size, const SegmentPlan& plan) {
        const std::uint64_t span = std::uint64_t{plan.segmentBytes} + plan.leadInBytes + kMaxMatch;
        const std::uint64_t bytes = (span * kLiteralBits + 7) / 8 + 16;  // 8 to read past the end
        try {
            starts.resize(static_cast<std::size_t>(span / 64 + 2));
            checkpoints.reserve(plan.segmentBytes / kMarkStep + 2);
        } catch (const std::bad_alloc&) {
            return false;
        }
        created = matcher.Create(data, size) && writer.Create(static_cast<std::uint32_t>(bytes),
                                                              static_cast<std::uint32_t>(bytes));
        return created;
    }
};

template <class Lanes>
class SegmentEncoder {
  public:
    using State = typename Guess<Lanes>::State;

    SegmentEncoder(const std::uint8_t* data, std::uint32_t size, BitWriter& writer,
                   const LzProgress* progress, const SegmentPlan& plan)
        : data_(data), size_(size), writer_(writer), progress_(progress), plan_(plan) {}

    SegmentEncoder(const SegmentEncoder&) = delete;
    SegmentEncoder& operator=(const SegmentEncoder&) = delete;

    ~SegmentEncoder() {
        closing_.store(true);
        for (auto& guess : slots_) {
            guess->cancel.store(true);
        }
        Wake();
        for (std::thread& helper : helpers_) {
            helper.join();
        }
        g_helpers.fetch_sub(reserved_);
    }

    // Allocates the joiner's state and starts the helpers; false when neither memory nor a
    // thread could be had, and nothing has been written. The slots' buffers are allocated by the
    // helpers, on their own time.
    bool Start() {
        try {
            ring_.assign(kRingWords, 0);
            if (!matcher_.Create(data_, size_)) {
                return false;
            }
            const unsigned wanted = std::min(plan_.threads - 1, plan_.segments - 1);
            reserved_ = ReserveHelpers(wanted);
            // Two slots a helper: one it parses, one parsed and waiting for the joiner.
            for (unsigned i = 0; i < 2 * reserved_; ++i) {
                slots_.push_back(std::make_unique<Guess<Lanes>>());
            }
            for (unsigned i = 0; i < reserved_; ++i) {
                helpers_.emplace_back([this] { HelperLoop(); });
            }
        } catch (const std::exception&) {
            // Out of memory or of threads: fewer helpers, or one thread if none started.
        }
        return !helpers_.empty();
    }

    bool Encode(LzCompressReport* report) {
        bool ok = true;
        while (ok && pos_ < size_ && guessing_.load(std::memory_order_relaxed)) {
            ok = Step();
        }
        // Guessing is over: the rest is the one-thread loop, with no bookkeeping at all.
        ok = ok && EncodeToEnd(matcher_, data_, pos_, size_, writer_, progress_, reported_);
        if (report != nullptr) {
            report->segments = plan_.segments;
            report->joins = joins_;
            report->joinBytes = joinBytes_;
            report->guesses = guesses_.load();
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
        if (!guessing_.load(std::memory_order_relaxed)) {
            return true;
        }
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
        joinerPos_.store(pos_, std::memory_order_relaxed);
        return ok;
    }

    // With the waitForGuesses hook, the joiner waits at a segment's first mark for its guess to
    // be claimed, and then for it to be parsed (polling: tests only). True when it should look
    // again.
    bool WaitsFor(std::uint32_t segment, const Guess<Lanes>* guess) const {
        if (plan_.hooks == nullptr || !plan_.hooks->waitForGuesses ||
            (guess == nullptr && mark_ != segment * plan_.segmentBytes) ||
            (guess != nullptr && guess->state.load(std::memory_order_acquire) == State::kDone)) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(50));
        return true;
    }

    // True when the joiner's token starts must be recorded over the next run: a parsed guess
    // waits for the current segment, or for one that begins within a window past the next mark.
    bool ComparisonAhead(std::uint32_t segment, std::uint32_t next) {
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

    // The slot holding a guess (being parsed, or parsed) for `segment`, or null.
    Guess<Lanes>* GuessFor(std::uint32_t segment) {
        for (auto& slot : slots_) {
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
        for (auto& slot : slots_) {
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
        guessing_.store(false);
        stopped_ = true;
        for (auto& slot : slots_) {
            slot->cancel.store(true, std::memory_order_relaxed);
        }
        Wake();
    }

    void Free(Guess<Lanes>& guess) {
        guess.compared = false;
        guess.state.store(State::kFree, std::memory_order_release);
        Wake();
    }

    // Wakes the helpers: a slot is free, or the call is over.
    void Wake() {
        epoch_.fetch_add(1, std::memory_order_release);
        epoch_.notify_all();
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
        joinerPos_.store(pos_, std::memory_order_relaxed);
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

    // --- The helpers' side.

    void HelperLoop() {
        RunAtIdlePriority();
        for (;;) {
            const unsigned seen = epoch_.load(std::memory_order_acquire);
            if (closing_.load() || !guessing_.load()) {
                return;
            }
            Guess<Lanes>* guess = Claim();
            if (guess == nullptr) {
                epoch_.wait(seen);  // until a slot is freed or the call is over
                continue;
            }
            guess->Parse(data_, size_, plan_);
            if (guess->complete) {
                guesses_.fetch_add(1, std::memory_order_relaxed);
            }
            const bool outOfMemory = !guess->created;
            guess->state.store(State::kDone, std::memory_order_release);
            if (outOfMemory) {
                return;  // the call goes on with fewer helpers
            }
        }
    }

    // Claims a free slot for the segment most worth guessing now; null when there is no free
    // slot or no segment worth it.
    Guess<Lanes>* Claim() {
        const std::lock_guard<std::mutex> lock(claimMutex_);
        Guess<Lanes>* free = nullptr;
        for (auto& slot : slots_) {
            if (slot->state.load(std::memory_order_acquire) == State::kFree) {
                free = slot.get();
                break;
            }
        }
        if (free == nullptr) {
            return nullptr;
        }
        const std::uint32_t segment = SegmentWorthGuessing();
        if (segment == 0) {
            return nullptr;
        }
        free->segment = segment;
        free->begin = segment * plan_.segmentBytes;
        free->from = free->begin - std::min(free->begin, plan_.leadInBytes);
        free->stop = static_cast<std::uint32_t>(
            std::min<std::uint64_t>(size_, std::uint64_t{free->begin} + plan_.segmentBytes));
        free->parsed.store(free->from, std::memory_order_relaxed);
        free->cancel.store(false, std::memory_order_relaxed);
        free->state.store(State::kRunning, std::memory_order_release);
        return free;
    }

    // The earliest segment not yet guessed that a guess started now would save the joiner at
    // least half of: walking from the joiner's position, segments with a guess are taken as
    // spliced once it is parsed, the others as parsed by the joiner, at the same speed as a
    // helper. 0 when none (segment 0 is never guessed). The waitForGuesses hook takes the
    // earliest not yet guessed, whatever it saves.
    std::uint32_t SegmentWorthGuessing() {
        const std::uint32_t pos = joinerPos_.load(std::memory_order_relaxed);
        const bool anyway = plan_.hooks != nullptr && plan_.hooks->waitForGuesses;
        std::uint64_t time = 0;  // bytes parsed by one thread until the joiner reaches `segment`
        for (std::uint32_t segment = pos / plan_.segmentBytes; segment < plan_.segments;
             ++segment) {
            const std::uint64_t begin = std::uint64_t{segment} * plan_.segmentBytes;
            const std::uint64_t stop = std::min<std::uint64_t>(size_, begin + plan_.segmentBytes);
            const std::uint64_t length = stop - std::max<std::uint64_t>(begin, pos);
            const Guess<Lanes>* guess = segment > 0 ? GuessFor(segment) : nullptr;
            if (guess == nullptr) {
                const std::uint64_t work =
                    stop - (begin - std::min<std::uint64_t>(begin, plan_.leadInBytes));
                if (segment > 0 &&
                    (anyway || (begin > pos && time + length >= work + length / 2))) {
                    return segment;
                }
                time += length;
            } else {
                const std::uint64_t left =
                    guess->state.load(std::memory_order_acquire) == State::kDone
                        ? 0
                        : stop - std::min<std::uint64_t>(
                                     stop, guess->parsed.load(std::memory_order_relaxed));
                time = left < time + length ? std::max(time, left) : time + length;
            }
        }
        return 0;
    }

    static constexpr std::uint32_t kNotRecorded = 0xFFFFFFFFu;

    const std::uint8_t* data_;
    std::uint32_t size_;
    BitWriter& writer_;
    const LzProgress* progress_;
    SegmentPlan plan_;

    // The joiner's own.
    Matcher<Lanes> matcher_;
    std::vector<std::uint64_t> ring_;             // bit p % kRingBits: a true token starts at p
    std::uint32_t pos_ = 0;                       // the first true token start at or after mark_
    std::uint32_t mark_ = 0;                      // a multiple of kMarkStep, or the input's end
    std::uint32_t recordedFrom_ = kNotRecorded;   // the ring holds true starts from here on
    std::uint64_t reported_ = ~std::uint64_t{0};  // the last position reported
    std::uint32_t joins_ = 0;
    std::uint64_t joinBytes_ = 0;
    bool stopped_ = false;
    std::vector<std::thread> helpers_;
    unsigned reserved_ = 0;

    // Shared.
    std::vector<std::unique_ptr<Guess<Lanes>>> slots_;  // fixed once the helpers start
    std::atomic<std::uint32_t> joinerPos_{0};
    std::atomic<bool> guessing_{true};  // written by the joiner alone
    std::atomic<bool> closing_{false};
    std::atomic<unsigned> epoch_{
        0};  // bumped when a slot is freed, guessing stops or the call ends
    std::atomic<std::uint32_t> guesses_{0};
    std::mutex claimMutex_;  // helpers only: the joiner never waits for a helper
};

}  // namespace

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
