// File names as the operating system takes them. Inside the program a file name is a narrow
// string: the bytes as given on POSIX systems, UTF-8 on Windows. On Windows every file is opened
// through the wide-character (UTF-16) functions, so that any name works, whatever the ANSI code
// page; the narrow functions of the C library would take the ANSI code page instead.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>

namespace cbmp {

// UTF-8 form of UTF-16 text. A surrogate pair becomes one 4-byte sequence; a lone surrogate,
// which Windows allows in file names, becomes the 3-byte sequence of its value, so that
// Utf16FromUtf8 gives back exactly the same units.
std::string Utf8FromUtf16(std::u16string_view text);

// UTF-16 form of UTF-8 text, the inverse of Utf8FromUtf16. A byte that starts no valid sequence
// (a stray continuation byte, an overlong or cut-short sequence, a value above U+10FFFF) becomes
// U+FFFD.
std::u16string Utf16FromUtf8(std::string_view text);

// Which of an operation's two files a name stands for.
enum class PathRole { kInput, kOutput };

// The path object for a narrow file name: the bytes as they are on POSIX systems, the UTF-16 form
// of the UTF-8 name on Windows (or the exact path that a ScopedExactPath gave for `role`).
std::filesystem::path NativePath(const char* name, PathRole role);

// The narrow name of a path object: its bytes on POSIX systems, its UTF-8 form on Windows.
std::string NarrowName(const std::filesystem::path& path);

// std::fopen by narrow name, through _wfopen on Windows.
std::FILE* OpenFile(const char* name, const char* mode, PathRole role);

#ifdef _WIN32
// For the lifetime of this object and on this thread only, the narrow name `shown` opens the file
// at `exact` when it is the name of a file in `role`. The library's entry points take UTF-16 paths
// and show their ANSI forms on the console; with this, the files they open are the ones the
// caller named, even when the ANSI code page cannot spell the name.
class ScopedExactPath {
  public:
    ScopedExactPath(PathRole role, std::string shown, std::wstring exact);
    ~ScopedExactPath();
    ScopedExactPath(const ScopedExactPath&) = delete;
    ScopedExactPath& operator=(const ScopedExactPath&) = delete;

  private:
    PathRole role_;
    std::string shown_;
    std::wstring exact_;
    const ScopedExactPath* previous_;

    friend std::filesystem::path NativePath(const char* name, PathRole role);
};

// _wopen by narrow name.
int OpenDescriptor(const char* name, int flags, int mode, PathRole role);
#endif

}  // namespace cbmp
