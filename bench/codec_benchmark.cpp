// Codec throughput on buffers, in bytes of payload a second. The inputs come from the seeded
// generators the tests use, so every run and every host sees the same bytes.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>

#include "codec/lz_compress.h"
#include "codec/lz_compress_testing.h"
#include "codec/lz_decompress.h"
#include "tests/reference/reference_lz_compress.h"
#include "tests/support/data_generator.h"

namespace {

using cbmp::testing::Bytes;

// A square 24-bit image-like payload of about `mebibytes` MiB; or, when CBMP_BENCH_FILE names a
// file, that file's bytes whatever the size asked for.
const Bytes& Payload(int mebibytes) {
    static std::map<int, Bytes> cache;
    if (const char* path = std::getenv("CBMP_BENCH_FILE")) {
        static const Bytes file = [path] {
            std::ifstream in(path, std::ios::binary);
            return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }();
        return file;
    }
    auto it = cache.find(mebibytes);
    if (it == cache.end()) {
        std::uint32_t side = 1;
        while (std::uint64_t{side + 1} * (side + 1) * 3 <= std::uint64_t(mebibytes) << 20) {
            ++side;
        }
        it = cache.emplace(mebibytes, cbmp::testing::ImageLike(side, side, 1)).first;
    }
    return it->second;
}

template <typename Compress>
void RunCompress(benchmark::State& state, Compress compress) {
    const Bytes& input = Payload(static_cast<int>(state.range(0)));
    std::uint32_t streamSize = 0;
    for (auto _ : state) {
        cbmp::ByteBuffer stream =
            compress(input.data(), static_cast<std::uint32_t>(input.size()), streamSize);
        benchmark::DoNotOptimize(stream.get());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(input.size()));
    state.counters["ratio_pct"] = 100.0 * streamSize / static_cast<double>(input.size());
}

// The encoder as the tool runs it: every core.
void BM_Compress(benchmark::State& state) {
    RunCompress(state, [](const std::uint8_t* data, std::uint32_t size, std::uint32_t& streamSize) {
        return cbmp::LzCompress(data, size, streamSize);
    });
}

// One thread, with the widest scan and with the portable one.
void BM_CompressOneThread(benchmark::State& state) {
    RunCompress(state, [](const std::uint8_t* data, std::uint32_t size, std::uint32_t& out) {
        return cbmp::LzCompressWith(data, size, out, {1});
    });
}

void BM_CompressPortableScan(benchmark::State& state) {
    RunCompress(state, [](const std::uint8_t* data, std::uint32_t size, std::uint32_t& out) {
        cbmp::LzCompressTesting testing;
        testing.scan = cbmp::MatchScan::kPortable;
        return cbmp::LzCompressForTesting(data, size, out, {1}, testing);
    });
}

// Two threads, with how far past each segment start the joins came (in KiB, mean).
void BM_CompressTwoThreads(benchmark::State& state) {
    cbmp::LzCompressReport report;
    RunCompress(state, [&report](const std::uint8_t* data, std::uint32_t size, std::uint32_t& out) {
        cbmp::LzCompressTesting testing;
        if (const char* leadIn = std::getenv("CBMP_BENCH_LEAD_IN")) {  // in KiB
            testing.leadInBytes = static_cast<std::uint32_t>(std::atoi(leadIn)) << 10;
        }
        return cbmp::LzCompressForTesting(data, size, out, {2}, testing, &report);
    });
    state.counters["segments"] = report.segments;
    state.counters["joins"] = report.joins;
    state.counters["join_kib"] =
        report.joins == 0 ? 0.0 : static_cast<double>(report.joinBytes) / 1024.0 / report.joins;
}

void BM_CompressReference(benchmark::State& state) {
    RunCompress(state, [](const std::uint8_t* data, std::uint32_t size, std::uint32_t& streamSize) {
        return cbmp::reference::LzCompress(data, size, streamSize);
    });
}

void BM_Decompress(benchmark::State& state) {
    const Bytes& input = Payload(static_cast<int>(state.range(0)));
    const auto size = static_cast<std::uint32_t>(input.size());
    std::uint32_t streamSize = 0;
    const cbmp::ByteBuffer stream = cbmp::LzCompress(input.data(), size, streamSize);
    for (auto _ : state) {
        cbmp::ByteBuffer out = cbmp::LzDecompress(stream.get(), streamSize, size);
        benchmark::DoNotOptimize(out.get());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(input.size()));
}

}  // namespace

// Wall-clock time: the threads' work counts as the caller waits for it.
BENCHMARK(BM_Compress)
    ->Arg(1)
    ->Arg(4)
    ->Arg(16)
    ->Arg(48)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CompressOneThread)
    ->Arg(1)
    ->Arg(4)
    ->Arg(16)
    ->Arg(48)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CompressTwoThreads)
    ->Arg(4)
    ->Arg(16)
    ->Arg(48)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CompressPortableScan)->Arg(1)->Arg(16)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CompressReference)->Arg(1)->Arg(16)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Decompress)->Arg(1)->Arg(4)->Arg(16)->Arg(48)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    // The codec's own console lines would drown the report: they go to /dev/null, the report to
    // standard error.
    std::fflush(stdout);
    if (std::freopen("/dev/null", "w", stdout) == nullptr) {
        return 1;
    }
    benchmark::ConsoleReporter reporter;
    reporter.SetOutputStream(&std::cerr);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
