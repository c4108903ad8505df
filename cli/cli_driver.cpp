#include "cli/cli_driver.h"

#include <cstdio>
#include <cstring>

#include "cli/signal_cleanup.h"
#include "console/messages.h"
#include "core/operations.h"

namespace cbmp {

namespace {

core::Settings ConsoleSettings(console::ConsoleEvents& events) {
    core::Settings settings;
    settings.events = &events;
    settings.tempFiles = SignalCleanupObserver();
    return settings;
}

int Compress(const char* input, const char* output) {
    console::PrintCompressing(input, output);
    console::ConsoleEvents events;
    core::Output out = core::Output::File(output);
    const core::Outcome outcome =
        core::Compress(core::Input::File(input), out, ConsoleSettings(events));
    if (outcome.ok()) {
        console::PrintCompressionSucceeded();
        return 0;
    }
    if (outcome.started) {
        console::PrintCompressionFailed();
    } else {
        console::PrintReadBmpFailed();
    }
    return 1;
}

int Decompress(const char* input, const char* output) {
    console::PrintDecompressing(input, output);
    console::ConsoleEvents events;
    core::Output out = core::Output::File(output);
    const core::Outcome outcome =
        core::Decompress(core::Input::File(input), out, ConsoleSettings(events));
    if (outcome.ok()) {
        console::PrintDecompressionSucceeded();
        return 0;
    }
    if (outcome.started) {
        console::PrintDecompressionFailed();
    } else {
        console::PrintMemoryFailed();
    }
    return 1;
}

}  // namespace

void PrintUsage(const char* programName) {
    console::PrintUsage(programName);
}

int RunCli(int argc, char** argv) {
    const char* program = argc > 0 && argv[0] != nullptr ? argv[0] : "cbmp";
    if (argc < 2) {
        PrintUsage(program);
        return 1;
    }
    const char* mode = argv[1];
    if (std::strcmp(mode, "-h") == 0 || std::strcmp(mode, "--help") == 0) {
        PrintUsage(program);
        return 0;
    }
    if (argc < 4) {
        std::fprintf(stderr, "Error: Missing arguments\n");
        PrintUsage(program);
        return 1;
    }
    int code = 1;
    if (std::strcmp(mode, "-c") == 0) {
        code = Compress(argv[2], argv[3]);
    } else if (std::strcmp(mode, "-d") == 0) {
        code = Decompress(argv[2], argv[3]);
    } else {
        console::PrintUnknownMode(mode);
        PrintUsage(program);
    }
    std::fflush(stdout);
    return code;
}

}  // namespace cbmp
