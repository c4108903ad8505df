#include "cbmpz/batch.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "cbmpz/file_walk.h"
#include "cbmpz/memory_io.h"
#include "cbmpz/output_names.h"
#include "cbmpz/signal_cleanup.h"

namespace cbmpz {

namespace {

using Clock = std::chrono::steady_clock;

const char* Text(cbmpcore_result result) {
    return cbmpcore_result_text(result);
}

// The file a failure is about: the output for the causes that concern it, else the input.
const std::string& Culprit(cbmpcore_result result, const std::string& input,
                           const std::string& output) {
    const bool aboutOutput =
        result == CBMPCORE_ERROR_CANNOT_CREATE || result == CBMPCORE_ERROR_WRITE;
    return aboutOutput && !output.empty() ? output : input;
}

std::string Percent(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f%%", value);
    return text;
}

// Space saved by the compressed form, in percent of the original.
double Saved(std::uint64_t compressed, std::uint64_t original) {
    return original == 0
               ? 0.0
               : 100.0 * (1.0 - static_cast<double>(compressed) / static_cast<double>(original));
}

// What identifies an input between the moment it is read and its removal.
struct Stamp {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    decltype(stat::st_mtim) modified{};  // seconds and nanoseconds
    bool operator==(const Stamp& other) const {
        return device == other.device && inode == other.inode && size == other.size &&
               modified.tv_sec == other.modified.tv_sec &&
               modified.tv_nsec == other.modified.tv_nsec;
    }
};

Stamp StampOf(const struct stat& st) {
    return Stamp{st.st_dev, st.st_ino, st.st_size, st.st_mtim};
}

struct FileJob {
    std::string input;
    std::string output;  // empty for -t
    std::uint64_t size = 0;
};

// One file's progress for the core's callback: its share of the run's bytes.
struct ProgressSink {
    std::atomic<std::uint64_t>* counter = nullptr;
    std::uint64_t size = 0;
};

extern "C" void OnProgress(void* context, std::uint32_t done, std::uint32_t total) {
    const auto* sink = static_cast<const ProgressSink*>(context);
    if (total > 0) {
        sink->counter->store(sink->size * done / total, std::memory_order_relaxed);
    }
}

// The files of a run, converted or tested by worker threads that share one thread budget: files
// in parallel while there are more files than threads, the spare threads inside the files once
// there are fewer left.
class ParallelRun {
  public:
    ParallelRun(const Options& options, Reporter& report, std::vector<FileJob> jobs,
                unsigned budget)
        : options_(options), report_(report), jobs_(std::move(jobs)), budget_(budget) {
        for (const FileJob& job : jobs_) {
            total_ += job.size;
        }
        workers_ = static_cast<unsigned>(
            std::min<std::size_t>({jobs_.size(), budget_, static_cast<std::size_t>(kMaxWorkers)}));
        current_ = std::make_unique<std::atomic<std::uint64_t>[]>(workers_);
    }

    void Run() {
        if (workers_ == 0) {
            return;
        }
        std::vector<std::thread> threads;
        running_ = workers_;
        for (unsigned i = 0; i < workers_; ++i) {
            try {
                threads.emplace_back([this, i] { Work(i); });
            } catch (const std::system_error&) {
                // Fewer workers than planned: those that started take every file.
                std::lock_guard lock(mutex_);
                running_ -= workers_ - i;
                break;
            }
        }
        if (threads.empty()) {
            running_ = 1;
            Work(0);
        }
        ShowProgress();  // and waits for the workers, asleep between updates
        for (std::thread& thread : threads) {
            thread.join();
        }
        report_.EndProgress();
    }

  private:
    struct Grant {
        std::size_t job = 0;
        unsigned threads = 0;
    };

    std::optional<Grant> Take() {
        std::lock_guard lock(mutex_);
        if (next_ >= jobs_.size()) {
            return std::nullopt;
        }
        const std::size_t remaining = jobs_.size() - next_;
        const unsigned idle = workers_ - busy_;
        const unsigned sharing = static_cast<unsigned>(std::min<std::size_t>(remaining, idle));
        const unsigned spare = budget_ > inUse_ ? budget_ - inUse_ : 0;
        const unsigned threads = std::max(1u, spare / std::max(1u, sharing));
        inUse_ += threads;
        ++busy_;
        return Grant{next_++, threads};
    }

    void Give(const Grant& grant) {
        std::lock_guard lock(mutex_);
        inUse_ -= grant.threads;
        --busy_;
    }

    void Work(unsigned index) {
        {
            WorkerRegistration registration;
            while (const std::optional<Grant> grant = Take()) {
                const FileJob& job = jobs_[grant->job];
                ProgressSink sink{&current_[index], job.size};
                cbmpcore_options core{};
                core.threads = grant->threads;
                core.durable = options_.removeInputs ? 1 : 0;
                if (report_.progress()) {
                    core.progress = &OnProgress;
                    core.progress_context = &sink;
                }
                if (options_.mode == Mode::kTest) {
                    Test(job, core);
                } else {
                    Convert(job, core, registration.Observer());
                }
                current_[index].store(0, std::memory_order_relaxed);
                done_.fetch_add(job.size, std::memory_order_relaxed);
                Give(*grant);
            }
        }
        std::lock_guard lock(mutex_);
        if (--running_ == 0) {
            finished_.notify_all();
        }
    }

    void Test(const FileJob& job, const cbmpcore_options& core) {
        Bytes cbmp;
        cbmpcore_result result = ReadFile(job.input.c_str(), MaxInput(), cbmp);
        if (result == CBMPCORE_OK) {
            std::uint8_t* bmp = nullptr;
            std::size_t bmpSize = 0;
            result = cbmpcore_decompress(cbmp.data.get(), cbmp.size, &bmp, &bmpSize, &core);
            cbmpcore_free(bmp);
        }
        if (result != CBMPCORE_OK) {
            report_.Error(job.input, Text(result));
        } else {
            report_.Verbose(job.input + ": OK");
        }
    }

    void Convert(const FileJob& job, const cbmpcore_options& core,
                 const cbmpcore_temp_observer* observer) {
        struct stat st {};
        if (!options_.force && lstat(job.output.c_str(), &st) == 0) {
            report_.Error(job.output, "already exists; not overwritten (-f overwrites it)");
            return;
        }
        struct stat before {};
        const bool known = lstat(job.input.c_str(), &before) == 0;
        const cbmpcore_result result =
            options_.mode == Mode::kCompress
                ? cbmpcore_compress_file_observed(job.input.c_str(), job.output.c_str(), &core,
                                                  observer)
                : cbmpcore_decompress_file_observed(job.input.c_str(), job.output.c_str(), &core,
                                                    observer);
        if (result != CBMPCORE_OK) {
            report_.Error(Culprit(result, job.input, job.output), Text(result));
            return;
        }
        struct stat written {};
        const bool regularOutput =
            stat(job.output.c_str(), &written) == 0 && S_ISREG(written.st_mode);
        if (report_.verbose()) {
            const std::uint64_t outSize =
                regularOutput ? static_cast<std::uint64_t>(written.st_size) : 0;
            const bool compress = options_.mode == Mode::kCompress;
            report_.Verbose(
                job.input + " -> " + job.output + ": " + std::to_string(job.size) + " -> " +
                std::to_string(outSize) + " bytes (" +
                Percent(compress ? Saved(outSize, job.size) : Saved(job.size, outSize)) +
                " saved)");
        }
        if (options_.removeInputs) {
            RemoveInput(job, known ? std::optional<Stamp>(StampOf(before)) : std::nullopt,
                        regularOutput);
        }
    }

    // Removes the input once its output is complete and on the disk (the call was durable),
    // only when it is still the file that was read and the output is a file of its own.
    void RemoveInput(const FileJob& job, const std::optional<Stamp>& before, bool regularOutput) {
        if (!regularOutput) {
            report_.Warning(job.input, "kept: the output is not a regular file");
            return;
        }
        const std::size_t slash = job.input.rfind('/');
        const std::string dir = slash == std::string::npos ? "." : job.input.substr(0, slash + 1);
        const std::string name =
            slash == std::string::npos ? job.input : job.input.substr(slash + 1);
        int dirFd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dirFd < 0) {
            dirFd = open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        }
        struct stat now {};
        if (dirFd < 0 || fstatat(dirFd, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 || !before ||
            !(StampOf(now) == *before)) {
            report_.Warning(job.input, "kept: it changed while it was converted");
        } else if (unlinkat(dirFd, name.c_str(), 0) != 0) {
            report_.Error(job.input, std::string("cannot remove: ") + std::strerror(errno));
        }
        if (dirFd >= 0) {
            close(dirFd);
        }
    }

    // Redraws the progress line a few times a second until the workers are done. The first
    // half second shows nothing, so that a quick run leaves the terminal alone.
    void ShowProgress() {
        const Clock::time_point start = Clock::now();
        std::unique_lock lock(mutex_);
        while (running_ > 0) {
            finished_.wait_for(lock, std::chrono::milliseconds(250));
            const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
            if (running_ == 0 || !report_.progress() || seconds < 0.5) {
                continue;
            }
            std::uint64_t done = done_.load(std::memory_order_relaxed);
            for (unsigned i = 0; i < workers_; ++i) {
                done += current_[i].load(std::memory_order_relaxed);
            }
            lock.unlock();
            report_.Progress(std::min(done, total_), total_, seconds);
            lock.lock();
        }
    }

    const Options& options_;
    Reporter& report_;
    const std::vector<FileJob> jobs_;
    const unsigned budget_;
    unsigned workers_ = 0;
    std::uint64_t total_ = 0;

    std::mutex mutex_;  // guards what follows, up to the atomics
    std::condition_variable finished_;
    std::size_t next_ = 0;
    unsigned busy_ = 0;
    unsigned inUse_ = 0;
    unsigned running_ = 0;

    std::atomic<std::uint64_t> done_{0};
    std::unique_ptr<std::atomic<std::uint64_t>[]> current_;
};

// ---- Standard input and output, -c -----------------------------------------------------------

bool RefuseTerminal(const Options& options, bool readingStdin, Reporter& report) {
    if (options.force) {
        return false;
    }
    if (options.mode == Mode::kCompress && isatty(STDOUT_FILENO)) {
        report.Error("stdout", "compressed data not written to a terminal (-f forces it)");
        return true;
    }
    if (readingStdin && options.mode != Mode::kCompress && isatty(STDIN_FILENO)) {
        report.Error("stdin", "compressed data not read from a terminal (-f forces it)");
        return true;
    }
    return false;
}

// Converts or tests bytes in memory; a conversion goes to standard output.
void ConvertInMemory(const Options& options, const Bytes& in, const std::string& name,
                     unsigned threads, Reporter& report) {
    cbmpcore_options core{};
    core.threads = threads;
    std::uint8_t* out = nullptr;
    std::size_t outSize = 0;
    const cbmpcore_result result =
        options.mode == Mode::kCompress
            ? cbmpcore_compress(in.data.get(), in.size, &out, &outSize, &core)
            : cbmpcore_decompress(in.data.get(), in.size, &out, &outSize, &core);
    std::unique_ptr<std::uint8_t, decltype(&cbmpcore_free)> owned(out, &cbmpcore_free);
    if (result != CBMPCORE_OK) {
        report.Error(name, Text(result));
    } else if (options.mode == Mode::kTest) {
        report.Verbose(name + ": OK");
    } else if (!WriteAll(STDOUT_FILENO, out, outSize)) {
        report.Error("stdout",
                     std::string(Text(CBMPCORE_ERROR_WRITE)) + ": " + std::strerror(errno));
    }
}

void FromStdin(const Options& options, unsigned threads, Reporter& report) {
    if (RefuseTerminal(options, true, report)) {
        return;
    }
    Bytes in;
    const cbmpcore_result result = ReadAll(STDIN_FILENO, MaxInput(), in);
    if (result != CBMPCORE_OK) {
        report.Error("stdin", Text(result));
        return;
    }
    ConvertInMemory(options, in, "stdin", threads, report);
}

// ---- -l ----------------------------------------------------------------------------------------

class Listing {
  public:
    explicit Listing(Reporter& report) : report_(report) {}

    void Add(const std::string& name, const std::uint8_t* data, std::size_t size,
             std::uint64_t fileSize) {
        cbmpcore_info info{};
        const cbmpcore_result result = cbmpcore_read_info(data, size, &info);
        if (result != CBMPCORE_OK) {
            report_.Error(name, Text(result));
            return;
        }
        if (rows_++ == 0) {
            std::printf("%7s %7s %4s %12s %12s %7s  %s\n", "width", "height", "bits", "compressed",
                        "original", "saved", "name");
        }
        const long long height = info.height < 0 ? -static_cast<long long>(info.height)
                                                 : static_cast<long long>(info.height);
        std::printf("%7ld %7lld %4u %12llu %12llu %7s  %s\n", static_cast<long>(info.width), height,
                    static_cast<unsigned>(info.bit_count),
                    static_cast<unsigned long long>(fileSize),
                    static_cast<unsigned long long>(info.bmp_size),
                    Percent(Saved(fileSize, info.bmp_size)).c_str(), name.c_str());
        compressed_ += fileSize;
        original_ += info.bmp_size;
    }

    void File(const std::string& path) {
        const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat st {};
        if (fd < 0 || fstat(fd, &st) != 0) {
            report_.Error(path, Text(CBMPCORE_ERROR_CANNOT_OPEN));
            if (fd >= 0) {
                close(fd);
            }
            return;
        }
        std::uint8_t header[64];
        std::size_t got = 0;
        while (got < sizeof header) {
            const ssize_t n = read(fd, header + got, sizeof header - got);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                break;
            }
            got += static_cast<std::size_t>(n);
        }
        close(fd);
        Add(path, header, got, static_cast<std::uint64_t>(st.st_size));
    }

    void Totals() const {
        if (rows_ > 1) {
            std::printf("%7s %7s %4s %12llu %12llu %7s  (%zu files)\n", "", "", "",
                        static_cast<unsigned long long>(compressed_),
                        static_cast<unsigned long long>(original_),
                        Percent(Saved(compressed_, original_)).c_str(), rows_);
        }
        std::fflush(stdout);
    }

  private:
    Reporter& report_;
    std::size_t rows_ = 0;
    std::uint64_t compressed_ = 0;
    std::uint64_t original_ = 0;
};

// ---- Planning ----------------------------------------------------------------------------------

// The output of a file converted to a file, or nothing (with a warning) when its name does not
// fit the mode.
std::optional<std::string> OutputFor(const Options& options, const FoundFile& file,
                                     Reporter& report) {
    if (!options.output.empty()) {
        return options.output;
    }
    if (options.mode == Mode::kCompress) {
        std::optional<std::string> name = CompressedName(file.path);
        if (!name) {
            report.Warning(file.path, "already has the .cbmp suffix -- unchanged");
        }
        return name;
    }
    std::optional<std::string> name = DecompressedName(file.path);
    if (!name) {
        report.Warning(file.path, "unknown suffix -- ignored");
    }
    return name;
}

}  // namespace

unsigned UsableCores() {
#if defined(__linux__)
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) {
        return static_cast<unsigned>(CPU_COUNT(&set));
    }
#endif
    return std::max(1u, std::thread::hardware_concurrency());
}

void RunCommand(const Options& options, Reporter& report) {
    const unsigned budget = options.jobs != 0 ? options.jobs : UsableCores();
    std::vector<std::string> named = options.files;
    if (named.empty()) {
        named.push_back("-");
    }
    const bool readsStdin = std::find(named.begin(), named.end(), "-") != named.end();
    if (readsStdin && !options.output.empty()) {
        report.Usage("-o takes an input file, not standard input");
        return;
    }
    std::vector<std::string> paths;
    std::copy_if(named.begin(), named.end(), std::back_inserter(paths),
                 [](const std::string& name) { return name != "-"; });
    const char* wanted = options.mode == Mode::kCompress ? ".bmp" : ".cbmp";

    if (options.mode == Mode::kList) {
        Listing listing(report);
        for (const std::string& name : named) {
            if (name == "-") {
                Bytes in;
                const cbmpcore_result result = ReadAll(STDIN_FILENO, MaxInput(), in);
                if (result != CBMPCORE_OK) {
                    report.Error("stdin", Text(result));
                } else {
                    listing.Add("stdin", in.data.get(), in.size, in.size);
                }
            } else {
                for (const FoundFile& file :
                     CollectFiles({name}, options.recursive, wanted, report)) {
                    listing.File(file.path);
                }
            }
        }
        listing.Totals();
        return;
    }

    // -c: everything to standard output, in the order of the command line, one file at a time
    // with every thread.
    if (options.toStdout && options.mode != Mode::kTest) {
        if (RefuseTerminal(options, false, report)) {
            return;
        }
        for (const std::string& name : named) {
            if (name == "-") {
                FromStdin(options, budget, report);
                continue;
            }
            for (const FoundFile& file : CollectFiles({name}, options.recursive, wanted, report)) {
                Bytes in;
                const cbmpcore_result result = ReadFile(file.path.c_str(), MaxInput(), in);
                if (result != CBMPCORE_OK) {
                    report.Error(file.path, Text(result));
                } else {
                    ConvertInMemory(options, in, file.path, budget, report);
                }
            }
        }
        return;
    }

    // Standard input goes to standard output (or is tested) first; the files then go to files
    // of their own (or are tested), many at once.
    if (readsStdin) {
        FromStdin(options, budget, report);
    }
    std::vector<FileJob> jobs;
    for (const FoundFile& file : CollectFiles(paths, options.recursive, wanted, report)) {
        if (options.mode == Mode::kTest) {
            jobs.push_back(FileJob{file.path, std::string(), file.size});
        } else if (std::optional<std::string> output = OutputFor(options, file, report)) {
            jobs.push_back(FileJob{file.path, *output, file.size});
        }
    }
    ParallelRun(options, report, std::move(jobs), budget).Run();
}

}  // namespace cbmpz
