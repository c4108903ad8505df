#include "cbmpz/memory_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>

namespace cbmpz {

std::size_t MaxInput() {
    constexpr std::uint64_t kLargest = (std::uint64_t{1} << 32) + 64;
    return static_cast<std::size_t>(std::min<std::uint64_t>(kLargest, SIZE_MAX / 2));
}

cbmpcore_result ReadAll(int fd, std::size_t limit, Bytes& bytes) {
    struct stat st {};
    // A regular file's size is the first guess; a stream starts at 1 MiB and doubles.
    std::size_t capacity = std::size_t{1} << 20;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size >= 0) {
        capacity = static_cast<std::size_t>(
            std::min<std::uint64_t>(static_cast<std::uint64_t>(st.st_size) + 1, limit + 1));
    }
    std::unique_ptr<std::uint8_t[]> data(new (std::nothrow) std::uint8_t[capacity]);
    std::size_t size = 0;
    for (;;) {
        if (data == nullptr) {
            return CBMPCORE_ERROR_NO_MEMORY;
        }
        if (size == capacity) {
            if (size > limit) {
                return CBMPCORE_ERROR_TOO_LARGE;
            }
            const std::size_t grown = std::min(capacity * 2, limit + 1);
            std::unique_ptr<std::uint8_t[]> larger(new (std::nothrow) std::uint8_t[grown]);
            if (larger == nullptr) {
                return CBMPCORE_ERROR_NO_MEMORY;
            }
            std::memcpy(larger.get(), data.get(), size);
            data = std::move(larger);
            capacity = grown;
        }
        const ssize_t got = read(fd, data.get() + size, capacity - size);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return CBMPCORE_ERROR_READ;
        }
        if (got == 0) {
            break;
        }
        size += static_cast<std::size_t>(got);
    }
    if (size > limit) {
        return CBMPCORE_ERROR_TOO_LARGE;
    }
    bytes.data = std::move(data);
    bytes.size = size;
    return CBMPCORE_OK;
}

cbmpcore_result ReadFile(const char* path, std::size_t limit, Bytes& bytes) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return CBMPCORE_ERROR_CANNOT_OPEN;
    }
    struct stat st {};
    if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        close(fd);
        return CBMPCORE_ERROR_CANNOT_OPEN;
    }
    const cbmpcore_result result = ReadAll(fd, limit, bytes);
    close(fd);
    return result;
}

bool WriteAll(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t done = write(fd, data, size);
        if (done < 0 && errno == EINTR) {
            continue;
        }
        if (done <= 0) {
            return false;
        }
        data += done;
        size -= static_cast<std::size_t>(done);
    }
    return true;
}

}  // namespace cbmpz
