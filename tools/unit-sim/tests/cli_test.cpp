// The qtu-unit-sim program: first line, run time, signals and the JSON report.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>

#include "host_side.h"

namespace {

using namespace hostside;
using namespace std::chrono_literals;

// Runs qtu-unit-sim with the given arguments; stdout is read through a pipe.
class Program {
 public:
  explicit Program(std::vector<std::string> args) {
    int out[2];
    if (::pipe(out) != 0) throw std::runtime_error("pipe");
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(out[1], STDOUT_FILENO);
      ::close(out[0]);
      ::close(out[1]);
      std::vector<char*> argv{const_cast<char*>(QTU_UNIT_SIM_BINARY)};
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(out[1]);
    stdout_ = ::fdopen(out[0], "r");
  }
  ~Program() {
    if (pid_ > 0 && !waited_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (stdout_ != nullptr) std::fclose(stdout_);
  }
  std::string line() {
    char buffer[512];
    if (std::fgets(buffer, sizeof buffer, stdout_) == nullptr) return {};
    return buffer;
  }
  std::string rest() {
    std::string s;
    for (std::string l = line(); !l.empty(); l = line()) s += l;
    return s;
  }
  void signal(int s) const { ::kill(pid_, s); }
  // Exit status, or -1 when the program did not end within `limit`.
  int wait(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        waited_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(5ms);
    }
    return -1;
  }

 private:
  pid_t pid_ = -1;
  bool waited_ = false;
  std::FILE* stdout_ = nullptr;
};

struct Listening {
  uint16_t control = 0, data = 0;
  int channels = 0;
};

Listening parseFirstLine(const std::string& line) {
  std::smatch m;
  static const std::regex pattern(R"(^listening control=127\.0\.0\.1:(\d+) data=127\.0\.0\.1:(\d+) channels=(\d+)\n$)");
  EXPECT_TRUE(std::regex_match(line, m, pattern)) << line;
  if (m.empty()) return {};
  return {static_cast<uint16_t>(std::stoi(m[1])), static_cast<uint16_t>(std::stoi(m[2])), std::stoi(m[3])};
}

std::string tempPath(const std::string& name) {
  return (std::filesystem::temp_directory_path() / (name + "-" + std::to_string(::getpid()))).string();
}

TEST(Program, RunsForTheGivenTimeAndReportsWhatTheHostSetAndSent) {
  const std::string report = tempPath("qtu-sim-report.json");
  std::filesystem::remove(report);
  Program p({"--channels", "2", "--capacity", "40", "--for", "1.5", "--report-json", report, "--quiet"});
  const Listening at = parseFirstLine(p.line());
  ASSERT_NE(at.control, 0);
  EXPECT_EQ(at.channels, 2);

  Host h;
  ASSERT_TRUE(h.ask(at.control, 1, 0x30, 1, geometry(16, 2)));
  ASSERT_TRUE(h.ask(at.control, 1, 0x22, 2, u64(1000)));
  ASSERT_TRUE(h.ask(at.control, 1, 0x24, 3, u64(9000)));
  ASSERT_TRUE(h.ask(at.control, 1, 0x20, 4, u64(250)));
  ASSERT_TRUE(h.ask(at.control, 1, 0x01, 5));
  uint16_t counter = 0;
  for (uint16_t frame = 0; frame < 3; ++frame)
    for (uint16_t line = 0; line < 2; ++line)
      h.send(dataPacket({frame, line, static_cast<uint8_t>(line ? 0xC0 : 0x40), counter++, 0, 0, Bytes(16, 1)}),
             static_cast<uint16_t>(at.data + 1));
  h.send(dataPacket({3, 0, 0x40, 9, 0, 0, Bytes(16, 1)}), static_cast<uint16_t>(at.data + 1));  // gap

  EXPECT_EQ(p.wait(10s), 0);
  const std::string summary = p.rest();
  EXPECT_NE(summary.find("channel 1: frames 3 complete"), std::string::npos) << summary;
  std::ifstream in(report);
  ASSERT_TRUE(in.good());
  const auto j = nlohmann::json::parse(in);
  ASSERT_EQ(j["channels"].size(), 2u);
  const auto& ch = j["channels"][1];
  EXPECT_EQ(ch["framesComplete"], 3);
  EXPECT_EQ(ch["framesIncomplete"], 1);  // frame 3 never ended
  EXPECT_EQ(ch["blocks"], 6);
  EXPECT_EQ(ch["blocksIncomplete"], 1);  // after the gap: not trusted
  EXPECT_EQ(ch["packets"], 7);
  EXPECT_EQ(ch["counterGaps"], 1);
  EXPECT_EQ(ch["headerErrors"], 0);
  EXPECT_EQ(ch["bytes"], 112);
  EXPECT_EQ(ch["replayTimes"]["startTime"], 1000);
  EXPECT_EQ(ch["replayTimes"]["stopTime"], 9000);
  EXPECT_EQ(ch["replayTimes"]["offset"], 250);
  EXPECT_EQ(ch["frameGeometry"]["lineSize"], 16);
  EXPECT_EQ(ch["frameGeometry"]["lineCount"], 2);
  EXPECT_EQ(ch["outputEnabled"], true);
  EXPECT_EQ(ch["capacity"], 40);
  EXPECT_EQ(j["channels"][0]["packets"], 0);
  EXPECT_EQ(j["control"]["port"], at.control);
  EXPECT_EQ(j["dataBasePort"], at.data);
  std::filesystem::remove(report);
}

TEST(Program, EndsOnSigtermAndSigintWithTheReport) {
  for (int sig : {SIGTERM, SIGINT}) {
    const std::string report = tempPath("qtu-sim-signal.json");
    std::filesystem::remove(report);
    Program p({"--report-json", report, "--drain", "100", "--status-period-ms", "5", "--no-status", "--quiet"});
    const Listening at = parseFirstLine(p.line());
    ASSERT_NE(at.control, 0);
    Host h;
    ASSERT_TRUE(h.ask(at.control, 0, 0x12, 1));
    EXPECT_FALSE(h.status(30ms).has_value());  // --no-status
    p.signal(sig);
    EXPECT_EQ(p.wait(10s), 0);
    std::ifstream in(report);
    ASSERT_TRUE(in.good());
    EXPECT_EQ(nlohmann::json::parse(in)["control"]["requests"], 1);
    std::filesystem::remove(report);
  }
}

TEST(Program, FaultOptionsReachTheUnit) {
  Program p({"--for", "5", "--answer-with", "0x03=0x8004", "--reply-delay-ms", "1", "--quiet"});
  const Listening at = parseFirstLine(p.line());
  Host h;
  auto r = h.ask(at.control, 0, 0x03, 1);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(le16(*r, 8), 0x8004);
  p.signal(SIGTERM);
  EXPECT_EQ(p.wait(10s), 0);
}

TEST(Program, RefusesBadOptionsAndBusyPorts) {
  for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
           {"--channels", "0"}, {"--drain", "fast"}, {"--answer-with", "3"}, {"--drop-replies", "2"}}) {
    Program p(args);
    const int status = p.wait(10s);
    EXPECT_NE(status, 0) << args[0];
    EXPECT_NE(status, -1) << args[0];
  }
  Program first({"--for", "5", "--quiet"});
  const Listening at = parseFirstLine(first.line());
  Program second({"--control-port", std::to_string(at.control), "--for", "5"});
  EXPECT_EQ(second.wait(10s), 1);
  first.signal(SIGTERM);
  EXPECT_EQ(first.wait(10s), 0);
}

}  // namespace
