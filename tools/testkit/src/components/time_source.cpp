// TimeSource: 64-bit integers on "oTime": "Value" (µs) after "Delay" µs of
// engine time, then every "Period" µs (0 = once) the value plus "Step" more;
// "Count" values in all (0 = without end; a period of 0 writes one). Each
// element's timestamp is the engine time it was due at.
#include "testkit_component.h"

namespace {

VTROPropertyValue g_value(std::int64_t{0});
VTROPropertyValue g_delay(std::int64_t{0});
VTROPropertyValue g_period(std::int64_t{0});
VTROPropertyValue g_step(std::int64_t{0});
VTROPropertyValue g_count(std::int64_t{0});
VTROPropertyValue g_done(false);

const VTROPropertyDefinition g_properties[] = {
    {"Value", &g_value, nullptr, testkit::kPlain, 0},
    {"Delay", &g_delay, nullptr, testkit::kPlain, 0},
    {"Period", &g_period, nullptr, testkit::kPlain, 0},
    {"Step", &g_step, nullptr, testkit::kPlain, 0},
    {"Count", &g_count, nullptr, testkit::kPlain, 0},
    {"Done", &g_done, nullptr, testkit::kReadOnly, 0},
    {nullptr, nullptr, nullptr, 0, 0},
};

const VTROOutputDefinition g_outputs[] = {
    {"oTime", nullptr, VTRO_TYPE_INT64, nullptr, nullptr, 1, 16, 1, 1},
    {nullptr, nullptr, 0, nullptr, nullptr, 0, 0, 0, 0},
};

class TimeSource final : public testkit::TestkitComponent {
 public:
  using TestkitComponent::TestkitComponent;

  void Birth() override {
    value_ = GetIntegerProperty("Value");
    delay_ = IntegerIn("Delay", 0, INT64_MAX / 4);
    period_ = IntegerIn("Period", 0, INT64_MAX / 4);
    step_ = GetIntegerProperty("Step");
    count_ = static_cast<std::uint64_t>(IntegerIn("Count", 0, INT64_MAX));
    if (period_ == 0) count_ = 1;
    written_ = 0;
    start_ = CurrentTime(true, true);
    SetDone(false);
  }

  void Core() override {
    if (count_ != 0 && written_ >= count_) {
      SetDone(true);
      Rest(1'000'000);
      return;
    }
    const std::int64_t due = start_ + delay_ + static_cast<std::int64_t>(written_) * period_;
    const std::int64_t now = CurrentTime(true, true);
    if (due > now) Rest(due - now);
    VTROIOElt* element = StartWriting(Output(0));
    *element->Int64At(0) = value_;
    element->SetVectorSize(1);
    element->SetTimestamp(due);
    StopWriting(element, false);
    value_ += step_;
    ++written_;
  }

  void Death() override { SetDone(false); }  // a new start must not show this run's Done before its Birth

 private:
  std::int64_t value_ = 0, delay_ = 0, period_ = 0, step_ = 0, start_ = 0;
  std::uint64_t count_ = 0, written_ = 0;
};

TESTKIT_COMPONENT(TimeSource, "TimeSource", nullptr, g_outputs, -1, g_properties, VTRO_THREADING_THREADED);

}  // namespace
