#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "codec/bit_writer.h"
#include "codec/lz_format.h"
#include "tests/codec/codec_test_util.h"
#include "tests/support/data_generator.h"

namespace cbmp::testing {
namespace {

// Builds streams by hand, token by token, including ones the encoder never writes.
class StreamBuilder {
  public:
    explicit StreamBuilder(std::uint32_t declaredSize) {
        EXPECT_TRUE(writer_.Create(0, 0xFFFFFFFFu));
        writer_.Put(declaredSize, 32);
    }
    StreamBuilder& Literal(std::uint8_t byte) {
        writer_.Put(std::uint32_t{byte} << 1, 9);
        return *this;
    }
    StreamBuilder& Match(std::uint32_t distance, std::uint32_t length) {
        writer_.Put(1 | (distance - 1) << 1 | (length - 3) << 16, 24);
        return *this;
    }
    StreamBuilder& End() {
        writer_.Put(kEndMarker, kEndMarkerBits);
        return *this;
    }
    Bytes Build() {
        EXPECT_TRUE(writer_.Finish());
        return {writer_.data(), writer_.data() + writer_.length()};
    }

  private:
    BitWriter writer_;
};

// What a sink was handed, chunk by chunk; it refuses the chunk that would take it past
// `refuseAfter` bytes.
struct Collected {
    Bytes bytes;
    std::size_t chunks = 0;
    std::size_t largest = 0;
    bool emptyChunk = false;
    std::size_t refuseAfter = SIZE_MAX;

    static bool Take(void* context, const std::uint8_t* bytes, std::size_t count) {
        auto* self = static_cast<Collected*>(context);
        if (self->bytes.size() + count > self->refuseAfter) {
            return false;
        }
        self->bytes.insert(self->bytes.end(), bytes, bytes + count);
        self->chunks += 1;
        self->largest = std::max(self->largest, count);
        self->emptyChunk = self->emptyChunk || count == 0;
        return true;
    }
    LzSink Sink() { return LzSink{&Take, this}; }
};

// Decodes `stream` into a sink with the given chunk size and gather, as CodecRun.
CodecRun DecompressTo(const Bytes& stream, std::uint32_t size, std::uint32_t chunk,
                      LiteralGather gather, Collected& collected) {
    const ProgressText progress("Decompressing");
    const LzDecodeResult result =
        LzDecompressToWith(stream.data(), static_cast<std::uint32_t>(stream.size()), size,
                           progress.sink(), collected.Sink(), chunk, gather);
    CodecRun run;
    run.ok = result == LzDecodeResult::kOk;
    EXPECT_TRUE(run.ok || result == LzDecodeResult::kCorrupt) << static_cast<int>(result);
    run.console = progress.text();
    if (run.ok) {
        run.bytes = collected.bytes;
    }
    return run;
}

// Decodes `stream` whole and into sinks of several chunk sizes (the window sliding after every
// few bytes, and across matches that straddle the slide), with each gather, and checks that
// every way gives the same run: the same bytes, in chunks no larger than the buffer, the same
// console, the same refusals.
CodecRun Decompress(const Bytes& stream, std::uint32_t size) {
    const CodecRun whole = testing::Decompress(stream, size);
    for (const std::uint32_t chunk : {7u, 4096u, 70000u, kDecodeChunkBytes}) {
        for (const LiteralGather gather : {LiteralGather::kPortable, LiteralGather::kBmi2}) {
            Collected collected;
            const CodecRun run = DecompressTo(stream, size, chunk, gather, collected);
            EXPECT_EQ(run.ok, whole.ok) << "chunk " << chunk;
            EXPECT_EQ(run.bytes, whole.bytes) << "chunk " << chunk;
            EXPECT_EQ(run.console, whole.console) << "chunk " << chunk;
            EXPECT_FALSE(collected.emptyChunk);
            EXPECT_LE(collected.largest, std::size_t{kWindowSize} + chunk + kMaxMatch);
        }
    }
    return whole;
}

std::string Console(std::uint32_t size) {
    char text[160];
    if (size == 0) {
        std::snprintf(text, sizeof text, "Decompressing 0 bytes...\n  Progress: 0/0 (100.0%%)\n");
    } else {
        std::snprintf(text, sizeof text,
                      "Decompressing %u bytes...\n  Progress: 0/%u (0.0%%)\r  Progress: %u/%u "
                      "(100.0%%)\n",
                      size, size, size, size);
    }
    return text;
}

TEST(LzDecompress, DecodesOverlappingMatchesAndStopsAtTheRequestedSize) {
    const Bytes stream = StreamBuilder(12).Literal('a').Literal('b').Match(2, 10).End().Build();
    CodecRun run = Decompress(stream, 12);
    ASSERT_TRUE(run.ok);
    EXPECT_EQ(run.bytes, BytesOf("abababababab"));
    EXPECT_EQ(run.console, Console(12));

    // A smaller size stops inside the match; the stream's own length field is not consulted.
    run = Decompress(stream, 5);
    ASSERT_TRUE(run.ok);
    EXPECT_EQ(run.bytes, BytesOf("ababa"));
    EXPECT_EQ(run.console, Console(5));

    // A match running past the end is cut there, and nothing after it is read.
    const Bytes cut = StreamBuilder(7).Literal('x').Literal('y').Match(2, 258).Build();
    run = Decompress(cut, 7);
    ASSERT_TRUE(run.ok);
    EXPECT_EQ(run.bytes, BytesOf("xyxyxyx"));
}

TEST(LzDecompress, CopiesMatchesOfEveryNearDistanceAndLength) {
    // The copy loop works in 8-byte steps; near distances repeat a short pattern. Each match
    // follows `distance` distinct literals and is followed by a literal it must not clobber.
    for (std::uint32_t distance = 2; distance <= 20; ++distance) {
        for (std::uint32_t length = 3; length <= 258; length += (length < 40 ? 1 : 37)) {
            StreamBuilder builder(0);
            Bytes expected;
            for (std::uint32_t i = 0; i < distance; ++i) {
                expected.push_back(static_cast<std::uint8_t>(0x40 + i));
                builder.Literal(expected.back());
            }
            builder.Match(distance, length);
            for (std::uint32_t i = 0; i < length; ++i) {
                expected.push_back(expected[expected.size() - distance]);
            }
            builder.Literal(0xEE).End();
            expected.push_back(0xEE);
            const CodecRun run =
                Decompress(builder.Build(), static_cast<std::uint32_t>(expected.size()));
            ASSERT_TRUE(run.ok);
            ASSERT_EQ(run.bytes, expected) << "distance " << distance << " length " << length;
        }
    }
}

TEST(LzDecompress, AcceptsEmptyOutputsWithoutReadingTokens) {
    // Size 0 is a valid, empty result; a 4-byte stream (just the length field) passes the check.
    const Bytes fourBytes = {0, 0, 0, 0};
    CodecRun run = Decompress(fourBytes, 0);
    EXPECT_TRUE(run.ok);
    EXPECT_EQ(run.console, "Decompressing 0 bytes...\n  Progress: 0/0 (100.0%)\n");
    run = Decompress(StreamBuilder(0).End().Build(), 0);
    EXPECT_TRUE(run.ok);
}

TEST(LzDecompress, RefusesStreamsShorterThanTheirLengthFieldSilently) {
    for (std::size_t n = 0; n < 4; ++n) {
        const CodecRun run = Decompress(Bytes(n, 0), 0);
        EXPECT_FALSE(run.ok) << n << " bytes";
        EXPECT_EQ(run.console, "") << n << " bytes";
    }
}

TEST(LzDecompress, NeverReadsPastTheEndOfTheStream) {
    // The stream continues in memory beyond streamSize with the tokens that would complete it:
    // a decoder that read past its end would succeed here.
    const Bytes full = StreamBuilder(3).Literal('a').Literal('b').Literal('c').End().Build();
    // The three literals end in bit 59, in the eighth byte.
    for (std::uint32_t visible = 5; visible < 8; ++visible) {
        const ProgressText progress("Decompressing");
        const ByteBuffer out = LzDecompress(full.data(), visible, 3, progress.sink());
        const std::string console = progress.text();
        EXPECT_EQ(out, nullptr) << visible << " visible bytes";
        EXPECT_EQ(console, Console(3)) << "the 100% line closes even a failed decoding";
    }
    // Every truncation of a real stream fails rather than returning partial data.
    const Bytes input = RandomText(5000, 5, 3);
    const Bytes stream = Compress(input).bytes;
    for (std::size_t cutAt = 4; cutAt + 2 < stream.size(); cutAt += 7) {
        const Bytes head(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(cutAt));
        EXPECT_FALSE(Decompress(head, 5000).ok) << "cut at " << cutAt;
    }
}

TEST(LzDecompress, RejectsAnEarlyEndMarkerAndMatchesBeforeTheStart) {
    CodecRun run = Decompress(StreamBuilder(5).Literal('a').Literal('b').End().Build(), 5);
    EXPECT_FALSE(run.ok);
    EXPECT_EQ(run.console, Console(5));

    run = Decompress(StreamBuilder(6).Literal('a').Literal('b').Match(3, 4).End().Build(), 6);
    EXPECT_FALSE(run.ok);
    EXPECT_EQ(run.console, Console(6));

    // Distance equal to the bytes produced so far is the farthest legal reach.
    run = Decompress(StreamBuilder(6).Literal('a').Literal('b').Match(2, 4).End().Build(), 6);
    EXPECT_TRUE(run.ok);
    EXPECT_EQ(run.bytes, BytesOf("ababab"));
}

TEST(LzDecompress, RefusesSizesNoStreamOfThatLengthCouldProduce) {
    // A 7-byte stream declaring 0xFFFFFFFF bytes: refused before any allocation or output.
    const Bytes tiny = StreamBuilder(0).End().Build();
    for (std::uint32_t size : {0xFFFFFFFFu, 0xFFFFFFF0u, 0x10000000u,
                               static_cast<std::uint32_t>(MaxDecodedSize(7)) + 1}) {
        const CodecRun run = Decompress(tiny, size);
        EXPECT_FALSE(run.ok) << size;
        EXPECT_EQ(run.console, "") << size;
    }

    // The bound is reachable in spirit: the densest stream (two literals, then matches of 258
    // bytes) decodes completely, and stays within it.
    StreamBuilder dense(2 + 258 * 100);
    dense.Literal('p').Literal('q');
    for (int i = 0; i < 100; ++i) {
        dense.Match(2, 258);
    }
    const Bytes stream = dense.Build();
    const std::uint32_t size = 2 + 258 * 100;
    ASSERT_LE(size, MaxDecodedSize(static_cast<std::uint32_t>(stream.size())));
    const CodecRun run = Decompress(stream, size);
    ASSERT_TRUE(run.ok);
    EXPECT_EQ(run.bytes, Periodic(size, BytesOf("pq")));
}

TEST(LzDecompress, RefusesSizesThatWrapThisHostsAddressSpace) {
    // On a 32-bit host the output buffer (size plus a little slack) cannot hold sizes near
    // 4 GiB: the sum would wrap to a few bytes. A stream long enough to pass the size bound must
    // still be refused before anything is allocated.
    if (sizeof(std::size_t) > 4) {
        GTEST_SKIP() << "only a 32-bit size_t can wrap";
    }
    // (Into a sink nothing of `size` is allocated: that decoding has no such limit.)
    const Bytes stream(50'000'000, 0);
    ASSERT_GE(MaxDecodedSize(static_cast<std::uint32_t>(stream.size())), 0xFFFFFFF5u);
    for (std::uint32_t size : {0xFFFFFFF0u, 0xFFFFFFF5u, 0xFFFFFFFFu}) {
        const CodecRun run = testing::Decompress(stream, size);
        EXPECT_FALSE(run.ok) << size;
        EXPECT_EQ(run.console, "") << size;
    }
}

// Decodes with each literal gather this build has, checking that all give the same run.
CodecRun DecompressWithEachGather(const Bytes& stream, std::uint32_t size) {
    CodecRun first;
    for (LiteralGather gather : {LiteralGather::kPortable, LiteralGather::kBmi2}) {
        CodecRun run;
        Bytes out(std::size_t{size} + kDecodeSlack);
        const ProgressText progress("Decompressing");
        run.ok = LzDecompressIntoWith(stream.data(), static_cast<std::uint32_t>(stream.size()),
                                      out.data(), size, progress.sink(), gather);
        run.console = progress.text();
        if (run.ok) {
            run.bytes.assign(out.data(), out.data() + size);
        }
        Collected collected;
        const CodecRun streamed = DecompressTo(stream, size, 5000, gather, collected);
        EXPECT_EQ(streamed.ok, run.ok);
        EXPECT_EQ(streamed.bytes, run.bytes);
        EXPECT_EQ(streamed.console, run.console);
        if (gather == LiteralGather::kPortable) {
            first = run;
        } else {
            EXPECT_EQ(run.ok, first.ok);
            EXPECT_EQ(run.bytes, first.bytes);
            EXPECT_EQ(run.console, first.console);
        }
    }
    return first;
}

TEST(LzDecompress, DecodesEveryMixOfLiteralRunsAndMatchesAcrossProgressSteps) {
    // Literal runs of every length from 0 to 9 (the decoder takes up to seven at once), matches
    // of near and far distances and of short and long lengths, over three progress steps; each
    // step is reported only where a token starts on it, a literal in the middle of a run too.
    std::uint32_t seed = 12345;
    const auto next = [&seed](std::uint32_t bound) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 8) % bound;
    };
    constexpr std::uint32_t kSize = 200000;
    StreamBuilder builder(kSize);
    Bytes expected;
    std::string steps;
    const auto startToken = [&] {
        const auto at = static_cast<std::uint32_t>(expected.size());
        if (at % 65536 == 0) {
            char line[64];
            std::snprintf(line, sizeof line, "  Progress: %u/%u (%.1f%%)\r", at, kSize,
                          at * 100.0 / kSize);
            steps += line;
        }
    };
    while (expected.size() < kSize) {
        for (std::uint32_t run = next(10); run > 0 && expected.size() < kSize; --run) {
            startToken();
            expected.push_back(static_cast<std::uint8_t>(next(256)));
            builder.Literal(expected.back());
        }
        if (expected.size() < 2 || expected.size() >= kSize) {
            continue;
        }
        const auto produced = static_cast<std::uint32_t>(expected.size());
        const std::uint32_t distance =
            std::min(produced, next(2) == 0 ? 2 + next(14) : 2 + next(kWindowSize - 1));
        const std::uint32_t length = next(4) == 0 ? 3 + next(256) : 3 + next(6);
        startToken();
        builder.Match(distance, length);
        for (std::uint32_t i = 0; i < length && expected.size() < kSize; ++i) {
            expected.push_back(expected[expected.size() - distance]);
        }
    }
    const Bytes stream = builder.End().Build();
    const CodecRun run = DecompressWithEachGather(stream, kSize);
    ASSERT_TRUE(run.ok);
    EXPECT_EQ(run.bytes, expected);
    EXPECT_EQ(run.console,
              "Decompressing 200000 bytes...\n" + steps + "  Progress: 200000/200000 (100.0%)\n");

    // Nothing but literals: every step starts a token.
    StreamBuilder literals(140000);
    for (std::uint32_t i = 0; i < 140000; ++i) {
        literals.Literal(static_cast<std::uint8_t>(i * 7));
    }
    const CodecRun plain = DecompressWithEachGather(literals.End().Build(), 140000);
    ASSERT_TRUE(plain.ok);
    EXPECT_EQ(plain.console,
              "Decompressing 140000 bytes...\n  Progress: 0/140000 (0.0%)\r  Progress: "
              "65536/140000 (46.8%)\r  Progress: 131072/140000 (93.6%)\r  Progress: "
              "140000/140000 (100.0%)\n");
    EXPECT_EQ(plain.bytes[131073], static_cast<std::uint8_t>(131073 * 7));

    // Cut anywhere in its last 40 bytes, short of the end marker and its padding (at most 24
    // bits, which decoding `size` bytes never needs), the stream is refused.
    for (std::size_t cut = 4; cut <= 40; cut += 3) {
        const Bytes head(stream.begin(), stream.end() - static_cast<std::ptrdiff_t>(cut));
        EXPECT_FALSE(DecompressWithEachGather(head, kSize).ok) << "cut " << cut;
    }
}

TEST(LzDecompress, DecodesIntoTheCallersBufferTouchingNothingBeyondItsSlack) {
    // As into a BMP file buffer after its 54-byte headers, and at every alignment: the bytes
    // before the output and past its slack keep their guard value.
    Bytes input = ImageLike(97, 61, 4);
    const Bytes noise = RandomBytes(3000, 9);
    input.insert(input.end(), noise.begin(), noise.end());
    const auto size = static_cast<std::uint32_t>(input.size());
    const Bytes stream = Compress(input).bytes;
    const auto streamSize = static_cast<std::uint32_t>(stream.size());
    constexpr std::uint8_t kGuard = 0xA5;
    for (std::uint32_t offset : {0u, 1u, 3u, 7u, 54u}) {
        Bytes buffer(offset + size + kDecodeSlack + 32, kGuard);
        const ProgressText progress("Decompressing");
        ASSERT_TRUE(LzDecompressInto(stream.data(), streamSize, buffer.data() + offset, size,
                                     progress.sink()));
        EXPECT_EQ(progress.text(), Console(size));
        EXPECT_TRUE(std::equal(input.begin(), input.end(), buffer.data() + offset)) << offset;
        for (std::size_t i = 0; i < buffer.size(); ++i) {
            if (i < offset || i >= offset + size + kDecodeSlack) {
                ASSERT_EQ(buffer[i], kGuard) << "offset " << offset << ", byte " << i;
            }
        }
    }

    // A refusal for an impossible size writes and reports nothing; a corrupt stream still closes
    // its progress.
    Bytes buffer(64, kGuard);
    const ProgressText silent("Decompressing");
    EXPECT_FALSE(LzDecompressInto(stream.data(), 3, buffer.data(), 8, silent.sink()));
    EXPECT_EQ(silent.text(), "");
    EXPECT_EQ(buffer, Bytes(64, kGuard));
    const Bytes early = StreamBuilder(5).Literal('a').End().Build();
    const ProgressText closed("Decompressing");
    EXPECT_FALSE(LzDecompressInto(early.data(), static_cast<std::uint32_t>(early.size()),
                                  buffer.data(), 5, closed.sink()));
    EXPECT_EQ(closed.text(), Console(5));
}

TEST(LzDecompress, PrintsProgressWhereATokenStartsOnA64KiBBoundary) {
    const Bytes zeros(100000, 0);
    const CodecRun run = Decompress(Compress(zeros).bytes, 100000);
    ASSERT_TRUE(run.ok);
    EXPECT_EQ(run.console,
              "Decompressing 100000 bytes...\n"
              "  Progress: 0/100000 (0.0%)\r"
              "  Progress: 65536/100000 (65.5%)\r"
              "  Progress: 100000/100000 (100.0%)\n");
    EXPECT_EQ(run.bytes, zeros);
}

TEST(LzDecompressTo, SlidesItsWindowWithoutLosingTheBytesMatchesReachBack) {
    // Matches reaching the whole window back, and long ones, over many slides: every chunk size
    // gives the bytes of the whole decoding, and the chunks never outgrow the buffer.
    Bytes input = ImageLike(301, 257, 3);
    const Bytes noise = RandomBytes(kWindowSize, 4);
    input.insert(input.end(), noise.begin(), noise.end());
    input.insert(input.end(), noise.begin(), noise.end());  // a copy exactly a window back
    input.insert(input.end(), 5000, 0x11);
    const auto size = static_cast<std::uint32_t>(input.size());
    const CodecRun run = Decompress(Compress(input).bytes, size);
    ASSERT_TRUE(run.ok);
    EXPECT_EQ(run.bytes, input);

    // The default buffer hands over chunks of about kDecodeChunkBytes, however large the output.
    Collected collected;
    const Bytes stream = Compress(Bytes(3 * kDecodeChunkBytes + 12345, 0x7E)).bytes;
    ASSERT_EQ(LzDecompressTo(stream.data(), static_cast<std::uint32_t>(stream.size()),
                             3 * kDecodeChunkBytes + 12345, nullptr, collected.Sink()),
              LzDecodeResult::kOk);
    EXPECT_EQ(collected.bytes, Bytes(3 * kDecodeChunkBytes + 12345, 0x7E));
    EXPECT_GE(collected.chunks, 3u);
    EXPECT_LE(collected.largest, std::size_t{kWindowSize} + kDecodeChunkBytes + kMaxMatch);
}

TEST(LzDecompressTo, StopsWhereTheSinkRefusesAndSaysSo) {
    const Bytes input = ImageLike(200, 300, 3);
    const Bytes stream = Compress(input).bytes;
    Collected collected;
    collected.refuseAfter = 100000;
    const ProgressText progress("Decompressing");
    EXPECT_EQ(LzDecompressToWith(stream.data(), static_cast<std::uint32_t>(stream.size()),
                                 static_cast<std::uint32_t>(input.size()), progress.sink(),
                                 collected.Sink(), 20000, LiteralGather::kPortable),
              LzDecodeResult::kSinkFailed);
    // What did arrive is the start of the output, in order; the 100% line still closes.
    ASSERT_LE(collected.bytes.size(), 100000u);
    EXPECT_GT(collected.bytes.size(), 0u);
    EXPECT_TRUE(std::equal(collected.bytes.begin(), collected.bytes.end(), input.begin()));
    EXPECT_EQ(progress.text().substr(progress.text().size() - 9), "(100.0%)\n");

    // A stream refused before decoding hands over nothing and reports nothing.
    Collected none;
    const ProgressText silent("Decompressing");
    EXPECT_EQ(LzDecompressTo(stream.data(), 3, 10, silent.sink(), none.Sink()),
              LzDecodeResult::kCorrupt);
    EXPECT_EQ(none.chunks, 0u);
    EXPECT_EQ(silent.text(), "");
}

}  // namespace
}  // namespace cbmp::testing
