// Runs qtu-cli in-process with the given arguments and keeps what it printed.
#pragma once

#include <atomic>
#include <sstream>
#include <string>
#include <vector>

#include "cli_app.h"

namespace qtucli {

struct CliRun {
    int status = -1;
    std::string out, err;
};

inline CliRun runWith(std::vector<std::string> args, const std::atomic<bool>* interrupted = nullptr) {
    args.insert(args.begin(), "qtu-cli");
    std::vector<const char*> argv;
    for (const auto& a : args) {
        argv.push_back(a.c_str());
    }
    std::ostringstream out;
    std::ostringstream err;
    const CliContext context{out, err, interrupted, false, {}};
    CliRun result;
    result.status = runCli(static_cast<int>(argv.size()), argv.data(), context);
    result.out = out.str();
    result.err = err.str();
    return result;
}

}  // namespace qtucli
