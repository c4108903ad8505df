// Runs a program as a child process and captures its exit status, standard output and standard
// error, for the end-to-end tests of the executable. POSIX only.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

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

}  // namespace cbmp::testing
