// Encoding on several threads with the stream of one: the input is cut into segments, and each
// segment after the first is parsed by a helper thread from a guessed state, while the calling
// thread parses on from the start and splices a guess in where it provably continues the true
// parse. See lz_segments.cpp.
#pragma once

#include <algorithm>
#include <cstdint>

#include "codec/bit_writer.h"
#include "codec/lz_compress_testing.h"
#include "codec/lz_progress.h"
#include "codec/match_finder.h"

namespace cbmp {

inline constexpr std::uint32_t kProgressStep = 65536;  // a report where a token starts on these
inline constexpr std::uint32_t kMarkStep = 16384;      // where guesses and true parse are compared

// Where a token loop records its token starts: bit (p - origin) & mask of `words`, or nowhere.
struct StartMarks {
    std::uint64_t* words = nullptr;
    std::uint32_t origin = 0;
    std::uint32_t mask = 0xFFFFFFFFu;

    void Mark(std::uint32_t pos) const {
        if (words != nullptr) {
            const std::uint32_t i = (pos - origin) & mask;
            words[i / 64] |= std::uint64_t{1} << (i % 64);
        }
    }
};

// Writes every token from the token start pos up to the first token start at or after stop, and
// returns that position; `ok` turns false when the writer fails. One per scan width.
std::uint32_t EncodeRun(Matcher<WordLanes>& matcher, const std::uint8_t* data, std::uint32_t pos,
                        std::uint32_t stop, BitWriter& writer, const StartMarks& starts, bool& ok);
#if CBMP_X86_SCANS
std::uint32_t EncodeRun(Matcher<Avx2Lanes>& matcher, const std::uint8_t* data, std::uint32_t pos,
                        std::uint32_t stop, BitWriter& writer, const StartMarks& starts, bool& ok);
#endif

// Parses on from the token start pos to the end of the input as the one-thread loop does,
// reporting a step wherever a token starts on a multiple of 65,536 (except at `reported`, already
// reported). Returns false when the writer failed.
template <class Lanes>
bool EncodeToEnd(Matcher<Lanes>& matcher, const std::uint8_t* data, std::uint32_t pos,
                 std::uint32_t size, BitWriter& writer, const LzProgress* progress,
                 std::uint64_t reported = ~std::uint64_t{0}) {
    bool ok = true;
    while (ok && pos < size) {
        if (pos % kProgressStep == 0 && pos != reported) {
            Report(progress, LzEvent::kStep, pos, size);
        }
        const std::uint32_t stop = static_cast<std::uint32_t>(
            std::min<std::uint64_t>(size, (pos | (kProgressStep - 1)) + 1ull));
        pos = EncodeRun(matcher, data, pos, stop, writer, StartMarks{}, ok);
    }
    return ok;
}

struct SegmentPlan {
    std::uint32_t segments = 1;  // 1: the calling thread alone
    std::uint32_t segmentBytes = 0;
    std::uint32_t leadInBytes = 0;
    unsigned threads = 1;
    const LzCompressTesting* hooks = nullptr;  // null in production
};

// How a call with `threads` threads (0: one per usable core) cuts `size` bytes; `hooks` (may be
// null) can force the segment and lead-in sizes.
SegmentPlan PlanSegments(std::uint32_t size, unsigned threads, const LzCompressTesting* hooks);

enum class SegmentOutcome {
    kDone,         // every token is in the writer
    kFailed,       // the writer failed
    kUnavailable,  // no helper could be had: nothing was written, encode on one thread instead
};

// Writes the tokens of data[0, size) to `writer` as the one-thread loop does, with the same
// progress reports, all from the calling thread.
template <class Lanes>
SegmentOutcome EncodeSegments(const std::uint8_t* data, std::uint32_t size, BitWriter& writer,
                              const LzProgress* progress, const SegmentPlan& plan,
                              LzCompressReport* report);

}  // namespace cbmp
