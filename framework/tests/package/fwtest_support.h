// Helpers shared by the test components: reports carrying the state word,
// and the table entries every test component builds.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "vtro/VTROComponent.h"

namespace fwtest {

// "0x<hex>" of a state word, as the reports of the test components show it.
inline std::string StateText(std::uint32_t state) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%x", static_cast<unsigned>(state));
  return text;
}

// Flag words of the property tables (bytes: must be set, changeable while
// running, read only, enumeration values fixed).
inline constexpr std::uint32_t kPlain = 0x1000000;
inline constexpr std::uint32_t kLive = 0x1000100;
inline constexpr std::uint32_t kReadOnly = 0x1010000;
inline constexpr std::uint32_t kMustBeSet = 0x1000001;

}  // namespace fwtest
