#include "io/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <random>
#include <system_error>
#include <thread>

#include "io/native_path.h"

#ifdef _WIN32
#include <io.h>
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace cbmp {

namespace fs = std::filesystem;

namespace {

// Narrow names are in the encoding that the file functions of io/native_path.h take.
fs::path FromNarrow(const std::string& narrow) {
    return NativePath(narrow.c_str(), PathRole::kOutput);
}

std::string ToNarrow(const fs::path& path) {
    return NarrowName(path);
}

// Follows symbolic links (up to a sane depth) to the path that is to be replaced. A dangling
// link resolves to the file it names, which is then created.
fs::path ResolveTarget(fs::path path) {
    for (int hops = 0; hops < 40; ++hops) {
        std::error_code ec;
        const fs::file_status status = fs::symlink_status(path, ec);
        if (ec || !fs::is_symlink(status)) {
            return path;
        }
        const fs::path link = fs::read_symlink(path, ec);
        if (ec) {
            return path;
        }
        path = link.is_absolute() ? link : path.parent_path() / link;
    }
    return path;
}

// Creates a new file exclusively; the process umask applies as for any new file.
std::FILE* CreateExclusive(const std::string& path) {
#ifdef _WIN32
    const int fd = OpenDescriptor(path.c_str(), _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY,
                                  _S_IREAD | _S_IWRITE, PathRole::kOutput);
    if (fd < 0) {
        return nullptr;
    }
    std::FILE* file = _fdopen(fd, "wb");
    if (file == nullptr) {
        _close(fd);
    }
#else
    const int fd = open(path.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666);
    if (fd < 0) {
        return nullptr;
    }
    std::FILE* file = fdopen(fd, "wb");
    if (file == nullptr) {
        close(fd);
    }
#endif
    return file;
}

std::uint64_t NameSeed() {
    std::random_device device;
    const auto now =
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    const auto thread =
        static_cast<std::uint64_t>(std::hash<std::thread::id>{}(std::this_thread::get_id()));
    return (std::uint64_t{device()} << 32) ^ now ^ (thread * 0x9E3779B97F4A7C15u);
}

}  // namespace

OutputFile::~OutputFile() {
    Discard();
}

bool OutputFile::Open(const char* path, const TempFileObserver* observer) {
    Discard();
    observer_ = observer;
    failed_ = false;
    const fs::path target = ResolveTarget(FromNarrow(path));
    target_ = ToNarrow(target);

    std::error_code ec;
    const fs::file_status status = fs::status(target, ec);
    if (!ec && fs::exists(status) && !fs::is_regular_file(status)) {
        // A FIFO or device is written in place; a directory fails to open here.
        inPlace_ = true;
        writePath_ = target_;
        file_ = OpenFile(target_.c_str(), "wb", PathRole::kOutput);
        return file_ != nullptr;
    }
    inPlace_ = false;

    const fs::path dir = target.parent_path();
    const std::string base = ToNarrow(target.filename());
    std::mt19937_64 rng(NameSeed());
    for (int attempt = 0; attempt < 16 && file_ == nullptr; ++attempt) {
        char suffix[24];
        std::snprintf(suffix, sizeof suffix, ".%016llx.tmp",
                      static_cast<unsigned long long>(rng()));
        const fs::path temp = dir / FromNarrow("." + base + suffix);
        writePath_ = ToNarrow(temp);
        file_ = CreateExclusive(writePath_);
        if (file_ == nullptr && errno != EEXIST) {
            break;
        }
    }
    if (file_ == nullptr) {
        writePath_.clear();
        return false;
    }
    if (observer_ != nullptr && observer_->created != nullptr) {
        observer_->created(writePath_.c_str(), observer_->context);
    }
    if (fs::is_regular_file(status)) {
        fs::permissions(FromNarrow(writePath_), status.permissions(), fs::perm_options::replace,
                        ec);
    }
    return true;
}

bool OutputFile::Write(const void* data, std::size_t size) {
    if (file_ == nullptr || failed_) {
        return false;
    }
    if (size > 0 && std::fwrite(data, 1, size, file_) != size) {
        failed_ = true;
    }
    return !failed_;
}

bool OutputFile::Commit() {
    if (file_ == nullptr) {
        return false;
    }
    bool ok = !failed_ && std::fflush(file_) == 0 && !std::ferror(file_);
    ok = std::fclose(file_) == 0 && ok;
    file_ = nullptr;
    if (inPlace_) {
        writePath_.clear();
        return ok;
    }
    if (ok) {
        std::error_code ec;
        fs::rename(FromNarrow(writePath_), FromNarrow(target_), ec);
        ok = !ec;
    }
    if (!ok) {
        std::error_code ec;
        fs::remove(FromNarrow(writePath_), ec);
    }
    writePath_.clear();
    Finished();
    return ok;
}

void OutputFile::Discard() {
    if (file_ != nullptr) {
        std::fclose(file_);
        file_ = nullptr;
        if (!inPlace_) {
            std::error_code ec;
            fs::remove(FromNarrow(writePath_), ec);
            Finished();
        }
    }
    writePath_.clear();
}

void OutputFile::Finished() {
    if (observer_ != nullptr && observer_->finished != nullptr) {
        observer_->finished(observer_->context);
    }
}

}  // namespace cbmp
