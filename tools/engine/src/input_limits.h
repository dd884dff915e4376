// Bounds on what the engine takes from files and command lines, so that a
// huge or endless input ends with a message instead of exhausting memory or
// overflowing a clock, and a quoted value never floods the reports.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vtro_engine {

// A diagram file; real ones are a few kilobytes.
inline constexpr uint64_t kMaxDiagramBytes = uint64_t{16} << 20;
// A file `scan` reads; packages are a few megabytes.
inline constexpr uint64_t kMaxScanBytes = uint64_t{1} << 30;
// The text of one property value (command line, diagram or timed event).
inline constexpr size_t kMaxPropertyText = size_t{1} << 20;
// Run lengths and event times in seconds (about 31 years), well inside the
// steady clock's range.
inline constexpr double kMaxSeconds = 1e9;

// `text` for a message: as it is when short, else its first bytes, "..." and its length.
inline std::string ShortText(const std::string& text, size_t keep = 60) {
  if (text.size() <= keep + 20) return text;
  return text.substr(0, keep) + "... (" + std::to_string(text.size()) + " bytes)";
}

}  // namespace vtro_engine
