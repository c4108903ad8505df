// Output files, written the way a careful system tool writes them.
//
// A regular file is written under a private temporary name (mode 0600 from the moment it exists)
// in the directory of the file it replaces, then given the old file's owner, group, permission bits
// (never set-user-ID or set-group-ID), access ACL and user extended attributes where the caller may
// set them, and renamed over the old name only once it is complete: a failed or interrupted write
// never destroys what was there. The temporary's name has a fixed length, whatever the output's
// name.
//
// Syncing to the disk is the caller's choice (Commit's `durable`): when asked for, the data
// reaches the disk before the new name does, and the rename itself before Commit returns, so
// that a caller may remove its input afterwards. Without it the file is complete for every
// reader at once and reaches the disk when the system writes it back, as with any program that
// does not sync.
//
// The existing output is opened for writing first, so that the kernel alone decides whether a
// symbolic link in its path may be followed and whether the caller may write it: a read-only
// file, a link loop or a link the kernel refuses to follow fails as a plain open would. The file
// that open reached is the one replaced, in the directory that holds it.
//
// Some outputs are written in place, through the descriptor of that first open: anything that
// is not a regular file (a FIFO, a device, /dev/stdout on a pipe) and a regular file that cannot
// be replaced (its directory is not writable by the caller, it is a mount point, or a sticky
// directory keeps the caller from renaming over it). The regular file that the process's own
// standard output or error goes to is written in place too, through that stream's own open file:
// from its current position and with its append flag, so that `>>` and what the stream already
// holds are kept. There the old content is lost if the write fails, as with any program that
// opens an output for writing. A file with several hard links is replaced like any other: the
// name given gets the new content and the other names keep the old file.
//
// No descriptor the class opens is ever 0, 1 or 2.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "io/file_identity.h"

namespace cbmp {

// Told when a temporary file appears and when it is gone again (renamed into place or removed),
// so that a front end can remove it if the process is killed by a signal in between. Both calls
// are made with every signal blocked in the calling thread, so a handler never sees one half
// done. `created` gets a directory descriptor and a name inside it (on POSIX systems; on Windows
// the descriptor is -1 and the name a whole path): a handler removes the file with
// unlinkat(dirFd, name, 0), which is async-signal-safe and works whatever the length of the
// directory's path. The descriptor stays open until `finished` is called.
struct TempFileObserver {
    void (*created)(int dirFd, const char* name, void* context) = nullptr;
    void (*finished)(void* context) = nullptr;
    void* context = nullptr;
};

enum class OpenStatus {
    kOpened,
    kCannotCreate,  // the output cannot be opened or created: "Cannot create file"
    kSameAsInput,   // the output is the input file under some name: nothing was touched
};

class OutputFile {
  public:
    OutputFile() = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile();  // an uncommitted file is discarded

    // Opens the output for `path`. `input`, when given and known, is the identity of the file the
    // data is read from: an output that is that same file is refused with kSameAsInput before
    // anything changes. `observer` learns of the temporary file.
    OpenStatus Open(const char* path, const FileIdentity* input = nullptr,
                    const TempFileObserver* observer = nullptr);

    // Writes `size` bytes; returns false on any failure (and every later write fails too). A
    // write that would take a regular file past the process's file-size limit fails here, before
    // the kernel would raise SIGXFSZ.
    bool Write(const void* data, std::size_t size);

    // True when bytes already written may be written again (WriteAt): the output is a regular
    // file, the private temporary or a file written in place from its start (not a standard
    // stream's file, written from that stream's position).
    bool CanRewrite() const { return state_.regular && !state_.throughStream; }

    // Writes `size` bytes at `offset`, over bytes already written (offset + size <= bytes
    // written so far), leaving the next Write where it was. Fails as Write does, and where
    // CanRewrite() is false.
    bool WriteAt(std::uint64_t offset, const void* data, std::size_t size);

    // Puts the file in place and closes it; `durable` first flushes its data to the disk and
    // after the rename the directory that holds it. Returns false on failure, after which the
    // temporary file is gone and a replaced target untouched.
    bool Commit(bool durable = false);

    // Closes and removes the temporary file without touching the target.
    void Discard();

    // True when the output is written in place rather than replaced.
    bool InPlace() const { return state_.inPlace; }

    // Name of the temporary file in the output's directory; empty when written in place.
    const std::string& TempName() const { return state_.tempName; }

  private:
    // Everything one Open sets up and Commit or Discard ends; a fresh State is a closed file.
    struct State {
        int fd = -1;        // where the bytes go: the temporary file, or the target in place
        int targetFd = -1;  // the existing target, opened for writing, when it is a regular file
        int dirFd = -1;     // the directory holding the target's name
        std::string targetName;  // in dirFd (POSIX), or the whole path (Windows)
        std::string tempName;
        bool targetExisted = false;
        bool createdThroughLink = false;  // a dangling link's target, created by this run
        bool inPlace = false;
        bool throughStream = false;  // written through a standard stream's open file, at its place
        bool regular = false;
        bool failed = false;
        std::uint64_t written = 0;
        std::uint64_t sizeLimit = ~std::uint64_t{0};
        std::uint32_t targetMode = 0;
        std::uint64_t targetOwner = 0;
        std::uint64_t targetGroup = 0;
        FileIdentity targetIdentity;
    };

    // The openers, one for each kind of output that Open finds: no file by that name (a new
    // file, or a dangling link's target created through it), an existing file, and one that
    // is written in place.
    OpenStatus OpenMissing(const char* path, const FileIdentity* input);
    OpenStatus OpenNew(const std::string& name);
    OpenStatus OpenThroughLink(const char* path, const FileIdentity* input);
    OpenStatus OpenExisting(const char* path, int target, const FileIdentity* input);
    OpenStatus OpenInPlace(int target);

    void Reset();
    bool CreateTemporary();
    bool KeepAttributes();
    bool CopyIntoTarget(bool durable);
    void RemoveTemporary();
    void RemoveCreatedTarget();

    State state_;
    const TempFileObserver* observer_ = nullptr;
};

// For tests: called right after a temporary file is created, before the observer hears of it,
// with every signal blocked. Null (the default) in normal use.
using TempCreatedHook = void (*)(int dirFd, const char* name);
void SetTempCreatedHookForTesting(TempCreatedHook hook);

}  // namespace cbmp
