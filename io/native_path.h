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

// The path object for a narrow file name: the bytes as they are on POSIX systems, the UTF-16 form
// of the UTF-8 name on Windows. A narrow name made by Utf8FromUtf16 gives back exactly the UTF-16
// path it came from, so a front end that takes UTF-16 paths (the tool's wmain, libcbmp's entry
// points) hands them down to the file opens as narrow names without losing a unit.
std::filesystem::path NativePath(const char* name);

// The narrow name of a path object: its bytes on POSIX systems, its UTF-8 form on Windows.
std::string NarrowName(const std::filesystem::path& path);

// std::fopen by narrow name, through _wfopen on Windows.
std::FILE* OpenFile(const char* name, const char* mode);

#ifdef _WIN32
// _wopen by narrow name.
int OpenDescriptor(const char* name, int flags, int mode);
#endif

}  // namespace cbmp
