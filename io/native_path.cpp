#include "io/native_path.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace cbmp {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsHighSurrogate(char32_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}

bool IsLowSurrogate(char32_t unit) {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

void AppendUtf8(char32_t value, std::string& out) {
    const auto put = [&out](char32_t byte) { out.push_back(static_cast<char>(byte & 0xFF)); };
    if (value < 0x80) {
        put(value);
    } else if (value < 0x800) {
        put(0xC0 | (value >> 6));
        put(0x80 | (value & 0x3F));
    } else if (value < 0x10000) {
        put(0xE0 | (value >> 12));
        put(0x80 | ((value >> 6) & 0x3F));
        put(0x80 | (value & 0x3F));
    } else {
        put(0xF0 | (value >> 18));
        put(0x80 | ((value >> 12) & 0x3F));
        put(0x80 | ((value >> 6) & 0x3F));
        put(0x80 | (value & 0x3F));
    }
}

// Decodes the sequence at text[at], returning its value and setting `length`; an invalid
// sequence gives U+FFFD with a length of 1, so decoding resumes at the next byte.
char32_t DecodeUtf8(std::string_view text, std::size_t at, std::size_t& length) {
    const auto lead = static_cast<unsigned char>(text[at]);
    length = 1;
    char32_t value = 0;
    std::size_t count = 0;
    if (lead < 0x80) {
        return lead;
    }
    if ((lead & 0xE0) == 0xC0) {
        value = lead & 0x1Fu;
        count = 2;
    } else if ((lead & 0xF0) == 0xE0) {
        value = lead & 0x0Fu;
        count = 3;
    } else if ((lead & 0xF8) == 0xF0) {
        value = lead & 0x07u;
        count = 4;
    } else {
        return kReplacement;
    }
    if (at + count > text.size()) {
        return kReplacement;
    }
    for (std::size_t k = 1; k < count; ++k) {
        const auto next = static_cast<unsigned char>(text[at + k]);
        if ((next & 0xC0) != 0x80) {
            return kReplacement;
        }
        value = (value << 6) | (next & 0x3Fu);
    }
    constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (value < kSmallest[count] || value > 0x10FFFF) {
        return kReplacement;
    }
    length = count;
    return value;
}

}  // namespace

std::string Utf8FromUtf16(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t unit = text[i];
        if (IsHighSurrogate(unit) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
            unit = 0x10000 + ((unit - 0xD800) << 10) + (text[i + 1] - 0xDC00u);
            ++i;
        }
        AppendUtf8(unit, out);
    }
    return out;
}

std::u16string Utf16FromUtf8(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        std::size_t length = 1;
        const char32_t value = DecodeUtf8(text, i, length);
        if (value >= 0x10000) {
            out.push_back(static_cast<char16_t>(0xD800 + ((value - 0x10000) >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + ((value - 0x10000) & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(value));
        }
        i += length;
    }
    return out;
}

#ifdef _WIN32

std::filesystem::path NativePath(const char* name) {
    const std::u16string wide = Utf16FromUtf8(name);
    return std::filesystem::path(std::wstring(wide.begin(), wide.end()));
}

std::string NarrowName(const std::filesystem::path& path) {
    const std::wstring& wide = path.native();
    return Utf8FromUtf16(std::u16string(wide.begin(), wide.end()));
}

std::FILE* OpenFile(const char* name, const char* mode) {
    const std::wstring wideMode(mode, mode + std::char_traits<char>::length(mode));
    return _wfopen(NativePath(name).c_str(), wideMode.c_str());
}

int OpenDescriptor(const char* name, int flags, int mode) {
    return _wopen(NativePath(name).c_str(), flags, mode);
}

#else

std::filesystem::path NativePath(const char* name) {
    return std::filesystem::path(name);
}

std::string NarrowName(const std::filesystem::path& path) {
    return path.string();
}

std::FILE* OpenFile(const char* name, const char* mode) {
    return std::fopen(name, mode);
}

#endif

}  // namespace cbmp
