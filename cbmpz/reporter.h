// Everything cbmpz tells its user on standard error: errors and warnings as
// "cbmpz: FILE: reason", the per-file lines of -v, and the progress line, which only a terminal
// gets. Lines from any thread; each one whole. The exit status follows what was reported.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

namespace cbmpz {

class Reporter {
  public:
    // `verbosity` as in Options; `progress` draws the progress line (standard error is a
    // terminal and the user did not ask for quiet).
    Reporter(int verbosity, bool progress) : verbosity_(verbosity), progress_(progress) {}

    void Error(const std::string& file, const std::string& reason);
    void Warning(const std::string& file, const std::string& reason);  // silent under -q
    void Usage(const std::string& message);  // a command-line error, with a hint at --help
    void Verbose(const std::string& line);   // shown with -v

    // The progress line: `done` of `total` bytes after `seconds`. Drawn over itself.
    void Progress(std::uint64_t done, std::uint64_t total, double seconds);
    void EndProgress();  // takes the progress line away, if one is shown

    bool verbose() const { return verbosity_ >= 2; }
    bool progress() const { return progress_; }

    // 0 when all went well, 1 after any error, 2 after warnings alone.
    int ExitStatus() const { return errors_ > 0 ? 1 : (warnings_ > 0 ? 2 : 0); }

  private:
    void Line(const std::string& text);  // a whole line, after clearing the progress line

    const int verbosity_;
    const bool progress_;
    std::mutex mutex_;
    std::size_t shownWidth_ = 0;  // characters of the progress line on the screen
    std::atomic<unsigned> errors_{0};
    std::atomic<unsigned> warnings_{0};
};

// "12.3 MiB" and the like: `bytes` in the unit that keeps it below 1024.
std::string HumanBytes(std::uint64_t bytes);

}  // namespace cbmpz
