// The files a cbmpz command line names: the arguments themselves, and with -r what lies in the
// directories among them. Symbolic links to directories are never followed, so a link loop
// cannot trap the walk.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cbmpz/reporter.h"

namespace cbmpz {

struct FoundFile {
    std::string path;
    std::uint64_t size = 0;
    bool named = false;  // named on the command line (else found in a directory)
};

// Collects the files of `arguments` (none of them "-"), warning about what is left out:
// directories without `recursive`, anything that is neither a regular file nor a directory, and
// symbolic links met inside directories. `wanted` picks the files found inside directories by
// name (a suffix such as ".bmp"); files named on the command line are all taken.
std::vector<FoundFile> CollectFiles(const std::vector<std::string>& arguments, bool recursive,
                                    const char* wanted, Reporter& report);

}  // namespace cbmpz
