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
    return matcher.Create(data, size) && EncodeToEnd(matcher, data, 0, size, writer, progress);
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
        *report = LzCompressReport{};
        report->segments = 1;
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

namespace {

// Collects a stream handed over in chunks into one buffer, for the callers that want it whole.
// The buffer is reserved for the worst case where that can be had (only the pages the stream
// reaches are touched), and otherwise starts small and doubles.
class StreamCollector {
  public:
    bool Reserve(std::uint64_t worstCase) {
        for (const std::uint64_t wanted : {worstCase, std::uint64_t{BitWriter::kChunkBytes}}) {
            buffer_ = AllocateBytes(static_cast<std::size_t>(wanted));
            if (buffer_) {
                capacity_ = wanted;
                return true;
            }
        }
        return false;
    }

    const LzSink& sink() const { return sink_; }
    ByteBuffer Release() { return std::move(buffer_); }

  private:
    static bool Write(void* context, const std::uint8_t* bytes, std::size_t count) {
        auto* self = static_cast<StreamCollector*>(context);
        if (self->capacity_ - self->length_ < count) {
            std::uint64_t next = std::max<std::uint64_t>(self->capacity_, 4096);
            while (next - self->length_ < count) {
                next *= 2;
            }
            ByteBuffer bigger = AllocateBytes(static_cast<std::size_t>(next));
            if (!bigger) {
                return false;
            }
            std::copy_n(self->buffer_.get(), self->length_, bigger.get());
            self->buffer_ = std::move(bigger);
            self->capacity_ = next;
        }
        std::copy_n(bytes, count, self->buffer_.get() + self->length_);
        self->length_ += count;
        return true;
    }

    ByteBuffer buffer_;
    std::uint64_t capacity_ = 0;
    std::uint64_t length_ = 0;
    LzSink sink_{&Write, this};
};

// The encoder behind every entry point: the stream goes to `sink` as it is written. `hooks` is
// null in production.
bool EncodeStream(const std::uint8_t* data, std::uint32_t size, const LzCompressOptions& options,
                  const LzSink& sink, std::uint32_t& streamSize, const LzCompressTesting* hooks,
                  LzCompressReport* report) {
    const std::uint32_t chunkBytes = hooks != nullptr && hooks->chunkBytes != 0
                                         ? (std::min(hooks->chunkBytes, 1u << 30) + 3) & ~3u
                                         : BitWriter::kChunkBytes;
    BitWriter writer;
    if (!writer.CreateStreaming(sink, hooks != nullptr ? hooks->maxStreamBytes : 0xFFFFFFFFu,
                                chunkBytes)) {
        return false;
    }
    const SegmentPlan plan = PlanSegments(size, options.threads, hooks);
    Report(options.progress, LzEvent::kStart, 0, size);
    if (!writer.Put(size, kLengthFieldBits)) {
        return false;
    }
    bool ok = false;
#if CBMP_X86_SCANS
    if (UseAvx2(hooks != nullptr ? hooks->scan : MatchScan::kBest)) {
        ok = EncodeTokens<Avx2Lanes>(data, size, writer, options.progress, plan, report);
    } else
#endif
    {
        ok = EncodeTokens<WordLanes>(data, size, writer, options.progress, plan, report);
    }
    if (!ok) {
        return false;
    }
    Report(options.progress, LzEvent::kEnd, size, size);
    if (!writer.Put(kEndMarker, kEndMarkerBits) || !writer.Finish()) {
        return false;
    }
    streamSize = static_cast<std::uint32_t>(writer.byte_count());
    return true;
}

ByteBuffer CollectStream(const std::uint8_t* data, std::uint32_t size, std::uint32_t& streamSize,
                         const LzCompressOptions& options, const LzCompressTesting* hooks,
                         LzCompressReport* report) {
    const std::uint32_t limit = hooks != nullptr ? hooks->maxStreamBytes : 0xFFFFFFFFu;
    StreamCollector collector;
    std::uint32_t length = 0;
    if (!collector.Reserve(std::min<std::uint64_t>(WorstCaseStreamSize(size), limit)) ||
        !EncodeStream(data, size, options, collector.sink(), length, hooks, report)) {
        return nullptr;
    }
    streamSize = length;
    return collector.Release();
}

}  // namespace

ByteBuffer LzCompressWith(const std::uint8_t* data, std::uint32_t size, std::uint32_t& streamSize,
                          const LzCompressOptions& options) {
    return CollectStream(data, size, streamSize, options, nullptr, nullptr);
}

ByteBuffer LzCompress(const std::uint8_t* data, std::uint32_t size, std::uint32_t& streamSize,
                      const LzProgress* progress) {
    LzCompressOptions options;
    options.progress = progress;
    return LzCompressWith(data, size, streamSize, options);
}

bool LzCompressTo(const std::uint8_t* data, std::uint32_t size, const LzCompressOptions& options,
                  const LzSink& sink, std::uint32_t& streamSize) {
    return EncodeStream(data, size, options, sink, streamSize, nullptr, nullptr);
}

ByteBuffer LzCompressForTesting(const std::uint8_t* data, std::uint32_t size,
                                std::uint32_t& streamSize, const LzCompressOptions& options,
                                const LzCompressTesting& testing, LzCompressReport* report) {
    return CollectStream(data, size, streamSize, options, &testing, report);
}

bool LzCompressToForTesting(const std::uint8_t* data, std::uint32_t size,
                            const LzCompressOptions& options, const LzSink& sink,
                            std::uint32_t& streamSize, const LzCompressTesting* testing,
                            LzCompressReport* report) {
    return EncodeStream(data, size, options, sink, streamSize, testing, report);
}

}  // namespace cbmp
