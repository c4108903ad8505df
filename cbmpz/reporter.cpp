#include "cbmpz/reporter.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace cbmpz {

namespace {

// Writes all of `text` to standard error, unbuffered, so that lines from threads never mix.
void WriteError(const std::string& text) {
    const char* data = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t done = write(STDERR_FILENO, data, left);
        if (done < 0 && errno == EINTR) {
            continue;
        }
        if (done <= 0) {
            return;
        }
        data += done;
        left -= static_cast<std::size_t>(done);
    }
}

// Carriage return, `width` spaces and carriage return again: a shown line taken away.
std::string Blank(std::size_t width) {
    std::string text(width + 2, ' ');
    text.front() = '\r';
    text.back() = '\r';
    return text;
}

std::string Clock(double seconds) {
    const auto whole = static_cast<unsigned long long>(seconds + 0.5);
    char text[32];
    if (whole >= 3600) {
        std::snprintf(text, sizeof text, "%llu:%02llu:%02llu", whole / 3600, whole / 60 % 60,
                      whole % 60);
    } else {
        std::snprintf(text, sizeof text, "%llu:%02llu", whole / 60, whole % 60);
    }
    return text;
}

}  // namespace

std::string HumanBytes(std::uint64_t bytes) {
    static constexpr const char* kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    double value = static_cast<double>(bytes);
    std::size_t unit = 0;
    while (value >= 1024 && unit + 1 < std::size(kUnits)) {
        value /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", value, kUnits[unit]);
    return text;
}

void Reporter::Line(const std::string& text) {
    std::lock_guard lock(mutex_);
    std::string out;
    if (shownWidth_ > 0) {
        out = Blank(shownWidth_);
        shownWidth_ = 0;
    }
    WriteError(out + text + "\n");
}

void Reporter::Error(const std::string& file, const std::string& reason) {
    ++errors_;
    Line("cbmpz: " + file + ": " + reason);
}

void Reporter::Warning(const std::string& file, const std::string& reason) {
    ++warnings_;
    if (verbosity_ > 0) {
        Line("cbmpz: " + file + ": " + reason);
    }
}

void Reporter::Usage(const std::string& message) {
    ++errors_;
    Line("cbmpz: " + message + "\nTry 'cbmpz --help' for more information.");
}

void Reporter::Verbose(const std::string& line) {
    if (verbose()) {
        Line(line);
    }
}

void Reporter::Progress(std::uint64_t done, std::uint64_t total, double seconds) {
    if (!progress_ || total == 0) {
        return;
    }
    const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
    std::string text = "cbmpz: " + std::to_string(done * 100 / total) + "%, " + HumanBytes(done) +
                       " of " + HumanBytes(total);
    if (rate > 0) {
        text += ", " + HumanBytes(static_cast<std::uint64_t>(rate)) + "/s, " +
                Clock(static_cast<double>(total - done) / rate) + " left";
    }
    std::lock_guard lock(mutex_);
    const std::size_t width = text.size();
    if (width < shownWidth_) {
        text.append(shownWidth_ - width, ' ');  // cover the end of a longer line
    }
    shownWidth_ = width;
    text.insert(text.begin(), '\r');
    WriteError(text);
}

void Reporter::EndProgress() {
    std::lock_guard lock(mutex_);
    if (shownWidth_ > 0) {
        WriteError(Blank(shownWidth_));
        shownWidth_ = 0;
    }
}

}  // namespace cbmpz
