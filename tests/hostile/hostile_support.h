// Shared by the hostile-file and fault tests: a plain bit packer for hand-made streams, byte
// patching, the address-space limit, and the checks that a run either failed cleanly or
// produced a correct file.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/data_generator.h"
#include "tests/support/run_process.h"

namespace cbmp::testing {

// True when the tool under test runs under the cross-compiling emulator (qemu-user), which
// itself reserves more address space than any small limit allows.
inline constexpr bool kToolEmulated = CBMP_TOOL_EMULATED != 0;

// True when the tool is built with a sanitizer, whose shadow memory needs terabytes of address
// space.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kToolSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
inline constexpr bool kToolSanitized = true;
#else
inline constexpr bool kToolSanitized = false;
#endif
#else
inline constexpr bool kToolSanitized = false;
#endif

inline constexpr rlim_t kAddressLimit = rlim_t{256} << 20;

// Why the 256 MiB address-space limit cannot be put on the tool here, or null when it can.
inline const char* AddressLimitUnavailable() {
    if (kToolEmulated) {
        return "the tool runs under qemu-user, which reserves the guest's whole address space";
    }
    if (kToolSanitized) {
        return "the tool is built with a sanitizer, whose shadow memory needs terabytes of "
               "address space";
    }
    return nullptr;
}

// What the child sets up just before the tool starts.
struct ChildSetup {
    bool limitAddressSpace = false;        // RLIMIT_AS of kAddressLimit
    rlim_t fileSizeLimit = RLIM_INFINITY;  // RLIMIT_FSIZE
    bool ignoreFileSizeSignal = false;     // SIGXFSZ ignored: an oversized write just fails
};

// The address-space limit wherever it can be had.
inline ChildSetup LimitedWhereAvailable() {
    ChildSetup setup;
    setup.limitAddressSpace = AddressLimitUnavailable() == nullptr;
    return setup;
}

namespace detail {
// Runs in the forked child: only async-signal-safe calls.
inline void ApplySetup(const ChildSetup& setup) {
    const rlimit noCore{0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    if (setup.limitAddressSpace) {
        const rlimit limit{kAddressLimit, kAddressLimit};
        setrlimit(RLIMIT_AS, &limit);
    }
    if (setup.fileSizeLimit != RLIM_INFINITY) {
        const rlimit limit{setup.fileSizeLimit, setup.fileSizeLimit};
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    std::signal(SIGXFSZ, setup.ignoreFileSizeSignal ? SIG_IGN : SIG_DFL);
}

inline std::vector<char*> Argv(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    return argv;
}
}  // namespace detail

// Runs the tool with `setup` and captures its console through pipes, which no file-size limit
// touches, so a run under a tiny RLIMIT_FSIZE still shows every line it printed.
inline ProcessResult RunTool(const std::vector<std::string>& args, const ChildSetup& setup) {
    ProcessResult result;
    int out[2];
    int err[2];
    if (pipe(out) != 0 || pipe(err) != 0) {
        return result;
    }
    std::vector<char*> argv = detail::Argv(args);
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int nullFd = open("/dev/null", O_RDONLY);
        dup2(nullFd, 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        close(out[0]);
        close(err[0]);
        detail::ApplySetup(setup);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open = 2;
    while (open > 0 && poll(fds, 2, -1) >= 0) {
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) {
                continue;
            }
            char buffer[4096];
            const ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
            if (got > 0) {
                sinks[i]->append(buffer, static_cast<std::size_t>(got));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
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

inline ProcessResult RunTool(const std::vector<std::string>& args) {
    return RunTool(args, LimitedWhereAvailable());
}

// Starts the tool with `setup` and its console discarded, and returns at once with its process
// id (the emulator's, in a cross build), for tests that stop or kill it while it works.
inline pid_t StartTool(const std::vector<std::string>& args, const ChildSetup& setup) {
    std::vector<char*> argv = detail::Argv(args);
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int nullFd = open("/dev/null", O_RDWR);
        dup2(nullFd, 0);
        dup2(nullFd, 1);
        dup2(nullFd, 2);
        detail::ApplySetup(setup);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

inline void Put16(Bytes& bytes, std::size_t at, std::uint32_t value) {
    bytes[at] = static_cast<std::uint8_t>(value & 0xFF);
    bytes[at + 1] = static_cast<std::uint8_t>((value >> 8) & 0xFF);
}

inline void Put32(Bytes& bytes, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

inline std::uint32_t Get32(const Bytes& bytes, std::size_t at) {
    return std::uint32_t{bytes[at]} | std::uint32_t{bytes[at + 1]} << 8 |
           std::uint32_t{bytes[at + 2]} << 16 | std::uint32_t{bytes[at + 3]} << 24;
}

inline Bytes Cut(const Bytes& bytes, std::size_t length) {
    return Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(length));
}

inline Bytes Slice(const Bytes& bytes, std::size_t from, std::size_t to) {
    return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                 bytes.begin() + static_cast<std::ptrdiff_t>(to));
}

// Packs tokens LSB first, one bit at a time, for streams the encoder would never write.
class PlainStream {
  public:
    explicit PlainStream(std::uint32_t declaredSize) { Put(declaredSize, 32); }
    PlainStream& Literal(std::uint8_t byte) {
        Put(0, 1);
        Put(byte, 8);
        return *this;
    }
    PlainStream& Match(std::uint32_t distance, std::uint32_t length) {
        Put(1, 1);
        Put(distance - 1, 15);
        Put(length - 3, 8);
        return *this;
    }
    PlainStream& End() {
        Put(1, 1);
        Put(0, 16);
        return *this;
    }
    const Bytes& bytes() const { return bytes_; }

  private:
    void Put(std::uint32_t value, unsigned width) {
        for (unsigned i = 0; i < width; ++i, ++bits_) {
            if (bits_ % 8 == 0) {
                bytes_.push_back(0);
            }
            bytes_.back() =
                static_cast<std::uint8_t>(bytes_.back() | ((value >> i) & 1u) << (bits_ % 8));
        }
    }
    Bytes bytes_;
    std::uint64_t bits_ = 0;
};

// A CBMP file around `stream`: the given sizes, a 40-byte info header of a 24-bit image.
inline Bytes CbmpFile(const Bytes& stream, std::uint32_t originalSize, std::uint32_t paletteSize) {
    Bytes file(60 + stream.size(), 0);
    file[0] = 'C';
    file[1] = 'B';
    file[2] = 'M';
    file[3] = 'P';
    Put32(file, 4, 1);
    Put32(file, 8, 40);
    Put32(file, 12, 4);
    Put32(file, 16, 4);
    Put16(file, 20, 1);
    Put16(file, 22, 24);
    Put32(file, 48, static_cast<std::uint32_t>(stream.size()));
    Put32(file, 52, originalSize);
    Put32(file, 56, paletteSize);
    std::copy(stream.begin(), stream.end(), file.begin() + 60);
    return file;
}

// Every line of `err` is an error line, and there is at least one.
inline ::testing::AssertionResult OnlyErrorLines(const std::string& err) {
    if (err.empty()) {
        return ::testing::AssertionFailure() << "no error line";
    }
    std::size_t start = 0;
    while (start < err.size()) {
        const std::size_t end = err.find('\n', start);
        if (err.compare(start, 7, "Error: ") != 0 || end == std::string::npos) {
            return ::testing::AssertionFailure() << "not an error line in: " << err;
        }
        start = end + 1;
    }
    return ::testing::AssertionSuccess();
}

}  // namespace cbmp::testing
