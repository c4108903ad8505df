// The core's in-memory decompression against what `cbmp -d` runs (the same core operation from
// file to file, with the console's lines), and the decoder alone as the floor. The bitmaps come
// from the seeded generators the tests use; `Arg` is the payload size in MiB.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <string>

#include "codec/lz_decompress.h"
#include "console/console_run.h"
#include "core/cbmpcore.h"
#include "core/operations.h"
#include "tests/support/bmp_builder.h"
#include "tests/support/data_generator.h"

namespace {

using cbmp::testing::Bytes;

struct Sample {
    Bytes bmp;
    Bytes cbmp;
    std::string cbmpPath;
    std::string bmpPath;
};

const Sample& SampleOf(int mebibytes) {
    static std::map<int, Sample> cache;
    auto it = cache.find(mebibytes);
    if (it == cache.end()) {
        std::uint32_t side = 1;
        while (std::uint64_t{side + 1} * (side + 1) * 3 <= std::uint64_t(mebibytes) << 20) {
            ++side;
        }
        cbmp::testing::BmpFields fields;
        fields.width = static_cast<std::int32_t>(side);
        fields.height = static_cast<std::int32_t>(side);
        fields.pixels = cbmp::testing::ImageLike(side, side, 1);
        Sample sample;
        sample.bmp = cbmp::testing::BuildBmp(fields);
        std::uint8_t* out = nullptr;
        std::size_t size = 0;
        if (cbmpcore_compress(sample.bmp.data(), sample.bmp.size(), &out, &size, nullptr) !=
            CBMPCORE_OK) {
            std::abort();
        }
        sample.cbmp.assign(out, out + size);
        cbmpcore_free(out);
        const auto dir = std::filesystem::temp_directory_path();
        sample.cbmpPath =
            (dir / ("cbmp-core-bench-" + std::to_string(mebibytes) + ".cbmp")).string();
        sample.bmpPath = (dir / ("cbmp-core-bench-" + std::to_string(mebibytes) + ".bmp")).string();
        std::FILE* file = std::fopen(sample.cbmpPath.c_str(), "wb");
        if (file == nullptr ||
            std::fwrite(sample.cbmp.data(), 1, sample.cbmp.size(), file) != sample.cbmp.size()) {
            std::abort();
        }
        std::fclose(file);
        it = cache.emplace(mebibytes, std::move(sample)).first;
    }
    return it->second;
}

void Finish(benchmark::State& state, const Sample& sample) {
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(sample.bmp.size()));
}

// cbmpcore_decompress: a CBMP file in memory to a BMP file in memory.
void BM_CoreDecompressInMemory(benchmark::State& state) {
    const Sample& sample = SampleOf(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        std::uint8_t* out = nullptr;
        std::size_t size = 0;
        if (cbmpcore_decompress(sample.cbmp.data(), sample.cbmp.size(), &out, &size, nullptr) !=
                CBMPCORE_OK ||
            size != sample.bmp.size()) {
            state.SkipWithError("decompression failed");
        }
        benchmark::DoNotOptimize(out);
        cbmpcore_free(out);
    }
    Finish(state, sample);
}

// What `cbmp -d in.cbmp out.bmp` runs: the same operation between files, with the console lines.
void BM_ToolDecompressFileToFile(benchmark::State& state) {
    const Sample& sample = SampleOf(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        cbmp::core::Output output = cbmp::core::Output::File(sample.bmpPath.c_str());
        if (!cbmp::console::RunOnConsole(cbmp::console::Operation::kDecompress,
                                         cbmp::core::Input::File(sample.cbmpPath.c_str()), output,
                                         {})
                 .ok()) {
            state.SkipWithError("decompression failed");
        }
    }
    std::filesystem::remove(sample.bmpPath);
    Finish(state, sample);
}

// The decoder alone on the stream: no container, no headers, no output.
void BM_DecoderAlone(benchmark::State& state) {
    const Sample& sample = SampleOf(static_cast<int>(state.range(0)));
    const auto payloadSize = static_cast<std::uint32_t>(sample.bmp.size() - 54);
    const auto streamSize = static_cast<std::uint32_t>(sample.cbmp.size() - 60);
    for (auto _ : state) {
        cbmp::ByteBuffer out = cbmp::LzDecompress(sample.cbmp.data() + 60, streamSize, payloadSize);
        benchmark::DoNotOptimize(out.get());
    }
    Finish(state, sample);
}

}  // namespace

BENCHMARK(BM_DecoderAlone)->Arg(4)->Arg(48)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CoreDecompressInMemory)->Arg(4)->Arg(48)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ToolDecompressFileToFile)->Arg(4)->Arg(48)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    // The tool's console lines go to /dev/null, the report to standard error.
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
