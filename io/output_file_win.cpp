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
    if (fd_ >= 0) {
        _close(fd_);
        fd_ = -1;
    }
    targetName_.clear();
    tempName_.clear();
    inPlace_ = false;
    failed_ = false;
    written_ = 0;
}

OpenStatus OutputFile::Open(const char* path, const FileIdentity* input,
                            const TempFileObserver* observer) {
    Discard();
    observer_ = observer;
    if (path == nullptr || *path == '\0') {
        return OpenStatus::kCannotCreate;
    }
    const fs::path target = FromNarrow(path);
    targetName_ = path;
    std::error_code ec;
    const fs::file_status status = fs::status(target, ec);
    if (!ec && fs::exists(status)) {
        const int existing = OpenDescriptor(path, _O_RDONLY | _O_BINARY, 0);
        if (existing >= 0) {
            const FileIdentity identity = IdentifyDescriptor(existing);
            _close(existing);
            if (input != nullptr && input->SameFileAs(identity)) {
                Reset();
                return OpenStatus::kSameAsInput;
            }
        }
        if (!fs::is_regular_file(status)) {
            // A device is written in place; a directory fails to open here.
            inPlace_ = true;
            fd_ = OpenDescriptor(path, _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY,
                                 _S_IREAD | _S_IWRITE);
            return fd_ >= 0 ? OpenStatus::kOpened : OpenStatus::kCannotCreate;
        }
        // A read-only file is refused, as opening it for writing would be.
        const int writable = OpenDescriptor(path, _O_WRONLY | _O_BINARY, 0);
        if (writable < 0) {
            Reset();
            return OpenStatus::kCannotCreate;
        }
        _close(writable);
    }
    std::mt19937_64 rng(NameSeed());
    for (int attempt = 0; attempt < 16 && fd_ < 0; ++attempt) {
        char name[32];
        std::snprintf(name, sizeof name, ".cbmp-%016llx.tmp",
                      static_cast<unsigned long long>(rng()));
        tempName_ = ToNarrow(target.parent_path() / name);
        fd_ = OpenDescriptor(tempName_.c_str(), _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY,
                             _S_IREAD | _S_IWRITE);
        if (fd_ < 0 && errno != EEXIST) {
            break;
        }
    }
    if (fd_ < 0) {
        Reset();
        return OpenStatus::kCannotCreate;
    }
    if (const TempCreatedHook hook = g_tempCreatedHook.load(); hook != nullptr) {
        hook(-1, tempName_.c_str());
    }
    if (observer_ != nullptr && observer_->created != nullptr) {
        observer_->created(-1, tempName_.c_str(), observer_->context);
    }
    return OpenStatus::kOpened;
}

bool OutputFile::Write(const void* data, std::size_t size) {
    if (fd_ < 0 || failed_) {
        return false;
    }
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const unsigned chunk = size > (1u << 30) ? (1u << 30) : static_cast<unsigned>(size);
        const int done = _write(fd_, bytes, chunk);
        if (done <= 0) {
            failed_ = true;
            return false;
        }
        bytes += done;
        size -= static_cast<std::size_t>(done);
        written_ += static_cast<std::uint64_t>(done);
    }
    return true;
}

void OutputFile::RemoveTemporary() {
    if (tempName_.empty()) {
        return;
    }
    std::error_code ec;
    fs::remove(FromNarrow(tempName_), ec);
    tempName_.clear();
    if (observer_ != nullptr && observer_->finished != nullptr) {
        observer_->finished(observer_->context);
    }
}

bool OutputFile::Commit() {
    if (fd_ < 0) {
        return false;
    }
    bool ok = !failed_ && (inPlace_ || _commit(fd_) == 0);
    ok = _close(fd_) == 0 && ok;
    fd_ = -1;
    if (!inPlace_ && ok) {
        const std::wstring from = FromNarrow(tempName_).native();
        const std::wstring to = FromNarrow(targetName_).native();
        ok = MoveFileExW(from.c_str(), to.c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
        if (ok) {
            tempName_.clear();
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
    if (fd_ >= 0) {
        _close(fd_);
        fd_ = -1;
        if (!inPlace_) {
            RemoveTemporary();
        }
    }
    Reset();
}

// Not used on Windows: the temporary file is created with the caller's default access.
bool OutputFile::CreateTemporary() {
    return false;
}
bool OutputFile::KeepAttributes() {
    return true;
}
bool OutputFile::CopyIntoTarget() {
    return false;
}
void OutputFile::RemoveCreatedTarget() {}

}  // namespace cbmp
