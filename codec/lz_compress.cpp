#include "codec/lz_compress.h"

#include <algorithm>
#include <memory>
#include <new>

#include "codec/bit_writer.h"
#include "codec/cpu_features.h"
#include "codec/lz_compress_testing.h"
#include "codec/lz_format.h"
#include "codec/lz_segments.h"
#include "codec/match_finder.h"

namespace cbmp {

namespace {

// Writes every token from the token start pos up to the first token start at or after stop, and
// returns that position; `ok` turns false when the writer fails. Token starts go to `starts`.
template <class Lanes>
inline std::uint32_t EncodeRunWith(Matcher<Lanes>& matcher, const std::uint8_t* data,
                                   std::uint32_t pos, std::uint32_t stop, BitWriter& writer,
                                   const StartMarks& starts, bool& ok) {
    while (pos < stop) {
        const Match match = matcher.Find(pos);
        starts.Mark(pos);
        // A best match at distance 1 has no encoding: the position becomes a literal.
        if (match.length >= kMinMatch && match.distance >= kMinDistance) {
            const std::uint32_t token = 1u | (match.distance - 1) << 1 |
                                        (match.length - kMinMatch) << (1 + kDistanceFieldBits);
            if (!writer.Put(token, kMatchBits)) {
                ok = false;
                return pos;
            }
            pos += match.length;
        } else {
            if (!writer.Put(std::uint32_t{data[pos]} << 1, kLiteralBits)) {
                ok = false;
                return pos;
            }
            pos += 1;
        }
    }
    return pos;
}

}  // namespace

// The token loop for each scan width, each compiled for the instruction set its scan needs.
std::uint32_t EncodeRun(Matcher<WordLanes>& matcher, const std::uint8_t* data, std::uint32_t pos,
                        std::uint32_t stop, BitWriter& writer, const StartMarks& starts, bool& ok) {
    return EncodeRunWith(matcher, data, pos, stop, writer, starts, ok);
}

#if CBMP_X86_SCANS
__attribute__((target("avx2"), flatten)) std::uint32_t EncodeRun(
    Matcher<Avx2Lanes>& matcher, const std::uint8_t* data, std::uint32_t pos, std::uint32_t stop,
    BitWriter& writer, const StartMarks& starts, bool& ok) {
    return EncodeRunWith(matcher, data, pos, stop, writer, starts, ok);
}
#endif

namespace {

// One thread, front to back: the plain greedy loop, stopping at each multiple of 65,536 to report
// a token that starts there.
template <class Lanes>
bool EncodeSerial(const std::uint8_t* data, std::uint32_t size, BitWriter& writer,
                  const LzProgress* progress) {
    Matcher<Lanes> matcher;
    if (!matcher.Create(data, size)) {
        return false;
    }
    bool ok = true;
    std::uint32_t pos = 0;
    while (ok && pos < size) {
        if (pos % kProgressStep == 0) {
            Report(progress, LzEvent::kStep, pos, size);
        }
        const std::uint32_t stop = static_cast<std::uint32_t>(
            std::min<std::uint64_t>(size, (pos | (kProgressStep - 1)) + 1ull));
        pos = EncodeRun(matcher, data, pos, stop, writer, StartMarks{}, ok);
    }
    return ok;
}

template <class Lanes>
bool EncodeTokens(const std::uint8_t* data, std::uint32_t size, BitWriter& writer,
                  const LzProgress* progress, const SegmentPlan& plan, LzCompressReport* report) {
    if (plan.segments > 1) {
        const SegmentOutcome outcome =
            EncodeSegments<Lanes>(data, size, writer, progress, plan, report);
        if (outcome != SegmentOutcome::kUnavailable) {
            return outcome == SegmentOutcome::kDone;
        }
    }
    if (report != nullptr) {
        *report = LzCompressReport{1, 0, 0};
    }
    return EncodeSerial<Lanes>(data, size, writer, progress);
}

bool UseAvx2(MatchScan scan) {
    return scan != MatchScan::kPortable && MatchScanAvailable(MatchScan::kAvx2);
}

#if CBMP_X86_SCANS
__attribute__((target("avx2"), flatten)) Match FindAvx2(const std::uint8_t* data, std::uint32_t pos,
                                                        std::uint32_t size,
                                                        std::uint32_t headEntry) {
    return FindLongestMatchIn<Avx2Lanes>(data, pos, size, headEntry);
}
#else
Match FindAvx2(const std::uint8_t* data, std::uint32_t pos, std::uint32_t size,
               std::uint32_t headEntry) {
    return FindLongestMatchIn<WordLanes>(data, pos, size, headEntry);
}
#endif

}  // namespace

bool MatchScanAvailable(MatchScan scan) {
    switch (scan) {
        case MatchScan::kAvx2:
            return CBMP_X86_SCANS && HostCpuFeatures().avx2;
        case MatchScan::kBest:
        case MatchScan::kPortable:
            return true;
    }
    return false;
}

std::uint32_t FindLongestMatchWith(MatchScan scan, const std::uint8_t* data, std::uint32_t pos,
                                   std::uint32_t size, std::uint32_t headEntry,
                                   std::uint32_t& matchPos) {
    const Match match = UseAvx2(scan) ? FindAvx2(data, pos, size, headEntry)
                                      : FindLongestMatchIn<WordLanes>(data, pos, size, headEntry);
    if (match.length != 0) {
        matchPos = pos - match.distance;
    }
    return match.length;
}

std::uint16_t Hash3(const std::uint8_t* bytes, std::uint32_t n) {
    std::uint32_t h = 0;
    const std::uint32_t count = std::min<std::uint32_t>(n, 4);
    for (std::uint32_t i = 0; i < count; ++i) {
        h = h * 33 + bytes[i];
    }
    return static_cast<std::uint16_t>(h);
}

std::uint32_t FindLongestMatch(const std::uint8_t* data, std::uint32_t pos, std::uint32_t size,
                               const std::uint32_t* head, std::uint32_t& matchPos) {
    if (std::uint64_t{pos} + kMinMatch > size) {
        return 0;
    }
    return FindLongestMatchWith(MatchScan::kBest, data, pos, size, head[HeadHash(data + pos)],
                                matchPos);
}

ByteBuffer LzCompressForTesting(const std::uint8_t* data, std::uint32_t size,
                                std::uint32_t& streamSize, const LzCompressOptions& options,
                                const LzCompressTesting& testing, LzCompressReport* report) {
    // Reserve the largest stream this input can give, when it fits, so that the writer never
    // grows and never copies; a larger one is still written if the actual stream fits.
    const std::uint64_t worstCase = WorstCaseStreamSize(size);
    BitWriter writer;
    if (!writer.Create(static_cast<std::uint32_t>(std::min<std::uint64_t>(worstCase, 0xFFFFFFFFu)),
                       testing.maxStreamBytes)) {
        return nullptr;
    }
    SegmentPlan plan =
        PlanSegments(size, options.threads, testing.segmentBytes, testing.leadInBytes);
    plan.waitForGuesses = testing.waitForGuesses;
    plan.pauseBeforeWithdrawing = testing.pauseBeforeWithdrawing;
    Report(options.progress, LzEvent::kStart, 0, size);
    if (!writer.Put(size, kLengthFieldBits)) {
        return nullptr;
    }
    bool ok = false;
#if CBMP_X86_SCANS
    if (UseAvx2(testing.scan)) {
        ok = EncodeTokens<Avx2Lanes>(data, size, writer, options.progress, plan, report);
    } else
#endif
    {
        ok = EncodeTokens<WordLanes>(data, size, writer, options.progress, plan, report);
    }
    if (!ok) {
        return nullptr;
    }
    Report(options.progress, LzEvent::kEnd, size, size);
    if (!writer.Put(kEndMarker, kEndMarkerBits) || !writer.Finish()) {
        return nullptr;
    }
    streamSize = writer.length();
    return writer.Release();
}

ByteBuffer LzCompressWith(const std::uint8_t* data, std::uint32_t size, std::uint32_t& streamSize,
                          const LzCompressOptions& options) {
    return LzCompressForTesting(data, size, streamSize, options, LzCompressTesting{});
}

ByteBuffer LzCompress(const std::uint8_t* data, std::uint32_t size, std::uint32_t& streamSize,
                      const LzProgress* progress) {
    LzCompressOptions options;
    options.progress = progress;
    return LzCompressWith(data, size, streamSize, options);
}

bool LzCompressTo(const std::uint8_t* data, std::uint32_t size, const LzCompressOptions& options,
                  const LzSink& sink, std::uint32_t& streamSize) {
    std::uint32_t length = 0;
    const ByteBuffer stream = LzCompressWith(data, size, length, options);
    if (!stream || !sink.write(sink.context, stream.get(), length)) {
        return false;
    }
    streamSize = length;
    return true;
}

}  // namespace cbmp
