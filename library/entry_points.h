// The work behind the exported entry points, on narrow paths.
#pragma once

namespace cbmp {

inline constexpr int kOperationRan = 999;
inline constexpr int kOperationNotStarted = 1;

// Reads the BMP file `input` and writes it compressed to `output`, reporting on the console.
// Returns kOperationRan once the BMP was read, whatever the outcome, else kOperationNotStarted.
int CompactFile(const char* input, const char* output);

// Reads the CBMP file `input` and writes the bitmap to `output`, reporting on the console.
// Returns kOperationRan once the image record was allocated, else kOperationNotStarted.
int DecompactFile(const char* input, const char* output);

}  // namespace cbmp
