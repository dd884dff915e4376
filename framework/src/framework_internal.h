// Internal helpers shared by the framework's sources (not for components).
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>

#include "vtro/VTROEngineInterface.h"
#include "vtro/VTROStackedString.h"

class VTROComponent;
class VTROModule;
class VTROProperty;

namespace vtro {

// printf-style formatting into a VTROStackedString. MinGW's C++ runtime
// formats as C99 does (%zu included): its archetype, not the Microsoft one.
#if defined(__MINGW_PRINTF_FORMAT)
VTROStackedString Format(const char* format, ...) __attribute__((format(__MINGW_PRINTF_FORMAT, 1, 2)));
#else
VTROStackedString Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
#endif

// The stored engine pointer; raising -5 is not possible without an engine, so
// callers that need it check for null and skip the call.
VTROEngineInterface* EngineOrNull();

// Engine report when an engine is installed (dropped otherwise).
void EngineReport(const char* text, int kind, int level, int frameworkFlag);
void EngineTrace(const char* text);

// Reads an integer engine setting; `fallback` when absent.
std::int64_t EngineIntegerSetting(const char* fullName, std::int64_t fallback);
bool EngineBoolSetting(const char* fullName, bool fallback);

// Default values used when the engine does not answer.
constexpr std::int64_t kDefaultShutdownTimeoutUs = 10000000;
// How long a stop waits for the component to die, in engine time.
constexpr std::int64_t kDieLimitUs = 10000000;

// Property values without the setters' gate (read-only statistics, system
// properties); 57005 when a value can't be read (VTROModule.cpp).
void StoreInteger(VTROModule* module, VTROProperty* property, std::int64_t value);
std::int64_t LoadInteger(VTROModule* module, VTROProperty* property);

// The thread starter: a detached thread with the "C" numeric locale, and the
// component main thread on it (VTROTiming.cpp).
bool StartThread(void (*function)(void*), void* argument);
bool StartMainThread(VTROComponent* component);

// A time-out on an input in a sequential step: fatal report, then -5
// (VTROComponentRun.cpp). Raised once the run lock is given back.
[[noreturn]] void RaiseInputTimeout(const char* name);

}  // namespace vtro
