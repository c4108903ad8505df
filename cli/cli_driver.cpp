#include "cli/cli_driver.h"

#include <cstdio>
#include <cstring>

#include "cli/signal_cleanup.h"
#include "console/console_run.h"
#include "console/messages.h"

namespace cbmp {

namespace {

int Run(console::Operation operation, const char* input, const char* output) {
    console::RunSettings settings;
    settings.tempFiles = SignalCleanupObserver();
    core::Output out = core::Output::File(output);
    return console::RunOnConsole(operation, core::Input::File(input), out, settings).ok() ? 0 : 1;
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
    if (std::strcmp(mode, "--version") == 0) {
        console::PrintVersion(CBMP_VERSION_TEXT);
        return 0;
    }
    if (argc < 4) {
        console::PrintMissingArguments();
        PrintUsage(program);
        return 1;
    }
    if (argc > 4) {
        // Anything after the output is refused: "cbmp -c *.bmp" would otherwise write over the
        // second bitmap and ignore the rest.
        console::PrintTooManyArguments();
        PrintUsage(program);
        return 1;
    }
    int code = 1;
    if (std::strcmp(mode, "-c") == 0) {
        code = Run(console::Operation::kCompress, argv[2], argv[3]);
    } else if (std::strcmp(mode, "-d") == 0) {
        code = Run(console::Operation::kDecompress, argv[2], argv[3]);
    } else {
        console::PrintUnknownMode(mode);
        PrintUsage(program);
    }
    std::fflush(stdout);
    return code;
}

}  // namespace cbmp
