// For the viewer add-ons' bomb tests (the expanding bomb itself is made by addons/tests/bombs.py
// at build time), in C++:
//
//   write_padded(path, cbmp, size): the file followed by zeros up to `size` bytes, as a sparse
//       file (a valid small image padded to 1 GiB costs no disk).
//   peak_rss_of(load): runs `load` in a forked child and reports the child's exit code and its
//       peak resident size (getrusage of the child through wait4).
#ifndef CBMP_ADDONS_TESTS_CBMP_BOMBS_H
#define CBMP_ADDONS_TESTS_CBMP_BOMBS_H

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace cbmp_bombs {

inline bool write_padded(const std::string& path, const std::vector<std::uint8_t>& cbmp,
                         off_t size) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    bool ok = ::write(fd, cbmp.data(), cbmp.size()) == static_cast<ssize_t>(cbmp.size()) &&
              ::ftruncate(fd, size) == 0;
    return ::close(fd) == 0 && ok;
}

struct ChildRun {
    int exit_code = -1;     // -1: the child did not exit normally
    long peak_rss_kib = 0;  // ru_maxrss of the child
    double seconds = 0;     // wall-clock time of the child, for the report only
};

inline ChildRun peak_rss_of(const std::function<int()>& load) {
    ChildRun run;
    std::fflush(nullptr);
    auto start = std::chrono::steady_clock::now();
    pid_t child = ::fork();
    if (child == 0) {
        ::_exit(load());
    }
    if (child < 0) {
        return run;
    }
    int status = 0;
    rusage usage{};
    if (::wait4(child, &status, 0, &usage) == child && WIFEXITED(status)) {
        run.exit_code = WEXITSTATUS(status);
    }
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.peak_rss_kib = usage.ru_maxrss;
    return run;
}

}  // namespace cbmp_bombs

#endif
