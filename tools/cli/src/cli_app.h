// qtu-cli as a function, so tests can run it in-process with their own
// output streams.
#pragma once

#include <atomic>
#include <functional>
#include <ostream>

namespace qtucli {

struct CliContext {
    std::ostream& out;
    std::ostream& err;
    // Set by the program's SIGINT handler: watch and stream end early.
    const std::atomic<bool>* interrupted = nullptr;
    // Whether `err` is a terminal, so the live progress line is shown by default.
    bool terminal = false;
    // Called once when --json is given, before any command runs: moves the
    // library's own standard output lines out of the JSON and returns the
    // stream the JSON goes to (null: keep `out`).
    std::function<std::ostream*()> jsonOutput;
};

// Parses the arguments and runs the command. Returns the exit status: 0,
// the library result code of the first failure (1..15), kExitUsage for a bad
// command line, kExitNoInput for an unreadable frame file, kExitInterrupted
// for a run that the interrupt flag ended (or that saw it set).
int runCli(int argc, const char* const* argv, const CliContext& context);

}  // namespace qtucli
