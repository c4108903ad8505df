// Runs one core operation the way the front ends do, with the console's events, and keeps what
// it printed on each stream.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "console/messages.h"
#include "core/operations.h"
#include "tests/support/data_generator.h"

namespace cbmp::testing {

struct ConsoleRun {
    core::Outcome outcome;
    std::string out;  // standard output
    std::string err;  // standard error
    Bytes bytes;      // the output, when it went to memory and succeeded
};

enum class Direction { kCompress, kDecompress };

inline ConsoleRun RunWithConsole(Direction direction, const core::Input& input,
                                 core::Output output) {
    ConsoleRun run;
    console::ConsoleEvents events;
    core::Settings settings;
    settings.events = &events;
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    run.outcome = direction == Direction::kCompress ? core::Compress(input, output, settings)
                                                    : core::Decompress(input, output, settings);
    std::fflush(stdout);
    run.out = ::testing::internal::GetCapturedStdout();
    run.err = ::testing::internal::GetCapturedStderr();
    if (output.buffer) {
        run.bytes.assign(output.buffer.get(), output.buffer.get() + output.size);
    }
    return run;
}

}  // namespace cbmp::testing
