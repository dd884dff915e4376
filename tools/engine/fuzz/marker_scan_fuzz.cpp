// libFuzzer target: the module-marker scanner over arbitrary package bytes.
// Every marker found must lie inside the input and read back as written, and
// the streamed scan (smallest windows, uneven pieces) must find the same.
#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstdlib>
#include <cstring>
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
  size_t at = 0;
  const auto read = [&](char* buffer, size_t capacity) {
    const size_t n = std::min({capacity, size - at, size_t{1} + (at * 7919) % 1021});
    std::memcpy(buffer, data + at, n);
    at += n;
    return static_cast<long>(n);
  };
  std::vector<vtro_engine::ModuleMarker> streamed;
  std::string error;
  if (!vtro_engine::ScanMarkerStream(read, 0, size, streamed, error) || streamed.size() != markers.size()) {
    std::abort();
  }
  for (size_t i = 0; i < markers.size(); ++i) {
    if (streamed[i].offset != markers[i].offset || streamed[i].version != markers[i].version) std::abort();
  }
  const auto unique = vtro_engine::UniqueMarkers(markers);
  if (unique.size() > markers.size()) {
    std::abort();
  }
  return 0;
}
