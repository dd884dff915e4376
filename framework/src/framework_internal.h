// Internal helpers shared by the framework's sources (not for components).
#pragma once

#include <cstdarg>
#include <cstdint>

#include "vtro/VTROEngineInterface.h"
#include "vtro/VTROStackedString.h"

namespace vtro {

// printf-style formatting into a VTROStackedString.
VTROStackedString Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

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
constexpr std::int64_t kDefaultDieTimeoutUs = 10000000;

}  // namespace vtro
