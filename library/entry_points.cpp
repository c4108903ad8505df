#include "library/entry_points.h"

#include "console/console_run.h"

namespace cbmp {

// Both entry points sync their output: a device host may delete the input as soon as the call
// returns.
int CompactFile(const core::Input& input, core::Output& output) {
    console::RunSettings settings;
    settings.durable = true;
    const core::Outcome outcome =
        console::RunOnConsole(console::Operation::kCompress, input, output, settings);
    return outcome.started ? kOperationRan : kOperationNotStarted;
}

int DecompactFile(const core::Input& input, core::Output& output) {
    console::RunSettings settings;
    settings.openingLine = false;
    settings.durable = true;
    console::RunOnConsole(console::Operation::kDecompress, input, output, settings);
    return kOperationRan;
}

int CompactFile(const char* input, const char* output) {
    core::Output out = core::Output::File(output);
    return CompactFile(core::Input::File(input), out);
}

int DecompactFile(const char* input, const char* output) {
    core::Output out = core::Output::File(output);
    return DecompactFile(core::Input::File(input), out);
}

}  // namespace cbmp
