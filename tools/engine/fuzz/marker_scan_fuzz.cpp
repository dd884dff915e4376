// libFuzzer target: the module-marker scanner over arbitrary package bytes.
// Every marker found must lie inside the input and read back as written.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "marker_scan.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const auto markers = vtro_engine::ScanMarkers(bytes);
  uint64_t last = 0;
  for (size_t i = 0; i < markers.size(); ++i) {
    const auto& m = markers[i];
    const std::string text = "$!VTRO_MODULE!" + m.group + "!" + m.name + "!$!" + m.version + "!$";
    if (m.offset + text.size() > size || bytes.substr(m.offset, text.size()) != text) {
      std::abort();
    }
    if (i > 0 && m.offset <= last) {
      std::abort();  // in order of appearance, never overlapping the previous one's start
    }
    last = m.offset;
  }
  const auto unique = vtro_engine::UniqueMarkers(markers);
  if (unique.size() > markers.size()) {
    std::abort();
  }
  return 0;
}
