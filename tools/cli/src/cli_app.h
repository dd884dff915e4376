// qtu-cli as a function, so tests can run it in-process with their own
// output streams.
#pragma once

#include <atomic>
#include <ostream>

namespace qtucli {

struct CliContext {
    std::ostream& out;
    std::ostream& err;
    // Set by the program's SIGINT handler: watch and stream end early.
    const std::atomic<bool>* interrupted = nullptr;
    // Whether `err` is a terminal, so the live progress line is shown by default.
    bool terminal = false;
};

// Parses the arguments and runs the command. Returns the exit status: 0,
// the library result code of the first failure (1..15), kExitUsage for a bad
// command line, kExitNoInput for an unreadable frame file.
int runCli(int argc, const char* const* argv, const CliContext& context);

}  // namespace qtucli
