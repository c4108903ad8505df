// The work behind the exported entry points: one console run of the core's operation (the one the
// tool makes, see console/console_run.h) and the entry points' return codes.
#pragma once

#include "core/operations.h"

namespace cbmp {

inline constexpr int kOperationRan = 999;
inline constexpr int kOperationNotStarted = 1;

// Reads the BMP file `input` and writes it compressed to `output`, reporting on the console.
// Returns kOperationRan once the BMP was read, whatever the outcome, else kOperationNotStarted.
int CompactFile(const core::Input& input, core::Output& output);

// Reads the CBMP file `input` and writes the bitmap to `output`, reporting on the console without
// an opening line. Returns kOperationRan: decompression has nothing to do before it starts.
int DecompactFile(const core::Input& input, core::Output& output);

// The same two on files that have one name, shown and opened alike.
int CompactFile(const char* input, const char* output);
int DecompactFile(const char* input, const char* output);

}  // namespace cbmp
