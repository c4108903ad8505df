// What makes two open files the same file, and the descriptor rule that every file the system
// opens follows.
#pragma once

#include <cstdint>
#include <cstdio>

namespace cbmp {

// A file's identity: device and inode number on POSIX systems, volume serial number and file
// index on Windows. Two names (a hard link, a symbolic link, "./a" and "a") of one file have the
// same identity. Default-constructed, it is unknown and matches nothing.
struct FileIdentity {
    bool known = false;
    std::uint64_t device = 0;
    std::uint64_t index = 0;

    bool SameFileAs(const FileIdentity& other) const {
        return known && other.known && device == other.device && index == other.index;
    }
};

// The identity of an open file, or an unknown one when the platform cannot tell.
FileIdentity IdentifyFile(std::FILE* file);
FileIdentity IdentifyDescriptor(int fd);

// True when the file named `path` (a narrow name, see io/native_path.h) is the file that the
// process's standard output writes to, and that file keeps what is written: the same pipe, FIFO,
// socket or regular file, by identity, whatever the name (/dev/stdout, /proc/self/fd/1, the file's
// own path). A terminal or another character device (/dev/null) is no such file: what goes to it
// is never read back as one stream.
bool IsStandardOutputFile(const char* path);

#ifndef _WIN32
// Returns `fd` itself when it is 3 or above; otherwise a duplicate of it at 3 or above (close on
// exec), closing `fd`. A host whose standard streams are closed would otherwise hand the next file
// opened descriptor 0, 1 or 2, and console output meant for them would land in the file. Returns
// -1 (with `fd` closed) when no descriptor is left; a negative `fd` is passed through.
int KeepOffStandardStreams(int fd);
#endif

}  // namespace cbmp
