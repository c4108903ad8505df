#include "codec/lz_decompress.h"

#include <cstdio>

#include "codec/bit_reader.h"
#include "codec/lz_format.h"

namespace cbmp {

namespace {

// Decodes the tokens into out[0, size). Returns false for a corrupt stream.
bool DecodeTokens(BitReader& reader, std::uint8_t* out, std::uint32_t size) {
    std::uint32_t pos = 0;
    while (pos < size) {
        if (pos % 65536 == 0) {
            std::printf("  Progress: %u/%u (%.1f%%)\r", pos, size, pos * 100.0 / size);
            std::fflush(stdout);
        }
        std::uint32_t flag = 0;
        if (!reader.Get(1, flag)) {
            return false;  // the stream ran out before its end marker
        }
        std::uint32_t field = 0;
        if (flag == 0) {
            if (!reader.Get(8, field)) {
                return false;
            }
            out[pos++] = static_cast<std::uint8_t>(field);
            continue;
        }
        if (!reader.Get(kDistanceFieldBits, field)) {
            return false;
        }
        if (field == 0) {
            return false;  // end marker before `size` bytes: the tail would be missing
        }
        const std::uint32_t distance = field + 1;
        if (!reader.Get(kLengthCodeBits, field)) {
            return false;
        }
        if (distance > pos) {
            return false;  // reaches before the start of the output
        }
        std::uint32_t length = field + kMinMatch;
        if (length > size - pos) {
            length = size - pos;  // a match running past `size` is cut there
        }
        // Byte by byte: a match nearer than its length repeats what it has just produced.
        for (std::uint32_t i = 0; i < length; ++i, ++pos) {
            out[pos] = out[pos - distance];
        }
    }
    return true;
}

}  // namespace

ByteBuffer LzDecompress(const std::uint8_t* stream, std::uint32_t streamSize, std::uint32_t size) {
    if (streamSize < 4 || size > MaxDecodedSize(streamSize)) {
        return nullptr;
    }
    ByteBuffer out = AllocateBytes(size);
    if (!out) {
        return nullptr;
    }
    BitReader reader(stream, streamSize);
    std::uint32_t ignoredLength = 0;
    reader.Get(kLengthFieldBits, ignoredLength);  // cannot fail: streamSize >= 4

    std::printf("Decompressing %u bytes...\n", size);
    const bool ok = DecodeTokens(reader, out.get(), size);
    std::printf("  Progress: %u/%u (100.0%%)\n", size, size);
    return ok ? std::move(out) : nullptr;
}

}  // namespace cbmp
