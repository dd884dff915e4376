// VTROComponent: construction, the Dynamic call, the start sequence and the
// engine's accessors. The run (sequential step, main thread) and the stop
// (end, stop, is-dead, destruction) have files of their own.
#include <cstring>
#include <exception>

#include "VTROPropertyImplementation.h"
#include "framework_internal.h"
#include "platform/vtro_platform.h"
#include "vtro/VTROComponent.h"
#include "vtro/VTROEngineInterface.h"

namespace vtro {

namespace {

struct StandardComponentProperties {
  VTROPropertyValue trueValue{true};
  VTROPropertyValue priorityValue{std::int64_t{128}};
  VTROPropertyValue emptyText{""};
  VTROPropertyValue minusOne{std::int64_t{-1}};
  VTROPropertyDefinition threaded{"threaded", &trueValue, nullptr, VTRO_FLAG_ENUM_VALUES_FIXED, 0};
  VTROPropertyDefinition priority{"priority", &priorityValue, nullptr,
                                  VTRO_FLAG_CHANGEABLE_WHILE_RUNNING | VTRO_FLAG_ENUM_VALUES_FIXED, 0};
  VTROPropertyDefinition autoStart{"autoStart", &trueValue, nullptr,
                                   VTRO_FLAG_CHANGEABLE_WHILE_RUNNING | VTRO_FLAG_ENUM_VALUES_FIXED, 0};
  VTROPropertyDefinition version{"componentModelVersion", &emptyText, nullptr,
                                 VTRO_FLAG_READ_ONLY | VTRO_FLAG_ENUM_VALUES_FIXED, 0};
  VTROPropertyDefinition primaryThreadId{"primaryThreadID", &minusOne, nullptr,
                                         VTRO_FLAG_READ_ONLY | VTRO_FLAG_ENUM_VALUES_FIXED, 0};
};

const StandardComponentProperties& ComponentProperties() {
  static const StandardComponentProperties* properties = new StandardComponentProperties;
  return *properties;
}

// Number of table entries to create: the first `count` (unsigned compare)
// before the end entry.
template <class Entry>
std::uint32_t EntriesToCreate(const Entry* table, std::int32_t count) {
  if (table == nullptr) return 0;
  std::uint32_t n = 0;
  while (table[n].name != nullptr && n < static_cast<std::uint32_t>(count)) ++n;
  return n;
}

void NoEngineHandler(VTROProperty*) {}

// A held lock that a sequence can give back early, before it reports a failure.
class ReleasableLock {
 public:
  explicit ReleasableLock(VTROMutex& mutex) : m_mutex(&mutex) { mutex.Lock(); }
  ~ReleasableLock() { Release(); }
  ReleasableLock(const ReleasableLock&) = delete;
  ReleasableLock& operator=(const ReleasableLock&) = delete;
  void Release() {
    if (m_mutex != nullptr) m_mutex->Unlock();
    m_mutex = nullptr;
  }

 private:
  VTROMutex* m_mutex;
};

}  // namespace
}  // namespace vtro

VTROComponent::VTROComponent(const char* instanceName, const VTROComponentDefinition* definition)
    : VTROModule(instanceName), m_definition(definition) {
  m_engineRecord = VTROEngineRecord{};
  m_state.store(VTRO_STATE_DEAD);
  m_deadFlag.store(true);
  m_inDynamic.store(false);
  AddSymbol(instanceName);

  const vtro::StandardComponentProperties& standard = vtro::ComponentProperties();
  VTROProperty* threaded = NewProperty(&standard.threaded);
  VTROProperty* priority = NewProperty(&standard.priority);
  VTROProperty* autoStart = NewProperty(&standard.autoStart);
  VTROProperty* version = NewProperty(&standard.version);
  NewProperty(&standard.primaryThreadId);
  {
    VTROLock lock(m_propertyValueLock);
    static_cast<VTROPropertyImplementation*>(threaded)->Value().SetBool(definition == nullptr ||
                                                                       definition->defaultThreaded != 0);
    static_cast<VTROPropertyImplementation*>(priority)->Value().SetInteger(definition != nullptr ? definition->defaultPriority
                                                                                                 : 128);
    static_cast<VTROPropertyImplementation*>(version)->Value().SetString(
        definition != nullptr && definition->version != nullptr ? definition->version : "");
  }
  // Until a start reads `threaded`, the definition's default holds.
  m_threaded.store(definition == nullptr || definition->defaultThreaded != 0 ? 1 : 0);
  threaded->SetChangeHandler(vtro::NoEngineHandler);
  autoStart->SetChangeHandler(vtro::NoEngineHandler);
  priority->SetChangeHandler(PriorityHandler);
  m_ownPropertiesStart = m_properties.Count();

  if (definition != nullptr) {
    const std::uint32_t properties = vtro::EntriesToCreate(definition->properties, definition->propertyCount);
    for (std::uint32_t i = 0; i < properties; ++i) NewProperty(&definition->properties[i]);
    const std::uint32_t inputs = vtro::EntriesToCreate(definition->inputs, definition->inputCount);
    for (std::uint32_t i = 0; i < inputs; ++i) NewInput(&definition->inputs[i]);
    const std::uint32_t outputs = vtro::EntriesToCreate(definition->outputs, definition->outputCount);
    for (std::uint32_t i = 0; i < outputs; ++i) NewOutput(&definition->outputs[i]);
    const std::uint32_t actions = vtro::EntriesToCreate(definition->actions, definition->actionCount);
    for (std::uint32_t i = 0; i < actions; ++i) NewAction(&definition->actions[i]);
  }
  m_staticPropertyCount = m_properties.Count();
  m_staticInputCount = m_inputs.Count();
  m_staticOutputCount = m_outputs.Count();
  m_staticActionCount = m_actions.Count();
}

const char* VTROComponent::KindName() const { return "component"; }

void VTROComponent::Dynamic() {
  // Declares nothing and keeps everything: clearing the cursors leaves the
  // removal step nothing to remove.
  VTROLock lock(m_moduleLock);
  m_dynamicCursorsSet = false;
}

void VTROComponent::Birth() {}
void VTROComponent::BeforeDeath() {}
void VTROComponent::Death() {}

void VTROComponent::FreeOutputBuffers() {
  VTROLock lock(m_moduleLock);
  for (VTROOutput* output : m_outputs) output->FreeBuffer();
}

VTROEngineRecord VTROComponent::GetEngineRecord() { return m_engineRecord; }
void VTROComponent::SetEngineRecord(const VTROEngineRecord& record) { m_engineRecord = record; }

// Setters run Dynamic afterwards --------------------------------------------------

bool VTROComponent::SetEnumValue(VTROProperty* property, const VTROEnumStruct& value) {
  const bool result = VTROModule::SetEnumValue(property, value);
  CallDynamic();
  return result;
}
bool VTROComponent::SetStringValue(VTROProperty* property, const char* value) {
  const bool result = VTROModule::SetStringValue(property, value);
  CallDynamic();
  return result;
}
bool VTROComponent::SetFloatValue(VTROProperty* property, double value) {
  const bool result = VTROModule::SetFloatValue(property, value);
  CallDynamic();
  return result;
}
bool VTROComponent::SetIntegerValue(VTROProperty* property, std::int64_t value) {
  const bool result = VTROModule::SetIntegerValue(property, value);
  CallDynamic();
  return result;
}
bool VTROComponent::SetBoolValue(VTROProperty* property, bool value) {
  const bool result = VTROModule::SetBoolValue(property, value);
  CallDynamic();
  return result;
}

// Dynamic ----------------------------------------------------------------------

bool VTROComponent::Declared(void* element) const { return m_declaredInDynamic.Find(element) != nullptr; }

void VTROComponent::MarkDeclared(void* element, const char* fullName) {
  if (!m_dynamicCursorsSet) return;
  m_declaredInDynamic.Append(element);
  // Sub-properties of an input or output ("<full name>.subsampling"...) stay with it.
  const std::size_t length = std::strlen(fullName);
  for (VTROProperty* property : m_properties) {
    if (std::strncmp(property->FullName(), fullName, length) == 0 && property->FullName()[length] == '.') {
      m_declaredInDynamic.Append(property);
    }
  }
}

void VTROComponent::DropUndeclaredElements() {
  VTROEngineInterface* engine = VTRO::Engine();
  auto dropFrom = [&](auto& list, std::int32_t staticCount, auto beforeDelete) {
    auto* item = list.At(staticCount);
    while (item != nullptr) {
      auto* next = item->Next();
      auto* element = item->Value();
      if (!Declared(element)) {
        beforeDelete(element);
        if (engine != nullptr) engine->UnregisterSymbol(element->FullName());
        RemoveSymbol(element->FullName());
        list.Remove(item);
        delete element;
      }
      item = next;
    }
  };
  dropFrom(m_outputs, m_staticOutputCount, [&](VTROOutput*) { vtro::EngineTrace("Removing an output"); });
  dropFrom(m_properties, m_staticPropertyCount, [](VTROProperty*) {});
  dropFrom(m_actions, m_staticActionCount, [](VTROAction*) {});
  dropFrom(m_inputs, m_staticInputCount, [&](VTROInput*) { vtro::EngineTrace("Removing an input"); });
}

void VTROComponent::CallDynamic() {
  vtro::EngineTrace("Calling Dynamic");
  // A running component never runs Dynamic: answer before the lock, which the
  // start sequence may hold while it waits for Birth (a setter called from
  // Birth would otherwise stall the start).
  if (IsStarted()) return;
  {
    VTROLock dynamicLock(m_dynamicLock);
    if (IsStarted() || m_inDynamic.load()) return;
    m_inDynamic.store(true);
    {
      VTROLock lock(m_moduleLock);
      m_dynamicCursorsSet = true;
      m_declaredInDynamic.Clear();
    }
    ClearStateBits(VTRO_STATE_ERROR);
    try {
      Dynamic();
    } catch (...) {
      VTROLock lock(m_moduleLock);
      m_dynamicCursorsSet = false;
      m_declaredInDynamic.Clear();
      m_inDynamic.store(false);
      throw;
    }
    {
      VTROLock lock(m_moduleLock);
      if (m_dynamicCursorsSet) DropUndeclaredElements();
      m_dynamicCursorsSet = false;
      m_declaredInDynamic.Clear();
    }
    m_inDynamic.store(false);
  }
  // Notified once the dynamic lock is given back.
  NotifyState();
}

// Start --------------------------------------------------------------------------

void VTROComponent::EngineStart() {
  {
    VTROLock lock(m_moduleLock);
    if (IsStarted()) {
      NotifyState();
      return;
    }
    ClearStateBits(VTRO_STATE_ERROR);
    SetStateBits(VTRO_STATE_STARTED);
  }
  // Given back before a failure is reported, so that the report does not
  // hold up property changes.
  vtro::ReleasableLock dynamicLock(m_dynamicLock);
  try {
    for (auto* item = m_properties.At(m_ownPropertiesStart); item != nullptr; item = item->Next()) {
      if (item->Value()->MustBeSet()) {
        ClearStateBits(VTRO_STATE_STARTED);
        SetStateBits(VTRO_STATE_ERROR);
        NotifyState();
        dynamicLock.Release();
        VTRO::FatalReport(vtro::Format("Unable to start component %s. Its property %s needs to be initialized.", Name(),
                                       item->Value()->ShortName())
                              .c_str(),
                          1);
      }
    }
    {
      VTROLock lock(m_moduleLock);
      for (VTROOutput* output : m_outputs) {
        output->AllocOutputBuffer(output->Definition()->defaultBufferSize, 1);
        output->ClearElementSizeRecord();
      }
      for (VTROInput* input : m_inputs) input->ResetReadingState();
    }
    ResetPeriodStatistics();
    vtro::StoreInteger(this, m_counterProperty, 0);
    ClearStateBits(VTRO_STATE_STOP_REQUESTED);
    m_stopEvent.Reset();
    ClearStateBits(VTRO_STATE_DEAD);
    m_threadsFinishedEvent.Reset();

    VTROProperty* threadedProperty = FindProperty("threaded");
    bool threaded = true;
    if (threadedProperty != nullptr) GetBoolValue(threadedProperty, threaded);
    const std::uint32_t model = m_definition != nullptr ? m_definition->threadingModel : VTRO_THREADING_THREADED;
    auto storeThreaded = [&](bool value) {
      if (threadedProperty == nullptr) return;
      VTROLock lock(m_propertyValueLock);
      static_cast<VTROPropertyImplementation*>(threadedProperty)->Value().SetBool(value);
    };
    if (threaded && (model & VTRO_THREADING_THREADED) == 0) {
      threaded = false;
      storeThreaded(false);
      ReportWarning("Threaded behaviour is not allowed anymore for this component (its threading model may have "
                    "changed since last save operation).");
    }
    if (!threaded && (model & VTRO_THREADING_SEQUENTIAL) == 0) {
      threaded = true;
      storeThreaded(true);
      ReportWarning("Sequential behaviour is not allowed anymore for this component (its threading model may have "
                    "changed since last save operation).");
    }
    m_threaded = threaded ? 1 : 0;

    if (threaded) {
      m_deadFlag.store(false);
      // Added, not stored: a thread still alive from before stays counted.
      m_runningThreadCount.fetch_add(1);
      m_birthEvent.Reset();
      if (!vtro::StartMainThread(this)) {
        m_runningThreadCount.fetch_sub(1);
        m_deadFlag.store(true);
        ClearStateBits(VTRO_STATE_STARTED);
        SetStateBits(VTRO_STATE_ERROR | VTRO_STATE_DEAD);
        NotifyState();
        dynamicLock.Release();
        Error("Failed to start component main thread", 1, 0);
      }
      if (vtro::EngineBoolSetting("Engine.sequentialStart", false)) {
        if (m_birthEvent.Wait(3000000) != 0) ReportInfo("Couldn't start. Birth didn't occur correctly (3s timeout).");
      }
    } else {
      VTROProperty* primary = FindProperty("primaryThreadID");
      if (primary != nullptr) vtro::StoreInteger(this, primary, 0);
      bool inputTimeout = false;
      {
        VTROLock runLock(m_runLock);
        m_deadFlag.store(false);
        m_runningThreadCount.fetch_add(1);
        bool birthDone = false;
        try {
          Birth();
          birthDone = true;
          ClearStateBits(VTRO_STATE_DEAD);
          NotifyState();
          for (auto* item = m_inputs.Head(); item != nullptr && !IsDying(); item = item->Next()) {
            ProcessInput(item->Value());
          }
        } catch (...) {
          bool stopped = false;
          try {
            throw;
          } catch (int code) {
            stopped = code == VTRO::StopException;
          } catch (...) {
          }
          if (stopped) {
            if (!birthDone) ReportInfo("Couldn't start. Birth didn't occur correctly (died at birth).");
          } else {
            try {
              HandleStepException(true);
            } catch (int code) {
              if (code != VTRO::TimeoutException) throw;
              inputTimeout = true;
            }
          }
        }
      }
      if (inputTimeout) vtro::RaiseInputTimeout(Name());
    }
  } catch (int code) {
    if (code == VTRO::ErrorException) ClearStateBits(VTRO_STATE_STARTED);
    throw;
  }
  NotifyState();
}

// Engine accessors ---------------------------------------------------------------

const char* VTROComponent::EngineName() const { return Name(); }
std::uint32_t VTROComponent::EngineState() const { return State(); }
const VTROComponentDefinition* VTROComponent::EngineDefinition() const { return m_definition; }
bool VTROComponent::EngineIsThreaded() {
  VTROProperty* property = FindProperty("threaded");
  bool value = true;
  if (property != nullptr) GetBoolValue(property, value);
  return value;
}
std::int32_t VTROComponent::EnginePropertyCount() { return PropertyCount(); }
VTROProperty* VTROComponent::EnginePropertyAt(std::int32_t index) {
  VTROLock lock(m_moduleLock);
  auto* item = m_properties.At(index);
  return item != nullptr ? item->Value() : nullptr;
}
VTROProperty* VTROComponent::EngineFindProperty(const char* shortName) { return FindProperty(shortName); }
std::int32_t VTROComponent::EngineInputCount() { return InputCount(); }
VTROInput* VTROComponent::EngineInputAt(std::int32_t index) {
  VTROLock lock(m_moduleLock);
  auto* item = m_inputs.At(index);
  return item != nullptr ? item->Value() : nullptr;
}
std::int32_t VTROComponent::EngineOutputCount() { return OutputCount(); }
VTROOutput* VTROComponent::EngineOutputAt(std::int32_t index) {
  VTROLock lock(m_moduleLock);
  auto* item = m_outputs.At(index);
  return item != nullptr ? item->Value() : nullptr;
}
std::int32_t VTROComponent::EngineActionCount() { return ActionCount(); }
VTROAction* VTROComponent::EngineActionAt(std::int32_t index) {
  VTROLock lock(m_moduleLock);
  auto* item = m_actions.At(index);
  return item != nullptr ? item->Value() : nullptr;
}
VTROAction* VTROComponent::EngineFindAction(const char* shortName) {
  VTROLock lock(m_moduleLock);
  for (VTROAction* action : m_actions) {
    if (std::strcmp(action->ShortName(), shortName != nullptr ? shortName : "") == 0) return action;
  }
  return nullptr;
}
VTROEvent* VTROComponent::EngineBirthEvent() { return &m_birthEvent; }
