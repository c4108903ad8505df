// Narrow forms of the wide-character paths that the library's entry points take.
#pragma once

#include <string>

#include "library/cbmp.h"

namespace cbmp {

// UTF-8 form of a NUL-terminated UTF-16 string. Every surrogate pair becomes one 4-byte
// sequence; an unpaired surrogate becomes '?'. The result is sized from the text, so nothing is
// ever cut short. Throws std::bad_alloc when memory is exhausted.
std::string Utf16ToUtf8(const char16_t* text);

// The narrow form of `path` that the console lines show: UTF-8 on POSIX systems; the ANSI code
// page on Windows (characters it cannot hold become its default character). Returns false for a
// null path. Throws std::bad_alloc when memory is exhausted.
bool NarrowPath(const cbmp_path_char* path, std::string& narrow);

// A caller's path in the two forms that a run takes (core::Input and core::Output): the name
// shown, NarrowPath's, and the name the file is opened by. On POSIX systems the two are the same
// UTF-8 text; on Windows the second is the UTF-8 form that gives back the exact UTF-16 path (see
// io/native_path.h), so the file opened is the one the caller named even where the ANSI code page
// cannot spell it.
struct CallerPath {
    std::string shown;
    std::string opened;
};

// Converts `path` into both forms; false for a null path. Throws std::bad_alloc when memory is
// exhausted.
bool ConvertPath(const cbmp_path_char* path, CallerPath& converted);

}  // namespace cbmp
