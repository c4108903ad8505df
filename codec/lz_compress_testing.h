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

struct LzCompressTesting {
    // A stream that would grow past this many bytes fails the call.
    std::uint32_t maxStreamBytes = 0xFFFFFFFFu;
    MatchScan scan = MatchScan::kBest;
    // Bytes a thread's segment spans (rounded up to 16 KiB) and how far before its start the
    // thread begins its guess; 0 chooses as LzCompress does. Small segments put many joins into
    // a small input.
    std::uint32_t segmentBytes = 0;
    std::uint32_t leadInBytes = 0;
    // The calling thread waits for each segment's guess instead of parsing on without it, so
    // that which segments join depends on the data alone, not on how the threads are scheduled.
    bool waitForGuesses = false;
    // The calling thread pauses for a millisecond after finding a guess still queued and before
    // taking it back, so that a helper takes it first: the race between the two made easy to win.
    bool pauseBeforeWithdrawing = false;
};

// True when `scan` runs on this processor.
bool MatchScanAvailable(MatchScan scan);

// How a multi-threaded call went, for tests and benchmarks.
struct LzCompressReport {
    std::uint32_t segments = 0;   // 1 when the call ran on one thread
    std::uint32_t joins = 0;      // segments whose guessed tokens were spliced in
    std::uint64_t joinBytes = 0;  // bytes parsed again past segment starts before the joins
};

ByteBuffer LzCompressForTesting(const std::uint8_t* data, std::uint32_t size,
                                std::uint32_t& streamSize, const LzCompressOptions& options,
                                const LzCompressTesting& testing,
                                LzCompressReport* report = nullptr);

// The candidate search alone, from a given head-table entry.
std::uint32_t FindLongestMatchWith(MatchScan scan, const std::uint8_t* data, std::uint32_t pos,
                                   std::uint32_t size, std::uint32_t headEntry,
                                   std::uint32_t& matchPos);

}  // namespace cbmp
