// Safe output: a file is written under a temporary name beside its target and renamed over the
// target only once it is complete and closed, so a failed or interrupted write never destroys
// what was there. Targets that exist and are not regular files (a FIFO, a device) are written in
// place; a symbolic link is followed and the file it points to is replaced, keeping its
// permission bits.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

namespace cbmp {

// Told when a temporary file appears and when it is gone again (renamed or removed), so that a
// front end can remove it if the process is interrupted in between.
struct TempFileObserver {
    void (*created)(const char* tempPath, void* context) = nullptr;
    void (*finished)(void* context) = nullptr;
    void* context = nullptr;
};

class OutputFile {
  public:
    OutputFile() = default;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile();  // an uncommitted file is discarded

    // Opens the output for `path`. Returns false when it cannot be created.
    bool Open(const char* path, const TempFileObserver* observer = nullptr);

    // Writes `size` bytes; returns false on any failure (and every later write fails too).
    bool Write(const void* data, std::size_t size);

    // Flushes and closes the file and puts it in place. Returns false on failure, after which
    // the temporary file is gone and the target untouched.
    bool Commit();

    // Closes and removes the temporary file without touching the target.
    void Discard();

    // Name the bytes are written under right now (the temporary name, or the target itself).
    const std::string& WritePath() const { return writePath_; }

  private:
    void Finished();

    std::FILE* file_ = nullptr;
    std::string target_;     // resolved target: symbolic links followed
    std::string writePath_;  // temporary file, or the target when written in place
    bool inPlace_ = false;
    bool failed_ = false;
    const TempFileObserver* observer_ = nullptr;
};

}  // namespace cbmp
