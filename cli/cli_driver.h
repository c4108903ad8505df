// The command-line driver: `cbmp -c in.bmp out.cbmp`, `cbmp -d in.cbmp out.bmp`, `cbmp -h`.
#pragma once

namespace cbmp {

// Prints the help text, with `programName` as the command.
void PrintUsage(const char* programName);

// Runs one command line and returns the exit code: 0 on success or help, 1 otherwise.
int RunCli(int argc, char** argv);

}  // namespace cbmp
