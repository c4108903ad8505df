// Where the readers take their bytes from: an open file read as it comes, or a block of memory (a
// caller's bytes, or a file mapped whole). Both readers parse through this, so the same code
// serves files on disk, pipes and byte buffers handed in by a caller; from memory they borrow
// the bytes instead of copying them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "base/byte_buffer.h"
#include "io/file_identity.h"

namespace cbmp {

inline constexpr std::uint64_t kUnknownSize = ~std::uint64_t{0};

struct InputSource {
    std::FILE* file = nullptr;           // file source; null for a memory source
    const std::uint8_t* data = nullptr;  // memory source
    std::uint64_t size = kUnknownSize;   // total length, kUnknownSize for a pipe or FIFO
    std::uint64_t position = 0;          // bytes consumed so far
    FileIdentity identity;               // the file's identity; unknown for a memory source
};

// Opens `path` for binary reading, or returns null when it cannot be opened or is a directory
// (which some C libraries open, only for every read to fail). The file never takes descriptor 0,
// 1 or 2.
std::FILE* OpenInputFile(const char* path);

// A source over an open file, with its identity and, when it is a regular file, its length
// (learnt from the open file; `path` serves only where the platform cannot tell). The file itself
// is never seeked, so pipes and FIFOs work too.
InputSource FileSource(std::FILE* file, const char* path);

// An input file open for reading, as an InputSource: mapped whole where the platform allows it
// (a regular file that can be mapped, and that on POSIX systems no other user may write, since
// a file cut short under a mapping faults instead of reading short), else read through the C
// library (pipes, FIFOs, devices, and any file that cannot be mapped). A mapped file is a memory
// source with the file's identity, so the readers borrow its bytes instead of copying them.
class InputFile {
  public:
    InputFile() = default;
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;
    ~InputFile();

    // Opens `path` as OpenInputFile does; false when it cannot be opened.
    bool Open(const char* path);

    // Closes the file. A mapping, and so every byte borrowed from it, stays until destruction.
    void Close();

    // True when a read through the C library met an I/O error.
    bool ReadFailed() const;

    bool Mapped() const { return view_ != nullptr; }

    InputSource source;

  private:
    bool Map();

    std::FILE* file_ = nullptr;
    void* view_ = nullptr;
    std::size_t viewSize_ = 0;
};

// A source over `size` bytes of memory that outlive it.
InputSource MemorySource(const std::uint8_t* data, std::size_t size);

// Reads up to `count` bytes into `dest` and returns how many arrived.
std::size_t ReadSource(InputSource& in, std::uint8_t* dest, std::size_t count);

// Bytes left in the source, or kUnknownSize when it cannot tell.
std::uint64_t RemainingBytes(const InputSource& in);

// A buffer filled from a source, `total` bytes once complete.
struct BlockBuffer {
    ByteBuffer data;
    std::uint32_t capacity = 0;
    std::uint32_t total = 0;
};

enum class BlockStatus { kOk, kShort, kNoMemory };

// Reads `count` bytes into `block` at `offset` (offset + count <= block.total). When the source's
// length is known the caller has already checked that the bytes are there and the buffer is
// allocated whole; when it is not (a pipe), the buffer grows as data arrives, so a stated length
// that the stream never delivers cannot make it allocate more than about twice what came.
BlockStatus ReadBlock(InputSource& in, BlockBuffer& block, std::uint32_t offset,
                      std::uint32_t count);

}  // namespace cbmp
