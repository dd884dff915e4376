// Events, locks, reports to the engine, the local fatal display, engine
// property queries and the name check.
#if defined(VTRO_NAME_PATTERN_STD_REGEX)
// Builds without PCRE2 (Debian has no MinGW build of it) check names with
// the standard library's ECMAScript expressions, whose "$" also matches
// only at the very end of the text.
#include <regex>
#else
#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>
#endif

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

#include "framework_internal.h"
#include "platform/vtro_platform.h"
#include "vtro/VTROComponent.h"
#include "vtro/VTROEngineInterface.h"
#include "vtro/VTROEvent.h"

namespace vtro {

VTROStackedString Format(const char* format, ...) {
  char small[512];
  va_list arguments;
  va_start(arguments, format);
  const int length = std::vsnprintf(small, sizeof small, format, arguments);
  va_end(arguments);
  if (length < 0) return VTROStackedString();
  if (static_cast<std::size_t>(length) < sizeof small) return VTROStackedString(small, static_cast<std::size_t>(length));
  std::vector<char> large(static_cast<std::size_t>(length) + 1);
  va_start(arguments, format);
  std::vsnprintf(large.data(), large.size(), format, arguments);
  va_end(arguments);
  return VTROStackedString(large.data(), static_cast<std::size_t>(length));
}

VTROEngineInterface* EngineOrNull() { return VTRO::Engine(); }

void EngineReport(const char* text, int kind, int level, int frameworkFlag) {
  VTROEngineInterface* engine = VTRO::Engine();
  if (engine != nullptr) engine->Report(text != nullptr ? text : "", kind, level, frameworkFlag);
}

void EngineTrace(const char* text) {
  VTROEngineInterface* engine = VTRO::Engine();
  if (engine != nullptr) engine->Trace(text);
}

std::int64_t EngineIntegerSetting(const char* fullName, std::int64_t fallback) {
  VTROEngineInterface* engine = VTRO::Engine();
  if (engine == nullptr) return fallback;
  bool found = false;
  const std::int64_t value = engine->GetIntegerProperty(fullName, &found);
  return found ? value : fallback;
}

bool EngineBoolSetting(const char* fullName, bool fallback) {
  VTROEngineInterface* engine = VTRO::Engine();
  if (engine == nullptr) return fallback;
  bool found = false;
  const bool value = engine->GetBoolProperty(fullName, &found);
  return found ? value : fallback;
}

}  // namespace vtro

// VTROEvent -------------------------------------------------------------------

using vtro::platform::Event;

VTROEvent::VTROEvent(bool initiallySet, const char* name) : m_name(name) {
  m_handle = vtro::platform::EventCreate(initiallySet);
  if (m_handle == nullptr) throw VTRO::ErrorException;
}

VTROEvent::~VTROEvent() {
  if (m_armed) Disarm();
  if (m_ownsHandle && m_handle != nullptr) vtro::platform::EventDestroy(static_cast<Event*>(m_handle));
}

void VTROEvent::Set() { vtro::platform::EventSet(static_cast<Event*>(m_handle)); }
void VTROEvent::Reset() { vtro::platform::EventReset(static_cast<Event*>(m_handle)); }
bool VTROEvent::IsSet() const { return vtro::platform::EventIsSet(static_cast<Event*>(m_handle)); }

int VTROEvent::Wait(std::int64_t timeoutUs) {
  Event* handle = static_cast<Event*>(m_handle);
  const std::int64_t timeoutMs = timeoutUs < 0 ? -1 : timeoutUs / 1000;
  const int result = vtro::platform::EventWaitAny(&handle, 1, timeoutMs);
  if (result == 0) return 0;
  if (result == vtro::platform::kWaitTimeout) return kTimeout;
  return -1;
}

int VTROEvent::Wait(int count, VTROEvent* const* events, std::int64_t timeoutUs) {
  if (count > kMaxWaitCount) {
    VTRO::ReportError("VTROEvent::Wait can't wait for more than 256 events", 1);
    throw VTRO::ErrorException;
  }
  Event* handles[kMaxWaitCount];
  for (int i = 0; i < count; ++i) handles[i] = static_cast<Event*>(events[i]->m_handle);
  const std::int64_t timeoutMs = timeoutUs < 0 ? -1 : timeoutUs / 1000;
  const int result = vtro::platform::EventWaitAny(handles, count, timeoutMs);
  if (result >= 0) return result;
  if (result == vtro::platform::kWaitTimeout) return kTimeout;
  const int error = vtro::platform::LastError();
  const VTROStackedString text =
      vtro::Format("error_num:%d error_str:%s", error, vtro::platform::ErrorText(error).c_str());
  VTRO::ReportError(text.c_str(), 0);
  return -1;
}

int VTROEvent::WaitWithMessages(int count, VTROEvent* const* events, std::int64_t timeoutUs) {
  return Wait(count, events, timeoutUs);
}

bool VTROEvent::TimeTrigger(std::int64_t delayUs) {
  Reset();
  VTROEngineInterface* engine = VTRO::Engine();
  if (engine == nullptr) return false;
  return ArmAt(engine->CurrentTime() + delayUs);
}

bool VTROEvent::ArmAt(std::int64_t engineTimeUs) {
  VTROEngineInterface* engine = VTRO::Engine();
  if (engine == nullptr || engine->TimerService() == nullptr) return false;
  if (!engine->TimerService()->Arm(this, engineTimeUs)) return false;
  m_armed = true;
  return true;
}

void VTROEvent::Disarm() {
  if (!m_armed) return;
  VTROEngineInterface* engine = VTRO::Engine();
  if (engine != nullptr && engine->TimerService() != nullptr) engine->TimerService()->Disarm(this);
  m_armed = false;
}

// VTROMutex -------------------------------------------------------------------

using vtro::platform::RecursiveMutex;

VTROMutex::VTROMutex() {
  m_handle = vtro::platform::MutexCreate();
  if (m_handle == nullptr) throw VTRO::ErrorException;
}
VTROMutex::~VTROMutex() { vtro::platform::MutexDestroy(static_cast<RecursiveMutex*>(m_handle)); }
void VTROMutex::Lock() { vtro::platform::MutexLock(static_cast<RecursiveMutex*>(m_handle)); }
void VTROMutex::Unlock() { vtro::platform::MutexUnlock(static_cast<RecursiveMutex*>(m_handle)); }
bool VTROMutex::TryLock() { return vtro::platform::MutexTryLock(static_cast<RecursiveMutex*>(m_handle)); }

// Global reports ------------------------------------------------------------

namespace VTRO {

void ReportInfo(const char* text, int level) { vtro::EngineReport(text, 0, level, 0); }
void ReportWarning(const char* text, int level) { vtro::EngineReport(text, 1, level, 0); }
void ReportError(const char* text, int level) { vtro::EngineReport(text, 2, level, 0); }

void FatalReport(const char* text, int level) {
  vtro::EngineReport(text, 2, level, 1);
  throw ErrorException;
}

void LocalFatalDisplay(bool engineTitle, const char* text, int kind) {
  const char* title = engineTitle ? "Vantro Engine" : "Vantro";
  if (text == nullptr) text = "";
  if (!vtro::platform::EnvironmentVariableIsSet("SILENT") &&
      !vtro::platform::EnvironmentVariableIsSet("VANTRO_SILENT")) {
    vtro::platform::MessageBox(text, title, kind >= 0 && kind <= 2 ? kind : 0);
    return;
  }
  if (kind == 1) {
    std::fprintf(stdout, "Warning: %s: %s\r\n", title, text);
    std::fflush(stdout);
  } else if (kind == 2) {
    std::fprintf(stderr, "Error: %s: %s\r\n", title, text);
    std::fflush(stderr);
  } else {
    std::fprintf(stdout, "%s: %s\r\n", title, text);
    std::fflush(stdout);
  }
}

namespace {

// Answers the "unknown name" rule shared by the queries: fatal without a
// found flag, found = false with one. Returns whether the property exists.
bool CheckEngineProperty(const char* fullName, bool* found, std::int32_t* type) {
  VTROEngineInterface* engine = Engine();
  *type = engine != nullptr ? engine->GetPropertyType(fullName) : -1;
  if (found != nullptr) *found = *type >= 0;
  if (*type >= 0) return true;
  if (found == nullptr) {
    FatalReport(vtro::Format("Can't get value of property %s. The symbol is undefined.", fullName).c_str(), 1);
  }
  return false;
}

}  // namespace

std::int64_t GetEngineIntegerProperty(const char* fullName, bool* found) {
  std::int32_t type;
  if (!CheckEngineProperty(fullName, found, &type)) return 0;
  return Engine()->GetIntegerProperty(fullName, nullptr);
}

bool GetEngineBoolProperty(const char* fullName, bool* found) {
  std::int32_t type;
  if (!CheckEngineProperty(fullName, found, &type)) return false;
  return Engine()->GetBoolProperty(fullName, nullptr);
}

VTROStackedString GetEngineStringProperty(const char* fullName, bool* found) {
  std::int32_t type;
  if (!CheckEngineProperty(fullName, found, &type)) return VTROStackedString();
  if (type != VTRO_PROPERTY_STRING && type != VTRO_PROPERTY_ENUM) {
    FatalReport(vtro::Format("Can't get string value of property %s. It is not a string or an enum.", fullName).c_str(),
                1);
  }
  char small[256];
  const std::size_t length = Engine()->GetStringProperty(fullName, small, sizeof small, nullptr);
  if (length < sizeof small) return VTROStackedString(small, length);
  std::vector<char> large(length + 1);
  Engine()->GetStringProperty(fullName, large.data(), large.size(), nullptr);
  return VTROStackedString(large.data(), length);
}

VTROEnumStruct GetEngineEnumProperty(const char* fullName, bool* found) {
  std::int32_t type;
  VTROEnumStruct result;
  if (!CheckEngineProperty(fullName, found, &type)) return result;
  if (type != VTRO_PROPERTY_ENUM) {
    FatalReport(vtro::Format("Can't get string value of property %s. It is not an enum.", fullName).c_str(), 1);
  }
  char small[512];
  std::size_t length = Engine()->GetEnumProperty(fullName, small, sizeof small, nullptr);
  if (length < sizeof small) {
    result.FromString(small, false);
  } else {
    std::vector<char> large(length + 1);
    Engine()->GetEnumProperty(fullName, large.data(), large.size(), nullptr);
    result.FromString(large.data(), false);
  }
  return result;
}

namespace {

#if defined(VTRO_NAME_PATTERN_STD_REGEX)
class NamePattern {
 public:
  explicit NamePattern(const char* pattern) : m_pattern(pattern, std::regex::ECMAScript | std::regex::optimize) {}
  bool Matches(const char* text) const { return text != nullptr && std::regex_search(text, m_pattern); }

 private:
  std::regex m_pattern;
};
#else
// A compiled expression shared by all threads; each match uses its own match data.
class NamePattern {
 public:
  explicit NamePattern(const char* pattern) {
    int error = 0;
    PCRE2_SIZE offset = 0;
    // DOLLAR_ENDONLY: a trailing newline does not pass as part of a name.
    m_code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern), PCRE2_ZERO_TERMINATED, PCRE2_DOLLAR_ENDONLY, &error, &offset, nullptr);
  }
  ~NamePattern() { pcre2_code_free(m_code); }
  bool Matches(const char* text) const {
    if (m_code == nullptr || text == nullptr) return false;
    pcre2_match_data* data = pcre2_match_data_create_from_pattern(m_code, nullptr);
    if (data == nullptr) return false;
    const int result = pcre2_match(m_code, reinterpret_cast<PCRE2_SPTR>(text), std::strlen(text), 0, 0, data, nullptr);
    pcre2_match_data_free(data);
    return result >= 0;
  }

 private:
  pcre2_code* m_code = nullptr;
};
#endif

}  // namespace

bool IsValidName(const char* name) {
  static const NamePattern pattern("^[a-zA-Z][a-zA-Z_0-9]*$");
  return pattern.Matches(name);
}

bool IsValidModuleOutputName(const char* name) {
  static const NamePattern pattern("^[a-zA-Z][a-zA-Z_0-9\\.:]*$");
  return pattern.Matches(name);
}

}  // namespace VTRO
