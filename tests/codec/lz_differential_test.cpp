// The fast encoder against the reference encoder: the same stream, byte for byte, for every
// scan this host offers and on 1, 2, 3 and 8 threads.
#include <gtest/gtest.h>

#include <random>
#include <set>
#include <vector>

#include "codec/lz_compress.h"
#include "codec/lz_compress_testing.h"
#include "codec/lz_format.h"
#include "tests/codec/codec_test_util.h"
#include "tests/reference/reference_lz_compress.h"
#include "tests/support/data_generator.h"
#include "tests/support/stream_tokens.h"

namespace cbmp::testing {
namespace {

// Every scan this processor runs; the portable one runs everywhere.
std::vector<MatchScan> Scans() {
    std::vector<MatchScan> scans = {MatchScan::kPortable};
    if (MatchScanAvailable(MatchScan::kAvx2)) {
        scans.push_back(MatchScan::kAvx2);
    }
    return scans;
}

const char* Name(MatchScan scan) {
    return scan == MatchScan::kAvx2 ? "avx2" : "portable";
}

TEST(LzDifferential, RunsEveryScanThisHostOffers) {
    std::string names;
    for (MatchScan scan : Scans()) {
        names += std::string(Name(scan)) + " ";
    }
    std::printf("scans under test: %s\n", names.c_str());
    EXPECT_TRUE(MatchScanAvailable(MatchScan::kPortable));
    EXPECT_TRUE(MatchScanAvailable(MatchScan::kBest));
}

Bytes Stream(const ByteBuffer& buffer, std::uint32_t size) {
    return buffer ? Bytes(buffer.get(), buffer.get() + size) : Bytes{};
}

// Compresses with the reference, and with every scan on one thread and on 2, 3 and 8 threads
// cut into segments of `segmentBytes`, and expects identical streams and console lines.
void ExpectSameStream(const Bytes& input, std::uint32_t segmentBytes = 16384) {
    const auto size = static_cast<std::uint32_t>(input.size());
    std::uint32_t refSize = 0;
    const ProgressText refProgress("Compressing");
    const ByteBuffer ref = reference::LzCompress(input.data(), size, refSize, refProgress.sink());
    const std::string& refConsole = refProgress.text();
    ASSERT_NE(ref, nullptr);
    for (MatchScan scan : Scans()) {
        for (unsigned threads : {1u, 2u, 3u, 8u}) {
            std::uint32_t fastSize = 0;
            const ProgressText fastProgress("Compressing");
            LzCompressTesting testing;
            testing.scan = scan;
            testing.segmentBytes = segmentBytes;
            const ByteBuffer fast = LzCompressForTesting(input.data(), size, fastSize,
                                                         {threads, fastProgress.sink()}, testing);
            const std::string& fastConsole = fastProgress.text();
            ASSERT_NE(fast, nullptr) << Name(scan) << " threads " << threads;
            ASSERT_EQ(Stream(fast, fastSize), Stream(ref, refSize))
                << Name(scan) << " scan on " << threads << " threads differs on " << size
                << " bytes";
            EXPECT_EQ(fastConsole, refConsole) << Name(scan) << " threads " << threads;
        }
    }
}

// Data built from copies of its own past at random distances (1 to 40,000) and lengths (1 to
// 300), mixed with fresh bytes: every match rule and window edge is met many times.
Bytes SelfSimilar(std::size_t size, std::uint32_t alphabet, std::uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes out;
    out.reserve(size);
    while (out.size() < size) {
        if (out.empty() || rng() % 3 == 0) {
            out.push_back(static_cast<std::uint8_t>(rng() % alphabet));
            continue;
        }
        const std::size_t distance = 1 + rng() % std::min<std::size_t>(out.size(), 40000);
        std::size_t length = 1 + rng() % 300;
        const std::size_t from = out.size() - distance;
        for (std::size_t i = 0; i < length && out.size() < size; ++i) {
            out.push_back(out[from + i]);
        }
    }
    return out;
}

TEST(LzDifferential, MatchesTheReferenceOnStructuredData) {
    std::vector<Bytes> inputs = {
        {},
        Bytes(1, 7),
        Bytes(3, 7),
        Bytes(200000, 0),        // one long run: literals throughout
        Runs(150000, 600, 1),    // runs of every length, some past 258
        RandomBytes(140000, 2),  // incompressible, crossing 65,536-byte boundaries
        ImageLike(512, 200, 3),  // pixel rows wider than the window reach
    };
    for (std::uint32_t period = 2; period <= 7; ++period) {
        inputs.push_back(Periodic(70000 + period, RandomBytes(period, period)));
    }
    for (const Bytes& input : inputs) {
        ExpectSameStream(input);
    }
}

TEST(LzDifferential, MatchesTheReferenceWithEverySegmentSize) {
    // Segment boundaries land on every kind of token: inside matches, on literals, at 64 KiB
    // progress marks, and just before the input's end.
    const Bytes photo = ImagePixels(ImageKind::kPhoto, 400, 300, 7);
    const Bytes flat = ImagePixels(ImageKind::kFlat, 400, 250, 8);
    for (std::uint32_t segment : {16384u, 49152u, 65536u, 81920u}) {
        SCOPED_TRACE(segment);
        ExpectSameStream(photo, segment);
        ExpectSameStream(flat, segment);
    }
}

TEST(LzDifferential, MatchesTheReferenceOnSelfSimilarData) {
    for (std::uint32_t seed = 1; seed <= 12; ++seed) {
        SCOPED_TRACE(seed);
        const std::uint32_t alphabets[] = {2, 3, 4, 16, 256};
        ExpectSameStream(SelfSimilar(20000 + seed * 9000, alphabets[seed % 5], seed));
    }
}

TEST(LzDifferential, MatchesTheReferenceOnEveryShortInput) {
    // All inputs of up to 8 bytes over a 2-letter alphabet: the last-three-bytes rules, the
    // distance-1 refusal and overlapping matches at the smallest scale.
    for (std::uint32_t length = 0; length <= 8; ++length) {
        for (std::uint32_t bits = 0; bits < (1u << length); ++bits) {
            Bytes input;
            for (std::uint32_t i = 0; i < length; ++i) {
                input.push_back(static_cast<std::uint8_t>('a' + ((bits >> i) & 1)));
            }
            ExpectSameStream(input);
        }
    }
}

TEST(LzDifferential, FindsTheSameMatchForAnyHeadEntry) {
    // The scan on its own, with head entries placed at the budget edge, the window start and
    // the start of the data, over data rich in 3-byte repeats.
    const Bytes data = SelfSimilar(120000, 3, 77);
    const auto size = static_cast<std::uint32_t>(data.size());
    std::vector<std::uint32_t> head(kHashSize, kNoPosition);
    std::mt19937 engine(78);
    auto rng = [&engine] { return static_cast<std::uint32_t>(engine()); };
    for (int i = 0; i < 20000; ++i) {
        const std::uint32_t pos = rng() % (size - 2);
        const std::uint32_t windowStart = pos > kWindowSize ? pos - kWindowSize : 0;
        std::uint32_t entry = 0;
        switch (i % 5) {
            case 0:
                entry = pos == 0 ? 0 : pos - 1 - rng() % std::min<std::uint32_t>(pos, 300);
                break;
            case 1:
                entry = windowStart + rng() % 130;
                break;  // candidates cross the window start
            case 2:
                entry = rng() % 140;
                break;  // candidates reach position 0
            case 3:
                entry = pos == 0 ? 0 : rng() % pos;
                break;
            default:
                entry = kNoPosition;
                break;
        }
        if (entry >= pos) {
            entry = kNoPosition;
        }
        const std::uint16_t hash = reference::Hash3(&data[pos], 3);
        head[hash] = entry;
        std::uint32_t refPos = 0;
        const std::uint32_t ref =
            reference::FindLongestMatch(data.data(), pos, size, head.data(), refPos);
        for (MatchScan scan : Scans()) {
            std::uint32_t fastPos = 0;
            const std::uint32_t fast =
                FindLongestMatchWith(scan, data.data(), pos, size, entry, fastPos);
            ASSERT_EQ(fast, ref) << Name(scan) << " pos " << pos << " entry " << entry;
            if (ref != 0) {
                ASSERT_EQ(fastPos, refPos) << Name(scan) << " pos " << pos << " entry " << entry;
            }
        }
        head[hash] = kNoPosition;
    }
}

// The match the reference finds at pos from head entry `entry`, and its start.
struct ReferenceMatch {
    std::uint32_t length = 0;
    std::uint32_t start = 0;
};

ReferenceMatch ReferenceSearch(const Bytes& data, std::uint32_t pos, std::uint32_t entry,
                               std::vector<std::uint32_t>& head) {
    const auto size = static_cast<std::uint32_t>(data.size());
    ReferenceMatch ref;
    if (std::uint64_t{pos} + 3 > size) {
        ref.length = reference::FindLongestMatch(data.data(), pos, size, head.data(), ref.start);
        return ref;
    }
    const std::uint16_t hash = reference::Hash3(&data[pos], 3);
    head[hash] = entry;
    ref.length = reference::FindLongestMatch(data.data(), pos, size, head.data(), ref.start);
    head[hash] = kNoPosition;
    return ref;
}

// Expects every scan to find the reference's match at every position of `data`, from a head entry
// just before the position (all 128 candidates in reach) and from one a little further back.
void ExpectSameMatchEverywhere(const Bytes& data, std::uint32_t seed) {
    const auto size = static_cast<std::uint32_t>(data.size());
    std::vector<std::uint32_t> head(kHashSize, kNoPosition);
    std::mt19937 rng(seed);
    for (std::uint32_t pos = 1; pos < size; ++pos) {
        const std::uint32_t back = static_cast<std::uint32_t>(rng() % 200);
        for (const std::uint32_t entry : {pos - 1, pos > back + 1 ? pos - 1 - back : 0u}) {
            const ReferenceMatch ref = ReferenceSearch(data, pos, entry, head);
            for (MatchScan scan : Scans()) {
                std::uint32_t start = 0;
                const std::uint32_t length =
                    FindLongestMatchWith(scan, data.data(), pos, size, entry, start);
                ASSERT_EQ(length, ref.length)
                    << Name(scan) << " pos " << pos << " of " << size << " entry " << entry;
                if (ref.length != 0) {
                    ASSERT_EQ(start, ref.start) << Name(scan) << " pos " << pos << " of " << size
                                                << " entry " << entry << " length " << length;
                }
            }
        }
    }
}

TEST(LzDifferential, FindsTheSameMatchWhereManyCandidatesTie) {
    // Short periods with a few bytes changed: dozens of the 128 candidates share the first three
    // bytes and many reach the same length, so the nearest of the longest must be told apart; the
    // changes put the longest at every length around the 32-byte stop, and every position is
    // searched, the last ones with a limit below 33.
    std::mt19937 rng(90);
    for (std::uint32_t period : {1u, 2u, 3u, 4u, 5u, 8u, 16u, 31u, 32u, 33u, 34u, 40u}) {
        for (std::uint32_t changeEvery : {7u, 29u, 61u, 400u}) {
            SCOPED_TRACE(::testing::Message()
                         << "period " << period << " change every " << changeEvery);
            Bytes data = Periodic(1500, RandomBytes(period, period));
            for (Bytes::size_type i = rng() % changeEvery; i < data.size();
                 i += 1 + rng() % (2 * changeEvery)) {
                data[i] = static_cast<std::uint8_t>(data[i] ^ (1 + rng() % 3));
            }
            ExpectSameMatchEverywhere(data, period * 1000 + changeEvery);
        }
    }
    for (std::uint32_t alphabet : {2u, 3u}) {
        SCOPED_TRACE(alphabet);
        Bytes data = RandomBytes(2000, alphabet);
        for (std::uint8_t& b : data) {
            b = static_cast<std::uint8_t>(b % alphabet);
        }
        ExpectSameMatchEverywhere(data, alphabet);
    }
}

// Random bytes none of whose three-byte sequences hashes like any in `avoid`: filler that never
// shadows their head-table entries.
Bytes FillerAvoiding(std::size_t size, const Bytes& avoid, std::uint32_t seed) {
    std::set<std::uint16_t> hashes;
    for (std::size_t i = 0; i + 3 <= avoid.size(); ++i) {
        hashes.insert(reference::Hash3(&avoid[i], 3));
    }
    std::mt19937 rng(seed);
    Bytes out;
    while (out.size() < size) {
        out.push_back(static_cast<std::uint8_t>(rng() >> 24));
        if (out.size() >= 3 && hashes.count(reference::Hash3(&out[out.size() - 3], 3)) != 0) {
            out.pop_back();
        }
    }
    return out;
}

TEST(LzDifferential, FindsCandidatesInsideLongMatchesUntilTheyLeaveTheWindow) {
    // Positions inside a long match are never head entries, yet they are candidates. Here the
    // best candidate for Y at `query` lies inside such a match, exactly 32,768 bytes back, and is
    // reachable only through the head entry of the token right after that match.
    const Bytes y = RandomBytes(20, 41);  // Y, starting with the key K
    Bytes b = RandomBytes(80, 42);        // B = 80 random bytes + Y
    b.insert(b.end(), y.begin(), y.end());
    Bytes avoid = y;
    Bytes input = b;  // B at 0, Y at 80
    const Bytes gap = FillerAvoiding(200, avoid, 43);
    input.insert(input.end(), gap.begin(), gap.end());
    const auto copyAt = static_cast<std::uint32_t>(input.size());  // B again: a long match
    input.insert(input.end(), b.begin(), b.end());
    input.insert(input.end(), y.begin(), y.begin() + 3);  // K alone: a 3-byte match
    const Bytes after = FillerAvoiding(5, avoid, 44);
    input.insert(input.end(), after.begin(), after.end());
    const std::uint32_t query = copyAt + 80 + kWindowSize;
    const Bytes filler = FillerAvoiding(query - input.size(), avoid, 45);
    input.insert(input.end(), filler.begin(), filler.end());
    input.insert(input.end(), y.begin(), y.end());
    const Bytes tail = FillerAvoiding(10, avoid, 46);
    input.insert(input.end(), tail.begin(), tail.end());

    ExpectSameStream(input);
    const Bytes stream = Compress(input).bytes;
    const ParsedStream parsed = *ParseStream(stream.data(), stream.size());
    bool found = false;
    for (const Token& t : parsed.tokens) {
        if (t.start == copyAt) {
            EXPECT_TRUE(t.match && t.length >= 64) << "the copy of B should be one long match";
        }
        if (t.start == query) {
            found = t.match && t.distance == kWindowSize && t.length >= 20;
        }
    }
    EXPECT_TRUE(found) << "Y should match its copy inside the long match, 32,768 bytes back";
}

TEST(LzDifferential, StopsOnlyAfterMoreThan32Bytes) {
    // A near candidate of exactly 32 bytes lets the scan go on to a farther, longer one; one of
    // 33 bytes ends the scan at once.
    const Bytes r = RandomBytes(64, 5);
    for (std::uint32_t nearLength : {32u, 33u}) {
        Bytes input(r.begin(), r.begin() + 40);  // far copy: 40 bytes at 0
        const Bytes gap = RandomBytes(10, 6);
        input.insert(input.end(), gap.begin(), gap.end());
        const std::uint32_t nearAt = static_cast<std::uint32_t>(input.size());  // 50
        input.insert(input.end(), r.begin(), r.begin() + static_cast<std::ptrdiff_t>(nearLength));
        input.push_back(static_cast<std::uint8_t>(r[nearLength] ^ 0x55));
        const Bytes filler = RandomBytes(400, 7);
        input.insert(input.end(), filler.begin(), filler.end());
        const auto queryAt = static_cast<std::uint32_t>(input.size());
        input.insert(input.end(), r.begin(), r.begin() + 40);
        ExpectSameStream(input);

        const Bytes stream = Compress(input).bytes;
        const ParsedStream parsed = *ParseStream(stream.data(), stream.size());
        for (const Token& t : parsed.tokens) {
            if (t.start == queryAt) {
                EXPECT_TRUE(t.match);
                EXPECT_EQ(t.distance, nearLength == 32 ? queryAt : queryAt - nearAt);
            }
        }
    }
}

}  // namespace
}  // namespace cbmp::testing
