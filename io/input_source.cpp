#include "io/input_source.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <system_error>

#ifdef _WIN32
#include <io.h>
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "io/native_path.h"

namespace cbmp {

namespace {

// First allocation for a source of unknown length; the buffer doubles from there.
constexpr std::uint32_t kInitialChunk = 64 * 1024;

bool Grow(BlockBuffer& block, std::uint32_t needed) {
    std::uint64_t capacity = std::max<std::uint64_t>(block.capacity, kInitialChunk);
    while (capacity < needed) {
        capacity *= 2;
    }
    const auto newCapacity =
        static_cast<std::uint32_t>(std::min<std::uint64_t>(capacity, block.total));
    ByteBuffer grown = AllocateBytes(newCapacity);
    if (!grown) {
        return false;
    }
    if (block.data && block.capacity > 0) {
        std::memcpy(grown.get(), block.data.get(), block.capacity);
    }
    block.data = std::move(grown);
    block.capacity = newCapacity;
    return true;
}

}  // namespace

std::FILE* OpenInputFile(const char* path) {
#ifdef _WIN32
    std::FILE* file = OpenFile(path, "rb");
    std::error_code ec;
    if (file != nullptr && std::filesystem::is_directory(NativePath(path), ec)) {
        std::fclose(file);
        return nullptr;
    }
    return file;
#else
    const int fd = KeepOffStandardStreams(open(path, O_RDONLY | O_NOCTTY | O_CLOEXEC));
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        if (fd >= 0) {
            close(fd);
        }
        return nullptr;
    }
    std::FILE* file = fdopen(fd, "rb");
    if (file == nullptr) {
        close(fd);
    }
    return file;
#endif
}

InputSource FileSource(std::FILE* file, const char* path) {
    InputSource in;
    in.file = file;
    in.identity = IdentifyFile(file);
#ifdef _WIN32
    std::error_code ec;
    const std::filesystem::path p = NativePath(path);
    if (std::filesystem::is_regular_file(p, ec)) {
        const std::uintmax_t length = std::filesystem::file_size(p, ec);
        if (!ec) {
            in.size = length;
        }
    }
#else
    (void)path;
    struct stat st;
    if (fstat(fileno(file), &st) == 0 && S_ISREG(st.st_mode)) {
        in.size = static_cast<std::uint64_t>(st.st_size);
    }
#endif
    return in;
}

InputFile::~InputFile() {
    Close();
    if (view_ != nullptr) {
#ifdef _WIN32
        UnmapViewOfFile(view_);
#else
        munmap(view_, viewSize_);
#endif
    }
}

bool InputFile::Open(const char* path) {
    file_ = OpenInputFile(path);
    if (file_ == nullptr) {
        return false;
    }
    source = FileSource(file_, path);
    if (Map()) {
        const FileIdentity identity = source.identity;
        source = MemorySource(static_cast<const std::uint8_t*>(view_), viewSize_);
        source.identity = identity;
    }
    return true;
}

void InputFile::Close() {
    if (file_ != nullptr) {
        std::fclose(file_);
        file_ = nullptr;
        source.file = nullptr;
    }
}

bool InputFile::ReadFailed() const {
    return file_ != nullptr && std::ferror(file_) != 0;
}

// Maps the whole of a regular file that is not empty (an empty mapping is refused everywhere),
// read-only. Failure is not an error: the file is then read.
bool InputFile::Map() {
    if (source.size == kUnknownSize || source.size == 0 || source.size > SIZE_MAX) {
        return false;
    }
    const auto size = static_cast<std::size_t>(source.size);
#ifdef _WIN32
    // Windows refuses to shorten a file while a view of it exists, so a mapped input cannot be
    // cut short under the reader.
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file_)));
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    HANDLE mapping = CreateFileMappingW(handle, nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (mapping == nullptr) {
        return false;
    }
    view_ = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, size);
    CloseHandle(mapping);  // the view keeps the mapping alive
    if (view_ == nullptr) {
        return false;
    }
#else
    // A file cut short while mapped raises SIGBUS on the next read of a page past its new end:
    // only a file that the caller alone may write (its own, not writable by group or others) is
    // mapped, so that no other user can make a read fault.
    struct stat st;
    if (fstat(fileno(file_), &st) != 0 || st.st_uid != geteuid() ||
        (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return false;
    }
    void* view = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fileno(file_), 0);
    if (view == MAP_FAILED) {
        return false;
    }
    madvise(view, size, MADV_WILLNEED);  // advice only: the kernel may start reading it in
    view_ = view;
#endif
    viewSize_ = size;
    return true;
}

InputSource MemorySource(const std::uint8_t* data, std::size_t size) {
    InputSource in;
    in.data = data;
    in.size = size;
    return in;
}

std::size_t ReadSource(InputSource& in, std::uint8_t* dest, std::size_t count) {
    std::size_t got = 0;
    if (in.file != nullptr) {
        got = count == 0 ? 0 : std::fread(dest, 1, count, in.file);
    } else {
        const std::uint64_t left = in.size - in.position;
        got = static_cast<std::size_t>(std::min<std::uint64_t>(left, count));
        if (got > 0) {
            std::memcpy(dest, in.data + in.position, got);
        }
    }
    in.position += got;
    return got;
}

std::uint64_t RemainingBytes(const InputSource& in) {
    if (in.size == kUnknownSize) {
        return kUnknownSize;
    }
    return in.size > in.position ? in.size - in.position : 0;
}

BlockStatus ReadBlock(InputSource& in, BlockBuffer& block, std::uint32_t offset,
                      std::uint32_t count) {
    if (RemainingBytes(in) != kUnknownSize) {
        if (!block.data && !Grow(block, block.total)) {
            return BlockStatus::kNoMemory;
        }
        if (block.capacity < block.total && !Grow(block, block.total)) {
            return BlockStatus::kNoMemory;
        }
        return ReadSource(in, block.data.get() + offset, count) == count ? BlockStatus::kOk
                                                                         : BlockStatus::kShort;
    }
    std::uint32_t done = 0;
    while (done < count || !block.data) {
        const std::uint32_t at = offset + done;
        if (!block.data || at == block.capacity) {
            if (!Grow(block, at + 1 > block.total ? block.total : at + 1)) {
                return BlockStatus::kNoMemory;
            }
            if (count == 0) {
                break;
            }
        }
        const std::uint32_t chunk = std::min(count - done, block.capacity - at);
        const std::size_t got = ReadSource(in, block.data.get() + at, chunk);
        done += static_cast<std::uint32_t>(got);
        if (got < chunk) {
            return BlockStatus::kShort;
        }
    }
    return BlockStatus::kOk;
}

}  // namespace cbmp
