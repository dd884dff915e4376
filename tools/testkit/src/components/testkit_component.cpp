#include "testkit_component.h"

#include <cmath>

namespace testkit {

std::int64_t TestkitComponent::IntegerIn(const char* name, std::int64_t low, std::int64_t high) {
  const std::int64_t value = GetIntegerProperty(name);
  if (value < low || value > high) {
    Fail(std::string(name) + " must be between " + std::to_string(low) + " and " + std::to_string(high) + ", not " +
         std::to_string(value));
  }
  return value;
}

double TestkitComponent::FloatIn(const char* name, double low, double high) {
  const double value = GetFloatProperty(name);
  if (!(value >= low && value <= high)) {
    Fail(std::string(name) + " must be between " + std::to_string(low) + " and " + std::to_string(high) + ", not " +
         std::to_string(value));
  }
  return value;
}

std::string TestkitComponent::Text(const char* name) { return GetStringProperty(name).c_str(); }

void TestkitSource::StartSource() {
  rate_ = FloatIn("Rate", 0, 1e6);
  count_ = static_cast<std::uint64_t>(IntegerIn("Count", 0, INT64_MAX));
  written_ = 0;
  start_ = CurrentTime(true, true);
  SetDone(false);
}

bool TestkitSource::NextDue() {
  if (count_ != 0 && written_ >= count_) {
    SetDone(true);
    // Nothing more to write: wait for the stop (Rest raises 57005 then).
    Rest(1'000'000);
    return false;
  }
  if (rate_ > 0) {
    const auto due = start_ + static_cast<std::int64_t>(std::llround(static_cast<double>(written_) * 1e6 / rate_));
    const std::int64_t now = CurrentTime(true, true);
    if (due > now) Rest(due - now);
  }
  return true;
}

void TestkitComponent::SetDone(bool done) {
  VTROProperty* property = FindProperty("Done");
  if (property == nullptr) return;
  VTROLock lock(PropertyValueLock());
  *static_cast<bool*>(property->ValueSlotLocation()) = done;
}

}  // namespace testkit
