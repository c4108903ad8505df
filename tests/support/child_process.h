// Runs a check in a forked child: to close descriptors, take signals or limits, enter a mount
// namespace or act as another user without touching the test process. The child's result is
// its exit code, 0 for success; checks inside it return a distinct code for each way they fail.
// POSIX only.
#pragma once

#include <grp.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <functional>

namespace cbmp::testing {

inline constexpr uid_t kNobody = 65534;  // the unprivileged user the tests act as
inline constexpr uid_t kOtherUser = 65533;

struct ChildResult {
    int exitCode = -1;  // -1 when the child ended by a signal
    int signal = 0;
};

inline ChildResult RunInChild(const std::function<int()>& body) {
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        _exit(body());
    }
    ChildResult result;
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid) {
        if (WIFEXITED(status)) {
            result.exitCode = WEXITSTATUS(status);
        } else if (WIFSIGNALED(status)) {
            result.signal = WTERMSIG(status);
        }
    }
    return result;
}

// Sanitizer runtimes reserve terabytes of address space up front, so an address-space limit
// cannot be set under them: tests that need one are left out of sanitized builds.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define CBMP_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || \
    __has_feature(memory_sanitizer)
#define CBMP_SANITIZED 1
#endif
#endif

// In a child: limits the address space to what the process already uses plus `headroom` bytes,
// so that a larger allocation fails. Returns false when the limit cannot be set.
inline bool LimitAddressSpace(std::size_t headroom) {
    long pages = 0;
    if (std::FILE* statm = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(statm, "%ld", &pages) != 1) {
            pages = 0;
        }
        std::fclose(statm);
    }
    const rlim_t used = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE));
    const rlimit limit = {used + headroom, used + headroom};
    return pages != 0 && setrlimit(RLIMIT_AS, &limit) == 0;
}

inline bool IsRoot() {
    return geteuid() == 0;
}

// In a child: drops from root to `uid` (group the same number, no supplementary groups). Returns
// false when that fails.
inline bool BecomeUser(uid_t uid) {
    const gid_t gid = static_cast<gid_t>(uid);
    return setgroups(0, nullptr) == 0 && setresgid(gid, gid, gid) == 0 &&
           setresuid(uid, uid, uid) == 0 && geteuid() == uid;
}

// In a child: a private mount namespace, so that mounts made there vanish with it.
inline bool PrivateMounts() {
    return unshare(CLONE_NEWNS) == 0 &&
           mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

}  // namespace cbmp::testing
