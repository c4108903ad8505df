#include "cbmpz/file_walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "cbmpz/output_names.h"
#include "core/cbmpcore.h"

namespace cbmpz {

namespace {

// Deeper than this a tree is refused rather than walked: each level holds a descriptor.
constexpr int kMaxDepth = 128;

// The core's text for `result`, and the system's reason after it: "Cannot open file: No such
// file or directory".
std::string Reason(cbmpcore_result result, int error) {
    return std::string(cbmpcore_result_text(result)) + ": " + std::strerror(error);
}

class Walker {
  public:
    Walker(const char* wanted, Reporter& report, std::vector<FoundFile>& found)
        : wanted_(wanted), report_(report), found_(found) {}

    // Walks the directory `path`, open as `fd` (taken over).
    void Directory(int fd, const std::string& path, int depth) {
        DIR* dir = fdopendir(fd);
        if (dir == nullptr) {
            report_.Error(path, Reason(CBMPCORE_ERROR_CANNOT_OPEN, errno));
            close(fd);
            return;
        }
        std::vector<std::string> names;
        errno = 0;
        while (const dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") {
                names.push_back(name);
            }
            errno = 0;
        }
        if (errno != 0) {
            report_.Error(path, Reason(CBMPCORE_ERROR_READ, errno));
        }
        std::sort(names.begin(), names.end());
        const std::string prefix = path.back() == '/' ? path : path + "/";
        for (const std::string& name : names) {
            Entry(dirfd(dir), name, prefix + name, depth);
        }
        closedir(dir);
    }

  private:
    void Entry(int dirFd, const std::string& name, const std::string& path, int depth) {
        struct stat st {};
        if (fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            report_.Error(path, Reason(CBMPCORE_ERROR_CANNOT_OPEN, errno));
        } else if (S_ISLNK(st.st_mode)) {
            report_.Warning(path, "is a symbolic link -- ignored");
        } else if (S_ISDIR(st.st_mode)) {
            if (depth >= kMaxDepth) {
                report_.Error(path, "directories nested too deeply -- ignored");
                return;
            }
            // O_NOFOLLOW: a directory swapped for a link since fstatat is not entered.
            const int fd =
                openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (fd < 0) {
                report_.Error(path, Reason(CBMPCORE_ERROR_CANNOT_OPEN, errno));
                return;
            }
            Directory(fd, path, depth + 1);
        } else if (S_ISREG(st.st_mode)) {
            if (HasSuffix(name, wanted_)) {
                found_.push_back(FoundFile{path, static_cast<std::uint64_t>(st.st_size), false});
            }
        }
        // Other files inside directories (FIFOs, devices, sockets) are left alone quietly.
    }

    const char* wanted_;
    Reporter& report_;
    std::vector<FoundFile>& found_;
};

}  // namespace

std::vector<FoundFile> CollectFiles(const std::vector<std::string>& arguments, bool recursive,
                                    const char* wanted, Reporter& report) {
    std::vector<FoundFile> found;
    Walker walker(wanted, report, found);
    for (const std::string& path : arguments) {
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0) {
            report.Error(path, Reason(CBMPCORE_ERROR_CANNOT_OPEN, errno));
            continue;
        }
        if (S_ISLNK(st.st_mode)) {
            // A link named on the command line is followed to a file, never to a directory.
            if (stat(path.c_str(), &st) != 0) {
                report.Error(path, Reason(CBMPCORE_ERROR_CANNOT_OPEN, errno));
                continue;
            }
            if (S_ISDIR(st.st_mode)) {
                report.Warning(path, "is a symbolic link to a directory -- ignored");
                continue;
            }
        }
        if (S_ISDIR(st.st_mode)) {
            if (!recursive) {
                report.Warning(path, "is a directory -- ignored");
                continue;
            }
            const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (fd < 0) {
                report.Error(path, Reason(CBMPCORE_ERROR_CANNOT_OPEN, errno));
                continue;
            }
            walker.Directory(fd, path, 1);
        } else if (S_ISREG(st.st_mode)) {
            found.push_back(FoundFile{path, static_cast<std::uint64_t>(st.st_size), true});
        } else {
            report.Warning(path, "is not a directory or a regular file -- ignored");
        }
    }
    return found;
}

}  // namespace cbmpz
