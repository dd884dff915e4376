// FwTestLifecycle: reports every step of its life with its state word, and
// fails on request (property "Fault") in Birth, Core, Death or its threads.
#include <chrono>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>

#include "fwtest_support.h"
#include "vtro/VTROModuleDefinition.h"

namespace {

using fwtest::StateText;

enum Fault : std::int32_t {
  kNone,
  kBirthError,
  kBirthInt,
  kBirthString,
  kBirthStd,
  kBirthUnknown,
  kBirthStop,
  kCoreError,
  kCoreInt,
  kCoreString,
  kCoreStd,
  kCoreUnknown,
  kCoreTimeout,
  kDeathError,
  kDeathInt,
  kDeathStd,
  kDeathUnknown,
  kDeathHang,
  kCoreIgnoresStop,
  kThreadHang,
};

constexpr const char kFaults[] =
    "none|birthError|birthInt|birthString|birthStd|birthUnknown|birthStop|coreError|coreInt|coreString|coreStd|"
    "coreUnknown|coreTimeout|deathError|deathInt|deathStd|deathUnknown|deathHang|coreIgnoresStop|threadHang";

VTROPropertyValue g_faultDefault(kFaults, 0);
VTROPropertyValue g_corePeriodDefault(std::int64_t{20000});
VTROPropertyValue g_threadsDefault(std::int64_t{0});
VTROPropertyValue g_freeThreadsDefault(std::int64_t{0});
VTROPropertyValue g_hangDefault(std::int64_t{1500});

const VTROPropertyDefinition g_properties[] = {
    {"Fault", &g_faultDefault, nullptr, fwtest::kPlain, 0},
    {"CorePeriod", &g_corePeriodDefault, nullptr, fwtest::kLive, 0},
    {"Threads", &g_threadsDefault, nullptr, fwtest::kPlain, 0},
    {"FreeThreads", &g_freeThreadsDefault, nullptr, fwtest::kPlain, 0},
    {"HangMs", &g_hangDefault, nullptr, fwtest::kPlain, 0},
    {nullptr, nullptr, nullptr, 0, 0},
};

const VTROTypeFilter g_int64Filter = {0, 0, 0x8000, nullptr, {0, 0, 0}};
const VTROInputDefinition g_inputs[] = {
    {"trigger", nullptr, &g_int64Filter, 0, 1},
    {nullptr, nullptr, nullptr, 0, 0},
};
const VTROOutputDefinition g_outputs[] = {
    {"count", nullptr, 0x8000, nullptr, nullptr, 1, 16, 1, 1},
    {nullptr, nullptr, 0, nullptr, nullptr, 0, 0, 0, 0},
};

const VTROActionDefinition g_actions[] = {{nullptr, nullptr, 0, {0}}};

class FwTestLifecycle : public VTROComponent {
 public:
  FwTestLifecycle(const char* name, const VTROComponentDefinition* definition) : VTROComponent(name, definition) {}

  void Birth() override {
    cores_ = 0;
    fault_ = static_cast<Fault>(GetIntegerProperty("Fault"));
    period_ = GetIntegerProperty("CorePeriod");
    hangMs_ = GetIntegerProperty("HangMs");
    Say("Birth state=" + StateText(State()) + " threaded=" + (GetBoolProperty("threaded") ? "1" : "0"));
    switch (fault_) {
      case kBirthError:
        Error("Birth failed on request", 1, 0);
        break;
      case kBirthInt:
        throw 42;
      case kBirthString:
        throw "birth string";
      case kBirthStd:
        throw std::runtime_error("birth runtime error");
      case kBirthUnknown:
        throw 2.5;
      case kBirthStop:
        throw VTRO::StopException;
      default:
        break;
    }
    const auto threads = GetIntegerProperty("Threads");
    for (std::int64_t i = 0; i < threads; ++i) {
      CreateThread(static_cast<VTROThreadFunction>(&FwTestLifecycle::ThreadBody));
    }
    const auto freeThreads = GetIntegerProperty("FreeThreads");
    for (std::int64_t i = 0; i < freeThreads; ++i) {
      const auto started = CreateThread(&FwTestLifecycle::FreeThreadBody, this);
      Say(std::string("free thread started=") + (started.first ? "1" : "0"));
    }
  }

  void Core() override {
    ++cores_;
    if (cores_ <= 3) {
      Say("Core " + std::to_string(cores_) + " state=" + StateText(State()));
    }
    if (cores_ == 2) {
      switch (fault_) {
        case kCoreError:
          Error("Core failed on request", 1, 0);
          break;
        case kCoreInt:
          throw 43;
        case kCoreString:
          throw "core string";
        case kCoreStd:
          throw std::runtime_error("core runtime error");
        case kCoreUnknown:
          throw 1.5f;
        case kCoreTimeout:
          throw VTRO::TimeoutException;
        case kCoreIgnoresStop:
          // Neither polls IsDying nor calls a blocking framework operation.
          Say("Core ignores the stop");
          std::this_thread::sleep_for(std::chrono::milliseconds(hangMs_));
          Say("Core returns late");
          return;
        default:
          break;
      }
    }
    Rest(period_);
  }

  void BeforeDeath() override { Say("BeforeDeath state=" + StateText(State())); }

  void Death() override {
    Say("Death cores=" + std::to_string(cores_) + " state=" + StateText(State()) + " dying=" +
        (IsDying() ? "1" : "0"));
    switch (fault_) {
      case kDeathError:
        Error("Death failed on request", 1, 0);
        break;
      case kDeathInt:
        throw 44;
      case kDeathStd:
        throw std::runtime_error("death runtime error");
      case kDeathUnknown:
        throw 'x';
      case kDeathHang:
        std::this_thread::sleep_for(std::chrono::milliseconds(hangMs_));
        Say("Death returns late");
        break;
      default:
        break;
    }
  }

 private:
  void Say(const std::string& text) { ReportInfo(text.c_str()); }

  void ThreadBody() {
    Say("thread runs");
    if (fault_ == kThreadHang) {
      // Ignores the stop for a while: the shutdown limit expires first.
      std::this_thread::sleep_for(std::chrono::milliseconds(hangMs_));
      Say("thread returns late");
      return;
    }
    try {
      while (true) {
        Rest(period_);
      }
    } catch (int code) {
      Say("thread stopped by " + std::to_string(code));
      throw;
    }
  }

  static void FreeThreadBody(void* argument) {
    auto* self = static_cast<FwTestLifecycle*>(argument);
    self->Say("free thread runs");
    while (!self->IsDying()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    self->Say("free thread ends");
  }

  Fault fault_ = kNone;
  std::int64_t period_ = 20000;
  std::int64_t hangMs_ = 1500;
  int cores_ = 0;
};

VTRO_MODULE_MARKER(g_marker, "VTROComponent", "FwTestLifecycle", "1.2.3");

VTROComponent* Create(const char* name, const VTROComponentDefinition* definition) {
  return new (std::nothrow) FwTestLifecycle(name, definition);
}

VTROComponentDefinition g_definition = {
    "FwTestLifecycle", "1.2.3", &Create, nullptr, nullptr, 0,
    -1, g_inputs, -1, 0, g_outputs, -1, 0, g_properties, -1, 0, g_actions,
    128, 0, VTRO_THREADING_THREADED | VTRO_THREADING_SEQUENTIAL, 1, {0}, g_marker};

VTROModuleDefinition* g_module =
    new VTROModuleDefinition("FwTestLifecycle", "VTROComponent", nullptr, &g_definition);

}  // namespace
