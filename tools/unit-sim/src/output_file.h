// Files the emulated unit writes (report, capture, saved frames) are written
// beside their final name and renamed over it once complete, so a stop, a
// failure or a kill never leaves a half-written file under that name. An
// existing pipe or device is written directly.
#pragma once

#include <sys/stat.h>

#include <cstdio>
#include <string>

namespace qtusim {

// The name to write to first: FINAL.part, or FINAL itself when FINAL is an
// existing file that is not a regular one (a pipe, /dev/stdout).
inline std::string partName(const std::string& finalName) {
  struct stat st {};
  if (::stat(finalName.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) return finalName;
  return finalName + ".part";
}

// Puts a complete part in place; removes it when `complete` is false or the
// rename fails. True when the final file holds the part.
inline bool commitPart(const std::string& part, const std::string& finalName, bool complete) {
  if (part == finalName) return complete;
  if (complete && std::rename(part.c_str(), finalName.c_str()) == 0) return true;
  std::remove(part.c_str());
  return false;
}

}  // namespace qtusim
