// qtu-cli end to end: the commands run in-process against the emulated unit
// on 127.0.0.1 (free ports), and the built program once as a child process.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "cli_app.h"
#include "cli_run.h"
#include "format.h"
#include "qtu_sim/unit_sim.h"

namespace qtucli {
namespace {

using ::testing::HasSubstr;
using namespace std::chrono_literals;

std::string errorLine(const char* call, QZQTU_Error code) {
    return std::string("error: ") + call + ": " + QZQTU_ErrorToString(static_cast<uint32_t>(code)) + " (" +
           std::to_string(code) + ")";
}

class CliAgainstUnit : public ::testing::Test {
protected:
    void startUnit(qtusim::Config config = {}) {
        config.bind = "127.0.0.1";
        if (config.channels < 2) {
            config.channels = 2;
        }
        sim_ = std::make_unique<qtusim::UnitSim>(config);
        sim_->start();
    }
    void SetUp() override { startUnit(); }

    // Connection options of the running unit, then the command.
    CliRun run(std::vector<std::string> command, const std::atomic<bool>* interrupted = nullptr) {
        std::vector<std::string> args{"--control",     "127.0.0.1:" + std::to_string(sim_->controlPort()),
                                      "--data",        "127.0.0.1:" + std::to_string(sim_->dataBasePort()),
                                      "--timeout-get", "1000"};
        args.insert(args.end(), command.begin(), command.end());
        return runWith(args, interrupted);
    }

    bool sawCommand(uint16_t command) const {
        for (const auto& datagram : sim_->controlLog()) {
            if (datagram.size() >= 10 && (datagram[8] | datagram[9] << 8) == command) {
                return true;
            }
        }
        return false;
    }

    std::unique_ptr<qtusim::UnitSim> sim_;
};

TEST_F(CliAgainstUnit, SetTimesThenInfoShowsWhatTheUnitHolds) {
    const CliRun set = run({"set-times", "--start", "5000", "--offset", "100", "--stop", "9000"});
    ASSERT_EQ(set.status, 0) << set.err;
    EXPECT_EQ(set.out, "start time  5000\noffset      100\nstop time   9000\n");
    const auto unit = sim_->channel(0);
    EXPECT_EQ(unit.startTime, 5000u);
    EXPECT_EQ(unit.offset, 100u);
    EXPECT_EQ(unit.stopTime, 9000u);

    ASSERT_EQ(run({"stream", "--line-size", "64", "--line-count", "3", "--frames", "1"}).status, 0);
    const CliRun info = run({"info"});
    ASSERT_EQ(info.status, 0) << info.err;
    EXPECT_EQ(info.err, "");
    EXPECT_THAT(info.out, HasSubstr("state       available\n"));
    EXPECT_THAT(info.out, HasSubstr("frame size  64 bytes x 3 lines (192 bytes)\n"));
    EXPECT_THAT(info.out, HasSubstr("start time  5000\noffset      100\nstop time   9000\n"));
    EXPECT_THAT(info.out, HasSubstr("status      flags 0 0 0 0  free buffers 64"));

    const CliRun json = run({"--json", "info"});
    ASSERT_EQ(json.status, 0) << json.err;
    const auto report = nlohmann::json::parse(json.out);
    EXPECT_EQ(report["times"]["stop"], 9000);
    EXPECT_EQ(report["frameSize"]["lineCount"], 3);
    EXPECT_EQ(report["status"]["freeBuffers"], 64);
}

TEST_F(CliAgainstUnit, ExplicitZeroOffsetAndStopAreSentToo) {
    ASSERT_EQ(run({"set-times", "--start", "10", "--offset", "7", "--stop", "20"}).status, 0);
    const CliRun zero = run({"set-times", "--start", "30", "--offset", "0", "--stop", "0"});
    ASSERT_EQ(zero.status, 0) << zero.err;
    EXPECT_EQ(zero.out, "start time  30\noffset      0\nstop time   0\n");
    const CliRun stopOnly = run({"set-times", "--stop", "99"});
    ASSERT_EQ(stopOnly.status, 0) << stopOnly.err;
    EXPECT_EQ(sim_->channel(0).stopTime, 99u);
    EXPECT_EQ(sim_->channel(0).startTime, 30u);
}

TEST_F(CliAgainstUnit, StopBeforeStartIsRefusedWithTheLibraryText) {
    const CliRun r = run({"set-times", "--start", "5000", "--stop", "4000"});
    EXPECT_EQ(r.status, QZQTU_INVALID_TIMING);
    EXPECT_THAT(r.err, HasSubstr(errorLine("QZQTU_SetReplayStartTime", QZQTU_INVALID_TIMING)));
}

TEST_F(CliAgainstUnit, StreamDeliversEveryFrameInOrder) {
    const CliRun r = run({"--max-payload", "1400", "stream", "--line-size", "3000", "--line-count", "20", "--frames",
                          "60", "--first-frame", "65530"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("frames        60\n"));
    EXPECT_THAT(r.out, HasSubstr("blocks        1200\n"));
    EXPECT_THAT(r.out, HasSubstr(std::string("results       0 (") + QZQTU_ErrorToString(0) + "): "));
    ASSERT_TRUE(sim_->waitFor(0, [](const qtusim::ChannelReport& c) { return c.framesComplete >= 60; }, 5s));
    const auto unit = sim_->channel(0);
    EXPECT_EQ(unit.framesComplete, 60u);
    EXPECT_EQ(unit.framesIncomplete, 0u);
    EXPECT_EQ(unit.counterGaps, 0u);
    EXPECT_EQ(unit.headerErrors, 0u);
    EXPECT_EQ(unit.packets, 60u * 20u * 3u);  // 3000 bytes: 1400 + 1400 + 200
    EXPECT_EQ(unit.lineSize, 3000);
    EXPECT_EQ(unit.lineCount, 20);
}

TEST_F(CliAgainstUnit, SecondStreamAfterTheUnitCounterPassedHalfTheRangeStreamsToo) {
    // The first stream leaves the unit's packet counter at 42299; the second
    // stream's channel starts again at 0 and must not read that counter as its
    // own (it once stalled with 11 for good).
    const std::vector<std::string> stream{"--max-payload", "1400", "--timeout-stream", "200", "stream",
                                          "--line-size", "65535", "--line-count", "100", "--stall-timeout", "2000",
                                          "--frames"};
    auto first = stream;
    first.push_back("9");  // 900 blocks of 47 packets
    const CliRun r1 = run(first);
    ASSERT_EQ(r1.status, 0) << r1.err;
    ASSERT_TRUE(sim_->waitFor(0, [](const qtusim::ChannelReport& c) { return c.framesComplete >= 9; }, 10s));
    EXPECT_EQ(sim_->channel(0).lastPacketCounter, 9 * 100 * 47 - 1);

    auto second = stream;
    second.push_back("3");
    const CliRun r2 = run(second);
    ASSERT_EQ(r2.status, 0) << r2.err;
    EXPECT_THAT(r2.out, HasSubstr("frames        3\n"));
    ASSERT_TRUE(sim_->waitFor(0, [](const qtusim::ChannelReport& c) { return c.packets >= 12 * 100 * 47; }, 10s));
    const auto unit = sim_->channel(0);
    EXPECT_EQ(unit.packets, 12u * 100 * 47);
    EXPECT_EQ(unit.headerErrors, 0u);
    EXPECT_EQ(unit.lastPacketCounter, 3 * 100 * 47 - 1);
    // The second stream's InitOutputChannel starts a new stream at the unit:
    // its counter from 0 is no gap, and every frame of both runs is whole.
    EXPECT_EQ(unit.counterGaps, 0u);
    EXPECT_EQ(unit.framesComplete, 12u);
    EXPECT_EQ(unit.framesIncomplete, 0u);
}

TEST_F(CliAgainstUnit, StreamSummaryAsJson) {
    const CliRun r = run({"--json", "stream", "--width", "320", "--height", "24", "--bpp", "8", "--seconds", "0.3",
                          "--fps", "50"});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto summary = nlohmann::json::parse(r.out);
    const uint64_t frames = summary["frames"];
    EXPECT_GE(frames, 5u);
    EXPECT_LE(frames, 16u);  // paced at 50 per second for 0.3 s
    EXPECT_EQ(summary["blocks"], frames * 24);
    EXPECT_EQ(summary["bytes"], frames * 24 * 320);
    EXPECT_EQ(summary["results"]["0"], frames * 24);
    EXPECT_EQ(summary["lineSize"], 320);
    ASSERT_TRUE(sim_->waitFor(0, [&](const qtusim::ChannelReport& c) { return c.framesComplete >= frames; }, 5s));
}

TEST_F(CliAgainstUnit, FramesFromAFileArriveInTurn) {
    const auto dir = std::filesystem::temp_directory_path() / ("qtu_cli_e2e_" + std::to_string(getpid()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir / "saved");
    qtusim::Config config;
    config.saveFramesDir = (dir / "saved").string();
    sim_.reset();
    startUnit(config);

    // Three frames of 4 lines x 100 bytes, each filled with its own byte,
    // plus a partial frame that must not be sent.
    const auto file = dir / "frames.raw";
    {
        std::ofstream out(file, std::ios::binary);
        for (char fill : {'a', 'b', 'c'}) {
            out << std::string(400, fill);
        }
        out << std::string(150, 'z');
    }
    const CliRun r = run({"stream", "--file", file.string(), "--line-size", "100", "--line-count", "4", "--frames",
                          "5", "--channel", "1"});
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_TRUE(sim_->waitFor(1, [](const qtusim::ChannelReport& c) { return c.framesComplete >= 5; }, 5s));
    sim_->stop();
    std::vector<std::string> saved;
    for (const auto& entry : std::filesystem::directory_iterator(dir / "saved")) {
        saved.push_back(entry.path().filename().string());
    }
    std::sort(saved.begin(), saved.end());
    ASSERT_EQ(saved.size(), 5u);
    std::string fills;
    for (const auto& name : saved) {
        std::ifstream in(dir / "saved" / name, std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        ASSERT_EQ(bytes, std::string(400, bytes.empty() ? '?' : bytes[0])) << name;
        fills += bytes[0];
    }
    EXPECT_EQ(fills, "abcab");
    std::filesystem::remove_all(dir);
}

TEST_F(CliAgainstUnit, FileShorterThanAFrameIsRefused) {
    const auto file = std::filesystem::temp_directory_path() / ("qtu_cli_short_" + std::to_string(getpid()));
    { std::ofstream(file, std::ios::binary) << std::string(99, 'x'); }
    const CliRun r = run({"stream", "--file", file.string(), "--line-size", "100", "--line-count", "1"});
    std::filesystem::remove(file);
    EXPECT_EQ(r.status, kExitNoInput);
    EXPECT_THAT(r.err, HasSubstr("holds 99 bytes, less than one frame of 100"));
}

TEST_F(CliAgainstUnit, ResetAndClearFlagsReachTheUnit) {
    const CliRun reset = run({"reset"});
    ASSERT_EQ(reset.status, 0) << reset.err;
    EXPECT_THAT(reset.out, HasSubstr("reset on channel 0"));
    EXPECT_EQ(sim_->channel(0).resets, 1u);
    const CliRun clear = run({"clear-flags", "--channel", "1"});
    ASSERT_EQ(clear.status, 0) << clear.err;
    EXPECT_THAT(clear.out, HasSubstr("status flags cleared on channel 1"));
    EXPECT_TRUE(sawCommand(0x12));
}

TEST_F(CliAgainstUnit, StatusWatchPrintsOneLinePerInterval) {
    const CliRun r = run({"status", "--watch", "--count", "3", "--interval", "20"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::istringstream lines(r.out);
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        EXPECT_THAT(line, ::testing::MatchesRegex("flags [01] [01] [01] [01]  free buffers 64  time [0-9]+"));
        ++count;
    }
    EXPECT_EQ(count, 3);
}

TEST_F(CliAgainstUnit, InterruptEndsTheStreamBetweenFrames) {
    std::atomic<bool> interrupted{false};
    std::thread user([&] {
        sim_->waitFor(0, [](const qtusim::ChannelReport& c) { return c.framesComplete >= 3; }, 10s);
        interrupted = true;
    });
    const CliRun r = run({"--json", "stream", "--line-size", "1000", "--line-count", "10", "--frames", "100000000",
                          "--fps", "200"},
                         &interrupted);
    user.join();
    ASSERT_EQ(r.status, kExitInterrupted) << r.err;
    const uint64_t frames = nlohmann::json::parse(r.out)["frames"];
    EXPECT_GE(frames, 3u);
    ASSERT_TRUE(sim_->waitFor(0, [&](const qtusim::ChannelReport& c) { return c.framesComplete >= frames; }, 5s));
    EXPECT_EQ(sim_->channel(0).framesIncomplete, 0u);
}

TEST_F(CliAgainstUnit, ChannelTheUnitDoesNotOffer) {
    const CliRun r = run({"info", "--channel", "7", "--status-wait", "0"});
    EXPECT_EQ(r.status, QZQTU_CHANNEL_NOT_AVAILABLE);
    EXPECT_THAT(r.err, HasSubstr(errorLine("QZQTU_IsOutputChannelAvailable", QZQTU_CHANNEL_NOT_AVAILABLE)));
    EXPECT_THAT(r.out, HasSubstr(std::string("state       - (") + QZQTU_ErrorToString(4) + ")"));
}

TEST_F(CliAgainstUnit, WrongReplyCodeIsAnInternalError) {
    qtusim::Faults faults;
    faults.answerWith[0x31] = 0x8005;
    sim_->setFaults(faults);
    const CliRun r = run({"info"});
    EXPECT_EQ(r.status, QZQTU_INTERNAL_ERROR);
    EXPECT_THAT(r.err, HasSubstr(errorLine("QZQTU_GetFrameSize", QZQTU_INTERNAL_ERROR)));
    EXPECT_THAT(r.out, HasSubstr("start time  0"));  // the other fields are still shown
}

TEST_F(CliAgainstUnit, NoCreditEndsTheStreamAfterTheStallTime) {
    qtusim::Faults faults;
    faults.stopStatus = true;
    sim_->setFaults(faults);
    const CliRun r = run({"--timeout-stream", "20", "stream", "--line-size", "100", "--line-count", "2",
                          "--stall-timeout", "200"});
    EXPECT_EQ(r.status, QZQTU_TIMEOUT);
    EXPECT_THAT(r.err, HasSubstr("no buffer space in the unit for 200 ms"));
    EXPECT_THAT(r.err, HasSubstr(errorLine("QZQTU_ReplayStreamData", QZQTU_TIMEOUT)));
    EXPECT_THAT(r.out, HasSubstr("frames        0\n"));
    EXPECT_THAT(r.out, ::testing::ContainsRegex("credit waits  [1-9]"));
    EXPECT_EQ(sim_->channel(0).packets, 0u);
}

TEST_F(CliAgainstUnit, PingReachesBothLoopbackInterfaces) {
    const CliRun r = run({"ping"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr("control 127.0.0.1 and data 127.0.0.1 answer"));
    const CliRun json = run({"--json", "ping"});
    ASSERT_EQ(json.status, 0) << json.err;
    // The library may print its own reachability lines first; the JSON is the last line.
    const auto last = json.out.substr(json.out.rfind('{'));
    EXPECT_EQ(nlohmann::json::parse(last)["text"], QZQTU_ErrorToString(0));
}

TEST(CliWithoutUnit, SilentUnitTimesOut) {
    // A bound socket that never answers stands in for a unit that is off.
    const int silent = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(silent, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t length = sizeof address;
    getsockname(silent, reinterpret_cast<sockaddr*>(&address), &length);
    const std::string endpoint = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));

    const CliRun info = runWith({"--control", endpoint, "--timeout-get", "30", "info", "--status-wait", "0"});
    EXPECT_EQ(info.status, QZQTU_TIMEOUT);
    for (const char* call : {"QZQTU_IsOutputChannelAvailable", "QZQTU_GetFrameSize", "QZQTU_GetReplayStartTime"}) {
        EXPECT_THAT(info.err, HasSubstr(errorLine(call, QZQTU_TIMEOUT)));
    }
    EXPECT_THAT(info.err, HasSubstr(errorLine("QZQTU_GetCurrentState", QZQTU_DATA_NOT_AVAILABLE)));

    const CliRun stream = runWith({"--control", endpoint, "--timeout-get", "30", "stream"});
    EXPECT_EQ(stream.status, QZQTU_TIMEOUT);
    EXPECT_THAT(stream.err, HasSubstr(errorLine("QZQTU_InitOutputChannel", QZQTU_TIMEOUT)));
    close(silent);
}

TEST(CliProgram, RunsAsAChildProcess) {
    qtusim::Config config;
    config.bind = "127.0.0.1";
    qtusim::UnitSim sim(config);
    sim.start();
    const std::string command = std::string(QTU_CLI_PATH) + " --json --control 127.0.0.1:" +
                                std::to_string(sim.controlPort()) + " --data 127.0.0.1:" +
                                std::to_string(sim.dataBasePort()) +
                                " stream --line-size 512 --line-count 8 --frames 4 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char buffer[4096];
    while (size_t n = fread(buffer, 1, sizeof buffer, pipe)) {
        output.append(buffer, n);
    }
    const int status = pclose(pipe);
    ASSERT_TRUE(WIFEXITED(status)) << output;
    ASSERT_EQ(WEXITSTATUS(status), 0) << output;
    EXPECT_EQ(nlohmann::json::parse(output)["frames"], 4);
    EXPECT_TRUE(sim.waitFor(0, [](const qtusim::ChannelReport& c) { return c.framesComplete == 4; }, 5s));
}

}  // namespace
}  // namespace qtucli
