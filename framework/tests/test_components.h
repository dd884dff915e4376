// Components for the framework tests: their Birth, Core, Death, BeforeDeath
// and Dynamic run hooks set by each test, and they log the calls.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fake_engine.h"
#include "vtro/VTROComponent.h"

namespace vtro_test {

class TestComponent : public VTROComponent {
 public:
  using Hook = std::function<void(TestComponent&)>;

  TestComponent(const char* name, const VTROComponentDefinition* definition) : VTROComponent(name, definition) {}

  Hook birth, core, death, beforeDeath, dynamic;

  void Birth() override {
    Log("Birth");
    if (birth) birth(*this);
  }
  void Core() override {
    ++coreCalls;
    if (core) {
      core(*this);
    } else {
      Rest(1000);
    }
  }
  void BeforeDeath() override {
    Log("BeforeDeath");
    if (beforeDeath) beforeDeath(*this);
  }
  void Death() override {
    Log("Death");
    if (death) death(*this);
  }
  void Dynamic() override {
    Log("Dynamic");
    if (dynamic) {
      dynamic(*this);
    } else {
      VTROComponent::Dynamic();
    }
  }

  void Log(const std::string& entry) {
    std::lock_guard<std::mutex> lock(m_logMutex);
    m_log.push_back(entry);
  }
  std::vector<std::string> LogEntries() {
    std::lock_guard<std::mutex> lock(m_logMutex);
    return m_log;
  }
  // Exposed for tests.
  using VTROComponent::ProcessInput;
  std::int32_t RunningThreads() const { return m_runningThreadCount.load(); }
  // Whether another thread could take the lock right now (what the calling
  // thread holds itself counts as taken).
  bool DynamicLockFreeForOthers() { return FreeForOthers(m_dynamicLock); }
  bool RunLockFreeForOthers() { return FreeForOthers(m_runLock); }
  bool ModuleLockFreeForOthers() { return FreeForOthers(m_moduleLock); }

  std::atomic<int> coreCalls{0};

 private:
  static bool FreeForOthers(VTROMutex& mutex) {
    bool free = false;
    std::thread probe([&] {
      free = mutex.TryLock();
      if (free) mutex.Unlock();
    });
    probe.join();
    return free;
  }

  std::mutex m_logMutex;
  std::vector<std::string> m_log;
};

// A definition record with the given tables; counts -1 mean every entry.
struct TestDefinition {
  explicit TestDefinition(const char* name = "TestModel", std::uint32_t threading = VTRO_THREADING_THREADED,
                          std::uint8_t threaded = 1) {
    record = VTROComponentDefinition{};
    record.name = name;
    record.version = "9.8.7";
    record.factory = [](const char* instance, const VTROComponentDefinition* definition) -> VTROComponent* {
      return new TestComponent(instance, definition);
    };
    record.inputCount = -1;
    record.outputCount = -1;
    record.propertyCount = -1;
    record.actionCount = -1;
    record.inputs = emptyInputs;
    record.outputs = emptyOutputs;
    record.properties = emptyProperties;
    record.actions = emptyActions;
    record.defaultPriority = 128;
    record.threadingModel = threading;
    record.defaultThreaded = threaded;
  }
  VTROComponentDefinition record;
  VTROInputDefinition emptyInputs[1] = {};
  VTROOutputDefinition emptyOutputs[1] = {};
  VTROPropertyDefinition emptyProperties[1] = {};
  VTROActionDefinition emptyActions[1] = {};
};

}  // namespace vtro_test
