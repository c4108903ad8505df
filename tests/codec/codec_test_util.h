// Helpers shared by the codec tests: compress or decompress with the progress reports rendered as
// the console lines the tool prints for them.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "codec/lz_compress.h"
#include "codec/lz_decompress.h"

namespace cbmp::testing {

using Bytes = std::vector<std::uint8_t>;

inline Bytes BytesOf(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

// Renders progress reports as the tool's console lines, with `verb` ("Compressing" or
// "Decompressing") in the opening line.
class ProgressText {
  public:
    explicit ProgressText(const char* verb) : verb_(verb) {}
    ProgressText(const ProgressText&) = delete;
    ProgressText& operator=(const ProgressText&) = delete;

    const LzProgress* sink() const { return &sink_; }
    const std::string& text() const { return text_; }

  private:
    static void Append(void* context, LzEvent event, std::uint32_t pos, std::uint32_t size) {
        auto* self = static_cast<ProgressText*>(context);
        char line[96];
        switch (event) {
            case LzEvent::kStart:
                std::snprintf(line, sizeof line, "%s %u bytes...\n", self->verb_, size);
                break;
            case LzEvent::kStep:
                std::snprintf(line, sizeof line, "  Progress: %u/%u (%.1f%%)\r", pos, size,
                              pos * 100.0 / size);
                break;
            case LzEvent::kEnd:
                std::snprintf(line, sizeof line, "  Progress: %u/%u (100.0%%)\n", size, size);
                break;
        }
        self->text_ += line;
    }

    const char* verb_;
    std::string text_;
    LzProgress sink_{&Append, this};
};

struct CodecRun {
    bool ok = false;
    Bytes bytes;
    std::string console;
};

inline CodecRun Compress(const Bytes& input) {
    CodecRun run;
    std::uint32_t streamSize = 0;
    const ProgressText progress("Compressing");
    const ByteBuffer stream = LzCompress(input.data(), static_cast<std::uint32_t>(input.size()),
                                         streamSize, progress.sink());
    run.console = progress.text();
    run.ok = stream != nullptr;
    if (run.ok) {
        run.bytes.assign(stream.get(), stream.get() + streamSize);
    }
    return run;
}

inline CodecRun Decompress(const Bytes& stream, std::uint32_t size) {
    CodecRun run;
    const ProgressText progress("Decompressing");
    const ByteBuffer out = LzDecompress(stream.data(), static_cast<std::uint32_t>(stream.size()),
                                        size, progress.sink());
    run.console = progress.text();
    run.ok = out != nullptr;
    if (run.ok) {
        run.bytes.assign(out.get(), out.get() + size);
    }
    return run;
}

}  // namespace cbmp::testing
