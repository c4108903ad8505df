// Owned byte buffers as the codec and the image layer hand them around.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace cbmp {

struct ByteBufferDeleter {
    void operator()(std::uint8_t* bytes) const noexcept { std::free(bytes); }
};

// A heap buffer of bytes with a single owner. A null buffer means "no buffer" (a failed
// allocation or a failed operation); its length always travels beside it as a u32.
using ByteBuffer = std::unique_ptr<std::uint8_t[], ByteBufferDeleter>;

// Allocates `size` bytes, contents unspecified, or returns null when memory is exhausted.
// A zero-byte request still gives a real, non-null buffer, so empty payloads never depend on
// what an allocator does with a request for nothing.
inline ByteBuffer AllocateBytes(std::size_t size) {
#if defined(__linux__)
    // Whole images are tens of megabytes: on Linux they go in huge pages where the system allows
    // it, which takes a five-hundredth of the page faults to fill them.
    constexpr std::size_t kHugePage = std::size_t{2} << 20;
    if (size >= 2 * kHugePage && size <= SIZE_MAX - kHugePage) {
        const std::size_t rounded = (size + kHugePage - 1) / kHugePage * kHugePage;
        if (void* bytes = std::aligned_alloc(kHugePage, rounded)) {
            madvise(bytes, rounded, MADV_HUGEPAGE);  // advice only: failure changes nothing
            return ByteBuffer(static_cast<std::uint8_t*>(bytes));
        }
        return nullptr;
    }
#endif
    return ByteBuffer(static_cast<std::uint8_t*>(std::malloc(size == 0 ? 1 : size)));
}

}  // namespace cbmp
