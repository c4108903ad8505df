// cbmpz: converts many BMP and CBMP files at once, and streams, in the manner of the common
// compression tools.
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "cbmpz/batch.h"
#include "cbmpz/options.h"
#include "cbmpz/reporter.h"
#include "cbmpz/signal_cleanup.h"

int main(int argc, char** argv) {
    cbmpz::InstallSignalCleanup();
    const std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    const cbmpz::ParsedCommandLine parsed = cbmpz::ParseCommandLine(arguments);
    const cbmpz::Options& options = parsed.options;
    cbmpz::Reporter report(options.verbosity, options.verbosity > 0 && isatty(STDERR_FILENO));
    if (!parsed.error.empty()) {
        report.Usage(parsed.error);
        return report.ExitStatus();
    }
    if (options.help) {
        std::fputs(cbmpz::HelpText(), stdout);
        return std::fflush(stdout) == 0 ? 0 : 1;
    }
    if (options.version) {
        std::printf("cbmpz %s\n", CBMPZ_VERSION_TEXT);
        return std::fflush(stdout) == 0 ? 0 : 1;
    }
    cbmpz::RunCommand(options, report);
    return report.ExitStatus();
}
