// The two functions that the shared library exports.
#include <new>
#include <string>

#include "console/messages.h"
#include "library/cbmp.h"
#include "library/entry_points.h"
#include "library/path_text.h"

namespace {

using Operation = int (*)(const char*, const char*);

// Converts both paths and runs `operation` on them. A null path refuses the call before anything
// is read or printed; no exception ever leaves the library.
int RunOnPaths(const cbmp_path_char* input, const cbmp_path_char* output, Operation operation) {
    try {
        std::string narrowInput;
        std::string narrowOutput;
        if (!cbmp::NarrowPath(input, narrowInput) || !cbmp::NarrowPath(output, narrowOutput)) {
            cbmp::console::PrintInvalidPath();
            return cbmp::kOperationNotStarted;
        }
        return operation(narrowInput.c_str(), narrowOutput.c_str());
    } catch (...) {
        cbmp::console::PrintMemoryFailed();
        return cbmp::kOperationNotStarted;
    }
}

}  // namespace

extern "C" {

CBMP_API int CBMP_CALL BMPCompact(const cbmp_path_char* input, const cbmp_path_char* output) {
    return RunOnPaths(input, output, cbmp::CompactFile);
}

CBMP_API int CBMP_CALL BMPDecompact(const cbmp_path_char* input, const cbmp_path_char* output) {
    return RunOnPaths(input, output, cbmp::DecompactFile);
}

}  // extern "C"
