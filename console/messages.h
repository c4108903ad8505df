// Every console line of the tool and of libcbmp's entry points, in one place. The layers below
// (codec, io, image, core) never print: the front ends print what the core tells them through
// ConsoleEvents and add their own lines through the functions here. Results and progress go to
// the standard output, "Error: " lines to the standard error stream.
#pragma once

#include <cstdint>
#include <string>

#include "core/operations.h"

namespace cbmp::console {

// The front ends' own lines.
void PrintCompressing(const char* input, const char* output);    // the opening line of -c
void PrintDecompressing(const char* input, const char* output);  // the opening line of -d
void PrintCompressionSucceeded();
void PrintCompressionFailed();
void PrintDecompressionSucceeded();
void PrintDecompressionFailed();
void PrintReadBmpFailed();  // compression could not read its input
void PrintMemoryFailed();   // decompression could not allocate its image record
void PrintInvalidPath();    // libcbmp: a path that cannot be converted
void PrintUnknownMode(const char* mode);
void PrintUsage(const char* programName);

// The "Error: " line for a cause detected in the core, or "" for a cause that is silent where it
// is detected (exhausted memory, inconsistent sizes); the caller's own line follows either way.
std::string FailureLine(const core::Failure& failure);

// The core's events as console lines: each cause's line, the codec's opening and progress lines,
// and the CBMP writer's and reader's summaries.
class ConsoleEvents final : public core::CoreEvents {
  public:
    void Failed(const core::Failure& failure) override;
    void Progress(core::Codec codec, LzEvent event, std::uint32_t pos, std::uint32_t size) override;
    void Compressed(const core::CompressSummary& summary) override;
    void Decompressed(const core::DecompressSummary& summary) override;
};

}  // namespace cbmp::console
