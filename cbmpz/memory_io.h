// Whole files and streams in memory, for the calls that convert in memory: standard input and
// output, -c, -t and -l.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "core/cbmpcore.h"

namespace cbmpz {

struct Bytes {
    std::unique_ptr<std::uint8_t[]> data;
    std::size_t size = 0;
};

// Reads the descriptor `fd` to its end, or at most `limit` bytes. Fails with
// CBMPCORE_ERROR_READ, CBMPCORE_ERROR_NO_MEMORY, or CBMPCORE_ERROR_TOO_LARGE past `limit`.
cbmpcore_result ReadAll(int fd, std::size_t limit, Bytes& bytes);

// Reads the file at `path` whole (CBMPCORE_ERROR_CANNOT_OPEN when it cannot be opened).
cbmpcore_result ReadFile(const char* path, std::size_t limit, Bytes& bytes);

// Writes all of `size` bytes to `fd`; false on failure.
bool WriteAll(int fd, const std::uint8_t* data, std::size_t size);

// The largest input read into memory: a CBMP or BMP file cannot be larger than 4 GiB and a
// header; on a 32-bit host, half the address space.
std::size_t MaxInput();

}  // namespace cbmpz
