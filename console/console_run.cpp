#include "console/console_run.h"

#include "io/file_identity.h"

namespace cbmp::console {

Streams StreamsFor(const char* outputPath) {
    Streams streams;
    if (IsStandardOutputFile(outputPath)) {
        // What the caller printed before the run lands before the data, not after it.
        std::fflush(stdout);
        streams.out = stderr;
    }
    return streams;
}

core::Outcome RunOnConsole(Operation operation, const core::Input& input, core::Output& output,
                           const RunSettings& settings) {
    const Streams streams = StreamsFor(output.path);
    if (settings.openingLine) {
        PrintOpening(streams, operation, input.name, output.name);
    }
    ConsoleEvents events(streams);
    core::Settings core;
    core.events = &events;
    core.tempFiles = settings.tempFiles;
    core.durable = settings.durable;
    const core::Outcome outcome = operation == Operation::kCompress
                                      ? core::Compress(input, output, core)
                                      : core::Decompress(input, output, core);
    PrintClosing(streams, operation, outcome);
    std::fflush(streams.out);
    return outcome;
}

}  // namespace cbmp::console
