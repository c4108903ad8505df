// Runs a check in a forked child whose standard output is a pipe or a regular file, and keeps
// what arrived there and on the standard error stream: for the runs that write their data to
// /dev/stdout. POSIX only.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "tests/support/run_process.h"

namespace cbmp::testing {

enum class StandardOutput {
    kPipe,        // `| cat`
    kFile,        // `> file`
    kAppendFile,  // `>> file`, the file holding what it held before
};

struct StandardOutputRun {
    int exitCode = -1;  // -1 when the child did not exit normally
    std::string data;   // what reached the standard output: the pipe's bytes or the file's
    std::string err;    // the standard error stream
};

// Runs `body` in a child whose descriptor 1 is a pipe or the file `file` (opened as the shell's
// redirection opens it) and whose descriptor 2 is a temporary file; the child exits with what
// `body` returns. `body` may also exec a program.
inline StandardOutputRun RunWithStandardOutput(StandardOutput kind, const std::string& file,
                                               const std::function<int()>& body) {
    StandardOutputRun run;
    char errName[] = "/tmp/cbmp-err-XXXXXX";
    const int errFd = mkstemp(errName);
    int pipeFds[2] = {-1, -1};
    int outFd = -1;
    if (kind == StandardOutput::kPipe) {
        if (pipe(pipeFds) != 0) {
            return run;
        }
        outFd = pipeFds[1];
    } else {
        const int flags =
            O_WRONLY | O_CREAT | (kind == StandardOutput::kAppendFile ? O_APPEND : O_TRUNC);
        outFd = open(file.c_str(), flags, 0644);
    }
    if (errFd < 0 || outFd < 0) {
        return run;
    }
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(outFd, STDOUT_FILENO);
        dup2(errFd, STDERR_FILENO);
        if (pipeFds[0] >= 0) {
            close(pipeFds[0]);
        }
        const int code = body();
        std::fflush(nullptr);
        _exit(code);
    }
    close(outFd);
    if (pipeFds[0] >= 0) {
        char chunk[4096];
        ssize_t got = 0;
        while ((got = read(pipeFds[0], chunk, sizeof chunk)) > 0) {
            run.data.append(chunk, static_cast<std::size_t>(got));
        }
        close(pipeFds[0]);
    }
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status)) {
        run.exitCode = WEXITSTATUS(status);
    }
    close(errFd);
    run.err = ReadWholeFile(errName);
    unlink(errName);
    if (kind != StandardOutput::kPipe) {
        run.data = ReadWholeFile(file);
    }
    return run;
}

}  // namespace cbmp::testing
