// Hostile CBMP files for the viewer add-ons' bomb tests, and the peak memory of a load run in a
// child process.
//
//   expanding_cbmp(w, h): a valid 24-bit CBMP whose stream is three literals and then matches of
//       the longest length (258 bytes from 24 bits), so that it decodes to a whole w x h bitmap
//       at about 86 times its size: 18,918 x 18,918 pixels (1 GiB of bitmap) in 12.5 MB.
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

class BitWriter {
  public:
    // Appends the `width` (at most 32) low bits of `value`, least significant bit first.
    void put(std::uint32_t value, unsigned width) {
        pending_ |= std::uint64_t{value & ((std::uint64_t{1} << width) - 1)} << count_;
        count_ += width;
        for (; count_ >= 8; count_ -= 8, pending_ >>= 8) {
            bytes_.push_back(static_cast<std::uint8_t>(pending_));
        }
    }
    // The bytes, the last one padded with zero bits.
    std::vector<std::uint8_t>& finish() {
        if (count_ > 0) {
            bytes_.push_back(static_cast<std::uint8_t>(pending_));
            pending_ = 0;
            count_ = 0;
        }
        return bytes_;
    }

  private:
    std::vector<std::uint8_t> bytes_;
    std::uint64_t pending_ = 0;  // bits not yet in `bytes_`, fewer than 8 between calls
    unsigned count_ = 0;
};

inline void put_le(std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

inline std::vector<std::uint8_t> expanding_cbmp(std::uint32_t width, std::uint32_t height) {
    const std::uint32_t stride = (width * 3 + 3) / 4 * 4;
    const auto payload = static_cast<std::uint32_t>(std::uint64_t{stride} * height);
    BitWriter stream;
    stream.put(payload, 32);
    for (std::uint32_t byte : {0x40u, 0x80u, 0xC0u}) {
        stream.put(0, 1);
        stream.put(byte, 8);
    }
    // A match repeats the 3-byte pixel: distance 3 (field 2), length 258 (field 255).
    for (std::uint64_t done = 3; done < payload; done += 258) {
        stream.put(1, 1);
        stream.put(2, 15);
        stream.put(255, 8);
    }
    stream.put(1, 1);
    stream.put(0, 16);
    const std::vector<std::uint8_t>& bytes = stream.finish();

    std::vector<std::uint8_t> file(60 + bytes.size());
    const char magic[4] = {'C', 'B', 'M', 'P'};
    for (int i = 0; i < 4; ++i) {
        file[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(magic[i]);
    }
    put_le(file, 4, 1);               // version
    put_le(file, 8, 40);              // biSize
    put_le(file, 12, width);          // biWidth
    put_le(file, 16, height);         // biHeight
    put_le(file, 20, 1 | 24u << 16);  // biPlanes, biBitCount
    put_le(file, 28, payload);        // biSizeImage
    put_le(file, 48, static_cast<std::uint32_t>(bytes.size()));
    put_le(file, 52, payload);  // original size
    put_le(file, 56, 0);        // palette size
    std::copy(bytes.begin(), bytes.end(), file.begin() + 60);
    return file;
}

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
