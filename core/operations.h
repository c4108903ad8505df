// The core's operations, each written once: BMP to CBMP and CBMP to BMP, each from a file or
// from memory and to a file or to memory, and reading a CBMP header. The C interface
// (cbmpcore.h), the command-line tool and the shared library's entry points are adapters over
// these functions.
//
// Nothing here prints. What happens along the way is told to an optional CoreEvents observer, in
// the order it happens, so that a front end can put every console line in its place: each cause
// of failure where it is detected, the codec's progress, and the writer's and reader's summaries.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/byte_buffer.h"
#include "codec/lz_progress.h"
#include "core/cbmpcore.h"
#include "image/cbmp_file.h"
#include "image/image_status.h"
#include "io/output_file.h"

namespace cbmp::core {

// A cause of failure, as it is detected. `path` is the name shown for the file it concerns, when
// there is one.
struct Failure {
    ImageStatus cause = ImageStatus::kOk;
    cbmpcore_result result = CBMPCORE_OK;
    const char* path = nullptr;
};

enum class Codec { kEncoder, kDecoder };

// What the writer of a CBMP file reports once it is complete.
struct CompressSummary {
    const char* path = nullptr;  // the output's name (Output::name); null for memory
    std::uint32_t originalSize = 0;
    std::uint32_t compressedSize = 0;
};

// What the reader of a CBMP file reports once its payload is decoded.
struct DecompressSummary {
    const char* path = nullptr;  // the input's name (Input::name)
    std::uint32_t compressedSize = 0;
    std::uint32_t originalSize = 0;
};

class CoreEvents {
  public:
    virtual ~CoreEvents() = default;
    virtual void Failed(const Failure& /*failure*/) {}
    virtual void Progress(Codec /*codec*/, LzEvent /*event*/, std::uint32_t /*pos*/,
                          std::uint32_t /*size*/) {}
    virtual void Compressed(const CompressSummary& /*summary*/) {}
    virtual void Decompressed(const DecompressSummary& /*summary*/) {}
};

struct Settings {
    CoreEvents* events = nullptr;                 // may be null
    const TempFileObserver* tempFiles = nullptr;  // told about temporary output files
    unsigned threads = 0;                         // encoder threads; 0 = as many as cores
    bool durable = false;                         // a file output is synced before returning
};

// How an operation ended. `started` is false only when compression failed before its BMP input
// was read whole (it could not be opened or read, or is no BMP file): the console then closes with
// "Error: Failed to read BMP file" instead of "Error: Compression failed", and libcbmp's
// BMPCompact returns 1 instead of 999. Decompression has nothing to do before it starts, so it
// has always started.
struct Outcome {
    cbmpcore_result result = CBMPCORE_OK;
    bool started = false;
    bool ok() const { return result == CBMPCORE_OK; }
};

// The result code for a cause (from core/failure_table.h).
cbmpcore_result ResultOf(ImageStatus cause);

// A file or a block of memory to read from. A file has two names: `path`, the one it is opened by
// (see io/native_path.h: the bytes as given on POSIX systems, on Windows the UTF-8 form that gives
// back the exact UTF-16 path), and `name`, the one that events show (libcbmp shows the ANSI form
// of its callers' paths on Windows, which may not spell the file). Bytes in memory have only the
// name a caller gives them (may be null).
struct Input {
    const char* path = nullptr;          // a file, or
    const std::uint8_t* data = nullptr;  // bytes in memory
    std::size_t size = 0;
    const char* name = nullptr;
    static Input File(const char* path, const char* name = nullptr) {
        return Input{path, nullptr, 0, name != nullptr ? name : path};
    }
    static Input Memory(const std::uint8_t* data, std::size_t size, const char* name = nullptr) {
        return Input{nullptr, data, size, name};
    }
};

// A file to write, by the two names of an input file, or a buffer to fill: on success `buffer`
// holds `size` bytes.
struct Output {
    const char* path = nullptr;
    const char* name = nullptr;
    ByteBuffer buffer;
    std::size_t size = 0;
    static Output File(const char* path, const char* name = nullptr) {
        return Output{path, name != nullptr ? name : path, nullptr, 0};
    }
    static Output Memory() { return Output{}; }
};

Outcome Compress(const Input& input, Output& output, const Settings& settings);
Outcome Decompress(const Input& input, Output& output, const Settings& settings);

// The header of the CBMP file whose first bytes are `data`, checked as decompression checks it.
cbmpcore_result ReadInfo(const std::uint8_t* data, std::size_t size, CbmpHeader& header);

}  // namespace cbmp::core
