// Finds the module markers "$!VTRO_MODULE!<group>!<name>!$!<version>!$" in
// the bytes of a package file, without loading it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vtro_engine {

struct ModuleMarker {
  std::string group;
  std::string name;
  std::string version;
  uint64_t offset;  // of the leading "$" in the scanned bytes
};

// Every well-formed marker in order of appearance. A fragment that starts
// like a marker but is cut off, holds a non-printable byte, an empty field
// or a field longer than kMaxMarkerField is skipped.
std::vector<ModuleMarker> ScanMarkers(std::string_view bytes);

// The markers with each (group, name, version) once, at its first offset: a
// build with debug information holds every marker twice.
std::vector<ModuleMarker> UniqueMarkers(const std::vector<ModuleMarker>& markers);

// Reads the file and scans it; nullopt with `error` filled when it cannot be read.
std::optional<std::vector<ModuleMarker>> ScanMarkerFile(const std::string& path, std::string& error);

inline constexpr size_t kMaxMarkerField = 256;

}  // namespace vtro_engine
