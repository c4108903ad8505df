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
// Helper threads parse the guesses, each into a slot of its own; the calling thread (the joiner)
// parses the first segment, then at every 16 KiB mark compares its token starts with the guess
// of the segment it is in, splices where they agree, and otherwise parses on. It never waits for
// a guess: one still queued when the joiner reaches its segment is dropped, and while the
// current one is being parsed the joiner parses a later one itself or parses on. A guess that
// never joins turns guessing off for the rest of the call, so data that never joins costs what
// one thread costs. The joiner alone writes the stream and reports progress, in stream order.
#include "codec/lz_segments.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <sched.h>
#endif

#include "codec/lz_format.h"

namespace cbmp {

namespace {

// Segments are cut a quarter of the input a thread or smaller, so that the threads still have
// work near the end of the input (the last segments are not left to one of them), yet long
// enough that the joins (usually a few tens of KiB past a segment start) cost little.
constexpr std::uint32_t kSegmentsPerThread = 4;
constexpr std::uint32_t kMinSegment = 256u << 10;
// Below this a call takes tens of milliseconds on one thread: starting and joining helpers, and
// waiting for a busy host to run them, would cost more than they can save.
constexpr std::uint32_t kMinThreadedInput = 4u << 20;
constexpr std::uint32_t kMaxSegment = 4u << 20;
constexpr std::uint32_t kDefaultLeadIn = 64u << 10;
constexpr std::uint32_t kRingWords = 65536 / 64;  // the joiner's token starts, last 64 KiB

std::uint32_t RoundUpToMark(std::uint64_t bytes) {
    return static_cast<std::uint32_t>(
        std::min<std::uint64_t>((bytes + kMarkStep - 1) / kMarkStep * kMarkStep, 0x80000000u));
}

// The cores this process may run on: on Linux its CPU affinity (taskset, cgroup cpusets), which
// can be fewer than the machine has; elsewhere the machine's count. Threads beyond it would only
// take turns on the same cores and pay for the speculation.
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

// Helper threads alive in this process for all calls together, and their limit.
std::atomic<unsigned> g_helpers{0};

unsigned ReserveHelpers(unsigned wanted) {
    const unsigned limit = std::max(std::thread::hardware_concurrency(), 8u);
    unsigned current = g_helpers.load();
    for (;;) {
        const unsigned take = current >= limit ? 0 : std::min(wanted, limit - current);
        if (take == 0 || g_helpers.compare_exchange_weak(current, current + take)) {
            return take;
        }
    }
}

// Bits [from, to) of a bitmap, word by word: visit(word index, mask of the bits in range).
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
template <class Lanes>
struct Guess {
    enum class State { kFree, kQueued, kRunning, kDone };

    BitWriter writer;                     // the guessed tokens, from `from` on
    std::vector<std::uint64_t> starts;    // bit p - from: a guessed token starts at p
    std::vector<Checkpoint> checkpoints;  // for each mark from `begin` to `stop`
    Matcher<Lanes> matcher;
    std::uint32_t segment = 0;
    std::uint32_t from = 0;   // where the guess starts, with an empty table
    std::uint32_t begin = 0;  // the segment's first byte
    std::uint32_t stop = 0;   // the next segment's first byte, or the input's end
    std::uint32_t end = 0;    // the first guessed token start at or after stop
    std::uint64_t endBit = 0;
    bool complete = false;  // parsed to the end, not cancelled
    std::atomic<bool> cancel{false};
    State state = State::kFree;  // guarded by the encoder's mutex

    bool Create(const std::uint8_t* data, std::uint32_t size, const SegmentPlan& plan) {
        const std::uint64_t span = std::uint64_t{plan.segmentBytes} + plan.leadInBytes + kMaxMatch;
        const std::uint64_t bytes = (span * kLiteralBits + 7) / 8 + 16;  // 8 to read past the end
        starts.resize(static_cast<std::size_t>(span / 64 + 2));
        checkpoints.reserve(plan.segmentBytes / kMarkStep + 2);
        return matcher.Create(data, size) &&
               writer.Create(static_cast<std::uint32_t>(bytes), static_cast<std::uint32_t>(bytes));
    }

    void Parse(const std::uint8_t* data) {
        matcher.Clear();
        writer.Clear();
        std::fill(starts.begin(), starts.end(), 0);
        checkpoints.clear();
        complete = false;
        const StartMarks marks{starts.data(), from};
        bool ok = true;
        std::uint32_t pos = from;
        for (std::uint32_t mark = from; mark < stop && ok;) {
            if (cancel.load(std::memory_order_relaxed)) {
                return;
            }
            mark = static_cast<std::uint32_t>(
                std::min<std::uint64_t>(stop, std::uint64_t{mark} + kMarkStep));
            pos = EncodeRun(matcher, data, pos, mark, writer, marks, ok);
            if (mark >= begin) {
                checkpoints.push_back({pos, writer.bit_count()});
            }
        }
        end = pos;
        endBit = writer.bit_count();
        complete = ok && writer.Finish();
    }

    bool Starts(std::uint32_t pos) const { return (starts[(pos - from) / 64] >> (pos % 64)) & 1; }
};

template <class Lanes>
class SegmentEncoder {
  public:
    SegmentEncoder(const std::uint8_t* data, std::uint32_t size, BitWriter& writer,
                   const LzProgress* progress, const SegmentPlan& plan)
        : data_(data), size_(size), writer_(writer), progress_(progress), plan_(plan) {}

    SegmentEncoder(const SegmentEncoder&) = delete;
    SegmentEncoder& operator=(const SegmentEncoder&) = delete;

    ~SegmentEncoder() {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            closing_ = true;
            queue_.clear();
            for (auto& guess : slots_) {
                guess->cancel = true;
            }
        }
        wake_.notify_all();
        for (std::thread& helper : helpers_) {
            helper.join();
        }
        g_helpers.fetch_sub(reserved_);
    }

    // Allocates the slots and starts the helpers; false when neither memory nor a thread could
    // be had, and nothing has been written.
    bool Start() {
        try {
            ring_.assign(kRingWords, 0);
            // Two guesses a thread and one more: while the caller parses a guess of its own,
            // the guesses done and not yet spliced must leave the helpers room to go on.
            const unsigned slots = std::min(plan_.threads * 2 + 1, plan_.segments - 1);
            for (unsigned i = 0; i < slots; ++i) {
                auto guess = std::make_unique<Guess<Lanes>>();
                if (!guess->Create(data_, size_, plan_)) {
                    return false;
                }
                slots_.push_back(std::move(guess));
            }
            if (!matcher_.Create(data_, size_)) {
                return false;
            }
            reserved_ = ReserveHelpers(std::min(plan_.threads - 1, slots));
            for (unsigned i = 0; i < reserved_; ++i) {
                helpers_.emplace_back([this] { HelperLoop(); });
            }
        } catch (const std::exception&) {
            // Out of memory or of threads: fewer helpers, or one thread if none started.
        }
        return !helpers_.empty();
    }

    bool Encode(LzCompressReport* report) {
        SubmitGuesses(0);
        std::uint32_t pos = 0;   // the first true token start at or after mark
        std::uint32_t mark = 0;  // a multiple of kMarkStep, or the input's end
        std::uint64_t reported = ~std::uint64_t{0};
        std::uint32_t current = 0;
        bool ok = true;
        while (ok && pos < size_) {
            if (pos % kProgressStep == 0 && pos != reported) {
                Report(progress_, LzEvent::kStep, pos, size_);
                reported = pos;
            }
            const std::uint32_t segment = mark / plan_.segmentBytes;
            if (guessing_ && segment != current) {
                current = segment;
                DropGuessesBefore(segment);
                SubmitGuesses(segment);
            }
            if (guessing_ && segment > 0) {
                if (Guess<Lanes>* guess = SlotOf(segment)) {
                    const typename Guess<Lanes>::State state = StateOf(*guess);
                    if (plan_.waitForGuesses && state != Guess<Lanes>::State::kDone) {
                        Finish(*guess);
                        continue;
                    }
                    if (state == Guess<Lanes>::State::kQueued) {
                        // No one started it: parsing on is as quick. A helper may have taken it
                        // since its state was read; then look at it again.
                        if (!Withdraw(*guess)) {
                            continue;
                        }
                    } else if (state == Guess<Lanes>::State::kRunning) {
                        if (HelpWithQueuedGuess()) {
                            continue;
                        }
                    } else if (Joins(*guess, mark, pos)) {
                        const std::uint32_t at = pos;
                        pos = Splice(*guess, pos, guess->checkpoints[Index(*guess, mark)].bit);
                        ok = pos != 0;
                        mark = guess->stop;
                        joins_ += 1;
                        joinBytes_ += at - guess->begin;
                        Release(*guess);
                        SubmitGuesses(mark / plan_.segmentBytes);
                        continue;
                    }
                }
            }
            const auto next = static_cast<std::uint32_t>(
                std::min<std::uint64_t>(size_, std::uint64_t{mark} + kMarkStep));
            ClearRing(pos, std::uint64_t{next} + kMaxMatch);
            pos = EncodeRun(matcher_, data_, pos, next, writer_,
                            StartMarks{ring_.data(), 0, 0xFFFF}, ok);
            mark = next;
        }
        if (report != nullptr) {
            *report = LzCompressReport{plan_.segments, joins_, joinBytes_};
        }
        return ok;
    }

  private:
    using State = typename Guess<Lanes>::State;

    void HelperLoop() {
        for (;;) {
            Guess<Lanes>* guess = nullptr;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                wake_.wait(lock, [this] { return closing_ || !queue_.empty(); });
                guess = TakeQueuedLocked();
            }
            if (guess == nullptr) {
                return;  // closing, and the queue was cleared
            }
            ParseTaken(*guess);
        }
    }

    // Takes the earliest queued guess for the calling thread to parse; null when none is queued.
    // The caller holds the lock.
    Guess<Lanes>* TakeQueuedLocked() {
        if (queue_.empty()) {
            return nullptr;
        }
        Guess<Lanes>* guess = queue_.front();
        queue_.pop_front();
        guess->state = State::kRunning;
        return guess;
    }

    // Takes a guess out of the queue if it is still there; the caller holds the lock and gives
    // the guess its next state. Only the state read under the same lock tells whether it is: a
    // helper may have taken it since the caller last looked.
    bool TakeBackLocked(Guess<Lanes>& guess) {
        if (guess.state != State::kQueued) {
            return false;
        }
        queue_.erase(std::find(queue_.begin(), queue_.end(), &guess));
        return true;
    }

    // Parses a guess this thread has taken out of the queue, and marks it done.
    void ParseTaken(Guess<Lanes>& guess) {
        guess.Parse(data_);
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            guess.state = State::kDone;
        }
        done_.notify_all();
    }

    // Waits for a guess to be parsed, parsing it on this thread if no one has started it.
    void Finish(Guess<Lanes>& guess) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (TakeBackLocked(guess)) {
            guess.state = State::kRunning;
            lock.unlock();
            ParseTaken(guess);
            return;
        }
        done_.wait(lock, [&guess] { return guess.state == State::kDone; });
    }

    // Parses the earliest queued guess on this thread; false when none is queued.
    bool HelpWithQueuedGuess() {
        Guess<Lanes>* guess = nullptr;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            guess = TakeQueuedLocked();
        }
        if (guess == nullptr) {
            return false;
        }
        ParseTaken(*guess);
        return true;
    }

    // Queues guesses for the segments after `current`, as far as free slots allow.
    void SubmitGuesses(std::uint32_t current) {
        nextGuess_ = std::max(nextGuess_, current + 1);
        bool queued = false;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            for (auto& slot : slots_) {
                if (!guessing_ || nextGuess_ >= plan_.segments) {
                    break;
                }
                Guess<Lanes>& guess = *slot;
                if (guess.state != State::kFree) {
                    continue;
                }
                guess.segment = nextGuess_;
                guess.begin = nextGuess_ * plan_.segmentBytes;
                guess.from = guess.begin - std::min(guess.begin, plan_.leadInBytes);
                guess.stop = static_cast<std::uint32_t>(std::min<std::uint64_t>(
                    size_, std::uint64_t{guess.begin} + plan_.segmentBytes));
                guess.cancel = false;
                guess.state = State::kQueued;
                queue_.push_back(&guess);
                queued = true;
                ++nextGuess_;
            }
        }
        if (queued) {
            wake_.notify_all();
        }
    }

    Guess<Lanes>* SlotOf(std::uint32_t segment) {
        const std::lock_guard<std::mutex> lock(mutex_);
        for (auto& slot : slots_) {
            if (slot->state != State::kFree && slot->segment == segment) {
                return slot.get();
            }
        }
        return nullptr;
    }

    State StateOf(const Guess<Lanes>& guess) {
        const std::lock_guard<std::mutex> lock(mutex_);
        return guess.state;
    }

    // Takes a guess out of the queue unparsed and frees its slot; false when a helper took it
    // first.
    bool Withdraw(Guess<Lanes>& guess) {
        if (plan_.pauseBeforeWithdrawing) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            if (!TakeBackLocked(guess)) {
                return false;
            }
            guess.state = State::kFree;
        }
        SubmitGuesses(guess.segment);
        return true;
    }

    // Frees a slot whose guess is done with.
    void Release(Guess<Lanes>& guess) {
        const std::lock_guard<std::mutex> lock(mutex_);
        guess.state = State::kFree;
    }

    // The joiner has passed these segments: guesses still queued for them are dropped, and one
    // that was parsed (or is being parsed) without joining ends guessing for this call.
    void DropGuessesBefore(std::uint32_t segment) {
        for (auto& slot : slots_) {
            State state = State::kFree;
            {
                const std::lock_guard<std::mutex> lock(mutex_);
                if (slot->segment < segment) {
                    state = slot->state;
                }
            }
            if (state == State::kQueued && Withdraw(*slot)) {
                continue;
            }
            if (state != State::kFree) {
                StopGuessing();
                return;
            }
        }
    }

    void StopGuessing() {
        const std::lock_guard<std::mutex> lock(mutex_);
        guessing_ = false;
        for (Guess<Lanes>* guess : queue_) {
            guess->state = State::kFree;
        }
        queue_.clear();
        for (auto& slot : slots_) {
            slot->cancel = true;
        }
    }

    static std::size_t Index(const Guess<Lanes>& guess, std::uint32_t mark) {
        return (mark - guess.begin + kMarkStep - 1) / kMarkStep;
    }

    // True when the finished guess has its token start at pos, the true parse's first start at
    // or after `mark`, and the same token starts over the window before it.
    bool Joins(const Guess<Lanes>& guess, std::uint32_t mark, std::uint32_t pos) const {
        if (!guess.complete || mark < guess.begin ||
            Index(guess, mark) >= guess.checkpoints.size() ||
            guess.checkpoints[Index(guess, mark)].pos != pos ||
            pos < std::uint64_t{guess.from} + kWindowSize) {
            return false;
        }
        bool same = true;
        ForEachWord(pos - kWindowSize, pos, [&](std::uint64_t x, std::uint64_t mask) {
            same = ((ring_[static_cast<std::size_t>(x / 64 % kRingWords)] ^
                     guess.starts[static_cast<std::size_t>((x - guess.from) / 64)]) &
                    mask) == 0;
            return same;
        });
        return same;
    }

    // Appends the guess's tokens from the one at pos (bit `bit` of its stream) to its end, and
    // takes over its state: reports, token starts and head table. Returns where the true parse
    // now stands, or 0 when the writer failed.
    std::uint32_t Splice(const Guess<Lanes>& guess, std::uint32_t pos, std::uint64_t bit) {
        if (!writer_.Append(guess.writer.data(), bit, guess.endBit)) {
            return 0;
        }
        for (std::uint64_t step = (std::uint64_t{pos} / kProgressStep + 1) * kProgressStep;
             step < guess.end; step += kProgressStep) {
            if (guess.Starts(static_cast<std::uint32_t>(step))) {
                Report(progress_, LzEvent::kStep, static_cast<std::uint32_t>(step), size_);
            }
        }
        const std::uint32_t end = guess.end;
        ForEachWord(std::max(pos, end - std::min(end, 65536u)), end,
                    [&](std::uint64_t x, std::uint64_t mask) {
                        std::uint64_t& word = ring_[static_cast<std::size_t>(x / 64 % kRingWords)];
                        word =
                            (word & ~mask) |
                            (guess.starts[static_cast<std::size_t>((x - guess.from) / 64)] & mask);
                        return true;
                    });
        ForEachWord(std::max(pos, end - std::min(end, kWindowSize)), end,
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
        return end;
    }

    void ClearRing(std::uint64_t from, std::uint64_t to) {
        ForEachWord(from, to, [&](std::uint64_t x, std::uint64_t mask) {
            ring_[static_cast<std::size_t>(x / 64 % kRingWords)] &= ~mask;
            return true;
        });
    }

    const std::uint8_t* data_;
    std::uint32_t size_;
    BitWriter& writer_;
    const LzProgress* progress_;
    SegmentPlan plan_;
    Matcher<Lanes> matcher_;
    std::vector<std::uint64_t> ring_;  // bit p % 65,536: a true token starts at p
    std::vector<std::unique_ptr<Guess<Lanes>>> slots_;
    std::vector<std::thread> helpers_;
    unsigned reserved_ = 0;
    std::uint32_t nextGuess_ = 1;
    std::uint32_t joins_ = 0;
    std::uint64_t joinBytes_ = 0;

    std::mutex mutex_;
    std::condition_variable wake_;     // helpers: a guess is queued, or the call is over
    std::condition_variable done_;     // the joiner: a guess is parsed
    std::deque<Guess<Lanes>*> queue_;  // guesses waiting for a thread, earliest segment first
    bool closing_ = false;
    bool guessing_ = true;  // read by the joiner without the lock: only it writes it
};

}  // namespace

SegmentPlan PlanSegments(std::uint32_t size, unsigned threads, std::uint32_t segmentBytes,
                         std::uint32_t leadInBytes) {
    SegmentPlan plan;
    plan.threads = threads != 0 ? threads : UsableCores();
    if (plan.threads <= 1) {
        return plan;
    }
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
