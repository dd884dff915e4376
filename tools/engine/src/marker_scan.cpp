#include "marker_scan.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "input_file.h"
#include "input_limits.h"

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

bool ScanMarkerStream(const std::function<long(char*, size_t)>& read, size_t window, uint64_t limit,
                      std::vector<ModuleMarker>& markers, std::string& error) {
  window = std::max(window, 2 * kMaxMarkerBytes);
  std::string buffer;  // the bytes from `base` on that are not scanned for good yet
  buffer.reserve(window);
  uint64_t base = 0;
  bool end = false;
  while (!end) {
    while (buffer.size() < window) {
      const size_t before = buffer.size();
      buffer.resize(window);
      const long n = read(buffer.data() + before, window - before);
      buffer.resize(before + static_cast<size_t>(std::max(n, 0L)));
      if (n < 0) {
        error = std::string("read error: ") + std::strerror(errno);
        return false;
      }
      if (n == 0) {
        end = true;
        break;
      }
      if (base + buffer.size() > limit) {
        error = "more than " + std::to_string(limit) + " bytes";
        return false;
      }
    }
    // A marker that starts before `cut` ends inside the window, so it is
    // judged as in the whole file; later ones wait for the next window.
    const size_t cut = end ? buffer.size() : buffer.size() - kMaxMarkerBytes;
    size_t keep = cut;
    for (auto& m : ScanMarkers(buffer)) {
      if (m.offset >= cut) break;
      keep = std::max<size_t>(keep, m.offset + kPrefix.size() + m.group.size() + m.name.size() + m.version.size() + 6);
      m.offset += base;
      markers.push_back(std::move(m));
    }
    buffer.erase(0, keep);
    base += keep;
  }
  return true;
}

std::optional<std::vector<ModuleMarker>> ScanMarkerFile(const std::string& path, std::string& error) {
  auto file = InputFile::Open(path, true, error);
  if (!file) return std::nullopt;
  if (file->Size() > kMaxScanBytes) {
    error = "cannot scan " + path + ": it has " + std::to_string(file->Size()) + " bytes, more than the " +
            SizeText(kMaxScanBytes) + " this engine scans";
    return std::nullopt;
  }
  std::vector<ModuleMarker> markers;
  std::string why;
  const auto read = [&file](char* buffer, size_t capacity) { return file->Read(buffer, capacity); };
  if (!ScanMarkerStream(read, size_t{1} << 20, kMaxScanBytes, markers, why)) {
    error = "cannot scan " + path + ": " + why;
    return std::nullopt;
  }
  return markers;
}

}  // namespace vtro_engine
