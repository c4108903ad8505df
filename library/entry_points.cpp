#include "library/entry_points.h"

#include "console/messages.h"
#include "core/operations.h"

namespace cbmp {

int CompactFile(const char* input, const char* output) {
    console::PrintCompressing(input, output);
    console::ConsoleEvents events;
    core::Settings settings;
    settings.events = &events;
    settings.durable = true;  // a device host may delete the input as soon as the call returns
    core::Output out = core::Output::File(output);
    const core::Outcome outcome = core::Compress(core::Input::File(input), out, settings);
    if (!outcome.started) {
        console::PrintReadBmpFailed();
        return kOperationNotStarted;
    }
    if (outcome.ok()) {
        console::PrintCompressionSucceeded();
    } else {
        console::PrintCompressionFailed();
    }
    return kOperationRan;
}

int DecompactFile(const char* input, const char* output) {
    console::ConsoleEvents events;
    core::Settings settings;
    settings.events = &events;
    settings.durable = true;  // a device host may delete the input as soon as the call returns
    core::Output out = core::Output::File(output);
    const core::Outcome outcome = core::Decompress(core::Input::File(input), out, settings);
    if (!outcome.started) {
        console::PrintMemoryFailed();
        return kOperationNotStarted;
    }
    if (outcome.ok()) {
        console::PrintDecompressionSucceeded();
    } else {
        console::PrintDecompressionFailed();
    }
    return kOperationRan;
}

}  // namespace cbmp
