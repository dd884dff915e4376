// A test double of the engine for the framework's in-process tests: records
// reports, traces, registrations and state changes, answers settings, and
// runs a controllable clock with a timer service and a waiting list.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "vtro/VTROComponent.h"
#include "vtro/VTROEngineInterface.h"

namespace vtro_test {

struct ReportRecord {
  std::string text;
  int kind;
  int level;
  int frameworkFlag;
};

class FakeEngine final : public VTROEngineInterface {
 public:
  FakeEngine();
  ~FakeEngine() override;

  // Forgets reports, traces, states and settings; clock back to real time.
  void Reset();

  // --- what the tests look at ---
  std::vector<ReportRecord> Reports();
  std::vector<std::string> Traces();
  // Number of reports whose text equals `text` exactly.
  int CountReports(const std::string& text);
  // Number of reports whose text contains `part`.
  int CountReportsContaining(const std::string& part);
  bool FindReport(const std::string& text, ReportRecord* out = nullptr);
  // Waits (bounded) until a report with that exact text arrived.
  bool WaitForReport(const std::string& text, int timeoutMs);
  std::vector<std::uint32_t> StatesOf(const std::string& moduleName);
  bool IsRegistered(const std::string& fullName);
  int ArmedTimers();
  // Number of Arm calls since the engine was made.
  int ArmCalls();

  // --- settings ---
  void SetInteger(const std::string& name, std::int64_t value);
  void SetBool(const std::string& name, bool value);
  void SetString(const std::string& name, const std::string& value);
  void RemoveSetting(const std::string& name);
  void SetTimerLimit(int limit);

  // A full name the engine refuses to register (as if it existed already).
  void ReserveSymbol(const std::string& fullName);
  void SetIOCheckLevel(std::int32_t level);
  // Deliveries of DataArrived to sequential components: on by default, run on
  // the engine's delivery thread. Off, arrivals are only counted.
  void SetDelivery(bool on);
  // Waits (bounded) until no delivery is queued or running.
  bool WaitForDeliveries(int timeoutMs);
  int DataArrivedCalls();

  // --- hooks, run on the calling thread after the call is recorded; Reset clears them ---
  void SetReportHook(std::function<void(const ReportRecord&)> hook);
  void SetStateHook(std::function<void(const std::string& moduleName, std::uint32_t state)> hook);

  // --- clock ---
  // Speed in per mille; 0 pauses. Wakes every listed event.
  void SetClockSpeed(std::int32_t speed);
  // Moves engine time by `deltaUs`, like a jump of the clock.
  void AdvanceClock(std::int64_t deltaUs);

  // --- VTROEngineInterface ---
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
  void UnregisterReader(VTROOutput*, VTROInput*) override {}
  std::int32_t IOCheckLevel() override;
  void DataArrived(VTROInput* input) override;
  void UnregisterSymbol(const char* fullName) override;

 private:
  class WaitingList;
  class Timers;
  struct Setting {
    std::int32_t type = -1;
    std::int64_t integer = 0;
    bool boolean = false;
    std::string text;
  };
  bool Register(const std::string& fullName, void* object);
  // Engine time and speed, read under the clock's leaf lock.
  std::int64_t NowSnapshot(std::int32_t* speed);
  std::string TextOf(const char* fullName, bool* found, bool serializedEnum);
  void DeliveryLoop();
  // Drops queued deliveries of `input` and waits for a running one to end.
  void ForgetDeliveries(VTROInput* input);

  std::mutex m_mutex;  // reports, traces, states, symbols, settings
  std::condition_variable m_reported;
  std::vector<ReportRecord> m_reports;
  std::vector<std::string> m_traces;
  std::map<std::string, std::vector<std::uint32_t>> m_states;
  std::map<std::string, void*> m_symbols;
  std::map<std::string, Setting> m_settings;
  std::map<std::string, VTROProperty*> m_properties;
  std::function<void(const ReportRecord&)> m_reportHook;
  std::function<void(const std::string&, std::uint32_t)> m_stateHook;

  std::recursive_mutex m_clockMutex;
  // Guarded by the clock's leaf lock (fake_engine.cpp).
  std::int32_t m_speed = 1000;
  std::int64_t m_baseEngineTime = 0;  // engine time at m_baseReal
  std::int64_t m_baseReal = 0;        // real µs
  WaitingList* m_waitingList;
  Timers* m_timers;

  std::atomic<std::int32_t> m_ioCheckLevel{0};
  std::set<std::string> m_reserved;  // under m_mutex
  std::map<std::string, VTROInput*> m_inputs;  // under m_mutex

  std::mutex m_deliveryMutex;
  std::condition_variable m_deliveryWake;
  std::condition_variable m_deliveryIdle;
  std::deque<VTROInput*> m_pending;
  VTROInput* m_delivering = nullptr;
  std::thread::id m_deliveryThreadId;
  bool m_deliver = true;
  bool m_stopDelivery = false;
  int m_arrivals = 0;
  std::thread m_deliveryThread;
};

// The process-wide fake engine, handed to VTROPckInit on first use and reset
// by every call.
FakeEngine& Engine();

// Real time in µs (steady clock).
std::int64_t RealMicros();

}  // namespace vtro_test
