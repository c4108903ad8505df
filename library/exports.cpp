// The two functions that the shared library exports.
#include <new>
#include <string>

#include "console/messages.h"
#include "library/cbmp.h"
#include "library/entry_points.h"
#include "library/path_text.h"

namespace {

using Operation = int (*)(const cbmp::core::Input&, cbmp::core::Output&);

// Converts both paths and runs `operation` on them. A null path refuses the call before anything
// is read or printed; no exception ever leaves the library.
int RunOnPaths(const cbmp_path_char* input, const cbmp_path_char* output, Operation operation) {
    try {
        cbmp::CallerPath in;
        cbmp::CallerPath out;
        if (!cbmp::ConvertPath(input, in) || !cbmp::ConvertPath(output, out)) {
            cbmp::console::PrintInvalidPath();
            return cbmp::kOperationNotStarted;
        }
        cbmp::core::Output file = cbmp::core::Output::File(out.opened.c_str(), out.shown.c_str());
        return operation(cbmp::core::Input::File(in.opened.c_str(), in.shown.c_str()), file);
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
