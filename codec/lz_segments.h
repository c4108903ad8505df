// Encoding on several threads with the stream of one: the input is cut into segments, and each
// segment after the first is parsed by a helper thread from a guessed state, while the calling
// thread parses on from the start and splices a guess in where it provably continues the true
// parse. See lz_segments.cpp.
#pragma once

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

struct SegmentPlan {
    std::uint32_t segments = 1;  // 1: the calling thread alone
    std::uint32_t segmentBytes = 0;
    std::uint32_t leadInBytes = 0;
    unsigned threads = 1;
    bool waitForGuesses = false;          // see LzCompressTesting
    bool pauseBeforeWithdrawing = false;  // see LzCompressTesting
};

// How a call with `threads` threads (0: one per core) cuts `size` bytes; `segmentBytes` and
// `leadInBytes` force the cut when not 0.
SegmentPlan PlanSegments(std::uint32_t size, unsigned threads, std::uint32_t segmentBytes,
                         std::uint32_t leadInBytes);

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
