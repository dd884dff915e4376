// VTROModuleBase and VTROModule: names, reports, errors, properties with
// their getters and setters, and the period statistics.
#include <cinttypes>
#include <cstdlib>
#include <cstring>

#include "VTROElementCreation.h"
#include "VTROPropertyImplementation.h"
#include "framework_internal.h"
#include "platform/vtro_platform.h"
#include "vtro/VTROComponent.h"
#include "vtro/VTROEngineInterface.h"

namespace vtro {

// Standard property entries of every module (defaults live as long as the library).
struct StandardModuleProperties {
  VTROPropertyValue minusOne{std::int64_t{-1}};
  VTROPropertyValue zero{std::int64_t{0}};
  VTROPropertyValue ten{std::int64_t{10}};
  VTROPropertyDefinition processor{"processor", &minusOne, nullptr,
                                   VTRO_FLAG_CHANGEABLE_WHILE_RUNNING | VTRO_FLAG_ENUM_VALUES_FIXED, 0};
  VTROPropertyDefinition counter{"counter", &zero, nullptr, VTRO_FLAG_READ_ONLY | VTRO_FLAG_ENUM_VALUES_FIXED, 0};
  VTROPropertyDefinition nbPeriods{"nbPeriods", &ten, nullptr,
                                   VTRO_FLAG_CHANGEABLE_WHILE_RUNNING | VTRO_FLAG_ENUM_VALUES_FIXED, 0};
  VTROPropertyDefinition averagePeriod{"averagePeriod", &zero, nullptr,
                                       VTRO_FLAG_READ_ONLY | VTRO_FLAG_ENUM_VALUES_FIXED, 0};
  VTROPropertyDefinition minPeriod{"minPeriod", &zero, nullptr, VTRO_FLAG_READ_ONLY | VTRO_FLAG_ENUM_VALUES_FIXED, 0};
  VTROPropertyDefinition maxPeriod{"maxPeriod", &zero, nullptr, VTRO_FLAG_READ_ONLY | VTRO_FLAG_ENUM_VALUES_FIXED, 0};
  VTROPropertyDefinition contextSwitches{"contextSwitches", &zero, nullptr,
                                         VTRO_FLAG_READ_ONLY | VTRO_FLAG_ENUM_VALUES_FIXED, 0};
  VTROPropertyDefinition cpuLoad{"CPULoad", &zero, nullptr, VTRO_FLAG_READ_ONLY | VTRO_FLAG_ENUM_VALUES_FIXED, 0};
};

const StandardModuleProperties& ModuleProperties() {
  static const StandardModuleProperties* properties = new StandardModuleProperties;
  return *properties;
}

// Stores a value without the setter's gate (read-only statistics).
void StoreInteger(VTROModule* module, VTROProperty* property, std::int64_t value) {
  if (property == nullptr) return;
  VTROLock lock(module->PropertyValueLock());
  static_cast<VTROPropertyImplementation*>(property)->Value().SetInteger(value);
}

std::int64_t LoadInteger(VTROModule* module, VTROProperty* property) {
  if (property == nullptr) return 57005;
  VTROLock lock(module->PropertyValueLock());
  const VTROPropertyValue& value = static_cast<VTROPropertyImplementation*>(property)->Value();
  return value.Type() == VTRO_PROPERTY_INTEGER ? value.Integer() : 57005;
}

}  // namespace vtro

// VTROModuleBase --------------------------------------------------------------

VTROModuleBase::VTROModuleBase(const char* name) : m_name(name) {}
VTROModuleBase::~VTROModuleBase() = default;
void VTROModuleBase::Rename(const char* /*oldName*/, const char* newName) { m_name = newName; }

// VTROModule --------------------------------------------------------------------

VTROModule::VTROModule(const char* name) : VTROModuleBase(name) {
  // Ring for the default window of 10 periods: capacity 16.
  m_periodMask = 15;
  m_periodRing = static_cast<std::int64_t*>(std::malloc(sizeof(std::int64_t) * (m_periodMask + 1)));
  if (m_periodRing == nullptr) throw VTRO::ErrorException;
  for (std::uint32_t i = 0; i <= m_periodMask; ++i) m_periodRing[i] = -1;
  m_state.store(VTRO_STATE_DEAD);

  const vtro::StandardModuleProperties& standard = vtro::ModuleProperties();
  try {
    VTROProperty* processor = NewProperty(&standard.processor);
    processor->SetChangeHandler([](VTROProperty*) {});  // the engine's business: no placement here
    m_counterProperty = NewProperty(&standard.counter);
    m_nbPeriodsProperty = NewProperty(&standard.nbPeriods);
    m_averagePeriodProperty = NewProperty(&standard.averagePeriod);
    m_minPeriodProperty = NewProperty(&standard.minPeriod);
    m_maxPeriodProperty = NewProperty(&standard.maxPeriod);
    NewProperty(&standard.contextSwitches);
    NewProperty(&standard.cpuLoad);
  } catch (...) {
    // The destructor does not run for a failed construction.
    ReleaseElements();
    throw;
  }
}

VTROModule::~VTROModule() { ReleaseElements(); }

void VTROModule::ReleaseElements() {
  VTROEngineInterface* engine = VTRO::Engine();
  while (!m_actions.Empty()) {
    VTROAction* action = m_actions.Tail()->Value();
    if (engine != nullptr) engine->UnregisterSymbol(action->FullName());
    m_actions.Remove(m_actions.Tail());
    delete action;
  }
  while (!m_outputs.Empty()) {
    VTROOutput* output = m_outputs.Tail()->Value();
    if (engine != nullptr) engine->UnregisterSymbol(output->FullName());
    m_outputs.Remove(m_outputs.Tail());
    delete output;
  }
  while (!m_inputs.Empty()) {
    VTROInput* input = m_inputs.Tail()->Value();
    if (engine != nullptr) engine->UnregisterSymbol(input->FullName());
    m_inputs.Remove(m_inputs.Tail());
    delete input;
  }
  while (!m_properties.Empty()) {
    VTROProperty* property = m_properties.Tail()->Value();
    if (engine != nullptr) engine->UnregisterSymbol(property->FullName());
    m_properties.Remove(m_properties.Tail());
    delete property;
  }
  while (!m_symbols.Empty()) {
    delete m_symbols.Head()->Value();
    m_symbols.Remove(m_symbols.Head());
  }
  std::free(m_periodRing);
  m_periodRing = nullptr;
}

void VTROModule::Rename(const char* oldName, const char* newName) {
  VTROLock lock(m_moduleLock);
  VTROEngineInterface* engine = VTRO::Engine();
  for (VTROProperty* property : m_properties) {
    if (engine != nullptr) engine->UnregisterSymbol(property->FullName());
    static_cast<VTROPropertyImplementation*>(property)->Rename(newName);
    if (engine != nullptr) engine->RegisterProperty(property);
  }
  for (VTROInput* input : m_inputs) {
    if (engine != nullptr) engine->UnregisterSymbol(input->FullName());
    input->SetModuleName(newName);
    if (engine != nullptr) engine->RegisterInput(input);
  }
  for (VTROOutput* output : m_outputs) {
    if (engine != nullptr) engine->UnregisterSymbol(output->FullName());
    output->SetModuleName(newName);
    if (engine != nullptr) engine->RegisterOutput(output);
  }
  for (VTROAction* action : m_actions) {
    if (engine != nullptr) engine->UnregisterSymbol(action->FullName());
    action->SetModuleName(newName);
    if (engine != nullptr) engine->RegisterAction(action);
  }
  VTROModuleBase::Rename(oldName, newName);
  // Symbols: the module's own name and "<old>.<rest>" become the new ones.
  const std::size_t oldLength = oldName != nullptr ? std::strlen(oldName) : 0;
  for (VTROStackedString* symbol : m_symbols) {
    if (oldName == nullptr) continue;
    if (*symbol == oldName) {
      *symbol = newName;
    } else if (std::strncmp(symbol->c_str(), oldName, oldLength) == 0 && symbol->c_str()[oldLength] == '.') {
      VTROStackedString renamed(newName);
      renamed.Append(symbol->c_str() + oldLength);
      *symbol = renamed;
    }
  }
}

const char* VTROModule::KindName() const { return "module"; }

void VTROModule::SequentialStep(VTROInput* /*input*/) {}

void VTROModule::Error(const char* text, int level, int code) {
  m_lastErrorCode = code;
  m_lastErrorText = text;
  m_state.fetch_or(VTRO_STATE_ERROR);
  NotifyState();
  Report(text, 2, level);
  throw VTRO::ErrorException;
}

void VTROModule::Report(const char* text, int kind, int level) {
  VTROStackedString message(KindName());
  message.Append(" ");
  message += m_name;
  message.Append(": ");
  message.Append(text);
  vtro::EngineReport(message.c_str(), kind, level, 0);
}

void VTROModule::FatalReport(const char* text, int level) { VTRO::FatalReport(text, level); }

void VTROModule::NotifyState() {
  VTROEngineInterface* engine = VTRO::Engine();
  if (engine != nullptr) engine->StateChanged(m_name.c_str(), m_state.load());
}

void VTROModule::SetStateBits(std::uint32_t bits) { m_state.fetch_or(bits); }
void VTROModule::ClearStateBits(std::uint32_t bits) { m_state.fetch_and(~bits); }

std::int64_t VTROModule::CurrentTime(bool elapsed, bool precise) {
  VTROEngineInterface* engine = VTRO::Engine();
  return engine != nullptr ? engine->Time(elapsed, precise) : 0;
}

void VTROModule::ResetPeriodStatistics() {
  m_ringStart = 0;
  m_sampleCount = 0;
  m_periodSum = 0;
  m_lastCoreTime = 0;
  m_periodsTaken = false;
}

void VTROModule::UpdatePeriodStatistics() {
  vtro::StoreInteger(this, m_counterProperty, vtro::LoadInteger(this, m_counterProperty) + 1);
  if (m_nbPeriodsProperty != nullptr && m_nbPeriodsProperty->HasChanged()) {
    std::int64_t length = vtro::LoadInteger(this, m_nbPeriodsProperty);
    if (length < 1 || length == 57005) length = 1;
    if (length > (1 << 20)) length = 1 << 20;  // keeps the ring within reason
    std::uint32_t capacity = 1;
    while (capacity < static_cast<std::uint32_t>(length)) capacity <<= 1;
    if (capacity > m_periodMask + 1) {
      std::int64_t* ring = static_cast<std::int64_t*>(std::realloc(m_periodRing, sizeof(std::int64_t) * capacity));
      if (ring == nullptr) Error("Not enough memory for the period statistics", 1, 0);
      m_periodRing = ring;
      m_periodMask = capacity - 1;
    }
    m_windowLength = static_cast<std::uint32_t>(length);
    for (std::uint32_t i = 0; i <= m_periodMask; ++i) m_periodRing[i] = -1;
    m_nbPeriodsProperty->ClearChanged();
    // A new window starts from scratch: this call only records the time.
    m_ringStart = 0;
    m_sampleCount = 0;
    m_periodSum = 0;
    m_periodsTaken = false;
  }
  const std::int64_t now = CurrentTime(true, true);
  if (!m_periodsTaken) {
    m_periodsTaken = true;
    m_lastCoreTime = now;
    return;
  }
  const std::int64_t period = now - m_lastCoreTime;
  m_lastCoreTime = now;
  const bool full = m_sampleCount >= m_windowLength;
  std::int64_t replaced = -1;
  if (full) {
    replaced = m_periodRing[m_ringStart & m_periodMask];
    m_periodSum -= replaced;
    m_periodRing[m_ringStart & m_periodMask] = -1;
    ++m_ringStart;
  } else {
    ++m_sampleCount;
  }
  m_periodRing[(m_ringStart + m_sampleCount - 1) & m_periodMask] = period;
  m_periodSum += period;
  vtro::StoreInteger(this, m_averagePeriodProperty, m_periodSum / static_cast<std::int64_t>(m_sampleCount));

  std::int64_t maximum = vtro::LoadInteger(this, m_maxPeriodProperty);
  std::int64_t minimum = vtro::LoadInteger(this, m_minPeriodProperty);
  const bool rescanMax = !full || replaced == maximum;
  const bool rescanMin = !full || replaced == minimum;
  if (rescanMax || rescanMin) {
    std::int64_t scanMax = period;
    std::int64_t scanMin = period;
    for (std::uint32_t i = 0; i < m_sampleCount; ++i) {
      const std::int64_t sample = m_periodRing[(m_ringStart + i) & m_periodMask];
      if (sample > scanMax) scanMax = sample;
      if (sample < scanMin) scanMin = sample;
    }
    if (rescanMax) maximum = scanMax;
    if (rescanMin) minimum = scanMin;
  }
  if (!rescanMax && period > maximum) maximum = period;
  if (!rescanMin && period < minimum) minimum = period;
  vtro::StoreInteger(this, m_maxPeriodProperty, maximum);
  vtro::StoreInteger(this, m_minPeriodProperty, minimum);
}

// Symbols -------------------------------------------------------------------

void VTROModule::AddSymbol(const char* fullName) {
  VTROLock lock(m_moduleLock);
  for (VTROStackedString* symbol : m_symbols) {
    if (*symbol == fullName) return;
  }
  m_symbols.Append(new VTROStackedString(fullName));
}

void VTROModule::RemoveSymbol(const char* fullName) {
  VTROLock lock(m_moduleLock);
  for (auto* item = m_symbols.Head(); item != nullptr; item = item->Next()) {
    if (*item->Value() == fullName) {
      delete item->Value();
      m_symbols.Remove(item);
      return;
    }
  }
}

VTROStackedString VTROModule::FullNameOf(const char* shortName) const {
  VTROStackedString fullName(m_name);
  fullName.Append(".");
  fullName.Append(shortName);
  return fullName;
}

// Properties ------------------------------------------------------------------

VTROProperty* VTROModule::FindProperty(const char* name) {
  VTROLock lock(m_moduleLock);
  for (VTROProperty* property : m_properties) {
    if (std::strcmp(property->ShortName(), name != nullptr ? name : "") == 0) return property;
  }
  return nullptr;
}

VTROProperty* VTROModule::Property(const char* name) {
  VTROProperty* property = FindProperty(name);
  if (property != nullptr) return property;
  FatalReport(vtro::Format("Trying to access unknown property %s of %s %s", name != nullptr ? name : "", KindName(),
                           m_name.c_str())
                  .c_str(),
              1);
}

VTROProperty* VTROModule::Property(std::int32_t index) {
  {
    VTROLock lock(m_moduleLock);
    auto* item = m_properties.At(index);
    if (item != nullptr) return item->Value();
  }
  FatalReport(vtro::Format("Trying to access unknown property #%d of %s %s", index, KindName(), m_name.c_str()).c_str(),
              1);
}

bool VTROModule::GetBoolProperty(const char* name) {
  bool value = false;
  GetBoolValue(Property(name), value);
  return value;
}

std::int64_t VTROModule::GetIntegerProperty(const char* name) {
  std::int64_t value = 57005;  // what a failed read that does not raise leaves
  GetIntegerValue(Property(name), value);
  return value;
}

double VTROModule::GetFloatProperty(const char* name) {
  double value = 0.0;
  GetFloatValue(Property(name), value);
  return value;
}

VTROStackedString VTROModule::GetStringProperty(const char* name) {
  VTROStackedString value;
  GetStringValue(Property(name), value);
  return value;
}

void VTROModule::GetStringProperty(const char* name, VTROStackedString& out) { GetStringValue(Property(name), out); }

VTROProperty* VTROModule::NewProperty(const VTROPropertyDefinition* definition, const char* name) {
  static constexpr VTROElementTexts kTexts{"Call to NewProperty failed. Bad property definition.",
                                           "Trying to create a property with an invalid name: %s",
                                           "Can't create property %s. The symbol already exists."};
  return VTROFrameworkAccess::NewElement<VTROPropertyImplementation>(
      *this, m_properties, definition, name, kTexts, &VTROEngineInterface::RegisterProperty,
      [](VTROPropertyImplementation*) {},
      [this](VTROProperty* property, const char*) {
        if (m_dynamicCursorsSet) m_declaredInDynamic.Append(property);
      });
}

// Getters ---------------------------------------------------------------------

namespace {

VTROPropertyImplementation* Impl(VTROProperty* property) { return static_cast<VTROPropertyImplementation*>(property); }

void CallReadHook(VTROPropertyImplementation* property) {
  if (property->ReadHook() != nullptr) property->ReadHook()(property, property->Value());
}

}  // namespace

bool VTROModule::GetBoolValue(VTROProperty* property, bool& out) {
  if (property->Type() != VTRO_PROPERTY_BOOL) {
    Error(vtro::Format("Can't get boolean value from property %s", property->FullName()).c_str(), 1, 0);
  }
  VTROLock lock(m_propertyValueLock);
  out = Impl(property)->Value().Bool();
  CallReadHook(Impl(property));
  return true;
}

bool VTROModule::GetIntegerValue(VTROProperty* property, std::int64_t& out) {
  const std::int32_t type = property->Type();
  if (type != VTRO_PROPERTY_INTEGER && type != VTRO_PROPERTY_ENUM) {
    Error(vtro::Format("Can't get integer value from property %s", property->FullName()).c_str(), 1, 0);
  }
  VTROLock lock(m_propertyValueLock);
  const VTROPropertyValue& value = Impl(property)->Value();
  if (type == VTRO_PROPERTY_ENUM) {
    out = value.Enum() != nullptr ? value.Enum()->Selected() : -1;
  } else {
    out = value.Integer();
  }
  CallReadHook(Impl(property));
  return true;
}

bool VTROModule::GetFloatValue(VTROProperty* property, double& out) {
  if (property->Type() != VTRO_PROPERTY_FLOAT) {
    Error(vtro::Format("Can't get floating point value from property %s", property->FullName()).c_str(), 1, 0);
  }
  VTROLock lock(m_propertyValueLock);
  out = Impl(property)->Value().Float();
  CallReadHook(Impl(property));
  return true;
}

bool VTROModule::GetStringValue(VTROProperty* property, VTROStackedString& out) {
  const std::int32_t type = property->Type();
  if (type != VTRO_PROPERTY_STRING && type != VTRO_PROPERTY_ENUM) {
    Error(vtro::Format("Can't get string value from property %s", property->FullName()).c_str(), 1, 0);
  }
  VTROLock lock(m_propertyValueLock);
  const VTROPropertyValue& value = Impl(property)->Value();
  if (type == VTRO_PROPERTY_ENUM) {
    const VTROEnumStruct* enumeration = value.Enum();
    const char* text = enumeration != nullptr ? enumeration->Value(enumeration->Selected()) : nullptr;
    out = text != nullptr ? text : "";
  } else {
    out = value.String();
  }
  CallReadHook(Impl(property));
  return true;
}

bool VTROModule::GetEnumValue(VTROProperty* property, VTROEnumStruct& out) {
  if (property->Type() != VTRO_PROPERTY_ENUM) {
    Error(vtro::Format("Can't get enum values from property %s", property->FullName()).c_str(), 1, 0);
  }
  VTROLock lock(m_propertyValueLock);
  const VTROEnumStruct* value = Impl(property)->Value().Enum();
  out = value != nullptr ? *value : VTROEnumStruct();
  CallReadHook(Impl(property));
  return true;
}

// Setters -------------------------------------------------------------------

namespace {

enum SetKind { kSetBool, kSetInteger, kSetFloat, kSetString, kSetEnum };

bool Accepts(SetKind kind, std::int32_t type) {
  switch (kind) {
    case kSetBool:
      return type == VTRO_PROPERTY_BOOL;
    case kSetInteger:
      return type == VTRO_PROPERTY_INTEGER || type == VTRO_PROPERTY_ENUM;
    case kSetFloat:
      return type == VTRO_PROPERTY_FLOAT;
    case kSetString:
      return type == VTRO_PROPERTY_STRING || type == VTRO_PROPERTY_ENUM;
    case kSetEnum:
      return type == VTRO_PROPERTY_ENUM;
  }
  return false;
}

const char* const kTypeTexts[] = {"Can't set boolean value for property ", "Can't set integer value for property ",
                                  "Can't set float value for property ", "Can't set string value for property ",
                                  "Can't set enum values for property "};

}  // namespace

bool VTROModule::SetValue(VTROProperty* property, std::int32_t kindCode, const void* value) {
  const SetKind kind = static_cast<SetKind>(kindCode);
  VTROPropertyImplementation* target = Impl(property);
  const std::int32_t type = target->Type();
  const bool blockedByRun = !target->ChangeableWhileRunning() && IsStarted();
  if (!Accepts(kind, type) || blockedByRun || !target->IsSettable()) {
    VTROStackedString text;
    if (blockedByRun) {
      text = vtro::Format("Failure while trying to set value of property %s. This property can't be modified after start.",
                          target->FullName());
    } else if (target->ReadOnly()) {
      text = vtro::Format("Failure while trying to set value of property %s. This property is read only.",
                          target->FullName());
    } else if (target->IsSettable()) {
      text = kTypeTexts[kind];
      text.Append(target->FullName());
    } else {
      text = vtro::Format("Failure while trying to set value of property %s. This property is not mutable.",
                          target->FullName());
    }
    Error(text.c_str(), 1, 0);
  }

  m_propertyValueLock.Lock();
  VTROPropertyValue& stored = target->Value();
  switch (kind) {
    case kSetBool:
      stored.SetBool(*static_cast<const bool*>(value));
      break;
    case kSetFloat:
      stored.SetFloat(*static_cast<const double*>(value));
      break;
    case kSetEnum:
      stored.SetEnum(*static_cast<const VTROEnumStruct*>(value));
      break;
    case kSetInteger: {
      const std::int64_t number = *static_cast<const std::int64_t*>(value);
      if (type == VTRO_PROPERTY_INTEGER) {
        stored.SetInteger(number);
        break;
      }
      if (stored.Enum() == nullptr) stored.SetEnum(VTROEnumStruct());
      VTROEnumStruct* enumeration = stored.Enum();
      const std::int32_t count = enumeration->Count();
      if (count == 0) {
        if (number != -1) {
          Report(vtro::Format("Index %" PRId64 " not among possible values for enum property %s [-1]", number,
                              target->FullName())
                     .c_str(),
                 2, 0);
        }
        enumeration->SetSelected(-1);
      } else if (number < 0 || number >= count) {
        const VTROStackedString range = count == 1 ? VTROStackedString("[0]") : vtro::Format("[0..%d]", count - 1);
        Report(vtro::Format("Index %" PRId64 " not among possible values for enum property %s %s", number,
                            target->FullName(), range.c_str())
                   .c_str(),
               2, 0);
      } else {
        enumeration->SetSelected(static_cast<std::int32_t>(number));
      }
      break;
    }
    case kSetString: {
      const char* text = static_cast<const char*>(value);
      if (text == nullptr) text = "";
      if (type == VTRO_PROPERTY_STRING) {
        const std::uint32_t hints = target->Hints();
        if ((hints & VTRO_HINT_FILE_PATH) != 0 && text[0] != '\0') {
          if ((hints & VTRO_HINT_PATH_MUST_EXIST) != 0) {
            if (!vtro::platform::FileIsReadable(text)) {
              VTRO::ReportError(vtro::Format("%s does not exist or is not readable.", text).c_str(), 0);
            }
          } else if ((hints & VTRO_HINT_PATH_IS_DIRECTORY) != 0) {
            if (!vtro::platform::IsDirectory(text)) {
              VTRO::ReportError(vtro::Format("%s is not a directory.", text).c_str(), 0);
            }
          }
        }
        stored.SetString(text);
        break;
      }
      if (stored.Enum() == nullptr) stored.SetEnum(VTROEnumStruct());
      VTROEnumStruct* enumeration = stored.Enum();
      int count = 0;
      int selected = 0;
      if (std::sscanf(text, "%d|%d", &count, &selected) == 2) {
        enumeration->FromString(text, target->EnumValuesFixed());
      } else if (enumeration->Count() == 0) {
        Report(vtro::Format("No possible value for property %s", target->FullName()).c_str(), 2, 0);
      } else {
        const std::int32_t index = enumeration->IndexOf(text);
        if (index < 0) {
          Report(vtro::Format("%s does not match any of the possible properties for property %s", text,
                              target->FullName())
                     .c_str(),
                 2, 0);
        } else {
          enumeration->SetSelected(index);
        }
      }
      break;
    }
  }
  target->ClearMustBeSet();
  if (target->ChangeHandler() != nullptr) {
    try {
      target->ChangeHandler()(target);
    } catch (...) {
      m_propertyValueLock.Unlock();
      throw;
    }
  }
  target->MarkChanged();
  m_propertyValueLock.Unlock();
  return true;
}

bool VTROModule::SetBoolValue(VTROProperty* property, bool value) { return SetValue(property, kSetBool, &value); }
bool VTROModule::SetIntegerValue(VTROProperty* property, std::int64_t value) {
  return SetValue(property, kSetInteger, &value);
}
bool VTROModule::SetFloatValue(VTROProperty* property, double value) { return SetValue(property, kSetFloat, &value); }
bool VTROModule::SetStringValue(VTROProperty* property, const char* value) {
  return SetValue(property, kSetString, value != nullptr ? value : "");
}
bool VTROModule::SetEnumValue(VTROProperty* property, const VTROEnumStruct& value) {
  return SetValue(property, kSetEnum, &value);
}
