// The work behind the exported entry points, on narrow paths: the core's operations with the
// console's lines.
#pragma once

namespace cbmp {

inline constexpr int kOperationRan = 999;
inline constexpr int kOperationNotStarted = 1;

// Reads the BMP file `input` and writes it compressed to `output`, reporting on the console.
// Returns kOperationRan once the BMP was read, whatever the outcome, else kOperationNotStarted.
int CompactFile(const char* input, const char* output);

// Reads the CBMP file `input` and writes the bitmap to `output`, reporting on the console.
// Returns kOperationRan once the decompression was attempted, else kOperationNotStarted; the
// core allocates nothing before it starts decompressing, so in practice it is always attempted.
int DecompactFile(const char* input, const char* output);

}  // namespace cbmp
