// The Windows output file: a temporary file beside the target, renamed over it once complete.
// Narrow names are UTF-8, opened through the wide-character functions (see io/native_path.h).
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include "io/native_path.h"
#include "io/output_file.h"

namespace cbmp {

namespace fs = std::filesystem;

namespace {

std::atomic<TempCreatedHook> g_tempCreatedHook{nullptr};

// Narrow names are UTF-8; io/native_path.h opens them through the wide-character functions.
fs::path FromNarrow(const std::string& narrow) {
    return NativePath(narrow.c_str());
}

std::string ToNarrow(const fs::path& path) {
    return NarrowName(path);
}

std::uint64_t NameSeed() {
    std::random_device device;
    const auto now =
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    return (std::uint64_t{device()} << 32) ^ now ^ GetCurrentThreadId();
}

}  // namespace

void SetTempCreatedHookForTesting(TempCreatedHook hook) {
    g_tempCreatedHook.store(hook);
}

OutputFile::~OutputFile() {
    Discard();
}

void OutputFile::Reset() {
    if (state_.fd >= 0) {
        _close(state_.fd);
    }
    state_ = State{};
}

OpenStatus OutputFile::Open(const char* path, const FileIdentity* input,
                            const TempFileObserver* observer) {
    Discard();
    observer_ = observer;
    if (path == nullptr || *path == '\0') {
        return OpenStatus::kCannotCreate;
    }
    std::error_code ec;
    const fs::file_status status = fs::status(FromNarrow(path), ec);
    const OpenStatus result =
        !ec && fs::exists(status) ? OpenExisting(path, -1, input) : OpenMissing(path, input);
    if (result != OpenStatus::kOpened) {
        Reset();
    }
    return result;
}

// No file by that name: a new one, made under a temporary name beside it.
OpenStatus OutputFile::OpenMissing(const char* path, const FileIdentity* /*input*/) {
    return OpenNew(path);
}

OpenStatus OutputFile::OpenNew(const std::string& name) {
    state_.targetName = name;
    state_.regular = true;
    return CreateTemporary() ? OpenStatus::kOpened : OpenStatus::kCannotCreate;
}

// The existing file at `path`; Windows opens it here rather than in Open, so `target` is -1.
OpenStatus OutputFile::OpenExisting(const char* path, int /*target*/, const FileIdentity* input) {
    const int existing = OpenDescriptor(path, _O_RDONLY | _O_BINARY, 0);
    if (existing >= 0) {
        const FileIdentity identity = IdentifyDescriptor(existing);
        _close(existing);
        if (input != nullptr && input->SameFileAs(identity)) {
            return OpenStatus::kSameAsInput;
        }
    }
    std::error_code ec;
    if (!fs::is_regular_file(FromNarrow(path), ec)) {
        // A device is written in place; a directory fails to open here.
        return OpenInPlace(OpenDescriptor(path, _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY,
                                          _S_IREAD | _S_IWRITE));
    }
    // A read-only file is refused, as opening it for writing would be.
    const int writable = OpenDescriptor(path, _O_WRONLY | _O_BINARY, 0);
    if (writable < 0) {
        return OpenStatus::kCannotCreate;
    }
    _close(writable);
    return OpenNew(path);
}

OpenStatus OutputFile::OpenInPlace(int target) {
    if (target < 0) {
        return OpenStatus::kCannotCreate;
    }
    state_.inPlace = true;
    state_.fd = target;
    return OpenStatus::kOpened;
}

// A dangling link is opened as any missing file on Windows.
OpenStatus OutputFile::OpenThroughLink(const char* path, const FileIdentity* input) {
    return OpenMissing(path, input);
}

// The temporary file beside the target, its name new.
bool OutputFile::CreateTemporary() {
    const fs::path target = FromNarrow(state_.targetName);
    std::mt19937_64 rng(NameSeed());
    for (int attempt = 0; attempt < 16 && state_.fd < 0; ++attempt) {
        char name[32];
        std::snprintf(name, sizeof name, ".cbmp-%016llx.tmp",
                      static_cast<unsigned long long>(rng()));
        state_.tempName = ToNarrow(target.parent_path() / name);
        state_.fd = OpenDescriptor(state_.tempName.c_str(),
                                   _O_CREAT | _O_EXCL | _O_RDWR | _O_BINARY, _S_IREAD | _S_IWRITE);
        if (state_.fd < 0 && errno != EEXIST) {
            break;
        }
    }
    if (state_.fd < 0) {
        state_.tempName.clear();
        return false;
    }
    if (const TempCreatedHook hook = g_tempCreatedHook.load(); hook != nullptr) {
        hook(-1, state_.tempName.c_str());
    }
    if (observer_ != nullptr && observer_->created != nullptr) {
        observer_->created(-1, state_.tempName.c_str(), observer_->context);
    }
    return true;
}

bool OutputFile::Write(const void* data, std::size_t size) {
    if (state_.fd < 0 || state_.failed) {
        return false;
    }
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const unsigned chunk = size > (1u << 30) ? (1u << 30) : static_cast<unsigned>(size);
        const int done = _write(state_.fd, bytes, chunk);
        if (done <= 0) {
            state_.failed = true;
            return false;
        }
        bytes += done;
        size -= static_cast<std::size_t>(done);
        state_.written += static_cast<std::uint64_t>(done);
    }
    return true;
}

bool OutputFile::WriteAt(std::uint64_t offset, const void* data, std::size_t size) {
    if (state_.fd < 0 || state_.failed || !state_.regular || offset > state_.written ||
        size > state_.written - offset) {
        return false;
    }
    const std::uint64_t end = state_.written;
    bool ok = _lseeki64(state_.fd, static_cast<__int64>(offset), SEEK_SET) >= 0;
    const auto* bytes = static_cast<const char*>(data);
    while (ok && size > 0) {
        const unsigned chunk = size > (1u << 30) ? (1u << 30) : static_cast<unsigned>(size);
        const int done = _write(state_.fd, bytes, chunk);
        ok = done > 0;
        if (ok) {
            bytes += done;
            size -= static_cast<std::size_t>(done);
        }
    }
    ok = ok && _lseeki64(state_.fd, static_cast<__int64>(end), SEEK_SET) >= 0;
    state_.failed = !ok;
    return ok;
}

void OutputFile::RemoveTemporary() {
    if (state_.tempName.empty()) {
        return;
    }
    std::error_code ec;
    fs::remove(FromNarrow(state_.tempName), ec);
    state_.tempName.clear();
    if (observer_ != nullptr && observer_->finished != nullptr) {
        observer_->finished(observer_->context);
    }
}

bool OutputFile::Commit(bool durable) {
    if (state_.fd < 0) {
        return false;
    }
    const bool inPlace = state_.inPlace;
    bool ok = !state_.failed && (inPlace || !durable || _commit(state_.fd) == 0);
    ok = _close(state_.fd) == 0 && ok;
    state_.fd = -1;
    if (!inPlace && ok) {
        const std::wstring from = FromNarrow(state_.tempName).native();
        const std::wstring to = FromNarrow(state_.targetName).native();
        const DWORD flags = MOVEFILE_REPLACE_EXISTING | (durable ? MOVEFILE_WRITE_THROUGH : 0);
        ok = MoveFileExW(from.c_str(), to.c_str(), flags) != 0;
        if (ok) {
            state_.tempName.clear();
            if (observer_ != nullptr && observer_->finished != nullptr) {
                observer_->finished(observer_->context);
            }
        }
    }
    RemoveTemporary();
    Reset();
    return ok;
}

void OutputFile::Discard() {
    if (state_.fd >= 0) {
        _close(state_.fd);
        state_.fd = -1;
        if (!state_.inPlace) {
            RemoveTemporary();
        }
    }
    Reset();
}

}  // namespace cbmp
