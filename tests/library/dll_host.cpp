// Windows test host for cbmp.dll: reads the DLL's export directory and version record from the
// file, loads it with LoadLibraryW, resolves both entry points by ordinal and by name, and runs
// them on real files with ASCII and non-ASCII names.
//
// Usage: library_dll_host <cbmp.dll>, run from a folder where it may create a scratch folder.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "library/cbmp.h"

namespace {

int failures = 0;

void Check(bool condition, const char* what, int line) {
    if (!condition) {
        std::fprintf(stderr, "dll_host.cpp:%d: check failed: %s\n", line, what);
        ++failures;
    }
}
#define CHECK(condition) Check((condition), #condition, __LINE__)

using EntryPoint = int(CBMP_CALL*)(const wchar_t*, const wchar_t*);

std::vector<std::uint8_t> ReadFile(const std::wstring& path) {
    std::vector<std::uint8_t> bytes;
    std::FILE* file = _wfopen(path.c_str(), L"rb");
    if (file == nullptr) {
        return bytes;
    }
    std::uint8_t chunk[4096];
    std::size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
        bytes.insert(bytes.end(), chunk, chunk + got);
    }
    std::fclose(file);
    return bytes;
}

bool Exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::uint32_t U16(const std::vector<std::uint8_t>& b, std::size_t at) {
    return at + 2 <= b.size() ? static_cast<std::uint32_t>(b[at] | (b[at + 1] << 8)) : 0;
}

std::uint32_t U32(const std::vector<std::uint8_t>& b, std::size_t at) {
    return at + 4 <= b.size() ? U16(b, at) | (U16(b, at + 2) << 16) : 0;
}

// The export directory of a PE file, read from its bytes: the ordinal of each exported name.
struct Export {
    std::string name;
    std::uint32_t ordinal;
};

std::vector<Export> ReadExports(const std::vector<std::uint8_t>& file, std::uint32_t& functions) {
    std::vector<Export> exports;
    functions = 0;
    const std::size_t pe = U32(file, 0x3C);
    if (U32(file, pe) != 0x00004550) {  // "PE\0\0"
        return exports;
    }
    const std::size_t coff = pe + 4;
    const std::uint32_t sectionCount = U16(file, coff + 2);
    const std::size_t optional = coff + 20;
    const bool pe32Plus = U16(file, optional) == 0x20B;
    const std::size_t directories = optional + (pe32Plus ? 112 : 96);
    const std::uint32_t exportRva = U32(file, directories);
    const std::size_t sections = optional + U16(file, coff + 16);
    // Maps a relative virtual address to a file offset through the section table.
    const auto offset = [&](std::uint32_t rva) -> std::size_t {
        for (std::uint32_t s = 0; s < sectionCount; ++s) {
            const std::size_t header = sections + 40 * s;
            const std::uint32_t address = U32(file, header + 12);
            const std::uint32_t size = U32(file, header + 8);
            if (rva >= address && rva < address + size) {
                return rva - address + U32(file, header + 20);
            }
        }
        return file.size();
    };
    const std::size_t directory = offset(exportRva);
    const std::uint32_t base = U32(file, directory + 16);
    functions = U32(file, directory + 20);
    const std::uint32_t names = U32(file, directory + 24);
    const std::size_t nameTable = offset(U32(file, directory + 32));
    const std::size_t ordinalTable = offset(U32(file, directory + 36));
    for (std::uint32_t i = 0; i < names && i < 64; ++i) {
        std::size_t at = offset(U32(file, nameTable + 4 * i));
        std::string name;
        while (at < file.size() && file[at] != 0) {
            name.push_back(static_cast<char>(file[at++]));
        }
        exports.push_back({name, base + U16(file, ordinalTable + 2 * i)});
    }
    return exports;
}

void CheckExportDirectory(const std::wstring& dll) {
    std::uint32_t functions = 0;
    const std::vector<Export> exports = ReadExports(ReadFile(dll), functions);
    CHECK(functions == 2);
    CHECK(exports.size() == 2);
    if (exports.size() == 2) {
        CHECK(exports[0].name == "BMPCompact" && exports[0].ordinal == 1);
        CHECK(exports[1].name == "BMPDecompact" && exports[1].ordinal == 2);
    }
}

std::wstring VersionString(const std::vector<std::uint8_t>& info, const wchar_t* key) {
    void* value = nullptr;
    UINT length = 0;
    const std::wstring path = std::wstring(L"\\StringFileInfo\\040904B0\\") + key;
    if (!VerQueryValueW(info.data(), path.c_str(), &value, &length) || length == 0) {
        return L"";
    }
    return static_cast<const wchar_t*>(value);
}

void CheckVersionRecord(const std::wstring& dll) {
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeW(dll.c_str(), &handle);
    CHECK(size > 0);
    if (size == 0) {
        return;
    }
    std::vector<std::uint8_t> info(size);
    CHECK(GetFileVersionInfoW(dll.c_str(), 0, size, info.data()));
    void* value = nullptr;
    UINT length = 0;
    CHECK(VerQueryValueW(info.data(), L"\\", &value, &length) &&
          length >= sizeof(VS_FIXEDFILEINFO));
    if (value != nullptr) {
        const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
        CHECK(fixed->dwFileVersionMS == 0x00010000 && fixed->dwFileVersionLS == 0x00000001);
        CHECK(fixed->dwProductVersionMS == 0x00010000 && fixed->dwProductVersionLS == 0x00000001);
    }
    value = nullptr;
    CHECK(VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation", &value, &length) &&
          length == 4);
    if (value != nullptr) {
        const auto* translation = static_cast<const WORD*>(value);
        CHECK(translation[0] == 0x0409 && translation[1] == 1200);
    }
    CHECK(VersionString(info, L"FileVersion") == L"1, 0, 0, 1");
    CHECK(VersionString(info, L"ProductVersion") == L"1, 0, 0, 1");
}

// A 24-bit bitmap of `width` x 19 pixels with a pattern that gives literals and matches.
bool WriteBitmap(const std::wstring& path, std::uint32_t width) {
    const std::uint32_t rowSize = (width * 3 + 3) / 4 * 4;
    const std::uint32_t pixelSize = rowSize * 19;
    std::vector<std::uint8_t> bytes(54 + pixelSize);
    const auto put = [&bytes](std::size_t at, std::uint32_t value, int count) {
        for (int i = 0; i < count; ++i) {
            bytes[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (8 * i));
        }
    };
    bytes[0] = 'B';
    bytes[1] = 'M';
    put(2, static_cast<std::uint32_t>(bytes.size()), 4);
    put(10, 54, 4);
    put(14, 40, 4);
    put(18, width, 4);
    put(22, 19, 4);
    put(26, 1, 2);
    put(28, 24, 2);
    put(34, pixelSize, 4);
    for (std::uint32_t i = 0; i < pixelSize; ++i) {
        bytes[54 + i] = static_cast<std::uint8_t>((i % 11) * 23 + (i / 97) % 3);
    }
    std::FILE* file = _wfopen(path.c_str(), L"wb");
    if (file == nullptr) {
        return false;
    }
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && written;
}

// Whether every character of `text` exists in the ANSI code page, the narrow form of a path.
bool FitsAnsiCodePage(const std::wstring& text) {
    BOOL usedDefault = FALSE;
    const int size = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.c_str(), -1, nullptr, 0,
                                         nullptr, &usedDefault);
    return size > 0 && !usedDefault;
}

void RoundTrip(EntryPoint compact, EntryPoint decompact, const std::wstring& stem) {
    const std::wstring bmp = stem + L".bmp";
    const std::wstring cbmp = stem + L".cbmp";
    const std::wstring back = stem + L".back.bmp";
    CHECK(WriteBitmap(bmp, 53 + static_cast<std::uint32_t>(stem.size())));
    CHECK(compact(bmp.c_str(), cbmp.c_str()) == 999);
    const std::vector<std::uint8_t> compressed = ReadFile(cbmp);
    CHECK(compressed.size() > 60 && U32(compressed, 0) == 0x504D4243 && U32(compressed, 4) == 1);
    CHECK(decompact(cbmp.c_str(), back.c_str()) == 999);
    const std::vector<std::uint8_t> original = ReadFile(bmp);
    CHECK(!original.empty() && ReadFile(back) == original);
}

// The ANSI form of `text`, as the entry points show paths on the console.
std::string AnsiForm(const std::wstring& text) {
    const int size = WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<std::size_t>(size > 0 ? size : 1), '\0');
    WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, narrow.data(), size, nullptr, nullptr);
    narrow.resize(narrow.size() - 1);
    return narrow;
}

// Runs `call` with the standard output going to a file and returns what it printed.
template <typename Call>
std::string CaptureStdout(const std::wstring& file, Call call) {
    std::fflush(stdout);
    const int saved = _dup(1);
    const int fd = _wopen(file.c_str(), _O_CREAT | _O_TRUNC | _O_WRONLY | _O_BINARY, 0600);
    CHECK(saved >= 0 && fd >= 0);
    _dup2(fd, 1);
    call();
    std::fflush(stdout);
    _dup2(saved, 1);
    _close(fd);
    _close(saved);
    const std::vector<std::uint8_t> bytes = ReadFile(file);
    return std::string(bytes.begin(), bytes.end());
}

// Names that the ANSI code page cannot spell: the files opened are the ones named, by their
// exact UTF-16 paths, while the console lines show the ANSI forms.
void NonAnsiNames(EntryPoint compact, EntryPoint decompact, const std::wstring& dir) {
    const std::wstring unicode = dir + L"\\\u00dcn\u00ef \u5199\u771f";
    CHECK(!FitsAnsiCodePage(unicode));
    RoundTrip(compact, decompact, unicode);

    // Two names whose ANSI forms are the same ("?.bmp"): the input stays as it was and the
    // output is a different file.
    const std::wstring input = dir + L"\\\u5199.bmp";
    const std::wstring output = dir + L"\\\u771f.bmp";
    CHECK(AnsiForm(input) == AnsiForm(output));
    CHECK(WriteBitmap(input, 61));
    const std::vector<std::uint8_t> original = ReadFile(input);
    int result = 0;
    const std::string printed = CaptureStdout(
        dir + L"\\console.txt", [&] { result = compact(input.c_str(), output.c_str()); });
    CHECK(result == 999);
    CHECK(ReadFile(input) == original);
    const std::vector<std::uint8_t> compressed = ReadFile(output);
    CHECK(compressed.size() > 60 && U32(compressed, 0) == 0x504D4243);
    CHECK(printed.rfind("Compressing: " + AnsiForm(input) + " -> " + AnsiForm(output) + "\n", 0) ==
          0);
    CHECK(printed.find("Compression successful!") != std::string::npos);
}

EntryPoint Resolve(HMODULE module, const char* name, WORD ordinal) {
    const FARPROC byName = GetProcAddress(module, name);
    const FARPROC byOrdinal =
        GetProcAddress(module, reinterpret_cast<LPCSTR>(static_cast<ULONG_PTR>(ordinal)));
    CHECK(byName != nullptr);
    CHECK(byName == byOrdinal);
    return reinterpret_cast<EntryPoint>(reinterpret_cast<void (*)()>(byName));
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: library_dll_host <cbmp.dll>\n");
        return 2;
    }
    const std::wstring dll = argv[1];
    CheckExportDirectory(dll);
    CheckVersionRecord(dll);

    const HMODULE module = LoadLibraryW(dll.c_str());
    CHECK(module != nullptr);
    if (module == nullptr) {
        return 1;
    }
    const EntryPoint compact = Resolve(module, "BMPCompact", 1);
    const EntryPoint decompact = Resolve(module, "BMPDecompact", 2);
    CHECK(GetProcAddress(module, reinterpret_cast<LPCSTR>(static_cast<ULONG_PTR>(3))) == nullptr);
    if (compact == nullptr || decompact == nullptr) {
        return 1;
    }

    const std::wstring dir = L"dll-host-scratch";
    CreateDirectoryW(dir.c_str(), nullptr);
    RoundTrip(compact, decompact, dir + L"\\plain");
    // Non-ASCII names: Latin letters that every Western code page holds, and Cyrillic where the
    // ANSI code page has it.
    const std::wstring latin = dir + L"\\caf\u00e9 \u00fcber";
    CHECK(FitsAnsiCodePage(latin));
    RoundTrip(compact, decompact, latin);
    const std::wstring cyrillic = dir + L"\\\u0438\u0437\u043e\u0431\u0440";
    if (FitsAnsiCodePage(cyrillic)) {
        RoundTrip(compact, decompact, cyrillic);
    } else {
        std::printf("ANSI code page %u has no Cyrillic; that name is skipped\n", GetACP());
    }

    NonAnsiNames(compact, decompact, dir);

    // The failures: a missing input, a file that is not CBMP, null paths.
    const std::wstring missing = dir + L"\\missing.bmp";
    const std::wstring notWritten = dir + L"\\not-written.bmp";
    CHECK(compact(missing.c_str(), notWritten.c_str()) == 1);
    CHECK(decompact((dir + L"\\plain.bmp").c_str(), notWritten.c_str()) == 999);
    CHECK(!Exists(notWritten));
    CHECK(compact(nullptr, notWritten.c_str()) == 1);
    CHECK(decompact(missing.c_str(), nullptr) == 1);

    CHECK(FreeLibrary(module));
    if (failures != 0) {
        std::fprintf(stderr, "%d check(s) failed\n", failures);
        return 1;
    }
    std::printf("all checks passed\n");
    return 0;
}
