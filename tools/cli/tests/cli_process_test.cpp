// qtu-cli run as a process: bad command lines and frame files end with a
// clear message and their status (never a signal or a hang), --json keeps
// standard output for the JSON, the progress line follows the terminal, and
// Ctrl-C ends a stream with 130.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "format.h"
#include "qtu_sim/unit_sim.h"
#include "tool_process.h"

namespace qtucli {
namespace {

using ::testing::HasSubstr;
using qtu::tooltest::RunTool;
using qtu::tooltest::ToolProcess;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

std::vector<std::string> cli(std::vector<std::string> args) {
    args.insert(args.begin(), QTU_CLI_PATH);
    return args;
}

// A bound UDP socket that never answers: a unit that is off.
class SilentUnit {
public:
    SilentUnit() : fd_(socket(AF_INET, SOCK_DGRAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t length = sizeof address;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
        endpoint_ = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    }
    ~SilentUnit() { close(fd_); }
    const std::string& endpoint() const { return endpoint_; }

private:
    int fd_;
    std::string endpoint_;
};

TEST(CliBadInput, EveryCaseEndsWithAClearMessageAndItsStatus) {
    const fs::path dir = fs::temp_directory_path() / ("qtu_cli_bad_" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir / "folder");
    auto file = [&](const std::string& name, const std::string& bytes) {
        std::ofstream(dir / name, std::ios::binary) << bytes;
        return (dir / name).string();
    };
    const std::string empty = file("empty.raw", "");
    const std::string shortFile = file("short.raw", std::string(99, 'x'));
    std::mt19937 random(7);
    std::string noise(4096, '\0');
    for (char& c : noise) {
        c = static_cast<char>(random());
    }
    const std::string noiseFile = file("noise.raw", noise);
    const std::string huge = file("huge.raw", "");
    fs::resize_file(huge, uintmax_t{64} << 30);  // sparse: no disk used
    const std::string fifo = (dir / "frames.fifo").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);

    const SilentUnit unit;
    const std::vector<std::string> off{"--control", unit.endpoint(), "--timeout-get", "30"};
    auto withUnit = [&](std::vector<std::string> args) {
        args.insert(args.begin(), off.begin(), off.end());
        return args;
    };
    const std::vector<std::string> lines{"--line-size", "100", "--line-count", "1"};
    auto fileStream = [&](const std::string& path) {
        std::vector<std::string> args{"stream", "--file", path};
        args.insert(args.end(), lines.begin(), lines.end());
        return withUnit(args);
    };
    const std::string longText(100000, '7');
    const struct {
        std::vector<std::string> args;
        int status;
        std::string message;
    } cases[] = {
        {{}, kExitUsage, "A subcommand is required"},
        {{"info", "--control"}, kExitUsage, "--control"},
        {{"--control", "300.1.1.1", "info"}, kExitUsage, "'300.1.1.1' is not a dotted IPv4 address"},
        {{"--control", "127.0.0.1:65536", "info"}, kExitUsage, "'65536' is not a port"},
        {{"--control", "127.0.0.1:" + longText, "info"}, kExitUsage, "is not a port"},
        {{"--data", "127.0.0.1:65535", "--channel", "1", "info"}, kExitUsage, "is past port 65535"},
        {{"--data", "127.0.0.1:65500", "--channel", "255", "stream"}, kExitUsage, "65500 + channel 255"},
        {{"--channel", "99999999999999999999", "info"}, kExitUsage, "--channel"},
        {{"--timeout-get", "4294967296", "info"}, kExitUsage, "--timeout-get"},
        {{"--max-payload", "65484", "stream"}, kExitUsage, "--max-payload"},
        {{"info", longText}, kExitUsage, "not expected"},
        {{"set-times", "--start", "18446744073709551616"}, kExitUsage, "--start"},
        {{"status", "--interval", "0"}, kExitUsage, "--interval"},
        {{"stream", "--line-size", "70000", "--line-count", "1"}, kExitUsage, "line size 70000 bytes is outside"},
        {{"stream", "--width", "4294967296"}, kExitUsage, "--width"},
        {{"stream", "--frames", "184467440737095516160"}, kExitUsage, "--frames"},
        {{"stream", "--fps", "1e309"}, kExitUsage, "--fps"},
        {{"stream", "--fps", "nan"}, kExitUsage, "'nan' is not a number"},
        {{"stream", "--seconds", "-nan"}, kExitUsage, "'-nan' is not a number"},
        {{"status", "--watch", "--count", "18446744073709551616"}, kExitUsage, "is past the largest value"},
        {{"stream", "--line-size", "8"}, kExitUsage, "go together"},
        {fileStream((dir / "missing.raw").string()), kExitNoInput, "cannot open '" + (dir / "missing.raw").string()},
        {fileStream(empty), kExitNoInput, "holds 0 bytes, less than one frame of 100"},
        {fileStream(shortFile), kExitNoInput, "holds 99 bytes, less than one frame of 100"},
        {fileStream((dir / "folder").string()), kExitNoInput, "is a directory, not a file of frames"},
        {fileStream("/dev/zero"), kExitNoInput, "'/dev/zero' is not a regular file"},
        {fileStream(fifo), kExitNoInput, "frames.fifo' is not a regular file"},
        // Frames that can be read go as far as the unit, which does not answer.
        {fileStream(noiseFile), QZQTU_TIMEOUT, "error: QZQTU_InitOutputChannel: "},
        {fileStream(huge), QZQTU_TIMEOUT, "error: QZQTU_InitOutputChannel: "},
    };
    for (const auto& c : cases) {
        std::string line;
        for (const auto& a : c.args) {
            line += (a.size() > 80 ? a.substr(0, 80) + "..." : a) + " ";
        }
        SCOPED_TRACE(line);
        const auto r = RunTool(cli(c.args), 20s);
        EXPECT_TRUE(r.Exited(c.status)) << "status " << r.status << " signal " << r.signal << " timed out "
                                        << r.timedOut << "\n" << r.err.substr(0, 2000);
        EXPECT_THAT(r.err, HasSubstr(c.message));
    }
    // Standard output that cannot be written.
    const auto full = RunTool({"/bin/sh", "-c", std::string("exec ") + QTU_CLI_PATH + " --version >/dev/full"}, 20s);
    EXPECT_TRUE(full.Exited(kExitOutputFailed)) << full.status;
    EXPECT_THAT(full.err, HasSubstr("qtu-cli: cannot write to standard output"));
    const auto version = RunTool(cli({"--version"}), 20s);
    EXPECT_TRUE(version.Exited(0));
    EXPECT_EQ(version.out, std::string("qtu-cli ") + QTU_VERSION + "\n");
    fs::remove_all(dir);
}

TEST(CliProcess, JsonOnStandardOutputAndTheLibraryLinesOnStandardError) {
    const auto r = RunTool(cli({"--json", "ping"}), 20s);
    ASSERT_TRUE(r.Exited(0)) << r.err;
    // The whole of standard output is one JSON document.
    EXPECT_EQ(nlohmann::json::parse(r.out)["text"], QZQTU_ErrorToString(0));
    EXPECT_THAT(r.err, HasSubstr("[Debug] IP 127.0.0.1 "));
    // Without --json the library's lines stay on standard output.
    const auto text = RunTool(cli({"ping"}), 20s);
    ASSERT_TRUE(text.Exited(0)) << text.err;
    EXPECT_THAT(text.out, HasSubstr("[Debug] IP 127.0.0.1 "));
    EXPECT_THAT(text.out, HasSubstr("answer"));
}

class CliStreamProcess : public ::testing::Test {
protected:
    void SetUp() override {
        qtusim::Config config;
        config.bind = "127.0.0.1";
        sim_ = std::make_unique<qtusim::UnitSim>(config);
        sim_->start();
    }
    std::vector<std::string> stream(std::vector<std::string> extra) const {
        std::vector<std::string> args{"--control", "127.0.0.1:" + std::to_string(sim_->controlPort()),
                                      "--data",    "127.0.0.1:" + std::to_string(sim_->dataBasePort()),
                                      "stream",    "--line-size", "1000", "--line-count", "10", "--fps", "50"};
        args.insert(args.end(), extra.begin(), extra.end());
        return cli(args);
    }
    std::unique_ptr<qtusim::UnitSim> sim_;
};

TEST_F(CliStreamProcess, ProgressLineWhenStandardErrorIsATerminalUnlessTurnedOff) {
    const struct {
        bool terminal;
        const char* flag;
        bool shown;
    } cases[] = {
        {true, nullptr, true}, {true, "--no-progress", false}, {false, nullptr, false}, {false, "--progress", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.terminal ? "terminal " : "pipe ") + (c.flag ? c.flag : ""));
        std::vector<std::string> extra{"--frames", "20"};
        if (c.flag != nullptr) {
            extra.push_back(c.flag);
        }
        const auto r = RunTool(stream(extra), 20s, c.terminal);
        ASSERT_TRUE(r.Exited(0)) << r.err;
        EXPECT_EQ(r.err.find("\rframes 20 ") != std::string::npos, c.shown) << r.err;
        EXPECT_THAT(r.out, HasSubstr("frames        20\n"));
    }
}

TEST_F(CliStreamProcess, CtrlCEndsTheStreamWith130AndItsSummary) {
    ToolProcess process(stream({"--frames", "100000000"}));
    ASSERT_TRUE(sim_->waitFor(0, [](const qtusim::ChannelReport& c) { return c.framesComplete >= 3; }, 10s));
    kill(process.pid(), SIGINT);
    const auto r = process.Wait(20s);
    EXPECT_TRUE(r.Exited(kExitInterrupted)) << r.status << " " << r.signal << " " << r.err;
    EXPECT_THAT(r.out, ::testing::ContainsRegex("frames        [1-9][0-9]*\n"));
}

}  // namespace
}  // namespace qtucli
