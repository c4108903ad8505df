// The encoder on several threads: the stream and the console lines of one thread, whatever the
// data does to the guessed segments, and calls from many threads at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <vector>

#include "codec/lz_compress_testing.h"
#include "tests/codec/codec_test_util.h"
#include "tests/reference/reference_lz_compress.h"
#include "tests/support/data_generator.h"

namespace cbmp::testing {
namespace {

struct Expected {
    Bytes stream;
    std::string console;
};

Expected Reference(const Bytes& input) {
    std::uint32_t size = 0;
    const ProgressText progress("Compressing");
    const ByteBuffer ref = reference::LzCompress(
        input.data(), static_cast<std::uint32_t>(input.size()), size, progress.sink());
    EXPECT_NE(ref, nullptr);
    return {ref ? Bytes(ref.get(), ref.get() + size) : Bytes{}, progress.text()};
}

// Compresses on `threads` threads and returns the stream and console lines, and how it went.
// (Helpers of earlier calls are let end first, so that this call can have its own.)
Expected Compress(const Bytes& input, unsigned threads, const LzCompressTesting& testing,
                  LzCompressReport* report = nullptr) {
    WaitForHelpersToEnd();
    std::uint32_t size = 0;
    const ProgressText progress("Compressing");
    const ByteBuffer out =
        LzCompressForTesting(input.data(), static_cast<std::uint32_t>(input.size()), size,
                             {threads, progress.sink()}, testing, report);
    EXPECT_NE(out, nullptr);
    return {out ? Bytes(out.get(), out.get() + size) : Bytes{}, progress.text()};
}

void Append(Bytes& out, const Bytes& more) {
    out.insert(out.end(), more.begin(), more.end());
}

// Inputs that a guess from an empty table gets wrong for a long way, or never gets right.
std::vector<std::pair<const char*, Bytes>> AdversarialInputs() {
    std::vector<std::pair<const char*, Bytes>> inputs;
    {
        // Runs of one byte that start just before, on and just after segment boundaries (16 and
        // 32 KiB), each long enough to cross several.
        Bytes runs = RandomBytes(16384 - 5, 1);
        runs.insert(runs.end(), 70000, 'a');
        Append(runs, RandomBytes(16384 * 7 - runs.size(), 2));
        runs.insert(runs.end(), 50001, 'b');
        Append(runs, RandomBytes(3, 3));
        runs.insert(runs.end(), 40000, 'b');
        Append(runs, RandomBytes(9000, 4));
        inputs.emplace_back("single-byte runs", runs);
    }
    for (std::uint32_t period = 2; period <= 7; ++period) {
        // The whole input periodic, and a period that starts mid-input after noise.
        inputs.emplace_back("periodic", Periodic(150000 + period, RandomBytes(period, period)));
        Bytes mixed = RandomBytes(20000 + 997 * period, 10 + period);
        Append(mixed, Periodic(120000, RandomBytes(period, 20 + period)));
        inputs.emplace_back("noise then periodic", mixed);
    }
    for (std::uint32_t distance : {32760u, 32766u, 32767u, 32768u}) {
        // A random block repeated at a distance just inside (or at) the window: each copy
        // matches the one before only if the guess has seen it.
        const Bytes block = RandomBytes(distance, distance);
        Bytes repeats;
        for (int i = 0; i < 6; ++i) {
            Append(repeats, block);
        }
        inputs.emplace_back("repeats near the window", repeats);
    }
    inputs.emplace_back("noise", RandomBytes(300000, 5));
    {
        Bytes patchwork = ImagePixels(ImageKind::kFlat, 200, 150, 6);
        Append(patchwork, RandomBytes(70000, 7));
        Append(patchwork, ImagePixels(ImageKind::kGradient, 300, 100, 8));
        Append(patchwork, Bytes(33000, 0));
        Append(patchwork, ImagePixels(ImageKind::kPhoto, 150, 150, 9));
        inputs.emplace_back("patchwork", patchwork);
    }
    return inputs;
}

TEST(LzParallel, MatchesOneThreadOnDataBuiltToDefeatTheGuesses) {
    for (const auto& [name, input] : AdversarialInputs()) {
        const Expected expected = Reference(input);
        for (unsigned threads : {2u, 3u, 8u}) {
            for (std::uint32_t segment : {16384u, 32768u}) {
                for (std::uint32_t leadIn : {32768u, 65536u}) {
                    LzCompressTesting testing;
                    testing.segmentBytes = segment;
                    testing.leadInBytes = leadIn;
                    // Half the runs wait for every guess: those join wherever the data lets them.
                    testing.waitForGuesses = leadIn == 65536;
                    const Expected got = Compress(input, threads, testing);
                    ASSERT_EQ(got.stream, expected.stream)
                        << name << ": " << threads << " threads, segments " << segment
                        << ", lead-in " << leadIn;
                    ASSERT_EQ(got.console, expected.console) << name << " " << threads;
                }
            }
        }
    }
}

TEST(LzParallel, SplicesGuessesInWhereTheyJoin) {
    // Image-like data joins soon after each boundary: most segments must come from the helpers,
    // or the tests above would only ever see the one-thread path. (The caller waits for each
    // guess here, so that how the threads are scheduled cannot change which segments join.)
    const Bytes input = ImagePixels(ImageKind::kPhoto, 600, 400, 11);
    const Expected expected = Reference(input);
    for (unsigned threads : {2u, 3u, 8u}) {
        LzCompressTesting testing;
        testing.segmentBytes = 65536;
        testing.waitForGuesses = true;
        LzCompressReport report;
        const Expected got = Compress(input, threads, testing, &report);
        EXPECT_EQ(got.stream, expected.stream) << threads;
        EXPECT_EQ(got.console, expected.console) << threads;
        EXPECT_EQ(report.segments, (input.size() + 65535) / 65536) << threads;
        EXPECT_GE(report.joins * 2, report.segments) << threads;
        EXPECT_LE(report.joins, report.guesses) << threads;
    }
}

TEST(LzParallel, OvertakesHelpersThatGetNoCore) {
    // Helpers that hardly ever run (a machine with no idle core: they run at idle priority) are
    // never waited for: the calling thread parses on, drops the guesses it has passed, and
    // splices in the ones that happen to be parsed in time. Whatever the timing, the stream and
    // the console lines are those of one thread.
    for (const unsigned threads : {2u, 3u, 8u}) {
        const Bytes input = ImagePixels(ImageKind::kPhoto, 300, 200, 14 + threads);
        const Expected expected = Reference(input);
        for (const std::uint32_t pause : {300u, 3000u}) {
            LzCompressTesting testing;
            testing.segmentBytes = 16384;
            testing.leadInBytes = 32768;
            testing.helperPauseMicroseconds = pause;
            LzCompressReport report;
            const Expected got = Compress(input, threads, testing, &report);
            ASSERT_EQ(got.stream, expected.stream) << threads << " threads, pause " << pause;
            ASSERT_EQ(got.console, expected.console) << threads << " threads, pause " << pause;
            EXPECT_LE(report.joins, report.guesses);
            EXPECT_GT(report.segments, 4u);
        }
    }
}

TEST(LzParallel, StopsGuessingAfterAGuessThatNeverJoins) {
    // A run of period 2 is cut into matches of 258 bytes from wherever its parse starts: a guess
    // that starts anywhere but on a multiple of 258 from the true parse's phase never shares its
    // token starts, and never joins (only the guesses of the first segments, which start at the
    // input's start as the true parse does, can). The first guess compared and passed without
    // joining ends guessing, so that the helpers stop parsing what cannot be used.
    const Bytes input = Periodic(1u << 20, BytesOf("xy"));
    const Expected expected = Reference(input);
    for (const unsigned threads : {2u, 3u, 8u}) {
        LzCompressTesting testing;
        testing.segmentBytes = 16384;
        testing.leadInBytes = 32768;
        testing.waitForGuesses = true;  // the guesses are parsed, and compared, every time
        LzCompressReport report;
        const Expected got = Compress(input, threads, testing, &report);
        ASSERT_EQ(got.stream, expected.stream) << threads;
        EXPECT_EQ(got.console, expected.console) << threads;
        EXPECT_LE(report.joins, 2u) << threads;  // segments 1 and 2 begin within the lead-in
        EXPECT_TRUE(report.stoppedGuessing) << threads;
        EXPECT_GE(report.guesses, 1u) << threads;
        EXPECT_LT(report.guesses, report.segments / 2) << threads;
    }
    // Data that joins does not stop guessing.
    LzCompressTesting testing;
    testing.segmentBytes = 65536;
    testing.waitForGuesses = true;
    LzCompressReport report;
    Compress(ImagePixels(ImageKind::kPhoto, 600, 400, 11), 2, testing, &report);
    EXPECT_FALSE(report.stoppedGuessing);
}

TEST(LzParallel, CutsOnlyInputsLargeEnoughToPay) {
    // One thread, and the default plan on a small input, take the one-thread path; a large
    // input on two threads is cut (on a 64-bit host: a 32-bit one keeps its address space for
    // the image and the stream), and still gives the one-thread stream.
    const Bytes small = ImagePixels(ImageKind::kPhoto, 300, 300, 12);
    LzCompressReport report;
    Compress(small, 2, {}, &report);
    EXPECT_EQ(report.segments, 1u);
    const Bytes large = ImagePixels(ImageKind::kPhoto, 1200, 1200, 13);
    Compress(large, 1, {}, &report);
    EXPECT_EQ(report.segments, 1u);
    const Expected got = Compress(large, 2, {}, &report);
    if (sizeof(void*) < 8) {
        EXPECT_EQ(report.segments, 1u);
    } else {
        EXPECT_GE(report.segments, 4u);  // a few a thread, so that the last is not left to one
    }
    EXPECT_EQ(got.stream, Reference(large).stream);
}

TEST(LzParallel, ServesManyCallersAtOnce) {
    // Twelve callers, each asking for eight threads, on inputs of their own: every stream is
    // the one-thread stream, and each caller's progress reports arrive on its own thread.
    constexpr std::uint32_t kCallers = 12;
    std::vector<Bytes> inputs;
    std::vector<Expected> expected;
    for (std::uint32_t i = 0; i < kCallers; ++i) {
        inputs.push_back(i % 3 == 0 ? RandomBytes(100000, 30 + i)
                                    : ImagePixels(i % 3 == 1 ? ImageKind::kPhoto : ImageKind::kFlat,
                                                  200, 150, 40 + i));
        expected.push_back(Reference(inputs.back()));
    }
    std::vector<Expected> got(kCallers);
    std::vector<int> foreignReports(kCallers, 0);
    std::vector<std::thread> callers;
    for (std::uint32_t i = 0; i < kCallers; ++i) {
        callers.emplace_back([&, i] {
            struct Context {
                std::thread::id caller;
                int* foreign;
            } context{std::this_thread::get_id(), &foreignReports[i]};
            const LzProgress progress{[](void* c, LzEvent, std::uint32_t, std::uint32_t) {
                                          auto* self = static_cast<Context*>(c);
                                          *self->foreign +=
                                              std::this_thread::get_id() != self->caller;
                                      },
                                      &context};
            LzCompressTesting testing;
            testing.segmentBytes = 16384;
            std::uint32_t size = 0;
            const ByteBuffer out =
                LzCompressForTesting(inputs[i].data(), static_cast<std::uint32_t>(inputs[i].size()),
                                     size, {8, &progress}, testing);
            if (out) {
                got[i].stream.assign(out.get(), out.get() + size);
            }
        });
    }
    for (std::thread& caller : callers) {
        caller.join();
    }
    for (std::uint32_t i = 0; i < kCallers; ++i) {
        EXPECT_EQ(got[i].stream, expected[i].stream) << "caller " << i;
        EXPECT_EQ(foreignReports[i], 0) << "caller " << i;
    }
}

}  // namespace
}  // namespace cbmp::testing
