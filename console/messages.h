// Every console line of the tool and of libcbmp's entry points, in one place. The layers below
// (codec, io, image, core) never print: the front ends print what the core tells them through
// ConsoleEvents and add their own lines through the functions here. Results and progress go to
// the standard output, "Error: " lines to the standard error stream; a run whose output file is
// the standard output's file sends its results and progress to the standard error stream instead
// (see console/console_run.h).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "core/operations.h"

namespace cbmp::console {

enum class Operation { kCompress, kDecompress };

// Where the lines of one run go: results and progress to `out`, "Error: " lines to `err`.
struct Streams {
    std::FILE* out = stdout;
    std::FILE* err = stderr;
};

// The lines that open and close a run: "Compressing: %s -> %s" or "Decompressing: %s -> %s",
// then "Compression successful!", "Error: Compression failed" or, when the BMP could not be read,
// "Error: Failed to read BMP file" (and the two lines of decompression).
void PrintOpening(const Streams& streams, Operation operation, const char* input,
                  const char* output);
void PrintClosing(const Streams& streams, Operation operation, const core::Outcome& outcome);

// The front ends' own lines, on the standard streams.
void PrintMemoryFailed();  // libcbmp: memory ran out before the run began
void PrintInvalidPath();   // libcbmp: a null path
void PrintUnknownMode(const char* mode);
void PrintMissingArguments();
void PrintTooManyArguments();  // anything after the output name
void PrintVersion(const char* version);
void PrintUsage(const char* programName);

// The "Error: " line for a cause detected in the core, or "" for a cause that is silent where it
// is detected (exhausted memory, inconsistent sizes); the caller's own line follows either way.
// The text comes from core/failure_table.h.
std::string FailureLine(const core::Failure& failure);

// The core's events as console lines: each cause's line, the codec's opening and progress lines,
// and the CBMP writer's and reader's summaries.
class ConsoleEvents final : public core::CoreEvents {
  public:
    ConsoleEvents() = default;
    explicit ConsoleEvents(const Streams& streams) : streams_(streams) {}

    void Failed(const core::Failure& failure) override;
    void Progress(core::Codec codec, LzEvent event, std::uint32_t pos, std::uint32_t size) override;
    void Compressed(const core::CompressSummary& summary) override;
    void Decompressed(const core::DecompressSummary& summary) override;

  private:
    Streams streams_;
};

}  // namespace cbmp::console
