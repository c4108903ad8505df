#include "library/path_text.h"

#ifdef _WIN32
#include <windows.h>

#include <string_view>

#include "io/native_path.h"
#endif

namespace cbmp {

namespace {

constexpr bool IsHighSurrogate(char32_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}
constexpr bool IsLowSurrogate(char32_t unit) {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

// Reads the code point at `text[i]`, advancing `i` past it; an unpaired surrogate reads as '?'.
char32_t NextCodePoint(const char16_t* text, std::size_t& i) {
    const char32_t unit = text[i++];
    if (IsHighSurrogate(unit)) {
        const char32_t next = text[i];  // the terminating NUL at worst
        if (IsLowSurrogate(next)) {
            ++i;
            return 0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00);
        }
        return U'?';
    }
    if (IsLowSurrogate(unit)) {
        return U'?';
    }
    return unit;
}

std::size_t Utf8Length(char32_t codePoint) {
    if (codePoint < 0x80) {
        return 1;
    }
    if (codePoint < 0x800) {
        return 2;
    }
    return codePoint < 0x10000 ? 3 : 4;
}

void AppendUtf8(char32_t codePoint, std::string& out) {
    const auto byte = [&out](char32_t value) { out.push_back(static_cast<char>(value & 0xFF)); };
    switch (Utf8Length(codePoint)) {
        case 1:
            byte(codePoint);
            break;
        case 2:
            byte(0xC0 | (codePoint >> 6));
            byte(0x80 | (codePoint & 0x3F));
            break;
        case 3:
            byte(0xE0 | (codePoint >> 12));
            byte(0x80 | ((codePoint >> 6) & 0x3F));
            byte(0x80 | (codePoint & 0x3F));
            break;
        default:
            byte(0xF0 | (codePoint >> 18));
            byte(0x80 | ((codePoint >> 12) & 0x3F));
            byte(0x80 | ((codePoint >> 6) & 0x3F));
            byte(0x80 | (codePoint & 0x3F));
            break;
    }
}

}  // namespace

std::string Utf16ToUtf8(const char16_t* text) {
    std::size_t length = 0;
    for (std::size_t i = 0; text[i] != 0;) {
        length += Utf8Length(NextCodePoint(text, i));
    }
    std::string out;
    out.reserve(length);
    for (std::size_t i = 0; text[i] != 0;) {
        AppendUtf8(NextCodePoint(text, i), out);
    }
    return out;
}

bool NarrowPath(const cbmp_path_char* path, std::string& narrow) {
    if (path == nullptr) {
        return false;
    }
#ifdef _WIN32
    // The first call measures the converted text, terminating NUL included; the second fills it.
    const int size = WideCharToMultiByte(CP_ACP, 0, path, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 0) {
        narrow.clear();  // an unconvertible path names no file
        return true;
    }
    narrow.assign(static_cast<std::size_t>(size), '\0');
    const int written =
        WideCharToMultiByte(CP_ACP, 0, path, -1, narrow.data(), size, nullptr, nullptr);
    narrow.resize(written > 0 ? static_cast<std::size_t>(written) - 1 : 0);
#else
    narrow = Utf16ToUtf8(path);
#endif
    return true;
}

bool ConvertPath(const cbmp_path_char* path, CallerPath& converted) {
    if (!NarrowPath(path, converted.shown)) {
        return false;
    }
#ifdef _WIN32
    const std::wstring_view wide(path);
    converted.opened = Utf8FromUtf16(std::u16string(wide.begin(), wide.end()));
#else
    converted.opened = converted.shown;
#endif
    return true;
}

}  // namespace cbmp
