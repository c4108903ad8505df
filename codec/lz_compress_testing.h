// Knobs of the encoder that only tests and benchmarks turn: they reach, on small inputs, the
// paths that real inputs reach at gigabytes or on other processors. None changes the stream.
#pragma once

#include <cstdint>

#include "codec/lz_compress.h"

namespace cbmp {

// The candidate scans (match_finder.h). All of them find the same match.
enum class MatchScan {
    // The widest this processor runs.
    kBest,
    // Eight candidates' first three bytes a step in a 64-bit word, then one by one.
    kPortable,
    // All 128 candidates byte level by byte level; x86 with AVX2 (else the portable one).
    kAvx2,
};

// The knobs, passed as one pointer that is null in production.
struct LzCompressTesting {
    // A stream that would grow past this many bytes fails the call.
    std::uint32_t maxStreamBytes = 0xFFFFFFFFu;
    MatchScan scan = MatchScan::kBest;
    // Bytes a thread's segment spans (rounded up to 16 KiB) and how far before its start the
    // thread begins its guess; 0 chooses as LzCompress does. Small segments put many joins into
    // a small input.
    std::uint32_t segmentBytes = 0;
    std::uint32_t leadInBytes = 0;
    // The calling thread waits for each segment's guess to be parsed instead of parsing on
    // without it, so that which segments join depends on the data alone, not on how the threads
    // are scheduled. (Production never waits: a helper may be starved of a core indefinitely.)
    bool waitForGuesses = false;
    // Bytes the stream is handed to the sink in (rounded up to a multiple of 4); 0 for 128 KiB.
    // Small chunks put many hand-overs, and splices across them, into a small stream.
    std::uint32_t chunkBytes = 0;
    // Helpers pause this many microseconds at every 16 KiB of a guess: helpers on a machine with
    // no idle core, which the calling thread overtakes.
    std::uint32_t helperPauseMicroseconds = 0;
};

// True when `scan` runs on this processor.
bool MatchScanAvailable(MatchScan scan);

// How a multi-threaded call went, for tests and benchmarks.
struct LzCompressReport {
    std::uint32_t segments = 0;    // 1 when the call ran on one thread
    std::uint32_t joins = 0;       // segments whose guessed tokens were spliced in
    std::uint64_t joinBytes = 0;   // bytes parsed again past segment starts before the joins
    std::uint32_t guesses = 0;     // guesses the helpers finished parsing
    bool stoppedGuessing = false;  // a guess failed to join, and guessing ended for the call
};

// LzCompressWith and LzCompressTo with the knobs above (null: as in production), reporting how
// the threads went to `report` when it is not null.
ByteBuffer LzCompressForTesting(const std::uint8_t* data, std::uint32_t size,
                                std::uint32_t& streamSize, const LzCompressOptions& options,
                                const LzCompressTesting& testing,
                                LzCompressReport* report = nullptr);
bool LzCompressToForTesting(const std::uint8_t* data, std::uint32_t size,
                            const LzCompressOptions& options, const LzSink& sink,
                            std::uint32_t& streamSize, const LzCompressTesting* testing,
                            LzCompressReport* report = nullptr);

// Waits until no helper thread of any earlier call is alive: a call leaves its helpers to end on
// their own, and helpers still ending count against the next calls' (so that a test that needs
// helpers can have them).
void WaitForHelpersToEnd();

// The candidate search alone, from a given head-table entry.
std::uint32_t FindLongestMatchWith(MatchScan scan, const std::uint8_t* data, std::uint32_t pos,
                                   std::uint32_t size, std::uint32_t headEntry,
                                   std::uint32_t& matchPos);

}  // namespace cbmp
