// The qtu-unit-sim program: first line, run time, signals and the JSON report.
#include <gtest/gtest.h>
#include <fcntl.h>
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
  // With `errorFile`, standard error goes to that file.
  explicit Program(std::vector<std::string> args, const std::string& errorFile = {}) {
    int out[2];
    if (::pipe(out) != 0) throw std::runtime_error("pipe");
    pid_ = ::fork();
    if (pid_ == 0) {
      if (!errorFile.empty()) {
        const int err = ::open(errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(err, STDERR_FILENO);
      }
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
  bool signaled() const { return signaled_; }
  // Exit status, or -1 when the program did not end within `limit`.
  int wait(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        waited_ = true;
        signaled_ = WIFSIGNALED(status);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(5ms);
    }
    return -1;
  }

 private:
  pid_t pid_ = -1;
  bool waited_ = false;
  bool signaled_ = false;
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
    EXPECT_EQ(p.wait(10s), 130);  // interrupted, after the report
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
  EXPECT_EQ(p.wait(10s), 130);
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
  EXPECT_EQ(first.wait(10s), 130);
}

}  // namespace

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Missing, malformed, out-of-range and oversized arguments and unusable
// paths: each ends at once with a message naming it and a status (64 for the
// command line, 1 for a file or socket), never by a signal, and leaves no
// output file behind.
TEST(Program, BadInputEndsWithAMessageAndAStatusAndLeavesNoFile) {
  const std::string folder = tempPath("qtu-sim-bad");
  std::filesystem::create_directories(folder);
  const std::string regular = folder + "/plain";
  std::ofstream(regular) << "x";
  const std::string errors = folder + "/stderr";
  const std::string report = folder + "/report.json";
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string message;
  };
  const Case cases[] = {
      {{"--channels", "0"}, 64, "--channels"},
      {{"--channels", "100000"}, 64, "--channels"},
      {{"--channels"}, 64, "--channels"},
      {{"--control-port", "70000"}, 64, "--control-port"},
      {{"--data-base-port", "-1"}, 64, "--data-base-port"},
      {{"--data-base-port", "65535", "--channels", "2"}, 64, "goes past port 65535"},
      {{"--for", "nan"}, 64, "--for"},
      {{"--for", "-1"}, 64, "--for"},
      {{"--capacity", "0"}, 64, "--capacity"},
      {{"--drain", "fast"}, 64, "fast"},
      {{"--drop-replies", "2"}, 64, "--drop-replies"},
      {{"--answer-with", "3"}, 64, "CMD=CODE"},
      {{"--answer-with", "0x10000=1"}, 64, "not a 16-bit code"},
      {{"--answer-with", std::string(100000, '7') + "=1"}, 64, "not a 16-bit code"},
      {{"--bind", "300.1.1.1"}, 64, "--bind needs an IPv4 address"},
      {{"--save-png", "12"}, 64, "--save-png"},
      {{"--report-every", "1"}, 64, "--report-every needs --report-json"},
      {{"--no-such-option"}, 64, "--no-such-option"},
      {{"--report-json", folder}, 1, "is a directory"},
      {{"--report-json", folder + "/missing/report.json"}, 1, "does not exist"},
      {{"--capture", folder}, 1, "is a directory"},
      {{"--save-frames", regular}, 1, "is not a directory"},
      {{"--save-frames", regular + "/frames"}, 1, "cannot create the folder"},
      // An address of no interface of this machine: the bind fails.
      {{"--bind", "10.255.255.254", "--report-json", report}, 1, "bind"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0] + (c.args.size() > 1 ? " " + c.args[1].substr(0, 40) : ""));
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"--for", "5", "--quiet"});
    Program p(args, errors);
    EXPECT_EQ(p.wait(10s), c.status);
    EXPECT_FALSE(p.signaled());
    const std::string text = ReadFile(errors);
    EXPECT_NE(text.find(c.message), std::string::npos) << text.substr(0, 300);
    EXPECT_FALSE(std::filesystem::exists(report));
    EXPECT_FALSE(std::filesystem::exists(report + ".part"));
  }
  Program version({"--version"});
  EXPECT_EQ(version.line().rfind("qtu-unit-sim ", 0), 0u);
  EXPECT_EQ(version.wait(10s), 0);
  std::filesystem::remove_all(folder);
}

// The report (also while running, with --report-every) is written beside
// its name and renamed: it is always whole, and no part is left behind.
TEST(Program, OutputsAppearWholeUnderTheirNames) {
  const std::string folder = tempPath("qtu-sim-out");
  std::filesystem::create_directories(folder);
  const std::string report = folder + "/report.json", capture = folder + "/unit.pcap";
  Program p({"--report-json", report, "--report-every", "0.1", "--capture", capture, "--quiet"});
  const Listening at = parseFirstLine(p.line());
  Host h;
  ASSERT_TRUE(h.ask(at.control, 0, 0x12, 1));
  for (int k = 0; k < 100 && !std::filesystem::exists(report); ++k) std::this_thread::sleep_for(20ms);
  ASSERT_TRUE(std::filesystem::exists(report));  // written while running
  EXPECT_NO_THROW(nlohmann::json::parse(ReadFile(report)));
  p.signal(SIGINT);
  EXPECT_EQ(p.wait(10s), 130);
  EXPECT_EQ(nlohmann::json::parse(ReadFile(report))["control"]["requests"], 1);
  EXPECT_GE(std::filesystem::file_size(capture), 24u + 2 * 16u);  // pcap header, a request and its reply
  EXPECT_FALSE(std::filesystem::exists(report + ".part"));
  std::filesystem::remove_all(folder);
}

}  // namespace
