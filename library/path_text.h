// Narrow forms of the wide-character paths that the library's entry points take.
#pragma once

#include <string>

#include "library/cbmp.h"

namespace cbmp {

// UTF-8 form of a NUL-terminated UTF-16 string. Every surrogate pair becomes one 4-byte
// sequence; an unpaired surrogate becomes '?'. The result is sized from the text, so nothing is
// ever cut short. Throws std::bad_alloc when memory is exhausted.
std::string Utf16ToUtf8(const char16_t* text);

// The narrow form of `path`: UTF-8 on POSIX systems, where it is also the name the file is opened
// by; the ANSI code page on Windows (characters it cannot hold become its default character),
// where it is only what the console lines show, the file being opened by its exact UTF-16 path
// (see ScopedExactPath in io/native_path.h). Returns false for a null path. Throws
// std::bad_alloc when memory is exhausted.
bool NarrowPath(const cbmp_path_char* path, std::string& narrow);

}  // namespace cbmp
