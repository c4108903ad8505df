#include "cbmpz/output_names.h"

#include <cstring>

namespace cbmpz {

namespace {

char Lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

bool HasSuffix(const std::string& path, const char* suffix) {
    const std::size_t length = std::strlen(suffix);
    const std::size_t slash = path.rfind('/');
    const std::size_t nameAt = slash == std::string::npos ? 0 : slash + 1;
    if (path.size() - nameAt <= length) {
        return false;  // no name left in front of the suffix
    }
    for (std::size_t i = 0; i < length; ++i) {
        if (Lower(path[path.size() - length + i]) != suffix[i]) {
            return false;
        }
    }
    return true;
}

std::optional<std::string> CompressedName(const std::string& input) {
    if (HasSuffix(input, ".cbmp")) {
        return std::nullopt;
    }
    if (HasSuffix(input, ".bmp")) {
        return input.substr(0, input.size() - 4) + ".cbmp";
    }
    return input + ".cbmp";
}

std::optional<std::string> DecompressedName(const std::string& input) {
    if (!HasSuffix(input, ".cbmp")) {
        return std::nullopt;
    }
    return input.substr(0, input.size() - 5) + ".bmp";
}

}  // namespace cbmpz
