#include "client_rig.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace unit_client_test {

vtro_engine::Engine& TheEngine() {
  static std::ostringstream* out = new std::ostringstream;
  static vtro_engine::Engine* engine = [] {
    auto* e = new vtro_engine::Engine(*out);
    std::string error;
    if (e->LoadPackage(VTRO_PACKAGE_FILE, error) == nullptr) ADD_FAILURE() << error;
#ifdef VTRO_TESTKIT_FILE
    if (e->LoadPackage(VTRO_TESTKIT_FILE, error) == nullptr) ADD_FAILURE() << error;
#endif
    return e;
  }();
  return *engine;
}

ClientRig::ClientRig(qtusim::Config config, bool tap) {
  config.bind = "127.0.0.1";
  unit_ = std::make_unique<qtusim::UnitSim>(config);
  unit_->start();
  if (tap) tap_ = std::make_unique<DataTap>(unit_->dataBasePort(), true);
  std::string pattern = (std::filesystem::temp_directory_path() / "unit-client-XXXXXX").string();
  if (::mkdtemp(pattern.data()) != nullptr) scratch_ = pattern;
  firstReport_ = TheEngine().Reports().Reports().size();
}

ClientRig::~ClientRig() {
  for (auto name = created_.rbegin(); name != created_.rend(); ++name) TheEngine().Destroy(*name);
  unit_->stop();
  tap_.reset();
  std::error_code ignored;
  if (!scratch_.empty()) std::filesystem::remove_all(scratch_, ignored);
}

void ClientRig::CreateModel(const std::string& model, const std::string& name, const Properties& properties) {
  std::string error;
  ASSERT_NE(TheEngine().Create(model, name, error), nullptr) << error;
  created_.push_back(name);
  for (const auto& [property, value] : properties) {
    ASSERT_TRUE(TheEngine().SetProperty(name, property, value, error)) << property << ": " << error;
  }
}

void ClientRig::Connect(const std::string& from, const std::string& to) {
  const auto split = [](const std::string& end) {
    const std::size_t dot = end.find('.');
    return std::make_pair(end.substr(0, dot), end.substr(dot + 1));
  };
  const auto [source, outputName] = split(from);
  const auto [sink, inputName] = split(to);
  VTROComponent* producer = TheEngine().Find(source);
  VTROComponent* consumer = TheEngine().Find(sink);
  ASSERT_TRUE(producer != nullptr && consumer != nullptr) << from << " -> " << to;
  VTROOutput* output = nullptr;
  for (std::int32_t i = 0; i < producer->EngineOutputCount(); ++i) {
    if (outputName == producer->EngineOutputAt(i)->ShortName()) output = producer->EngineOutputAt(i);
  }
  VTROInput* input = nullptr;
  for (std::int32_t i = 0; i < consumer->EngineInputCount(); ++i) {
    if (inputName == consumer->EngineInputAt(i)->ShortName()) input = consumer->EngineInputAt(i);
  }
  ASSERT_TRUE(output != nullptr && input != nullptr) << from << " -> " << to;
  ASSERT_TRUE(TheEngine().Connect(output, input)) << from << " -> " << to;
}

void ClientRig::RunFor(const std::vector<std::string>& names, double seconds) {
  for (const std::string& name : names) EXPECT_TRUE(TheEngine().Start(name)) << name;
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  // The last one (the source) stops first; the others then take what it wrote.
  for (auto name = names.rbegin(); name != names.rend(); ++name) {
    TheEngine().Stop(*name);
    if (name == names.rbegin()) std::this_thread::sleep_for(std::chrono::milliseconds(400));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
}

void ClientRig::Create(const std::string& name, const Properties& properties) {
  std::string error;
  ASSERT_NE(TheEngine().Create("QzQtuUnitClient", name, error), nullptr) << error;
  created_.push_back(name);
  const std::uint16_t dataPort = tap_ ? tap_->Port() : unit_->dataBasePort();
  std::vector<std::pair<std::string, std::string>> all = {
      {"QtuControlIP", "127.0.0.1"},
      {"QtuControlPort", std::to_string(unit_->controlPort())},
      {"SensorDataIP", "127.0.0.1"},
      {"SensorDataBasePort", std::to_string(dataPort)},
      {"LocalControlIP", "127.0.0.1"},
      {"LocalControlPort", "0"},
      {"TimeoutGet", "500000"},
  };
  all.insert(all.end(), properties.begin(), properties.end());
  for (const auto& [property, value] : all) {
    ASSERT_TRUE(TheEngine().SetProperty(name, property, value, error)) << property << ": " << error;
  }
}

bool ClientRig::Start(const std::string& name) {
  if (!TheEngine().Start(name)) return false;
  VTROComponent* component = TheEngine().Find(name);
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (std::chrono::steady_clock::now() < end) {
    if (component->EngineBirthEvent()->IsSet()) return true;
    if ((component->EngineState() & VTRO_STATE_DEAD) != 0) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ADD_FAILURE() << name << ": Birth did not end within 5 s";
  return false;
}

bool ClientRig::Act(const std::string& name, const std::string& action) {
  std::string error;
  const bool done = TheEngine().TriggerAction(name, action, error);
  EXPECT_TRUE(done) << error;
  return done;
}

std::vector<std::pair<int, std::string>> ClientRig::Reports(const std::string& name) const {
  const std::string prefix = "component " + name + ": ";
  std::vector<std::pair<int, std::string>> out;
  const auto all = TheEngine().Reports().Reports();
  for (std::size_t i = firstReport_; i < all.size(); ++i) {
    if (all[i].text.rfind(prefix, 0) == 0) {
      out.emplace_back(static_cast<int>(all[i].kind), all[i].text.substr(prefix.size()));
    }
  }
  return out;
}

bool ClientRig::HasReport(const std::string& name, int kind, const std::string& text) const {
  for (const auto& [k, t] : Reports(name)) {
    if (k == kind && t == text) return true;
  }
  return false;
}

int ClientRig::CountReports(const std::string& name, const std::string& text) const {
  int count = 0;
  for (const auto& report : Reports(name)) count += report.second.find(text) != std::string::npos ? 1 : 0;
  return count;
}

std::vector<std::uint16_t> ClientRig::Commands(int channel) const {
  std::vector<std::uint16_t> commands;
  for (const auto& datagram : unit_->controlLog()) {
    if (datagram.size() >= 12 && datagram[7] == channel) {
      commands.push_back(static_cast<std::uint16_t>(datagram[8] | (datagram[9] << 8)));
    }
  }
  return commands;
}

long long FramesSent(const ClientRig& rig, const std::string& name) {
  const std::string key = "[Death]Sent ";
  for (const auto& report : rig.Reports(name)) {
    if (report.second.rfind(key, 0) == 0) return std::atoll(report.second.c_str() + key.size());
  }
  return -1;
}

std::vector<DumpedElement> ReadDump(const std::string& directory) {
  std::vector<DumpedElement> elements;
  std::ifstream index(directory + "/index.txt");
  long long number = 0, timestamp = 0, size = 0;
  while (index >> number >> timestamp >> size) {
    char name[32];
    std::snprintf(name, sizeof name, "%06lld.bin", number);
    std::ifstream file(directory + "/" + name, std::ios::binary);
    DumpedElement element;
    element.timestamp = timestamp;
    element.bytes.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    elements.push_back(std::move(element));
  }
  return elements;
}

std::vector<std::vector<TappedBlock>> Frames(const std::vector<TappedBlock>& blocks) {
  std::vector<std::vector<TappedBlock>> frames;
  for (const TappedBlock& block : blocks) {
    if (frames.empty() || frames.back().front().frameCounter != block.frameCounter) frames.emplace_back();
    frames.back().push_back(block);
  }
  return frames;
}

}  // namespace unit_client_test
