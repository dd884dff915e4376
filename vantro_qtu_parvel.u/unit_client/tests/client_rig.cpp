#include "client_rig.h"

#include <gtest/gtest.h>

#include <sstream>
#include <thread>

namespace unit_client_test {

vtro_engine::Engine& TheEngine() {
  static std::ostringstream* out = new std::ostringstream;
  static vtro_engine::Engine* engine = [] {
    auto* e = new vtro_engine::Engine(*out);
    std::string error;
    if (e->LoadPackage(VTRO_PACKAGE_FILE, error) == nullptr) ADD_FAILURE() << error;
    return e;
  }();
  return *engine;
}

ClientRig::ClientRig(qtusim::Config config) {
  config.bind = "127.0.0.1";
  unit_ = std::make_unique<qtusim::UnitSim>(config);
  unit_->start();
  firstReport_ = TheEngine().Reports().Reports().size();
}

ClientRig::~ClientRig() {
  for (const std::string& name : created_) TheEngine().Destroy(name);
  unit_->stop();
}

void ClientRig::Create(const std::string& name, const std::vector<std::pair<std::string, std::string>>& properties) {
  std::string error;
  ASSERT_NE(TheEngine().Create("QzQtuUnitClient", name, error), nullptr) << error;
  created_.push_back(name);
  std::vector<std::pair<std::string, std::string>> all = {
      {"QtuControlIP", "127.0.0.1"},
      {"QtuControlPort", std::to_string(unit_->controlPort())},
      {"SensorDataIP", "127.0.0.1"},
      {"SensorDataBasePort", std::to_string(unit_->dataBasePort())},
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

bool ClientRig::WaitForReport(const std::string& name, const std::string& text,
                              std::chrono::milliseconds limit) const {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (CountReports(name, text) == 0) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
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

}  // namespace unit_client_test
