// The engine: implements the engine interface that packages call, loads
// packages, creates component instances through their factories, sets
// properties, starts and stops components and runs their threads.
//
// One Engine per process: a package keeps the first engine it was initialised
// with for as long as it is loaded, and packages stay loaded until the process
// ends (detached component threads may still be returning through package
// code when the engine is torn down).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <iosfwd>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "connections.h"
#include "delivery.h"
#include "engine_clock.h"
#include "engine_settings.h"
#include "package.h"
#include "reporter.h"
#include "timer_service.h"
#include "vtro/VTROComponent.h"
#include "vtro/VTROEngineInterface.h"

namespace vtro_engine {

// An instance name the engine accepts: ^[a-zA-Z][a-zA-Z_0-9]*$.
bool ValidInstanceName(const std::string& name);

class Engine final : public VTROEngineInterface {
 public:
  explicit Engine(std::ostream& out);
  ~Engine() override;

  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  EngineClock& Clock() { return clock_; }
  EngineSettings& Settings() { return settings_; }
  Reporter& Reports() { return reporter_; }
  SymbolRegistry& Symbols() { return symbols_; }
  ConnectionTable& Connections() { return connections_; }
  DeliveryQueue& Delivery() { return delivery_; }

  // Loads a package (once per path); null with `error` set on failure.
  Package* LoadPackage(const std::string& path, std::string& error);
  const ComponentModel* FindModel(const std::string& model, Package** package = nullptr) const;

  // Creates an instance of `model` named `name` (unique, a valid name).
  VTROComponent* Create(const std::string& model, const std::string& name, std::string& error);
  VTROComponent* Find(const std::string& name) const;
  std::vector<std::string> InstanceNames() const;

  // Sets a property of an instance from text, typed by the property's type.
  // False with `error` set when the property is unknown, the text does not
  // parse or is longer than kMaxPropertyText, or the component refused (it
  // threw, answered false or reported an error while setting; its report
  // has been sent already).
  bool SetProperty(const std::string& instance, const std::string& property, const std::string& text,
                   std::string& error);
  // Triggers an action; false when unknown, when it raised or when it
  // reported an error while running (its report has been sent already).
  bool TriggerAction(const std::string& instance, const std::string& action, std::string& error);

  // Start sequence; false when the component refused to start.
  bool Start(const std::string& name);
  // Stop sequence; returns once the component is dead (or its limit passed).
  void Stop(const std::string& name);
  // Runs one sequential step of `name` for its input `input` (sequential components).
  bool Step(const std::string& name, int32_t input, std::string& error);
  // Destroys an instance (stopping it first when it still runs).
  void Destroy(const std::string& name);
  // Stops and destroys every instance.
  void DestroyAll();

  // An input or output of an instance by short name; null when absent.
  VTROInput* FindInput(const std::string& instance, const std::string& input) const;
  VTROOutput* FindOutput(const std::string& instance, const std::string& output) const;
  // Short names of an instance's inputs or outputs ("a, b").
  std::string InputNames(const std::string& instance) const;
  std::string OutputNames(const std::string& instance) const;
  // Connects an output of one instance to an input of another after the
  // type check. Empty on success, else why not.
  std::string Connect(const std::string& fromInstance, const std::string& output, const std::string& toInstance,
                      const std::string& input);
  // True when no running reader of a connection has unread data and no
  // sequential step is pending or running.
  bool ConnectionsIdle() const;

  // Waits until the component's state has every bit of `bits`; false on time-out.
  bool WaitForState(const std::string& name, uint32_t bits, std::chrono::milliseconds limit);


  // Main threads of threaded components still inside their routine.
  int RunningMainThreads() const;
  // Waits until no main thread is inside its routine; false on time-out.
  bool WaitForMainThreads(std::chrono::milliseconds limit);
  // Component threads still inside their routine.
  int RunningComponentThreads() const;

  // ---- VTROEngineInterface ----
  void Trace(const char* text) override;
  bool RegisterInput(VTROInput* input) override;
  bool RegisterOutput(VTROOutput* output) override;
  bool RegisterProperty(VTROProperty* property) override;
  bool RegisterAction(VTROAction* action) override;
  void StateChanged(const char* moduleName, std::uint32_t state) override;
  void ComponentMainThread(VTROComponent* component) override;
  void ComponentThread(VTROThreadContext* context) override;
  void Report(const char* text, int kind, int level, int frameworkFlag) override;
  std::int64_t CurrentTime() override;
  std::int32_t ClockSpeed() override;
  std::int64_t Time(bool elapsed, bool precise) override;
  void ClockLock() override;
  void ClockUnlock() override;
  VTROWaitingList* TriggerList() override;
  std::int64_t GetIntegerProperty(const char* fullName, bool* found) override;
  bool GetBoolProperty(const char* fullName, bool* found) override;
  std::int32_t GetPropertyType(const char* fullName) override;
  std::size_t GetStringProperty(const char* fullName, char* buffer, std::size_t capacity, bool* found) override;
  std::size_t GetEnumProperty(const char* fullName, char* buffer, std::size_t capacity, bool* found) override;
  VTROTimerService* TimerService() override;
  bool Connect(VTROOutput* output, VTROInput* input) override;
  void Disconnect(VTROInput* input) override;
  std::int32_t RegisterReader(VTROOutput* output, VTROInput* input) override;
  void UnregisterReader(VTROOutput* output, VTROInput* input) override;
  std::int32_t IOCheckLevel() override;
  // An input of a sequential component has new data: its step runs on the
  // component's delivery worker, never on the calling (writer's) thread.
  void DataArrived(VTROInput* input) override;
  void UnregisterSymbol(const char* fullName) override;

 private:
  class Timers;
  class WaitingList;
  struct Instance {
    std::string name;
    VTROComponent* component = nullptr;
    const ComponentModel* model = nullptr;
  };

  VTROProperty* FindRegisteredProperty(const char* fullName);
  // One sequential step on a delivery worker; nothing it raises goes further.
  void RunStep(VTROComponent* component, VTROInput* input);
  // Bookkeeping of the threads that run inside a component.
  void Enter(VTROComponent* component, bool main);
  void Leave(VTROComponent* component, bool main);
  Instance* FindInstance(const std::string& name);

  Reporter reporter_;
  EngineClock clock_;
  vtro_engine::TimerService timers_;
  std::unique_ptr<Timers> timerAdapter_;
  std::unique_ptr<WaitingList> waitingList_;
  EngineSettings settings_;
  SymbolRegistry symbols_;
  ConnectionTable connections_;
  DeliveryQueue delivery_;
  // "Engine.ioCheckLevel", read again when the settings changed.
  std::atomic<std::uint64_t> ioCheckVersion_{~0ull};
  std::atomic<std::int32_t> ioCheckLevel_{0};

  mutable std::mutex instancesLock_;  // guards packages_ and instances_
  std::map<std::string, std::unique_ptr<Package>> packages_;
  std::vector<std::unique_ptr<Instance>> instances_;

  mutable std::mutex threadsLock_;  // guards the counts, active_ and stateGeneration_
  std::condition_variable threadsChanged_;  // thread enter/leave and state changes
  int mainThreads_ = 0;
  int componentThreads_ = 0;
  std::map<VTROComponent*, int> active_;  // threads inside each component
  uint64_t stateGeneration_ = 0;
};

}  // namespace vtro_engine
