#include "io/file_identity.h"

#include <cerrno>

#ifdef _WIN32
#include <io.h>
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include "io/native_path.h"
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace cbmp {

FileIdentity IdentifyFile(std::FILE* file) {
    if (file == nullptr) {
        return {};
    }
#ifdef _WIN32
    return IdentifyDescriptor(_fileno(file));
#else
    return IdentifyDescriptor(fileno(file));
#endif
}

FileIdentity IdentifyDescriptor(int fd) {
    FileIdentity identity;
    if (fd < 0) {
        return identity;
    }
#ifdef _WIN32
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    BY_HANDLE_FILE_INFORMATION info;
    if (handle != INVALID_HANDLE_VALUE && GetFileInformationByHandle(handle, &info) != 0) {
        identity.known = true;
        identity.device = info.dwVolumeSerialNumber;
        identity.index = (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
    }
#else
    struct stat st;
    if (fstat(fd, &st) == 0) {
        identity.known = true;
        identity.device = static_cast<std::uint64_t>(st.st_dev);
        identity.index = static_cast<std::uint64_t>(st.st_ino);
    }
#endif
    return identity;
}

bool IsStandardOutputFile(const char* path) {
    if (path == nullptr || *path == '\0') {
        return false;
    }
#ifdef _WIN32
    const int out = _fileno(stdout);
    const auto stream = reinterpret_cast<HANDLE>(_get_osfhandle(out));
    if (stream == INVALID_HANDLE_VALUE || GetFileType(stream) == FILE_TYPE_CHAR) {
        return false;
    }
    // Opened for its attributes only, sharing everything, so that no other user is disturbed.
    const HANDLE named = CreateFileW(NativePath(path).c_str(), FILE_READ_ATTRIBUTES,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (named == INVALID_HANDLE_VALUE) {
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info;
    FileIdentity identity;
    if (GetFileInformationByHandle(named, &info) != 0) {
        identity.known = true;
        identity.device = info.dwVolumeSerialNumber;
        identity.index = (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
    }
    CloseHandle(named);
    return identity.SameFileAs(IdentifyDescriptor(out));
#else
    struct stat named;
    struct stat stream;
    return stat(path, &named) == 0 && fstat(STDOUT_FILENO, &stream) == 0 &&
           !S_ISCHR(named.st_mode) && named.st_dev == stream.st_dev &&
           named.st_ino == stream.st_ino;
#endif
}

#ifndef _WIN32
int KeepOffStandardStreams(int fd) {
    if (fd < 0 || fd > STDERR_FILENO) {
        return fd;
    }
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    const int saved = errno;
    close(fd);
    errno = saved;
    return moved;
}
#endif

}  // namespace cbmp
