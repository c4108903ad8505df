// Runs a program as a child process and captures its exit status, standard output and standard
// error, for the end-to-end tests of the executable. On Windows the arguments are UTF-8 and reach
// the program as its UTF-16 command line; line ends come back as "\n".
#pragma once

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// Left over from 16-bit pointers: empty macros that would swallow these names in test code.
#undef far
#undef near
#else
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace cbmp::testing {

struct ProcessResult {
    int exitCode = -1;  // -1 when the child did not exit normally
    int signal = 0;     // the signal that ended the child, or 0
    std::string out;
    std::string err;
};

inline std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

#ifdef _WIN32
inline std::wstring WideFromUtf8(const std::string& text) {
    if (text.empty()) {
        return std::wstring();
    }
    const int size =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
    return wide;
}

// One argument quoted so that the C runtime's command-line parser gives it back unchanged.
inline std::wstring QuoteArgument(const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        return argument;
    }
    std::wstring quoted = L"\"";
    for (auto it = argument.begin();; ++it) {
        std::size_t backslashes = 0;
        while (it != argument.end() && *it == L'\\') {
            ++it;
            ++backslashes;
        }
        if (it == argument.end()) {
            quoted.append(backslashes * 2, L'\\');
            break;
        }
        quoted.append(*it == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        quoted.push_back(*it);
    }
    quoted.push_back(L'"');
    return quoted;
}

inline std::string WithoutCarriageReturns(std::string text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) {
            out.push_back(text[i]);
        }
    }
    return out;
}

// Runs `args` (args[0] is the program) with no standard input. `beforeExec` has no Windows
// counterpart and must be null.
inline ProcessResult RunProcess(const std::vector<std::string>& args,
                                void (*beforeExec)() = nullptr) {
    ProcessResult result;
    if (beforeExec != nullptr || args.empty()) {
        return result;
    }
    std::wstring commandLine;
    for (const std::string& arg : args) {
        commandLine += (commandLine.empty() ? L"" : L" ") + QuoteArgument(WideFromUtf8(arg));
    }
    wchar_t directory[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, directory);
    wchar_t outName[MAX_PATH + 1];
    wchar_t errName[MAX_PATH + 1];
    if (length == 0 || GetTempFileNameW(directory, L"cbo", 0, outName) == 0 ||
        GetTempFileNameW(directory, L"cbe", 0, errName) == 0) {
        return result;
    }
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    const auto open = [&inherit](const wchar_t* name, DWORD access, DWORD disposition) {
        return CreateFileW(name, access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, disposition,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    };
    HANDLE input = open(L"NUL", GENERIC_READ, OPEN_EXISTING);
    HANDLE output = open(outName, GENERIC_WRITE, CREATE_ALWAYS);
    HANDLE error = open(errName, GENERIC_WRITE, CREATE_ALWAYS);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = output;
    startup.hStdError = error;
    PROCESS_INFORMATION process{};
    std::fflush(nullptr);
    if (CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                       &startup, &process)) {
        WaitForSingleObject(process.hProcess, INFINITE);
        DWORD code = 0;
        if (GetExitCodeProcess(process.hProcess, &code)) {
            result.exitCode = static_cast<int>(code);
        }
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    for (HANDLE handle : {input, output, error}) {
        if (handle != INVALID_HANDLE_VALUE) {
            CloseHandle(handle);
        }
    }
    const auto readAndRemove = [](const wchar_t* name) {
        std::string text;
        if (std::FILE* file = _wfopen(name, L"rb")) {
            char chunk[4096];
            std::size_t got = 0;
            while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
                text.append(chunk, got);
            }
            std::fclose(file);
        }
        DeleteFileW(name);
        return WithoutCarriageReturns(text);
    };
    result.out = readAndRemove(outName);
    result.err = readAndRemove(errName);
    return result;
}
#else
// Runs `args` (args[0] is the program) with no standard input. `beforeExec`, when given, runs in
// the child just before the program replaces it (to set limits or signal dispositions).
inline ProcessResult RunProcess(const std::vector<std::string>& args,
                                void (*beforeExec)() = nullptr) {
    ProcessResult result;
    char outName[] = "/tmp/cbmp-out-XXXXXX";
    char errName[] = "/tmp/cbmp-err-XXXXXX";
    const int outFd = mkstemp(outName);
    const int errFd = mkstemp(errName);
    if (outFd < 0 || errFd < 0) {
        return result;
    }
    std::vector<char*> argv;
    for (const std::string& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);

    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int nullFd = open("/dev/null", O_RDONLY);
        dup2(nullFd, 0);
        dup2(outFd, 1);
        dup2(errFd, 2);
        if (beforeExec != nullptr) {
            beforeExec();
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    if (pid > 0) {
        waitpid(pid, &status, 0);
        if (WIFEXITED(status)) {
            result.exitCode = WEXITSTATUS(status);
        } else if (WIFSIGNALED(status)) {
            result.signal = WTERMSIG(status);
        }
    }
    close(outFd);
    close(errFd);
    result.out = ReadWholeFile(outName);
    result.err = ReadWholeFile(errName);
    unlink(outName);
    unlink(errName);
    return result;
}

#endif

}  // namespace cbmp::testing
