// qtu-cli in a network namespace whose loopback MTU is 1500: a payload too
// big for the path ends the stream with the library's code 15 and its text.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "QZQTUApi.h"

namespace qtucli {
namespace {

using ::testing::HasSubstr;

struct CliRun {
    int status = -1;
    std::string out;
};

std::string errorLine(const char* call, QZQTU_Error code) {
    return std::string("error: ") + call + ": " + QZQTU_ErrorToString(static_cast<uint32_t>(code)) + " (" +
           std::to_string(code) + ")";
}

// Runs a shell command and returns its exit status and combined output.
CliRun shell(const std::string& command) {
    CliRun result;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) {
        return result;
    }
    char buffer[4096];
    while (size_t n = fread(buffer, 1, sizeof buffer, pipe)) {
        result.out.append(buffer, n);
    }
    const int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

// A network namespace whose loopback has an MTU of 1500, removed at the end.
class SmallMtuNamespace : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) {
            GTEST_SKIP() << "network namespaces need root";
        }
        if (shell("ip -V").status != 0) {
            GTEST_SKIP() << "the ip command (iproute2) is missing";
        }
        name_ = "qtucli" + std::to_string(getpid());
        const CliRun made = shell("ip netns add " + name_ + " && ip -n " + name_ + " link set lo mtu 1500 up");
        if (made.status != 0) {
            GTEST_SKIP() << "cannot create a network namespace: " << made.out;
        }
        created_ = true;
    }
    void TearDown() override {
        if (simPid_ > 0) {
            kill(simPid_, SIGTERM);
            int status = 0;
            waitpid(simPid_, &status, 0);
        }
        if (simOut_ >= 0) {
            close(simOut_);
        }
        if (created_) {
            shell("ip netns delete " + name_);
        }
    }

    // Starts qtu-unit-sim inside the namespace; returns its "control=... data=..." line.
    std::string startUnit() {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) {
            return {};
        }
        simPid_ = fork();
        if (simPid_ == 0) {
            dup2(fds[1], STDOUT_FILENO);
            execlp("ip", "ip", "netns", "exec", name_.c_str(), QTU_SIM_PATH, "--bind", "127.0.0.1", "--quiet",
                   "--for", "60", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        simOut_ = fds[0];
        std::string line;
        pollfd p{simOut_, POLLIN, 0};
        char c;
        while (line.find('\n') == std::string::npos && poll(&p, 1, 10000) > 0 && read(simOut_, &c, 1) == 1) {
            line += c;
        }
        return line;
    }

    CliRun cli(const std::string& line, const std::string& arguments) {
        const auto port = [&](const char* key) {
            const auto at = line.find(key);
            const auto colon = line.find(':', at);
            return line.substr(colon + 1, line.find_first_not_of("0123456789", colon + 1) - colon - 1);
        };
        return shell("ip netns exec " + name_ + " " + QTU_CLI_PATH + " --control 127.0.0.1:" + port("control") +
                     " --data 127.0.0.1:" + port("data") + " " + arguments);
    }

    std::string name_;
    bool created_ = false;
    pid_t simPid_ = -1;
    int simOut_ = -1;
};

TEST_F(SmallMtuNamespace, PayloadTooBigForThePathIsReportedWithTheLibraryText) {
    const std::string line = startUnit();
    ASSERT_THAT(line, HasSubstr("control")) << "the emulated unit did not start";
    // 1448 data bytes + 24 + 28 fill a 1500-byte path exactly.
    const CliRun fits = cli(line, "--max-payload 1448 stream --line-size 3000 --line-count 2 --frames 3");
    EXPECT_EQ(fits.status, 0) << fits.out;
    const CliRun tooBig = cli(line, "--max-payload 1456 stream --line-size 3000 --line-count 2 --frames 3");
    EXPECT_EQ(tooBig.status, QZQTU_PACKET_FRAGMENTATION) << tooBig.out;
    EXPECT_THAT(tooBig.out, HasSubstr(errorLine("QZQTU_ReplayStreamData", QZQTU_PACKET_FRAGMENTATION)));
    EXPECT_THAT(tooBig.out, HasSubstr("frames        0\n"));
}

}  // namespace
}  // namespace qtucli
