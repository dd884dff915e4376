#include "fake_engine.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "vtro/VTROModuleDefinition.h"

namespace vtro_test {

std::int64_t RealMicros() {
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

namespace {
std::mutex g_clockParams;  // leaf lock for the clock's speed and base
}

class FakeEngine::WaitingList final : public VTROWaitingList {
 public:
  void Add(VTROEvent* event) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_events.insert(event);
  }
  void Remove(VTROEvent* event) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_events.erase(event);
  }
  void SetAll() {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (VTROEvent* event : m_events) event->Set();
  }

 private:
  std::mutex m_mutex;
  std::set<VTROEvent*> m_events;
};

class FakeEngine::Timers final : public VTROTimerService {
 public:
  explicit Timers(FakeEngine* engine) : m_engine(engine), m_thread([this] { Loop(); }) {}
  ~Timers() override {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_stop = true;
    }
    m_wake.notify_all();
    m_thread.join();
  }
  bool Arm(VTROEvent* event, std::int64_t engineTimeUs) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_armCalls;
    if (m_armed.count(event) == 0 && m_limit >= 0 && static_cast<int>(m_armed.size()) >= m_limit) return false;
    m_armed[event] = engineTimeUs;
    m_wake.notify_all();
    return true;
  }
  void Disarm(VTROEvent* event) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_armed.erase(event);
  }
  void Notify() { m_wake.notify_all(); }
  int Armed() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<int>(m_armed.size());
  }
  int ArmCalls() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_armCalls;
  }
  void SetLimit(int limit) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_limit = limit;
  }

 private:
  void Loop() {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_stop) {
      if (m_armed.empty()) {
        m_wake.wait(lock);
        continue;
      }
      std::int32_t speed;
      const std::int64_t now = m_engine->NowSnapshot(&speed);
      std::int64_t nextRealUs = -1;
      for (auto it = m_armed.begin(); it != m_armed.end();) {
        const std::int64_t target = it->second;
        const bool due = (speed > 0 && now >= target) || (speed < 0 && now <= target);
        if (due) {
          it->first->Set();  // under our lock: Disarm cannot return meanwhile
          it = m_armed.erase(it);
          continue;
        }
        if (speed != 0) {
          const __int128 wide = (static_cast<__int128>(target) - now) * 1000 / speed;
          const std::int64_t real = wide > INT64_MAX / 2 ? INT64_MAX / 2 : static_cast<std::int64_t>(wide);
          if (nextRealUs < 0 || real < nextRealUs) nextRealUs = real;
        }
        ++it;
      }
      if (m_armed.empty()) continue;
      if (nextRealUs < 0) {
        m_wake.wait(lock);
      } else {
        // Capped so that the deadline arithmetic of wait_for stays in range.
        const std::int64_t wait = std::min<std::int64_t>(std::max<std::int64_t>(nextRealUs, 50), 3600000000LL);
        m_wake.wait_for(lock, std::chrono::microseconds(wait));
      }
    }
  }

  FakeEngine* m_engine;
  std::mutex m_mutex;
  std::condition_variable m_wake;
  std::map<VTROEvent*, std::int64_t> m_armed;
  int m_limit = -1;
  int m_armCalls = 0;
  bool m_stop = false;
  std::thread m_thread;
};

FakeEngine::FakeEngine() : m_waitingList(new WaitingList), m_timers(nullptr) {
  m_baseReal = RealMicros();
  m_baseEngineTime = 0;
  m_timers = new Timers(this);
  m_deliveryThread = std::thread([this] { DeliveryLoop(); });
}

FakeEngine::~FakeEngine() {
  {
    std::lock_guard<std::mutex> lock(m_deliveryMutex);
    m_stopDelivery = true;
  }
  m_deliveryWake.notify_all();
  m_deliveryThread.join();
  delete m_timers;
  delete m_waitingList;
}

// Sequential deliveries ----------------------------------------------------------

void FakeEngine::DeliveryLoop() {
  std::unique_lock<std::mutex> lock(m_deliveryMutex);
  m_deliveryThreadId = std::this_thread::get_id();
  for (;;) {
    m_deliveryWake.wait(lock, [this] { return m_stopDelivery || !m_pending.empty(); });
    if (m_stopDelivery) return;
    VTROInput* input = m_pending.front();
    m_pending.pop_front();
    m_delivering = input;
    lock.unlock();
    try {
      input->Component()->SequentialStep(input);
    } catch (...) {
      // Reported by the framework; the engine goes on.
    }
    lock.lock();
    m_delivering = nullptr;
    m_deliveryIdle.notify_all();
  }
}

void FakeEngine::DataArrived(VTROInput* input) {
  // Under the writer's ring lock: queue and return.
  {
    std::lock_guard<std::mutex> lock(m_deliveryMutex);
    ++m_arrivals;
    if (!m_deliver) return;
    for (VTROInput* queued : m_pending) {
      if (queued == input) return;  // the queued step reads every unread element
    }
    m_pending.push_back(input);
  }
  m_deliveryWake.notify_all();
}

void FakeEngine::ForgetDeliveries(VTROInput* input) {
  std::unique_lock<std::mutex> lock(m_deliveryMutex);
  for (auto it = m_pending.begin(); it != m_pending.end();) {
    it = *it == input ? m_pending.erase(it) : it + 1;
  }
  if (std::this_thread::get_id() == m_deliveryThreadId) return;
  m_deliveryIdle.wait(lock, [&] { return m_delivering != input; });
}

void FakeEngine::SetDelivery(bool on) {
  std::lock_guard<std::mutex> lock(m_deliveryMutex);
  m_deliver = on;
  if (!on) m_pending.clear();
}

bool FakeEngine::WaitForDeliveries(int timeoutMs) {
  std::unique_lock<std::mutex> lock(m_deliveryMutex);
  return m_deliveryIdle.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                 [this] { return m_pending.empty() && m_delivering == nullptr; }) &&
         m_pending.empty();
}

int FakeEngine::DataArrivedCalls() {
  std::lock_guard<std::mutex> lock(m_deliveryMutex);
  return m_arrivals;
}

// Connections -------------------------------------------------------------------------

bool FakeEngine::Connect(VTROOutput* output, VTROInput* input) { return input->Connect(output); }
void FakeEngine::Disconnect(VTROInput* input) { input->Disconnect(); }
std::int32_t FakeEngine::RegisterReader(VTROOutput* output, VTROInput* input) {
  return output->AddReader(input, input->ReaderType());
}
std::int32_t FakeEngine::IOCheckLevel() { return m_ioCheckLevel.load(); }
void FakeEngine::SetIOCheckLevel(std::int32_t level) { m_ioCheckLevel.store(level); }

void FakeEngine::ReserveSymbol(const std::string& fullName) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_reserved.insert(fullName);
}

void FakeEngine::Reset() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_reports.clear();
    m_traces.clear();
    m_states.clear();
    m_settings.clear();
    m_reportHook = nullptr;
    m_stateHook = nullptr;
    m_reserved.clear();
  }
  m_ioCheckLevel.store(0);
  {
    std::lock_guard<std::mutex> lock(m_deliveryMutex);
    m_deliver = true;
    m_arrivals = 0;
  }
  m_timers->SetLimit(-1);
  SetClockSpeed(1000);
}

std::vector<ReportRecord> FakeEngine::Reports() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_reports;
}

std::vector<std::string> FakeEngine::Traces() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_traces;
}

int FakeEngine::CountReports(const std::string& text) {
  std::lock_guard<std::mutex> lock(m_mutex);
  return static_cast<int>(
      std::count_if(m_reports.begin(), m_reports.end(), [&](const ReportRecord& r) { return r.text == text; }));
}

int FakeEngine::CountReportsContaining(const std::string& part) {
  std::lock_guard<std::mutex> lock(m_mutex);
  return static_cast<int>(std::count_if(m_reports.begin(), m_reports.end(),
                                        [&](const ReportRecord& r) { return r.text.find(part) != std::string::npos; }));
}

bool FakeEngine::FindReport(const std::string& text, ReportRecord* out) {
  std::lock_guard<std::mutex> lock(m_mutex);
  for (const ReportRecord& record : m_reports) {
    if (record.text == text) {
      if (out != nullptr) *out = record;
      return true;
    }
  }
  return false;
}

bool FakeEngine::WaitForReport(const std::string& text, int timeoutMs) {
  std::unique_lock<std::mutex> lock(m_mutex);
  return m_reported.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
    return std::any_of(m_reports.begin(), m_reports.end(), [&](const ReportRecord& r) { return r.text == text; });
  });
}

std::vector<std::uint32_t> FakeEngine::StatesOf(const std::string& moduleName) {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_states[moduleName];
}

bool FakeEngine::IsRegistered(const std::string& fullName) {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_symbols.count(fullName) != 0;
}

int FakeEngine::ArmedTimers() { return m_timers->Armed(); }
int FakeEngine::ArmCalls() { return m_timers->ArmCalls(); }

void FakeEngine::SetInteger(const std::string& name, std::int64_t value) {
  std::lock_guard<std::mutex> lock(m_mutex);
  Setting setting;
  setting.type = VTRO_PROPERTY_INTEGER;
  setting.integer = value;
  m_settings[name] = setting;
}

void FakeEngine::SetBool(const std::string& name, bool value) {
  std::lock_guard<std::mutex> lock(m_mutex);
  Setting setting;
  setting.type = VTRO_PROPERTY_BOOL;
  setting.boolean = value;
  m_settings[name] = setting;
}

void FakeEngine::SetString(const std::string& name, const std::string& value) {
  std::lock_guard<std::mutex> lock(m_mutex);
  Setting setting;
  setting.type = VTRO_PROPERTY_STRING;
  setting.text = value;
  m_settings[name] = setting;
}

void FakeEngine::RemoveSetting(const std::string& name) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_settings.erase(name);
}

void FakeEngine::SetTimerLimit(int limit) { m_timers->SetLimit(limit); }

void FakeEngine::SetReportHook(std::function<void(const ReportRecord&)> hook) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_reportHook = std::move(hook);
}

void FakeEngine::SetStateHook(std::function<void(const std::string&, std::uint32_t)> hook) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_stateHook = std::move(hook);
}

std::int64_t FakeEngine::NowSnapshot(std::int32_t* speed) {
  std::lock_guard<std::mutex> lock(g_clockParams);
  if (speed != nullptr) *speed = m_speed;
  return m_baseEngineTime + (RealMicros() - m_baseReal) * m_speed / 1000;
}

void FakeEngine::SetClockSpeed(std::int32_t speed) {
  ClockLock();
  {
    std::lock_guard<std::mutex> lock(g_clockParams);
    const std::int64_t real = RealMicros();
    m_baseEngineTime += (real - m_baseReal) * m_speed / 1000;
    m_baseReal = real;
    m_speed = speed;
  }
  m_waitingList->SetAll();
  ClockUnlock();
  m_timers->Notify();
}

void FakeEngine::AdvanceClock(std::int64_t deltaUs) {
  ClockLock();
  {
    std::lock_guard<std::mutex> lock(g_clockParams);
    m_baseEngineTime += deltaUs;
  }
  m_waitingList->SetAll();
  ClockUnlock();
  m_timers->Notify();
}

void FakeEngine::Trace(const char* text) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_traces.emplace_back(text);
}

bool FakeEngine::Register(const std::string& fullName, void* object) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_reserved.count(fullName) != 0) return false;
  return m_symbols.emplace(fullName, object).second;
}

bool FakeEngine::RegisterInput(VTROInput* input) {
  if (!Register(input->FullName(), input)) return false;
  std::lock_guard<std::mutex> lock(m_mutex);
  m_inputs[input->FullName()] = input;
  return true;
}
bool FakeEngine::RegisterOutput(VTROOutput* output) { return Register(output->FullName(), output); }
bool FakeEngine::RegisterAction(VTROAction* action) { return Register(action->FullName(), action); }
bool FakeEngine::RegisterProperty(VTROProperty* property) {
  if (!Register(property->FullName(), property)) return false;
  std::lock_guard<std::mutex> lock(m_mutex);
  m_properties[property->FullName()] = property;
  return true;
}

void FakeEngine::UnregisterSymbol(const char* fullName) {
  VTROInput* input = nullptr;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_symbols.erase(fullName);
    m_properties.erase(fullName);
    auto it = m_inputs.find(fullName);
    if (it != m_inputs.end()) {
      input = it->second;
      m_inputs.erase(it);
    }
  }
  if (input != nullptr) ForgetDeliveries(input);
}

void FakeEngine::StateChanged(const char* moduleName, std::uint32_t state) {
  std::function<void(const std::string&, std::uint32_t)> hook;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_states[moduleName].push_back(state);
    hook = m_stateHook;
  }
  if (hook) hook(moduleName, state);
}

void FakeEngine::ComponentMainThread(VTROComponent* component) { component->EngineRunMainThread(); }
void FakeEngine::ComponentThread(VTROThreadContext* context) { context->Run(); }

void FakeEngine::Report(const char* text, int kind, int level, int frameworkFlag) {
  const ReportRecord record{text, kind, level, frameworkFlag};
  std::function<void(const ReportRecord&)> hook;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_reports.push_back(record);
    hook = m_reportHook;
  }
  m_reported.notify_all();
  if (hook) hook(record);
}

std::int64_t FakeEngine::CurrentTime() { return NowSnapshot(nullptr); }
std::int32_t FakeEngine::ClockSpeed() {
  std::int32_t speed;
  NowSnapshot(&speed);
  return speed;
}
std::int64_t FakeEngine::Time(bool, bool) { return NowSnapshot(nullptr); }
void FakeEngine::ClockLock() { m_clockMutex.lock(); }
void FakeEngine::ClockUnlock() { m_clockMutex.unlock(); }
VTROWaitingList* FakeEngine::TriggerList() { return m_waitingList; }
VTROTimerService* FakeEngine::TimerService() { return m_timers; }

std::int64_t FakeEngine::GetIntegerProperty(const char* fullName, bool* found) {
  VTROProperty* property = nullptr;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto setting = m_settings.find(fullName);
    if (setting != m_settings.end() && setting->second.type == VTRO_PROPERTY_INTEGER) {
      if (found != nullptr) *found = true;
      return setting->second.integer;
    }
    auto it = m_properties.find(fullName);
    if (it != m_properties.end()) property = it->second;
  }
  std::int64_t value = 0;
  if (property != nullptr && (property->Type() == VTRO_PROPERTY_INTEGER || property->Type() == VTRO_PROPERTY_ENUM)) {
    property->GetInteger(value);
    if (found != nullptr) *found = true;
    return value;
  }
  if (found != nullptr) *found = false;
  return 0;
}

bool FakeEngine::GetBoolProperty(const char* fullName, bool* found) {
  VTROProperty* property = nullptr;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto setting = m_settings.find(fullName);
    if (setting != m_settings.end() && setting->second.type == VTRO_PROPERTY_BOOL) {
      if (found != nullptr) *found = true;
      return setting->second.boolean;
    }
    auto it = m_properties.find(fullName);
    if (it != m_properties.end()) property = it->second;
  }
  bool value = false;
  if (property != nullptr && property->Type() == VTRO_PROPERTY_BOOL) {
    property->GetBool(value);
    if (found != nullptr) *found = true;
    return value;
  }
  if (found != nullptr) *found = false;
  return false;
}

std::int32_t FakeEngine::GetPropertyType(const char* fullName) {
  std::lock_guard<std::mutex> lock(m_mutex);
  auto setting = m_settings.find(fullName);
  if (setting != m_settings.end()) return setting->second.type;
  auto it = m_properties.find(fullName);
  return it != m_properties.end() ? it->second->Type() : -1;
}

std::string FakeEngine::TextOf(const char* fullName, bool* found, bool serializedEnum) {
  VTROProperty* property = nullptr;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto setting = m_settings.find(fullName);
    if (setting != m_settings.end() && setting->second.type == VTRO_PROPERTY_STRING) {
      if (found != nullptr) *found = true;
      return setting->second.text;
    }
    auto it = m_properties.find(fullName);
    if (it != m_properties.end()) property = it->second;
  }
  if (property == nullptr) {
    if (found != nullptr) *found = false;
    return std::string();
  }
  if (found != nullptr) *found = true;
  if (serializedEnum) {
    char buffer[1024];
    property->FormatValue(buffer, sizeof buffer);
    return buffer;
  }
  VTROStackedString text;
  property->GetString(text);
  return text.c_str();
}

std::size_t FakeEngine::GetStringProperty(const char* fullName, char* buffer, std::size_t capacity, bool* found) {
  const std::string text = TextOf(fullName, found, false);
  if (capacity > 0) {
    const std::size_t copied = std::min(text.size(), capacity - 1);
    std::memcpy(buffer, text.data(), copied);
    buffer[copied] = '\0';
  }
  return text.size();
}

std::size_t FakeEngine::GetEnumProperty(const char* fullName, char* buffer, std::size_t capacity, bool* found) {
  const std::string text = TextOf(fullName, found, true);
  if (capacity > 0) {
    const std::size_t copied = std::min(text.size(), capacity - 1);
    std::memcpy(buffer, text.data(), copied);
    buffer[copied] = '\0';
  }
  return text.size();
}

FakeEngine& Engine() {
  static FakeEngine* engine = [] {
    FakeEngine* created = new FakeEngine;
    VTROPckInit(created, VTRO_ENGINE_INTERFACE_CODE);
    return created;
  }();
  engine->Reset();
  return *engine;
}

}  // namespace vtro_test
