#include "image/cbmp_file.h"

#include <cstdlib>
#include <cstring>

#include "codec/lz_compress.h"
#include "codec/lz_decompress.h"
#include "codec/lz_format.h"
#include "image/le_fields.h"

namespace cbmp {

void EncodeCbmpHeader(const CbmpHeader& header, std::uint8_t* bytes) {
    WriteU32LE(bytes, header.magic);
    WriteU32LE(bytes + 4, header.version);
    EncodeInfoHeader(header.info, bytes + 8);
    WriteU32LE(bytes + 48, header.compressedSize);
    WriteU32LE(bytes + 52, header.originalSize);
    WriteU32LE(bytes + 56, header.paletteSize);
}

CbmpHeader DecodeCbmpHeader(const std::uint8_t* bytes) {
    CbmpHeader header;
    header.magic = ReadU32LE(bytes);
    header.version = ReadU32LE(bytes + 4);
    header.info = DecodeInfoHeader(bytes + 8);
    header.compressedSize = ReadU32LE(bytes + 48);
    header.originalSize = ReadU32LE(bytes + 52);
    header.paletteSize = ReadU32LE(bytes + 56);
    return header;
}

namespace {

// Collects a stream behind the room for its header in a buffer that doubles as it fills, so that
// memory follows the stream's real size instead of its worst case. Growing goes through realloc,
// which moves large blocks by remapping them rather than copying.
class GrowingBuffer {
  public:
    explicit GrowingBuffer(std::size_t reserved) : size_(reserved) {}

    static bool Append(void* context, const std::uint8_t* bytes, std::size_t count) {
        auto* self = static_cast<GrowingBuffer*>(context);
        // No buffer yet (capacity 0 below the header's room), or too little of one.
        if ((self->capacity_ < self->size_ || count > self->capacity_ - self->size_) &&
            !self->Grow(count)) {
            return false;
        }
        std::memcpy(self->bytes_.get() + self->size_, bytes, count);
        self->size_ += count;
        return true;
    }

    LzSink Sink() { return LzSink{&Append, this}; }
    std::size_t size() const { return size_; }
    // The buffer, cut to what it holds (a shrinking realloc that fails leaves it as it was).
    ByteBuffer Release() {
        if (bytes_ && size_ < capacity_) {
            if (void* fitted = std::realloc(bytes_.get(), size_)) {
                static_cast<void>(bytes_.release());
                bytes_.reset(static_cast<std::uint8_t*>(fitted));
            }
        }
        return std::move(bytes_);
    }

    // Makes sure there is a buffer (an empty stream still needs its header's room).
    bool Reserve() { return bytes_ || Grow(0); }

  private:
    bool Grow(std::size_t count) {
        constexpr std::size_t kFirst = 64 * 1024;
        std::size_t capacity = capacity_ < kFirst ? kFirst : capacity_;
        while (capacity - size_ < count) {
            if (capacity > SIZE_MAX / 2) {
                return false;
            }
            capacity *= 2;
        }
        void* grown = std::realloc(bytes_.get(), capacity);
        if (grown == nullptr) {
            return false;  // the old block stays, owned and released as before
        }
        static_cast<void>(bytes_.release());
        bytes_.reset(static_cast<std::uint8_t*>(grown));
        capacity_ = capacity;
        return true;
    }

    ByteBuffer bytes_;
    std::size_t size_;
    std::size_t capacity_ = 0;
};

}  // namespace

ImageStatus CbmpHeaderFor(const BmpImage& image, CbmpHeader& header) {
    const std::uint64_t originalSize = std::uint64_t{image.paletteSize} + image.pixelSize;
    if (originalSize > 0xFFFFFFFFu) {
        return ImageStatus::kBmpTooLarge;
    }
    header = CbmpHeader{};
    header.magic = kCbmpMagic;
    header.version = kCbmpVersion;
    header.info = image.info;
    header.originalSize = static_cast<std::uint32_t>(originalSize);
    header.paletteSize = image.paletteSize;
    return ImageStatus::kOk;
}

ImageStatus EncodeCbmpTo(const BmpImage& image, const LzSink& sink, CbmpHeader& header,
                         const LzProgress* progress, unsigned threads) {
    CbmpHeader result;
    if (const ImageStatus status = CbmpHeaderFor(image, result); status != ImageStatus::kOk) {
        return status;
    }
    static constexpr std::uint8_t kNoBytes[1] = {0};
    const std::uint8_t* payload = image.PayloadBytes();
    if (payload == nullptr) {
        if (result.originalSize > 0) {
            return ImageStatus::kNoMemory;  // a record that never got its bytes
        }
        payload = kNoBytes;
    }
    LzCompressOptions options;
    options.threads = threads;
    options.progress = progress;
    if (!LzCompressTo(payload, result.originalSize, options, sink, result.compressedSize)) {
        return ImageStatus::kNoMemory;
    }
    header = result;
    return ImageStatus::kOk;
}

ImageStatus EncodeCbmpFile(const BmpImage& image, CbmpFileBuffer& file, const LzProgress* progress,
                           unsigned threads) {
    GrowingBuffer buffer(kCbmpHeaderSize);
    const LzSink sink = buffer.Sink();
    CbmpHeader header;
    const ImageStatus status = EncodeCbmpTo(image, sink, header, progress, threads);
    if (status != ImageStatus::kOk) {
        return status;
    }
    if (!buffer.Reserve()) {
        return ImageStatus::kNoMemory;
    }
    file.size = buffer.size();
    file.bytes = buffer.Release();
    file.header = header;
    EncodeCbmpHeader(header, file.bytes.get());
    return ImageStatus::kOk;
}

ImageStatus ReadCbmpHeader(InputSource& in, CbmpHeader& header) {
    std::uint8_t bytes[kCbmpHeaderSize];
    if (ReadSource(in, bytes, 4) != 4 || ReadU32LE(bytes) != kCbmpMagic) {
        return ImageStatus::kNotCbmp;
    }
    if (ReadSource(in, bytes + 4, 4) != 4) {
        return ImageStatus::kNotCbmp;
    }
    if (ReadU32LE(bytes + 4) != kCbmpVersion) {
        return ImageStatus::kUnsupportedVersion;
    }
    if (ReadSource(in, bytes + 8, kCbmpHeaderSize - 8) != kCbmpHeaderSize - 8) {
        return ImageStatus::kNotCbmp;
    }
    header = DecodeCbmpHeader(bytes);
    return ImageStatus::kOk;
}

ImageStatus CheckCbmpSizes(const CbmpHeader& header) {
    if (header.paletteSize > header.originalSize) {
        return ImageStatus::kPaletteBeyondOriginal;
    }
    // The payload and the 54 header bytes must fit the BMP file header's 32-bit size field.
    if (header.originalSize > 0xFFFFFFFFu - kBmpHeadersSize) {
        return ImageStatus::kCbmpTooLarge;
    }
    return ImageStatus::kOk;
}

ImageStatus CheckCbmpDecodable(const CbmpHeader& header) {
    if (const ImageStatus sizes = CheckCbmpSizes(header); sizes != ImageStatus::kOk) {
        return sizes;
    }
    // A stated size the stream cannot reach is refused before the output is allocated, so a
    // small hostile file cannot make the reader reserve gigabytes.
    if (header.compressedSize < 4 || header.originalSize > MaxDecodedSize(header.compressedSize)) {
        return ImageStatus::kCorruptStream;
    }
    return ImageStatus::kOk;
}

ImageStatus ReadCbmpStream(InputSource& in, const CbmpHeader& header, CbmpStream& stream) {
    const std::uint64_t remaining = RemainingBytes(in);
    if (remaining != kUnknownSize && header.compressedSize > remaining) {
        return ImageStatus::kCompressedDataShort;
    }
    if (in.file == nullptr) {
        stream.bytes = in.data + in.position;
        in.position += header.compressedSize;
        return ImageStatus::kOk;
    }
    BlockBuffer block;
    block.total = header.compressedSize;
    const BlockStatus status = ReadBlock(in, block, 0, header.compressedSize);
    if (status == BlockStatus::kShort) {
        return ImageStatus::kCompressedDataShort;
    }
    if (status != BlockStatus::kOk) {
        return ImageStatus::kNoMemory;
    }
    stream.owned = std::move(block.data);
    stream.bytes = stream.owned.get();
    return ImageStatus::kOk;
}

namespace {

// The 54 header bytes of the BMP file that `header` decodes to.
void EncodeBmpHeadersFor(const CbmpHeader& header, std::uint8_t* bytes) {
    BmpImage image;
    image.bfType = kBmpSignature;
    image.info = header.info;
    image.paletteSize = header.paletteSize;
    image.pixelSize = header.originalSize - header.paletteSize;
    EncodeBmpHeaders(image, bytes);
}

}  // namespace

ImageStatus DecodeCbmp(const CbmpHeader& header, const std::uint8_t* stream, BmpFileBuffer& bmp,
                       const LzProgress* progress) {
    if (const ImageStatus status = CheckCbmpDecodable(header); status != ImageStatus::kOk) {
        return status;
    }
    const std::size_t size = std::size_t{kBmpHeadersSize} + header.originalSize;
    ByteBuffer bytes = AllocateBytes(size + kDecodeSlack);
    if (!bytes) {
        return ImageStatus::kDecodeNoMemory;
    }
    if (!LzDecompressInto(stream, header.compressedSize, bytes.get() + kBmpHeadersSize,
                          header.originalSize, progress)) {
        return ImageStatus::kCorruptStream;
    }
    EncodeBmpHeadersFor(header, bytes.get());
    bmp.bytes = std::move(bytes);
    bmp.size = size;
    return ImageStatus::kOk;
}

ImageStatus DecodeCbmpTo(const CbmpHeader& header, const std::uint8_t* stream, const LzSink& sink,
                         const LzProgress* progress) {
    if (const ImageStatus status = CheckCbmpDecodable(header); status != ImageStatus::kOk) {
        return status;
    }
    std::uint8_t headers[kBmpHeadersSize];
    EncodeBmpHeadersFor(header, headers);
    if (!sink.write(sink.context, headers, sizeof headers)) {
        return ImageStatus::kCannotWrite;
    }
    switch (LzDecompressTo(stream, header.compressedSize, header.originalSize, progress, sink)) {
        case LzDecodeResult::kOk:
            return ImageStatus::kOk;
        case LzDecodeResult::kCorrupt:
            return ImageStatus::kCorruptStream;
        case LzDecodeResult::kNoMemory:
            return ImageStatus::kDecodeNoMemory;
        case LzDecodeResult::kSinkFailed:
            return ImageStatus::kCannotWrite;
    }
    return ImageStatus::kCorruptStream;
}

}  // namespace cbmp
