// qtu-cli: the QZQTUApi library's front end for a person at a terminal.
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <iostream>

#include "cli_app.h"

namespace {

std::atomic<bool> interrupted{false};

extern "C" void onInterrupt(int) {
    interrupted.store(true);
}

}  // namespace

int main(int argc, char** argv) {
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND;  // a second Ctrl-C ends the program at once
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    const qtucli::CliContext context{std::cout, std::cerr, &interrupted, isatty(STDERR_FILENO) == 1};
    return qtucli::runCli(argc, argv, context);
}
