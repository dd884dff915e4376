// qtu-cli: the QZQTUApi library's front end for a person at a terminal.
#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

#include <atomic>
#include <csignal>
#include <iostream>

#include "cli_app.h"
#include "format.h"
#include "json_stdout.h"

namespace {

std::atomic<bool> interrupted{false};

extern "C" void onInterrupt(int) {
    interrupted.store(true);
}

}  // namespace

int main(int argc, char** argv) {
#if defined(_WIN32)
    // The C runtime resets a handler to the default once it has run, so a
    // second Ctrl-C ends the program at once here too.
    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);
    const bool terminal = _isatty(_fileno(stderr)) != 0;
#else
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND;  // a second Ctrl-C ends the program at once
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    const bool terminal = isatty(STDERR_FILENO) == 1;
#endif
    std::ostream* json = nullptr;
    const qtucli::CliContext context{std::cout, std::cerr, &interrupted, terminal, [&json] {
                                         json = qtucli::moveLibraryOutputToStandardError();
                                         return json;
                                     }};
    int status = qtucli::runCli(argc, argv, context);
    // A full disk or a closed device must not pass for a successful run.
    std::ostream& out = json != nullptr ? *json : std::cout;
    out.flush();
    if (!out) {
        std::cerr << "qtu-cli: cannot write to standard output\n";
        if (status == 0) {
            status = qtucli::kExitOutputFailed;
        }
    }
    return status;
}
