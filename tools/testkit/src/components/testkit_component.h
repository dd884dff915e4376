// What the testkit's components share: property flag words, the base class
// with checked property reads, the "Done" flag of the sources and pacing in
// engine time, and the static definition record with its registration.
#pragma once

#include <cstdint>
#include <string>

#include "vtro/VTROComponent.h"
#include "vtro/VTROIplImage.h"
#include "vtro/VTROModuleDefinition.h"

namespace testkit {

inline constexpr std::uint32_t kPlain = VTRO_FLAG_ENUM_VALUES_FIXED;
inline constexpr std::uint32_t kReadOnly = VTRO_FLAG_READ_ONLY | VTRO_FLAG_ENUM_VALUES_FIXED;
inline constexpr const char* kVersion = "1.0.0";

// A component of the testkit.
class TestkitComponent : public VTROComponent {
 public:
  using VTROComponent::VTROComponent;

 protected:
  // Raises the component's error with `text` (level 1).
  [[noreturn]] void Fail(const std::string& text) {
    Error(text.c_str(), 1, 0);
    throw VTRO::ErrorException;  // not reached: Error raises
  }
  // An integer property that must lie in [low, high].
  std::int64_t IntegerIn(const char* name, std::int64_t low, std::int64_t high);
  // A float property that must lie in [low, high].
  double FloatIn(const char* name, double low, double high);
  std::string Text(const char* name);
  // Sets the read-only "Done" flag (past the setter's gate, under the value lock).
  void SetDone(bool done);
};

// A source: an output written "Count" times (0 = without end) at "Rate"
// elements per second of engine time (0 = as fast as the readers take them).
// Once the count is reached the read-only property "Done" turns true (the
// engine ends a run when every source is done) and Core only rests. Death
// clears it again, so that a new start never shows the last run's Done
// before its Birth ran.
class TestkitSource : public TestkitComponent {
 public:
  using TestkitComponent::TestkitComponent;
  void Death() override { SetDone(false); }

 protected:
  // Reads "Rate" and "Count", clears "Done" and starts the clock of the run.
  void StartSource();
  // False once Count elements were written (Done is then set and Core
  // rests); otherwise waits until element `Written()` is due and returns true.
  bool NextDue();
  void CountWritten() { ++written_; }
  std::uint64_t Written() const { return written_; }
  std::int64_t RunStart() const { return start_; }

 private:
  double rate_ = 0;
  std::uint64_t count_ = 0;
  std::uint64_t written_ = 0;
  std::int64_t start_ = 0;
};

// The definition record of a component, registered in "VTROComponent".
struct Registration {
  Registration(VTROComponentDefinition* definition) { module = new VTROModuleDefinition(definition->name, "VTROComponent", nullptr, definition); }
  VTROModuleDefinition* module;
};

}  // namespace testkit

// Factory and definition record of a testkit component class `Class` named
// `Name`, with its tables (null-ended) and threading bits.
#define TESTKIT_COMPONENT(Class, Name, inputs, outputs, outputCount, properties, threading)                     \
  VTRO_MODULE_MARKER(g_marker_##Class, "VTROComponent", Name, "1.0.0");                                      \
  VTROComponent* Create_##Class(const char* name, const VTROComponentDefinition* definition) {                 \
    return new (std::nothrow) Class(name, definition);                                                         \
  }                                                                                                            \
  VTROComponentDefinition g_definition_##Class = {                                                             \
      Name, "1.0.0", &Create_##Class, nullptr, nullptr, 0, -1, inputs, outputCount, 0, outputs, -1, 0,         \
      properties, 0, 0, nullptr, 128, 0, threading, 1, {0}, g_marker_##Class};                                 \
  const testkit::Registration g_registration_##Class(&g_definition_##Class)
