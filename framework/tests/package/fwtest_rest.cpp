// FwTestRest: rests in engine time and reports how long each rest took in
// real and in engine time, then rests until stopped.
#include <chrono>
#include <new>
#include <string>

#include "fwtest_support.h"
#include "vtro/VTROModuleDefinition.h"

namespace {

VTROPropertyValue g_restDefault(std::int64_t{250000});
VTROPropertyValue g_countDefault(std::int64_t{1});
VTROPropertyValue g_waitDefault(std::int64_t{-2});

const VTROPropertyDefinition g_properties[] = {
    {"RestUs", &g_restDefault, nullptr, fwtest::kPlain, 0},
    {"Rests", &g_countDefault, nullptr, fwtest::kPlain, 0},
    // -2: no wait; -1: Core waits for an event nobody sets; otherwise with that time-out in µs.
    {"WaitUs", &g_waitDefault, nullptr, fwtest::kPlain, 0},
    {nullptr, nullptr, nullptr, 0, 0},
};
const VTROInputDefinition g_inputs[] = {{nullptr, nullptr, nullptr, 0, 0}};
const VTROOutputDefinition g_outputs[] = {{nullptr, nullptr, 0, nullptr, nullptr, 0, 0, 0, 0}};
const VTROActionDefinition g_actions[] = {{nullptr, nullptr, 0, {0}}};

class FwTestRest : public VTROComponent {
 public:
  FwTestRest(const char* name, const VTROComponentDefinition* definition) : VTROComponent(name, definition) {}

  void Birth() override {
    rest_ = GetIntegerProperty("RestUs");
    rests_ = GetIntegerProperty("Rests");
    wait_ = GetIntegerProperty("WaitUs");
    done_ = 0;
  }

  void Core() override {
    if (wait_ != -2) {
      try {
        WaitCondition(never_, wait_);
      } catch (int code) {
        Say("wait ended by " + std::to_string(code));
        throw;
      }
    }
    if (done_ < rests_) {
      ++done_;
      const auto real0 = std::chrono::steady_clock::now();
      const auto engine0 = CurrentTime(true, true);
      const bool reached = Rest(rest_);
      const auto engine1 = CurrentTime(true, true);
      const auto realUs =
          std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - real0).count();
      Say("rest " + std::to_string(rest_) + " returned " + (reached ? "1" : "0") + " real_us=" +
          std::to_string(realUs) + " engine_us=" + std::to_string(engine1 - engine0));
      return;
    }
    if (done_ == rests_) {
      ++done_;
      Say("rests done");
    }
    try {
      Rest(10'000'000);
    } catch (int code) {
      Say("long rest ended by " + std::to_string(code));
      throw;
    }
  }

  void Death() override { Say("Death"); }

 private:
  void Say(const std::string& text) { ReportInfo(text.c_str()); }
  std::int64_t rest_ = 0;
  std::int64_t rests_ = 0;
  std::int64_t done_ = 0;
  std::int64_t wait_ = -2;
  VTROEvent never_{false};
};

VTRO_MODULE_MARKER(g_marker, "VTROComponent", "FwTestRest", "1.0.0");

VTROComponent* Create(const char* name, const VTROComponentDefinition* definition) {
  return new (std::nothrow) FwTestRest(name, definition);
}

VTROComponentDefinition g_definition = {
    "FwTestRest", "1.0.0", &Create, nullptr, nullptr, 0,
    -1, g_inputs, -1, 0, g_outputs, -1, 0, g_properties, -1, 0, g_actions,
    128, 0, VTRO_THREADING_THREADED, 1, {0}, g_marker};

VTROModuleDefinition* g_module = new VTROModuleDefinition("FwTestRest", "VTROComponent", nullptr, &g_definition);

}  // namespace
