// Owned byte buffers as the codec and the image layer hand them around.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>

namespace cbmp {

// A heap buffer of bytes with a single owner. A null buffer means "no buffer" (a failed
// allocation or a failed operation); its length always travels beside it as a u32.
using ByteBuffer = std::unique_ptr<std::uint8_t[]>;

// Allocates `size` bytes, contents unspecified, or returns null when memory is exhausted.
// A zero-byte request still gives a real, non-null buffer, so empty payloads never depend on
// what an allocator does with a request for nothing.
inline ByteBuffer AllocateBytes(std::size_t size) {
    return ByteBuffer(new (std::nothrow) std::uint8_t[size == 0 ? 1 : size]);
}

}  // namespace cbmp
