#include "definition_layout.h"

#include <cstring>

namespace vtro_engine {

namespace {
// A table without its null entry would be read without end; no component has
// anywhere near this many elements.
constexpr size_t kMaxEntries = 4096;
}  // namespace

size_t CountEntries(const void* table, size_t stride) {
  if (table == nullptr) {
    return 0;
  }
  const auto* bytes = static_cast<const unsigned char*>(table);
  size_t n = 0;
  while (n < kMaxEntries) {
    const char* name;
    std::memcpy(&name, bytes + n * stride, sizeof name);
    if (name == nullptr) {
      break;
    }
    ++n;
  }
  return n;
}

int32_t ResolveCount(int32_t count, size_t entries) {
  if (count < 0 || static_cast<size_t>(count) > entries) {
    return static_cast<int32_t>(entries);
  }
  return count;
}

}  // namespace vtro_engine
