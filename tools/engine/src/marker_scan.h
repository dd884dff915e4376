// Finds the module markers "$!VTRO_MODULE!<group>!<name>!$!<version>!$" in
// the bytes of a package file, without loading it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
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

inline constexpr size_t kMaxMarkerField = 256;
// The longest well-formed marker: prefix, three fields and their terminators.
inline constexpr size_t kMaxMarkerBytes = 14 + kMaxMarkerField + 1 + kMaxMarkerField + 3 + kMaxMarkerField + 2;

// Pulls bytes from `read` (it returns a count, 0 at the end, -1 on an error)
// and scans them in windows of `window` bytes (at least 2 * kMaxMarkerBytes),
// so memory stays bounded whatever the length; the markers are those
// ScanMarkers finds in the whole. False when `read` failed or more than
// `limit` bytes came.
bool ScanMarkerStream(const std::function<long(char*, size_t)>& read, size_t window, uint64_t limit,
                      std::vector<ModuleMarker>& markers, std::string& error);

// Reads the file (a regular file or a pipe of at most kMaxScanBytes) and
// scans it; nullopt with `error` filled when it cannot be read.
std::optional<std::vector<ModuleMarker>> ScanMarkerFile(const std::string& path, std::string& error);

}  // namespace vtro_engine
