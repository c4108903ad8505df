// One run of an operation between two files with its console lines, as both the `cbmp` tool and
// libcbmp's entry points make it: the opening line, the core's events as they happen, and the
// closing line.
#pragma once

#include "console/messages.h"
#include "core/operations.h"
#include "io/output_file.h"

namespace cbmp::console {

struct RunSettings {
    bool openingLine = true;                      // libcbmp's BMPDecompact prints none
    const TempFileObserver* tempFiles = nullptr;  // told about temporary output files
    bool durable = false;                         // the output synced (core::Settings::durable)
};

// The streams for a run that writes the file `outputPath`: the standard output and error, unless
// the output is the very file that the standard output writes to (`cbmp -c in.bmp /dev/stdout >
// out.cbmp`, or a pipe): then the results and progress go to the standard error stream too, so
// that the data comes out clean and whole. "Error: " lines go to the standard error stream either
// way.
Streams StreamsFor(const char* outputPath);

// Runs `operation` from `input` to the file `output` with its console lines, on the streams that
// StreamsFor(output.path) gives, and returns how it ended.
core::Outcome RunOnConsole(Operation operation, const core::Input& input, core::Output& output,
                           const RunSettings& settings);

}  // namespace cbmp::console
