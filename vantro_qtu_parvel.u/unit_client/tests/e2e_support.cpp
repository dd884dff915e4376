#include "e2e_support.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

namespace unit_client_test {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::vector<std::string> EngineRun::Lines() const {
  std::vector<std::string> lines;
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

int EngineRun::Count(const std::string& text) const {
  int count = 0;
  for (const std::string& line : Lines()) count += line.find(text) != std::string::npos ? 1 : 0;
  return count;
}

long long EngineRun::FramesSent(const std::string& client) const {
  const std::string key = "component " + client + ": [Death]Sent ";
  for (const std::string& line : Lines()) {
    const std::size_t at = line.find(key);
    if (at != std::string::npos) return std::atoll(line.c_str() + at + key.size());
  }
  return -1;
}

std::vector<DumpedElement> ReadDump(const std::string& directory) {
  std::vector<DumpedElement> elements;
  std::ifstream index(directory + "/index.txt");
  long long number = 0, timestamp = 0, size = 0;
  while (index >> number >> timestamp >> size) {
    char name[16];
    std::snprintf(name, sizeof name, "%06lld.bin", number);
    std::ifstream file(directory + "/" + name, std::ios::binary);
    DumpedElement element;
    element.timestamp = timestamp;
    element.bytes.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    elements.push_back(std::move(element));
  }
  return elements;
}

ScratchDir::ScratchDir() {
  std::string pattern = (fs::temp_directory_path() / "unit-client-XXXXXX").string();
  path_ = ::mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  if (!path_.empty()) fs::remove_all(path_, ignored);
}

ClientRun::ClientRun(qtusim::Config config, bool keepPayloads) {
  config.bind = "127.0.0.1";
  unit_ = std::make_unique<qtusim::UnitSim>(config);
  unit_->start();
  tap_ = std::make_unique<DataTap>(unit_->dataBasePort(), keepPayloads);
}

nlohmann::json ClientRun::ClientProperties(nlohmann::json more) const {
  nlohmann::json properties = {
      {"QtuControlIP", "127.0.0.1"},        {"QtuControlPort", unit_->controlPort()},
      {"SensorDataIP", "127.0.0.1"},        {"SensorDataBasePort", tap_->Port()},
      {"LocalControlIP", "127.0.0.1"},      {"LocalControlPort", 0},
      {"TimeoutGet", 200000},
  };
  properties.update(more);
  return properties;
}

EngineRun ClientRun::Run(nlohmann::json diagram, double seconds, std::chrono::seconds limit) {
  if (!diagram.contains("packages")) diagram["packages"] = {"vantro_qtu_parvel.pck", "vtro_testkit.pck"};
  if (!diagram.contains("settings")) diagram["settings"] = {{"Engine.shutdownTimeout", 4000000}};
  const std::string file = scratch_ / ("diagram" + std::to_string(runs_) + ".json");
  const std::string output = scratch_ / ("engine" + std::to_string(runs_) + ".out");
  ++runs_;
  std::ofstream(file) << diagram.dump(2);
  const std::string forSeconds = std::to_string(seconds);

  EngineRun run;
  const auto start = Clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    std::FILE* out = std::fopen(output.c_str(), "w");
    if (out != nullptr) {
      dup2(fileno(out), STDOUT_FILENO);
      dup2(fileno(out), STDERR_FILENO);
    }
    execl(VTRO_ENGINE_BIN, VTRO_ENGINE_BIN, "run", file.c_str(), "--for", forSeconds.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  for (;;) {
    if (waitpid(pid, &status, WNOHANG) == pid) break;
    if (Clock::now() - start > limit) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      ADD_FAILURE() << "vtro-engine run did not end within " << limit.count() << " s";
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  std::ifstream in(output);
  run.out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  // The last datagrams are in the tap's or the unit's queue once the sends returned.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  return run;
}

nlohmann::json Component(const std::string& model, const std::string& name, nlohmann::json properties) {
  return {{"model", model}, {"name", name}, {"properties", std::move(properties)}};
}

nlohmann::json Connection(const std::string& from, const std::string& to) { return {{"from", from}, {"to", to}}; }

std::vector<std::vector<TappedBlock>> Frames(const std::vector<TappedBlock>& blocks) {
  std::vector<std::vector<TappedBlock>> frames;
  for (const TappedBlock& block : blocks) {
    if (frames.empty() || frames.back().front().frameCounter != block.frameCounter) frames.emplace_back();
    frames.back().push_back(block);
  }
  return frames;
}

}  // namespace unit_client_test
