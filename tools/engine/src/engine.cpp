#include "engine.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <thread>

#include "input_file.h"
#include "input_limits.h"
#include "listing.h"
#include "platform/engine_platform.h"
#include "vtro/VTROIO.h"
#include "vtro/VTROProperty.h"

namespace vtro_engine {
bool ValidInstanceName(const std::string& name) {
  if (name.empty() || !std::isalpha(static_cast<unsigned char>(name[0]))) {
    return false;
  }
  return std::all_of(name.begin(), name.end(),
                     [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; });
}

namespace {

size_t CopyOut(const std::string& text, char* buffer, size_t capacity) {
  if (buffer != nullptr && capacity > 0) {
    const size_t n = std::min(text.size(), capacity - 1);
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
  }
  return text.size();
}

std::string PropertyText(VTROProperty* property) {
  char small[256];
  const size_t length = property->FormatValue(small, sizeof small);
  if (length < sizeof small) {
    return std::string(small, length);
  }
  std::string text(length + 1, '\0');
  property->FormatValue(text.data(), text.size());
  text.resize(length);
  return text;
}

// Limit for a component's threads to leave before its object is freed: the
// framework already waited "Engine.shutdownTimeout" for them.
constexpr auto kLeaveLimit = std::chrono::seconds(2);

}  // namespace

// The timer service as packages see it: sets a VTROEvent through its virtual Set().
class Engine::Timers final : public VTROTimerService {
 public:
  explicit Timers(vtro_engine::TimerService& service) : service_(service) {}
  bool Arm(VTROEvent* event, std::int64_t engineTimeUs) override {
    if (event == nullptr) {
      return false;
    }
    service_.Arm(event, engineTimeUs, [event] { event->Set(); });
    return true;
  }
  void Disarm(VTROEvent* event) override { service_.Disarm(event); }

 private:
  vtro_engine::TimerService& service_;
};

// The list of waiting events: every clock change sets each listed event.
class Engine::WaitingList final : public VTROWaitingList {
 public:
  explicit WaitingList(EngineClock& clock) : clock_(clock) {}
  void Add(VTROEvent* event) override {
    if (event != nullptr) {
      clock_.AddWaiter(event, [event] { event->Set(); });
    }
  }
  void Remove(VTROEvent* event) override { clock_.RemoveWaiter(event); }

 private:
  EngineClock& clock_;
};

Engine::Engine(std::ostream& out)
    : reporter_(out),
      clock_(0, 1000),
      timers_(clock_),
      timerAdapter_(std::make_unique<Timers>(timers_)),
      waitingList_(std::make_unique<WaitingList>(clock_)),
      delivery_([this](VTROComponent* component, VTROInput* input) { RunStep(component, input); }) {}

Engine::~Engine() {
  DestroyAll();
  WaitForMainThreads(std::chrono::seconds(2));
}

void Engine::RunStep(VTROComponent* component, VTROInput* input) {
  try {
    component->SequentialStep(input);
  } catch (int) {
    // The framework has reported it (a time-out, or an error raised again).
  } catch (const std::exception& e) {
    reporter_.Emit(2, 0, true, std::string("sequential step of ") + component->EngineName() + " raised: " + e.what());
  } catch (...) {
    reporter_.Emit(2, 0, true, std::string("sequential step of ") + component->EngineName() + " raised an exception");
  }
}

Package* Engine::LoadPackage(const std::string& path, std::string& error) {
  std::lock_guard<std::mutex> guard(instancesLock_);
  const auto it = packages_.find(path);
  if (it != packages_.end()) {
    return it->second.get();
  }
  auto package = Package::Load(path, static_cast<VTROEngineInterface*>(this), error);
  if (!package) {
    return nullptr;
  }
  for (const auto& model : package->Models()) {
    for (const auto& [other, loaded] : packages_) {
      if (loaded->Find(model.Name()) != nullptr) {
        reporter_.Emit(1, 0, false,
                       "component " + model.Name() + " of " + path + " is also in " + other + "; the first is used");
      }
    }
  }
  Package* raw = package.get();
  packages_.emplace(path, std::move(package));
  return raw;
}

const ComponentModel* Engine::FindModel(const std::string& model, Package** package) const {
  std::lock_guard<std::mutex> guard(instancesLock_);
  for (const auto& [path, loaded] : packages_) {
    if (const ComponentModel* m = loaded->Find(model)) {
      if (package != nullptr) {
        *package = loaded.get();
      }
      return m;
    }
  }
  return nullptr;
}

VTROComponent* Engine::Create(const std::string& model, const std::string& name, std::string& error) {
  if (!ValidInstanceName(name)) {
    error = "invalid instance name '" + ShortText(name) + "': it must match ^[a-zA-Z][a-zA-Z_0-9]*$";
    return nullptr;
  }
  if (name == "Engine") {
    // "Engine.<setting>" names the engine's own settings.
    error = "the instance name Engine is reserved for the engine's settings";
    return nullptr;
  }
  const ComponentModel* m = FindModel(model);
  if (m == nullptr) {
    error = "no loaded package holds the component " + ShortText(model);
    return nullptr;
  }
  if (m->record->factory == nullptr) {
    error = "component " + model + " has no factory";
    return nullptr;
  }
  {
    std::lock_guard<std::mutex> guard(instancesLock_);
    for (const auto& i : instances_) {
      if (i->name == name) {
        error = "an instance named " + name + " exists already";
        return nullptr;
      }
    }
  }
  if (!symbols_.Register(name, SymbolKind::Module, nullptr)) {
    error = "the name " + name + " is already used by another symbol";
    return nullptr;
  }
  auto factory = reinterpret_cast<VTROComponentFactory>(m->record->factory);
  VTROComponent* component = nullptr;
  try {
    component = factory(name.c_str(), reinterpret_cast<const VTROComponentDefinition*>(m->resolved.get()));
  } catch (int code) {
    error = "the constructor of " + name + " (" + model + ") failed with " + std::to_string(code);
  } catch (const std::exception& e) {
    error = "the constructor of " + name + " (" + model + ") failed: " + e.what();
  } catch (...) {
    error = "the constructor of " + name + " (" + model + ") failed";
  }
  if (component == nullptr) {
    if (error.empty()) {
      error = "the factory of " + model + " returned no object (out of memory)";
    }
    symbols_.UnregisterModule(name);
    return nullptr;
  }
  auto instance = std::make_unique<Instance>();
  instance->name = name;
  instance->component = component;
  instance->model = m;
  std::lock_guard<std::mutex> guard(instancesLock_);
  instances_.push_back(std::move(instance));
  return component;
}

Engine::Instance* Engine::FindInstance(const std::string& name) {
  std::lock_guard<std::mutex> guard(instancesLock_);
  for (const auto& i : instances_) {
    if (i->name == name) {
      return i.get();
    }
  }
  return nullptr;
}

VTROComponent* Engine::Find(const std::string& name) const {
  std::lock_guard<std::mutex> guard(instancesLock_);
  for (const auto& i : instances_) {
    if (i->name == name) {
      return i->component;
    }
  }
  return nullptr;
}

std::vector<std::string> Engine::InstanceNames() const {
  std::lock_guard<std::mutex> guard(instancesLock_);
  std::vector<std::string> names;
  for (const auto& i : instances_) {
    names.push_back(i->name);
  }
  return names;
}

bool Engine::SetProperty(const std::string& instance, const std::string& property, const std::string& text,
                         std::string& error) {
  VTROComponent* c = Find(instance);
  if (c == nullptr) {
    error = "no instance named " + instance;
    return false;
  }
  VTROProperty* p = c->EngineFindProperty(property.c_str());
  if (p == nullptr) {
    error = "component " + instance + " has no property " + ShortText(property);
    return false;
  }
  if (text.size() > kMaxPropertyText) {
    error = "the value for " + instance + "." + property + " has " + std::to_string(text.size()) +
            " bytes, more than the " + SizeText(kMaxPropertyText) + " a property takes";
    return false;
  }
  const int32_t type = p->Type();
  const std::string badText = "property " + instance + "." + property + " is " + std::string(PropertyTypeName(type)) +
                              " and does not take '" + ShortText(text) + "'";
  const size_t errorsBefore = Reporter::ErrorsOnThisThread();
  try {
    bool done = false;
    switch (type) {
      case VTRO_PROPERTY_BOOL: {
        const auto v = ParseBoolean(text);
        if (!v) {
          error = badText;
          return false;
        }
        done = p->SetBool(*v);
        break;
      }
      case VTRO_PROPERTY_INTEGER: {
        const auto v = ParseInteger(text);
        if (!v) {
          error = badText;
          return false;
        }
        done = p->SetInteger(*v);
        break;
      }
      case VTRO_PROPERTY_FLOAT: {
        const auto v = ParseFloat(text);
        if (!v) {
          error = badText;
          return false;
        }
        done = p->SetFloat(*v);
        break;
      }
      case VTRO_PROPERTY_STRING:
      case VTRO_PROPERTY_ENUM:
        // An enumeration takes one of its values or the serialized form.
        done = p->SetString(text.c_str());
        break;
      default:
        done = p->SetFromText(text.c_str());
        break;
    }
    if (!done) {
      error = "component " + instance + " did not take " + property + "=" + ShortText(text);
    } else if (Reporter::ErrorsOnThisThread() != errorsBefore) {
      // Some refusals (a value not among an enumeration's) are only reported.
      error = "component " + instance + " refused " + property + "=" + ShortText(text) + " (it reported an error)";
      done = false;
    }
    return done;
  } catch (int code) {
    // The component has reported why.
    error = "component " + instance + " refused " + property + "=" + ShortText(text) + " (" + std::to_string(code) +
            ")";
  } catch (const std::exception& e) {
    error = "setting " + instance + "." + property + " raised: " + e.what();
  } catch (...) {
    error = "setting " + instance + "." + property + " raised an exception";
  }
  return false;
}

bool Engine::TriggerAction(const std::string& instance, const std::string& action, std::string& error) {
  VTROComponent* c = Find(instance);
  if (c == nullptr) {
    error = "no instance named " + instance;
    return false;
  }
  VTROAction* a = c->EngineFindAction(action.c_str());
  if (a == nullptr) {
    error = "component " + instance + " has no action " + ShortText(action);
    return false;
  }
  const size_t errorsBefore = Reporter::ErrorsOnThisThread();
  try {
    a->Trigger();
    if (Reporter::ErrorsOnThisThread() == errorsBefore) return true;
    error = "action " + instance + "." + action + " failed (it reported an error)";
    return false;
  } catch (int code) {
    error = "action " + instance + "." + action + " raised " + std::to_string(code);
  } catch (const std::exception& e) {
    error = "action " + instance + "." + action + " raised: " + e.what();
  } catch (...) {
    error = "action " + instance + "." + action + " raised an exception";
  }
  return false;
}

bool Engine::Start(const std::string& name) {
  VTROComponent* c = Find(name);
  if (c == nullptr) {
    reporter_.Emit(2, 0, false, "no instance named " + name);
    return false;
  }
  if (!c->EngineIsThreaded()) {
    // Data published for its inputs is delivered on a worker of its own.
    delivery_.Add(c, c->EngineName());
  }
  try {
    c->EngineStart();
    return true;
  } catch (int) {
    // Refused; the framework has reported why.
  } catch (const std::exception& e) {
    reporter_.Emit(2, 0, false, "start of " + name + " failed: " + e.what());
  } catch (...) {
    reporter_.Emit(2, 0, false, "start of " + name + " failed");
  }
  return false;
}

void Engine::Stop(const std::string& name) {
  if (VTROComponent* c = Find(name)) {
    c->EngineStop();
  }
}

bool Engine::Step(const std::string& name, int32_t input, std::string& error) {
  VTROComponent* c = Find(name);
  if (c == nullptr) {
    error = "no instance named " + name;
    return false;
  }
  if (input < 0 || input >= c->EngineInputCount()) {
    error = "component " + name + " has no input #" + std::to_string(input);
    return false;
  }
  try {
    c->SequentialStep(c->EngineInputAt(input));
    return true;
  } catch (int code) {
    error = "sequential step of " + name + " raised " + std::to_string(code);
  } catch (...) {
    error = "sequential step of " + name + " raised an exception";
  }
  return false;
}

void Engine::Destroy(const std::string& name) {
  std::unique_ptr<Instance> instance;
  {
    std::lock_guard<std::mutex> guard(instancesLock_);
    const auto it = std::find_if(instances_.begin(), instances_.end(),
                                 [&name](const auto& i) { return i->name == name; });
    if (it == instances_.end()) {
      return;
    }
    instance = std::move(*it);
    instances_.erase(it);
  }
  VTROComponent* c = instance->component;
  if ((c->EngineState() & VTRO_STATE_DEAD) == 0) {
    c->EngineStop();
  }
  // No step may run once the object is gone, and no peer may keep a reader
  // or an output of it.
  delivery_.Remove(c);
  connections_.DisconnectComponent(c);
  // Never free an object that one of its threads still runs in: the main
  // thread leaves its routine just after the component is dead, and a
  // component thread may outlive the framework's shutdown limit.
  bool left;
  {
    std::unique_lock<std::mutex> guard(threadsLock_);
    left = threadsChanged_.wait_for(guard, kLeaveLimit, [&] { return active_.count(c) == 0; });
  }
  if (!left) {
    reporter_.Emit(1, 0, true,
                   "component " + name + " still has running threads; its object is kept to keep them safe");
    // Kept reachable for good: the threads may use it until the process ends.
    static auto* kept = new std::vector<VTROComponent*>;
    std::lock_guard<std::mutex> guard(instancesLock_);
    kept->push_back(c);
  } else {
    delete c;
  }
  symbols_.UnregisterModule(name);
}

void Engine::DestroyAll() {
  for (const auto& name : InstanceNames()) {
    Destroy(name);
  }
}

int Engine::RunningMainThreads() const {
  std::lock_guard<std::mutex> guard(threadsLock_);
  return mainThreads_;
}

int Engine::RunningComponentThreads() const {
  std::lock_guard<std::mutex> guard(threadsLock_);
  return componentThreads_;
}

bool Engine::WaitForMainThreads(std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> guard(threadsLock_);
  return threadsChanged_.wait_for(guard, limit, [this] { return mainThreads_ == 0; });
}

void Engine::Enter(VTROComponent* component, bool main) {
  std::lock_guard<std::mutex> guard(threadsLock_);
  ++active_[component];
  ++(main ? mainThreads_ : componentThreads_);
  threadsChanged_.notify_all();
}

void Engine::Leave(VTROComponent* component, bool main) {
  std::lock_guard<std::mutex> guard(threadsLock_);
  const auto it = active_.find(component);
  if (it != active_.end() && --it->second == 0) {
    active_.erase(it);
  }
  --(main ? mainThreads_ : componentThreads_);
  threadsChanged_.notify_all();
}

// ---- VTROEngineInterface ----

void Engine::Trace(const char* text) { reporter_.Trace(text ? text : ""); }

bool Engine::RegisterInput(VTROInput* input) {
  return input != nullptr && symbols_.Register(input->FullName(), SymbolKind::Input, input);
}

bool Engine::RegisterOutput(VTROOutput* output) {
  return output != nullptr && symbols_.Register(output->FullName(), SymbolKind::Output, output);
}

bool Engine::RegisterProperty(VTROProperty* property) {
  return property != nullptr && symbols_.Register(property->FullName(), SymbolKind::Property, property);
}

bool Engine::RegisterAction(VTROAction* action) {
  return action != nullptr && symbols_.Register(action->FullName(), SymbolKind::Action, action);
}

void Engine::UnregisterSymbol(const char* fullName) {
  if (fullName != nullptr) {
    symbols_.Unregister(fullName);
  }
}

void Engine::StateChanged(const char* moduleName, std::uint32_t state) {
  if (reporter_.ShowsTraces()) {
    reporter_.Trace(std::string("state of ") + (moduleName ? moduleName : "?") + ": " + std::to_string(state));
  }
  std::lock_guard<std::mutex> guard(threadsLock_);
  ++stateGeneration_;
  threadsChanged_.notify_all();
}

bool Engine::WaitForState(const std::string& name, uint32_t bits, std::chrono::milliseconds limit) {
  VTROComponent* c = Find(name);
  if (c == nullptr) {
    return false;
  }
  std::unique_lock<std::mutex> guard(threadsLock_);
  return threadsChanged_.wait_for(guard, limit, [&] { return (c->EngineState() & bits) == bits; });
}

void Engine::ComponentMainThread(VTROComponent* component) {
  // Named after the instance, so debuggers and top show whose thread it is.
  platform::SetThreadName(component->EngineName());
  Enter(component, true);
  try {
    component->EngineRunMainThread();
  } catch (...) {
    reporter_.Emit(2, 0, true, std::string("main thread of ") + component->EngineName() + " raised an exception");
  }
  Leave(component, true);
}

void Engine::ComponentThread(VTROThreadContext* context) {
  // The context is gone once Run has marked the start: read what we need first.
  VTROComponent* component = context->Component();
  Enter(component, false);
  try {
    context->Run();
  } catch (...) {
    reporter_.Emit(2, 0, true, "a component thread raised an exception");
  }
  Leave(component, false);
}

void Engine::Report(const char* text, int kind, int level, int frameworkFlag) {
  reporter_.Emit(kind, level, frameworkFlag != 0, text ? text : "");
}

std::int64_t Engine::CurrentTime() { return clock_.Now(); }

std::int32_t Engine::ClockSpeed() { return clock_.Speed(); }

std::int64_t Engine::Time(bool, bool) { return clock_.Now(); }

void Engine::ClockLock() { clock_.Lock(); }

void Engine::ClockUnlock() { clock_.Unlock(); }

VTROWaitingList* Engine::TriggerList() { return waitingList_.get(); }

VTROTimerService* Engine::TimerService() { return timerAdapter_.get(); }

VTROProperty* Engine::FindRegisteredProperty(const char* fullName) {
  const auto symbol = symbols_.Find(fullName);
  if (!symbol || symbol->first != SymbolKind::Property) {
    return nullptr;
  }
  return static_cast<VTROProperty*>(const_cast<void*>(symbol->second));
}

std::int64_t Engine::GetIntegerProperty(const char* fullName, bool* found) {
  if (found != nullptr) {
    *found = false;
  }
  if (fullName == nullptr) {
    return 0;
  }
  if (const auto v = settings_.Integer(fullName)) {
    if (found != nullptr) {
      *found = true;
    }
    return *v;
  }
  // Only matching types are read: a getter refusing a type would raise an
  // error on the component that owns the property, not on the one asking.
  VTROProperty* p = FindRegisteredProperty(fullName);
  if (p != nullptr && (p->Type() == VTRO_PROPERTY_INTEGER || p->Type() == VTRO_PROPERTY_ENUM)) {
    try {
      std::int64_t value = 0;
      bool ok = false;
      if (p->Type() == VTRO_PROPERTY_ENUM) {
        std::int32_t index = 0;
        ok = p->GetSelectedIndex(index);
        value = index;
      } else {
        ok = p->GetInteger(value);
      }
      if (found != nullptr) {
        *found = ok;
      }
      return value;
    } catch (int) {
    }
  }
  return 0;
}

bool Engine::GetBoolProperty(const char* fullName, bool* found) {
  if (found != nullptr) {
    *found = false;
  }
  if (fullName == nullptr) {
    return false;
  }
  if (const auto v = settings_.Boolean(fullName)) {
    if (found != nullptr) {
      *found = true;
    }
    return *v;
  }
  VTROProperty* p = FindRegisteredProperty(fullName);
  if (p != nullptr && p->Type() == VTRO_PROPERTY_BOOL) {
    try {
      bool value = false;
      const bool ok = p->GetBool(value);
      if (found != nullptr) {
        *found = ok;
      }
      return value;
    } catch (int) {
    }
  }
  return false;
}

std::int32_t Engine::GetPropertyType(const char* fullName) {
  if (fullName == nullptr) {
    return -1;
  }
  if (const auto v = settings_.Get(fullName)) {
    if (std::holds_alternative<bool>(*v)) {
      return VTRO_PROPERTY_BOOL;
    }
    if (std::holds_alternative<int64_t>(*v)) {
      return VTRO_PROPERTY_INTEGER;
    }
    return VTRO_PROPERTY_STRING;
  }
  if (VTROProperty* p = FindRegisteredProperty(fullName)) {
    return p->Type();
  }
  return -1;
}

std::size_t Engine::GetStringProperty(const char* fullName, char* buffer, std::size_t capacity, bool* found) {
  if (found != nullptr) {
    *found = false;
  }
  if (fullName == nullptr) {
    return CopyOut("", buffer, capacity);
  }
  if (const auto v = settings_.String(fullName)) {
    if (found != nullptr) {
      *found = true;
    }
    return CopyOut(*v, buffer, capacity);
  }
  VTROProperty* p = FindRegisteredProperty(fullName);
  if (p != nullptr && (p->Type() == VTRO_PROPERTY_STRING || p->Type() == VTRO_PROPERTY_ENUM)) {
    try {
      VTROStackedString text;
      if (p->GetString(text)) {
        if (found != nullptr) {
          *found = true;
        }
        return CopyOut(text.c_str(), buffer, capacity);
      }
    } catch (int) {
    }
  }
  return CopyOut("", buffer, capacity);
}

std::size_t Engine::GetEnumProperty(const char* fullName, char* buffer, std::size_t capacity, bool* found) {
  if (found != nullptr) {
    *found = false;
  }
  VTROProperty* p = fullName ? FindRegisteredProperty(fullName) : nullptr;
  if (p == nullptr || p->Type() != VTRO_PROPERTY_ENUM) {
    return CopyOut("", buffer, capacity);
  }
  if (found != nullptr) {
    *found = true;
  }
  return CopyOut(PropertyText(p), buffer, capacity);
}

bool Engine::Connect(VTROOutput* output, VTROInput* input) {
  const std::string why = connections_.Connect(output, input);
  if (!why.empty()) {
    reporter_.Emit(2, 0, true, why);
  }
  return why.empty();
}

void Engine::Disconnect(VTROInput* input) {
  if (input != nullptr) {
    connections_.Disconnect(input);
  }
}

std::int32_t Engine::RegisterReader(VTROOutput* output, VTROInput* input) {
  return connections_.RegisterReader(output, input);
}

void Engine::UnregisterReader(VTROOutput* output, VTROInput* input) { connections_.UnregisterReader(output, input); }

std::int32_t Engine::IOCheckLevel() {
  // Element accessors ask on every call: read the setting only after a change.
  const std::uint64_t version = settings_.Version();
  if (ioCheckVersion_.load(std::memory_order_acquire) != version) {
    const auto level = settings_.Integer("Engine.ioCheckLevel");
    ioCheckLevel_.store(level ? static_cast<std::int32_t>(std::clamp<int64_t>(*level, 0, INT32_MAX)) : 0);
    ioCheckVersion_.store(version, std::memory_order_release);
  }
  return ioCheckLevel_.load(std::memory_order_relaxed);
}

void Engine::DataArrived(VTROInput* input) {
  if (input != nullptr) {
    delivery_.Trigger(input->Component(), input);
  }
}

VTROInput* Engine::FindInput(const std::string& instance, const std::string& input) const {
  VTROComponent* c = Find(instance);
  if (c == nullptr) {
    return nullptr;
  }
  for (int32_t i = 0; i < c->EngineInputCount(); ++i) {
    VTROInput* in = c->EngineInputAt(i);
    if (in != nullptr && input == in->ShortName()) {
      return in;
    }
  }
  return nullptr;
}

VTROOutput* Engine::FindOutput(const std::string& instance, const std::string& output) const {
  VTROComponent* c = Find(instance);
  if (c == nullptr) {
    return nullptr;
  }
  for (int32_t i = 0; i < c->EngineOutputCount(); ++i) {
    VTROOutput* out = c->EngineOutputAt(i);
    if (out != nullptr && output == out->ShortName()) {
      return out;
    }
  }
  return nullptr;
}

std::string Engine::InputNames(const std::string& instance) const {
  std::string names;
  if (VTROComponent* c = Find(instance)) {
    for (int32_t i = 0; i < c->EngineInputCount(); ++i) {
      names += (names.empty() ? "" : ", ") + std::string(c->EngineInputAt(i)->ShortName());
    }
  }
  return names.empty() ? "none" : names;
}

std::string Engine::OutputNames(const std::string& instance) const {
  std::string names;
  if (VTROComponent* c = Find(instance)) {
    for (int32_t i = 0; i < c->EngineOutputCount(); ++i) {
      names += (names.empty() ? "" : ", ") + std::string(c->EngineOutputAt(i)->ShortName());
    }
  }
  return names.empty() ? "none" : names;
}

std::string Engine::Connect(const std::string& fromInstance, const std::string& output, const std::string& toInstance,
                            const std::string& input) {
  VTROOutput* out = FindOutput(fromInstance, output);
  if (out == nullptr) {
    return Find(fromInstance) == nullptr ? "no instance named " + fromInstance
                                         : "component " + fromInstance + " has no output " + output +
                                               " (its outputs: " + OutputNames(fromInstance) + ")";
  }
  VTROInput* in = FindInput(toInstance, input);
  if (in == nullptr) {
    return Find(toInstance) == nullptr ? "no instance named " + toInstance
                                       : "component " + toInstance + " has no input " + input + " (its inputs: " +
                                             InputNames(toInstance) + ")";
  }
  return connections_.Connect(out, in);
}

bool Engine::ConnectionsIdle() const {
  for (const auto& c : connections_.All()) {
    // What waits for a reader that is not started (stopped, or stopped by
    // its own error) will not be taken: it keeps nothing pending.
    const VTROComponent* reader = c.input->Component();
    const std::uint32_t state = reader != nullptr ? reader->EngineState() : 0;
    if ((state & VTRO_STATE_STARTED) != 0 && c.input->HasUnreadData()) {
      return false;
    }
  }
  return delivery_.Idle();
}

}  // namespace vtro_engine
