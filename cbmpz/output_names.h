// How cbmpz names its outputs: x.bmp becomes x.cbmp and back; other names get .cbmp appended.
#pragma once

#include <optional>
#include <string>

namespace cbmpz {

// True when the last component of `path` ends in `suffix` (compared without regard to ASCII
// case) after at least one other character.
bool HasSuffix(const std::string& path, const char* suffix);

// The compressed file's name for `input`: "x.bmp" (any case) gives "x.cbmp", any other name gets
// ".cbmp" appended. Nothing for a name that already ends in ".cbmp".
std::optional<std::string> CompressedName(const std::string& input);

// The decompressed file's name: "x.cbmp" (any case) gives "x.bmp". Nothing for other names.
std::optional<std::string> DecompressedName(const std::string& input);

}  // namespace cbmpz
