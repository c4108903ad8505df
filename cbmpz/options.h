// The command line of cbmpz: what to do with which files.
#pragma once

#include <string>
#include <vector>

namespace cbmpz {

enum class Mode {
    kCompress,    // BMP to CBMP (the default)
    kDecompress,  // -d: CBMP to BMP
    kTest,        // -t: decode each CBMP file and check it, writing nothing
    kList,        // -l: each CBMP file's header as a table
};

struct Options {
    Mode mode = Mode::kCompress;
    bool toStdout = false;      // -c: every result to standard output
    std::string output;         // -o FILE: the one input's output
    bool removeInputs = false;  // --rm (-k, the default, keeps them)
    bool force = false;         // -f: overwrite outputs, write compressed data to a terminal
    bool recursive = false;     // -r
    unsigned jobs = 0;          // -j N: the thread budget; 0 = the usable cores
    int verbosity = 1;          // 0 with -q, 2 and more with -v
    bool help = false;
    bool version = false;
    std::vector<std::string> files;  // "-" is standard input
};

// The options `arguments` (without the program's name) give, or, when they cannot be used, a
// message for the user in `error` (without the program's name in front).
struct ParsedCommandLine {
    Options options;
    std::string error;
};
ParsedCommandLine ParseCommandLine(const std::vector<std::string>& arguments);

// The text of `cbmpz --help`.
const char* HelpText();

}  // namespace cbmpz
