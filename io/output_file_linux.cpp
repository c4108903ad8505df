// The Linux output file: descriptors and *at() calls throughout, so nothing is changed through a
// path that could be changed through an open descriptor. Linux's own interfaces serve where
// POSIX has none: O_PATH directories, /proc/self for an open file's name and the umask, and the
// descriptor-based extended-attribute calls.
#include <fcntl.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "io/output_file.h"

namespace cbmp {

namespace {

std::atomic<TempCreatedHook> g_tempCreatedHook{nullptr};

// Blocks every signal in the calling thread for its lifetime: a temporary file is created and
// announced, or renamed and forgotten, as one step for a signal handler.
class SignalsBlocked {
  public:
    SignalsBlocked() {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, &saved_);
    }
    ~SignalsBlocked() { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }
    SignalsBlocked(const SignalsBlocked&) = delete;
    SignalsBlocked& operator=(const SignalsBlocked&) = delete;

  private:
    sigset_t saved_;
};

void CloseFd(int& fd) {
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Opens a directory for the *at() calls: readable when it may be (so that it can be flushed after
// a rename), else for path operations alone.
int OpenDirectory(const std::string& dir) {
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        fd = open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    }
    return KeepOffStandardStreams(fd);
}

// Splits `path` into its directory and last name. Fails for a path that ends in a slash (it
// names a directory) or is empty.
bool SplitPath(const std::string& path, std::string& dir, std::string& name) {
    if (path.empty() || path.back() == '/') {
        return false;
    }
    const std::size_t slash = path.rfind('/');
    const std::size_t nameAt = slash == std::string::npos ? 0 : slash + 1;
    const std::size_t dirLength = slash == std::string::npos ? 0 : (slash == 0 ? 1 : slash);
    dir.assign(path.data(), dirLength);
    if (dir.empty()) {
        dir.push_back('.');
    }
    name.assign(path.data() + nameAt, path.size() - nameAt);
    return name != "." && name != "..";
}

// Opens the directory of `path` and checks that `name` in it is the file `st` describes.
bool DirectoryHolding(const std::string& path, const struct stat& st, int& dirFd,
                      std::string& name) {
    std::string dir;
    if (!SplitPath(path, dir, name)) {
        return false;
    }
    dirFd = OpenDirectory(dir);
    struct stat there;
    if (dirFd >= 0 && fstatat(dirFd, name.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(there.st_mode) && SameFile(there, st)) {
        return true;
    }
    CloseFd(dirFd);
    return false;
}

// Where the open regular file `fd` lives: first the name given, and when that is a symbolic
// link, the name the kernel reports for the open file, checked against the file itself. Fails
// when neither is the same file.
bool LocateName(const char* path, int fd, const struct stat& st, int& dirFd, std::string& name) {
    if (DirectoryHolding(path, st, dirFd, name)) {
        return true;
    }
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    std::vector<char> real(8192);
    const ssize_t length = readlink(link, real.data(), real.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= real.size() || real[0] != '/') {
        return false;
    }
    return DirectoryHolding(std::string(real.data(), static_cast<std::size_t>(length)), st, dirFd,
                            name);
}

// The process's umask, read without changing it (umask() would, for every thread at once).
mode_t CurrentUmask() {
    const int fd = KeepOffStandardStreams(open("/proc/self/status", O_RDONLY | O_CLOEXEC));
    if (fd >= 0) {
        std::string status;
        char buffer[4096];
        ssize_t got = 0;
        while ((got = read(fd, buffer, sizeof buffer)) > 0) {
            status.append(buffer, static_cast<std::size_t>(got));
        }
        close(fd);
        const std::size_t at = status.find("\nUmask:");
        if (at != std::string::npos) {
            return static_cast<mode_t>(std::strtoul(status.c_str() + at + 7, nullptr, 8) & 0777);
        }
    }
    const mode_t mask = umask(022);
    umask(mask);
    return mask;
}

std::uint64_t FileSizeLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
        return ~std::uint64_t{0};
    }
    return static_cast<std::uint64_t>(limit.rlim_cur);
}

// The standard stream (output or error) that writes to the file `st`, or -1.
int StandardStreamOf(const struct stat& st) {
    for (const int fd : {STDOUT_FILENO, STDERR_FILENO}) {
        struct stat stream;
        if (fstat(fd, &stream) == 0 && SameFile(stream, st)) {
            return fd;
        }
    }
    return -1;
}

bool WriteAll(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t done = write(fd, data, size);
        if (done < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data += done;
        size -= static_cast<std::size_t>(done);
    }
    return true;
}

// Extended attributes carried over to a replacement: the user's own and the access ACL.
// Security labels, capabilities and trusted attributes are the new file's own.
bool KeptAttribute(const char* name) {
    return std::strncmp(name, "user.", 5) == 0 || std::strcmp(name, "system.posix_acl_access") == 0;
}

void CopyExtendedAttributes(int from, int to) {
    ssize_t listSize = flistxattr(from, nullptr, 0);
    if (listSize <= 0) {
        return;
    }
    std::vector<char> names(static_cast<std::size_t>(listSize));
    listSize = flistxattr(from, names.data(), names.size());
    for (ssize_t at = 0; at < listSize;) {
        const char* name = names.data() + at;
        at += static_cast<ssize_t>(std::strlen(name)) + 1;
        if (!KeptAttribute(name)) {
            continue;
        }
        const ssize_t size = fgetxattr(from, name, nullptr, 0);
        if (size < 0) {
            continue;
        }
        std::vector<char> value(static_cast<std::size_t>(size) + 1);
        const ssize_t got = fgetxattr(from, name, value.data(), value.size());
        if (got >= 0) {
            fsetxattr(to, name, value.data(), static_cast<std::size_t>(got), 0);
        }
    }
}

std::uint64_t NameSeed() {
    std::random_device device;
    const auto now =
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    return (std::uint64_t{device()} << 32) ^ now ^ (static_cast<std::uint64_t>(getpid()) << 16);
}

}  // namespace

void SetTempCreatedHookForTesting(TempCreatedHook hook) {
    g_tempCreatedHook.store(hook);
}

OutputFile::~OutputFile() {
    Discard();
}

void OutputFile::Reset() {
    CloseFd(state_.fd);
    CloseFd(state_.targetFd);
    CloseFd(state_.dirFd);
    state_ = State{};
}

OpenStatus OutputFile::Open(const char* path, const FileIdentity* input,
                            const TempFileObserver* observer) {
    Discard();
    observer_ = observer;
    if (path == nullptr || *path == '\0') {
        return OpenStatus::kCannotCreate;
    }
    state_.sizeLimit = FileSizeLimit();

    // The existing output, opened as any program would open it for writing: the kernel follows
    // links (or refuses to) and checks that the caller may write the file.
    const int target = open(path, O_WRONLY | O_NOCTTY | O_CLOEXEC);
    const OpenStatus status = target < 0 && errno == ENOENT ? OpenMissing(path, input)
                                                            : OpenExisting(path, target, input);
    if (status != OpenStatus::kOpened) {
        Reset();
    }
    return status;
}

// No file by that name: a new one, or the target of a dangling link.
OpenStatus OutputFile::OpenMissing(const char* path, const FileIdentity* input) {
    std::string dir;
    std::string name;
    if (!SplitPath(path, dir, name)) {
        return OpenStatus::kCannotCreate;
    }
    state_.dirFd = OpenDirectory(dir);
    if (state_.dirFd < 0) {
        return OpenStatus::kCannotCreate;
    }
    struct stat there;
    if (fstatat(state_.dirFd, name.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0) {
        if (!S_ISLNK(there.st_mode)) {
            return OpenStatus::kCannotCreate;
        }
        CloseFd(state_.dirFd);
        return OpenThroughLink(path, input);
    }
    if (errno != ENOENT) {
        return OpenStatus::kCannotCreate;
    }
    return OpenNew(name);
}

// A new file, made under a temporary name in the open directory and renamed into place.
OpenStatus OutputFile::OpenNew(const std::string& name) {
    state_.targetName = name;
    state_.targetMode = 0666 & ~CurrentUmask();
    state_.regular = true;
    return CreateTemporary() ? OpenStatus::kOpened : OpenStatus::kCannotCreate;
}

// A dangling link: the file it names is created through it, as the shell's ">" would create it
// (the kernel decides whether the link may be followed), and then replaced like any existing
// file. It is removed again if the run fails.
OpenStatus OutputFile::OpenThroughLink(const char* path, const FileIdentity* input) {
    const int target = open(path, O_WRONLY | O_CREAT | O_NOCTTY | O_CLOEXEC, 0600);
    if (target < 0) {
        return OpenStatus::kCannotCreate;
    }
    state_.createdThroughLink = true;
    return OpenExisting(path, target, input);
}

// The file that opening `path` for writing reached (`target`, or -1 when that failed).
OpenStatus OutputFile::OpenExisting(const char* path, int target, const FileIdentity* input) {
    target = KeepOffStandardStreams(target);
    struct stat st;
    if (target < 0 || fstat(target, &st) != 0) {
        if (target >= 0) {
            close(target);
        }
        return OpenStatus::kCannotCreate;
    }
    state_.targetIdentity = IdentifyDescriptor(target);
    if (input != nullptr && input->SameFileAs(state_.targetIdentity)) {
        close(target);
        return OpenStatus::kSameAsInput;
    }
    if (!S_ISREG(st.st_mode)) {
        return OpenInPlace(target);
    }
    const int stream = StandardStreamOf(st);
    if (stream >= 0) {
        // The file that the process's standard output (or error) writes to, reached through
        // /dev/stdout or under its own name: written through that stream's own open file, at its
        // position and with its append flag, as the shell's ">" or ">>" asked. Nothing before
        // that position is touched and nothing after the data is cut off.
        close(target);
        state_.fd = fcntl(stream, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        if (state_.fd < 0) {
            return OpenStatus::kCannotCreate;
        }
        state_.regular = true;
        state_.inPlace = true;
        state_.throughStream = true;
        return OpenStatus::kOpened;
    }
    state_.regular = true;
    state_.targetFd = target;
    state_.targetExisted = !state_.createdThroughLink;
    state_.targetMode = state_.createdThroughLink ? 0666 & ~CurrentUmask() : st.st_mode & 07777;
    state_.targetOwner = st.st_uid;
    state_.targetGroup = st.st_gid;
    if (LocateName(path, target, st, state_.dirFd, state_.targetName)) {
        if (CreateTemporary()) {
            return OpenStatus::kOpened;
        }
        if (errno != EACCES && errno != EPERM && errno != EROFS) {
            RemoveTemporary();
            RemoveCreatedTarget();
            return OpenStatus::kCannotCreate;
        }
    }
    CloseFd(state_.dirFd);
    state_.targetName.clear();
    state_.targetFd = -1;
    return OpenInPlace(target);
}

// Written in place through `target`: a regular file from the start, the old bytes past the new
// end cut off at the end.
OpenStatus OutputFile::OpenInPlace(int target) {
    state_.inPlace = true;
    state_.fd = target;
    if (state_.regular && lseek(target, 0, SEEK_SET) != 0) {
        return OpenStatus::kCannotCreate;
    }
    return OpenStatus::kOpened;
}

bool OutputFile::CreateTemporary() {
    std::mt19937_64 rng(NameSeed());
    for (int attempt = 0; attempt < 16; ++attempt) {
        char name[32];
        std::snprintf(name, sizeof name, ".cbmp-%016llx.tmp",
                      static_cast<unsigned long long>(rng()));
        const SignalsBlocked blocked;
        const int fd = openat(state_.dirFd, name,
                              O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0600);
        if (fd < 0) {
            if (errno == EEXIST) {
                continue;
            }
            return false;
        }
        state_.tempName = name;
        state_.fd = KeepOffStandardStreams(fd);
        if (state_.fd < 0 || (fd != state_.fd && (ftruncate(state_.fd, 0) != 0 ||
                                                  lseek(state_.fd, 0, SEEK_SET) != 0))) {
            const int saved = errno;
            unlinkat(state_.dirFd, name, 0);
            state_.tempName.clear();
            CloseFd(state_.fd);
            errno = saved;
            return false;
        }
        if (const TempCreatedHook hook = g_tempCreatedHook.load(); hook != nullptr) {
            hook(state_.dirFd, name);
        }
        if (observer_ != nullptr && observer_->created != nullptr) {
            observer_->created(state_.dirFd, name, observer_->context);
        }
        return true;
    }
    errno = EEXIST;
    return false;
}

bool OutputFile::Write(const void* data, std::size_t size) {
    if (state_.fd < 0 || state_.failed) {
        return false;
    }
    if (state_.regular && (size > state_.sizeLimit || state_.written > state_.sizeLimit - size)) {
        state_.failed = true;
        errno = EFBIG;
        return false;
    }
    if (!WriteAll(state_.fd, static_cast<const std::uint8_t*>(data), size)) {
        state_.failed = true;
        return false;
    }
    state_.written += size;
    return true;
}

bool OutputFile::WriteAt(std::uint64_t offset, const void* data, std::size_t size) {
    if (state_.fd < 0 || state_.failed || !state_.regular || offset > state_.written ||
        size > state_.written - offset) {
        return false;
    }
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    while (size > 0) {
        const ssize_t done = pwrite(state_.fd, bytes, size, static_cast<off_t>(offset));
        if (done < 0 && errno == EINTR) {
            continue;
        }
        if (done <= 0) {
            state_.failed = true;
            return false;
        }
        bytes += done;
        offset += static_cast<std::uint64_t>(done);
        size -= static_cast<std::size_t>(done);
    }
    return true;
}

// Gives the finished temporary file what the caller may keep of the file it replaces. The
// set-user-ID and set-group-ID bits never carry over; when the group cannot be kept, the group's
// permission bits are dropped with it, so that no other group gains access.
bool OutputFile::KeepAttributes() {
    mode_t mode = static_cast<mode_t>(state_.targetMode) & ~static_cast<mode_t>(S_ISUID | S_ISGID);
    if (state_.targetExisted) {
        struct stat now;
        if (fstat(state_.fd, &now) != 0) {
            return false;
        }
        if (now.st_uid != state_.targetOwner || now.st_gid != state_.targetGroup) {
            if (fchown(state_.fd, static_cast<uid_t>(state_.targetOwner),
                       static_cast<gid_t>(state_.targetGroup)) != 0) {
                if (fchown(state_.fd, static_cast<uid_t>(-1),
                           static_cast<gid_t>(state_.targetGroup)) != 0) {
                    // Not even the group: its permission bits are cleared below.
                }
            }
        }
        const bool groupKept = fstat(state_.fd, &now) == 0 && now.st_gid == state_.targetGroup;
        if (groupKept) {
            CopyExtendedAttributes(state_.targetFd, state_.fd);
        } else {
            mode &= ~static_cast<mode_t>(S_IRWXG);
        }
    }
    return fchmod(state_.fd, mode) == 0;
}

// The in-place fallback when the rename is refused: the finished temporary file's bytes are
// copied over the target through its open descriptor.
bool OutputFile::CopyIntoTarget(bool durable) {
    if (state_.targetFd < 0 || lseek(state_.fd, 0, SEEK_SET) != 0 ||
        lseek(state_.targetFd, 0, SEEK_SET) != 0) {
        return false;
    }
    std::vector<std::uint8_t> buffer(1 << 20);
    for (;;) {
        const ssize_t got = read(state_.fd, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return false;
        }
        if (got == 0) {
            break;
        }
        if (!WriteAll(state_.targetFd, buffer.data(), static_cast<std::size_t>(got))) {
            return false;
        }
    }
    return ftruncate(state_.targetFd, static_cast<off_t>(state_.written)) == 0 &&
           (!durable || fsync(state_.targetFd) == 0);
}

void OutputFile::RemoveTemporary() {
    if (state_.tempName.empty()) {
        return;
    }
    const SignalsBlocked blocked;
    unlinkat(state_.dirFd, state_.tempName.c_str(), 0);
    state_.tempName.clear();
    if (observer_ != nullptr && observer_->finished != nullptr) {
        observer_->finished(observer_->context);
    }
}

bool OutputFile::Commit(bool durable) {
    if (state_.fd < 0) {
        return false;
    }
    bool ok = !state_.failed;
    if (state_.inPlace) {
        if (ok && state_.regular) {
            ok = (state_.throughStream ||
                  ftruncate(state_.fd, static_cast<off_t>(state_.written)) == 0) &&
                 (!durable || fsync(state_.fd) == 0);
        }
        ok = close(state_.fd) == 0 && ok;
        state_.fd = -1;
        Reset();
        return ok;
    }
    // When durable, the data reaches the disk before the new name does, so that a power loss
    // right after a successful run cannot leave an empty or partial file under the output's name.
    ok = ok && (!durable || fsync(state_.fd) == 0) && KeepAttributes();
    struct stat mine;
    struct stat named;
    ok = ok && fstat(state_.fd, &mine) == 0 &&
         fstatat(state_.dirFd, state_.tempName.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
         SameFile(mine, named);
    if (ok) {
        const SignalsBlocked blocked;
        if (renameat(state_.dirFd, state_.tempName.c_str(), state_.dirFd,
                     state_.targetName.c_str()) == 0) {
            state_.tempName.clear();
            if (observer_ != nullptr && observer_->finished != nullptr) {
                observer_->finished(observer_->context);
            }
        } else if (errno == EBUSY || errno == EXDEV || errno == EPERM || errno == EACCES) {
            // A mount point, or a sticky directory that lets the caller write the file but not
            // rename over it: written in place after all.
            ok = CopyIntoTarget(durable);
        } else {
            ok = false;
        }
    }
    RemoveTemporary();
    if (!ok) {
        RemoveCreatedTarget();
    } else if (durable) {
        fsync(state_.dirFd);  // the rename itself; fails harmlessly on a path-only descriptor
    }
    ok = close(state_.fd) == 0 && ok;
    state_.fd = -1;
    Reset();
    return ok;
}

void OutputFile::Discard() {
    if (state_.fd >= 0 && !state_.inPlace) {
        RemoveTemporary();
        RemoveCreatedTarget();
    }
    Reset();
}

// After a failure, the empty file that this run created through a dangling link goes again,
// provided the name still holds that very file.
void OutputFile::RemoveCreatedTarget() {
    struct stat there;
    if (state_.createdThroughLink && state_.dirFd >= 0 && !state_.targetName.empty() &&
        fstatat(state_.dirFd, state_.targetName.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 &&
        static_cast<std::uint64_t>(there.st_dev) == state_.targetIdentity.device &&
        static_cast<std::uint64_t>(there.st_ino) == state_.targetIdentity.index &&
        there.st_size == 0) {
        unlinkat(state_.dirFd, state_.targetName.c_str(), 0);
    }
}

}  // namespace cbmp
