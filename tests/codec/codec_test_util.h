// Helpers shared by the codec tests: compress or decompress with the console captured.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "codec/lz_compress.h"
#include "codec/lz_decompress.h"

namespace cbmp::testing {

using Bytes = std::vector<std::uint8_t>;

inline Bytes BytesOf(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

struct CodecRun {
    bool ok = false;
    Bytes bytes;
    std::string console;
};

inline CodecRun Compress(const Bytes& input) {
    CodecRun run;
    std::uint32_t streamSize = 0;
    ::testing::internal::CaptureStdout();
    const ByteBuffer stream =
        LzCompress(input.data(), static_cast<std::uint32_t>(input.size()), streamSize);
    run.console = ::testing::internal::GetCapturedStdout();
    run.ok = stream != nullptr;
    if (run.ok) {
        run.bytes.assign(stream.get(), stream.get() + streamSize);
    }
    return run;
}

inline CodecRun Decompress(const Bytes& stream, std::uint32_t size) {
    CodecRun run;
    ::testing::internal::CaptureStdout();
    const ByteBuffer out =
        LzDecompress(stream.data(), static_cast<std::uint32_t>(stream.size()), size);
    run.console = ::testing::internal::GetCapturedStdout();
    run.ok = out != nullptr;
    if (run.ok) {
        run.bytes.assign(out.get(), out.get() + size);
    }
    return run;
}

}  // namespace cbmp::testing
