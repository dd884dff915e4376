// EngineTestReader: a reader in a package of its own, so that connections
// from the testkit cross between two copies of the framework. For every
// element it reads on "iAny" (any type, never skipping) it reports
//   "got <n> size=<bytes> fnv=<hex> thread=<name>"
// where bytes are the element's data (the pixels of an IPL image, else the
// valid data) and fnv their 64-bit FNV-1a hash; "Quiet" drops the reports
// (a null reader for measurements) and "DelayMs" makes it slow.
#include <pthread.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <new>
#include <thread>

#include "vtro/VTROComponent.h"
#include "vtro/VTROIplImage.h"
#include "vtro/VTROModuleDefinition.h"

namespace {

VTROPropertyValue g_delay(std::int64_t{0});
VTROPropertyValue g_quiet(false);

const VTROPropertyDefinition g_properties[] = {
    {"DelayMs", &g_delay, nullptr, VTRO_FLAG_ENUM_VALUES_FIXED, 0},
    {"Quiet", &g_quiet, nullptr, VTRO_FLAG_ENUM_VALUES_FIXED, 0},
    {nullptr, nullptr, nullptr, 0, 0},
};

const VTROTypeFilter g_any = {0, 0, ~VTRO_TYPE_VECTOR_FLAG, nullptr, {0, 0, 0}};
const VTROInputDefinition g_inputs[] = {
    {"iAny", nullptr, &g_any, NeverSkippingReader, 1},
    {nullptr, nullptr, nullptr, 0, 0},
};

std::uint64_t Fnv(const std::uint8_t* data, std::size_t size) {
  std::uint64_t hash = 0xcbf29ce484222325ull;
  for (std::size_t i = 0; i < size; ++i) hash = (hash ^ data[i]) * 0x100000001b3ull;
  return hash;
}

class EngineTestReader final : public VTROComponent {
 public:
  using VTROComponent::VTROComponent;

  void Birth() override {
    delayMs_ = GetIntegerProperty("DelayMs");
    quiet_ = GetBoolProperty("Quiet");
    count_ = 0;
  }

  void Core() override {
    VTROInput* input = Input(0);
    VTROIOElt* element = StartReading(input);
    if (element == nullptr) return;
    if (!quiet_) {
      const std::uint8_t* data = static_cast<const std::uint8_t*>(element->Data());
      std::size_t size = static_cast<std::size_t>(element->VectorSize());
      if ((element->Type()->typeMask & VTRO_TYPE_IPL_IMAGE) != 0) {
        const IplImage* image = element->IplImageHeader();
        data = reinterpret_cast<const std::uint8_t*>(image->imageData);
        size = static_cast<std::size_t>(image->imageSize);
      }
      char thread[16] = {};
      pthread_getname_np(pthread_self(), thread, sizeof thread);
      char text[160];
      std::snprintf(text, sizeof text, "got %" PRIu64 " size=%zu fnv=%016" PRIx64 " thread=%s", count_, size,
                    Fnv(data, size), thread);
      ReportInfo(text);
    }
    ++count_;
    StopReading(input);
    if (delayMs_ > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delayMs_));
  }

 private:
  std::int64_t delayMs_ = 0;
  bool quiet_ = false;
  std::uint64_t count_ = 0;
};

VTRO_MODULE_MARKER(g_marker, "VTROComponent", "EngineTestReader", "1.0.0");

VTROComponent* Create(const char* name, const VTROComponentDefinition* definition) {
  return new (std::nothrow) EngineTestReader(name, definition);
}

VTROComponentDefinition g_definition = {
    "EngineTestReader", "1.0.0", &Create, nullptr, nullptr, 0, -1, g_inputs, 0, 0, nullptr, -1, 0, g_properties,
    0, 0, nullptr, 128, 0, VTRO_THREADING_THREADED | VTRO_THREADING_SEQUENTIAL, 1, {0}, g_marker};

VTROModuleDefinition* g_module = new VTROModuleDefinition("EngineTestReader", "VTROComponent", nullptr, &g_definition);

}  // namespace
