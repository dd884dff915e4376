#include "marker_scan.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace vtro_engine {
namespace {

constexpr std::string_view kPrefix = "$!VTRO_MODULE!";

bool Printable(char c) { return c >= 0x20 && c < 0x7f; }

// Reads one field up to `end` (exclusive) starting at `pos`; the field must
// be non-empty, printable and free of "!". Leaves `pos` after the terminator.
std::optional<std::string_view> Field(std::string_view bytes, size_t& pos, std::string_view end) {
  const size_t start = pos;
  while (pos < bytes.size() && pos - start <= kMaxMarkerField) {
    if (bytes.compare(pos, end.size(), end) == 0) {
      if (pos == start) {
        return std::nullopt;
      }
      const auto field = bytes.substr(start, pos - start);
      pos += end.size();
      return field;
    }
    const char c = bytes[pos];
    if (!Printable(c) || c == '!') {
      return std::nullopt;
    }
    ++pos;
  }
  return std::nullopt;
}

}  // namespace

std::vector<ModuleMarker> ScanMarkers(std::string_view bytes) {
  std::vector<ModuleMarker> markers;
  size_t from = 0;
  while (true) {
    const size_t at = bytes.find(kPrefix, from);
    if (at == std::string_view::npos) {
      break;
    }
    from = at + 1;  // an invalid fragment may hide a marker that starts inside it
    size_t pos = at + kPrefix.size();
    const auto group = Field(bytes, pos, "!");
    if (!group) {
      continue;
    }
    const auto name = Field(bytes, pos, "!$!");
    if (!name) {
      continue;
    }
    const auto version = Field(bytes, pos, "!$");
    if (!version) {
      continue;
    }
    markers.push_back(ModuleMarker{std::string(*group), std::string(*name), std::string(*version), at});
    from = pos;
  }
  return markers;
}

std::vector<ModuleMarker> UniqueMarkers(const std::vector<ModuleMarker>& markers) {
  std::vector<ModuleMarker> unique;
  for (const auto& m : markers) {
    const bool seen = std::any_of(unique.begin(), unique.end(), [&m](const ModuleMarker& u) {
      return u.group == m.group && u.name == m.name && u.version == m.version;
    });
    if (!seen) {
      unique.push_back(m);
    }
  }
  return unique;
}

std::optional<std::vector<ModuleMarker>> ScanMarkerFile(const std::string& path, std::string& error) {
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) {
    error = "cannot read " + path + ": it is a directory";
    return std::nullopt;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot open " + path + ": " + std::strerror(errno);
    return std::nullopt;
  }
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) {
    error = "cannot read " + path;
    return std::nullopt;
  }
  return ScanMarkers(bytes);
}

}  // namespace vtro_engine
