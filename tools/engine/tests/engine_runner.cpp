#include "engine_runner.h"

#include <cstdlib>
#include <sstream>

namespace vtro_engine_test {

std::vector<std::string> EngineRun::Lines() const {
  std::vector<std::string> lines;
  std::istringstream in(out);
  std::string line;
  while (std::getline(in, line)) {
    lines.push_back(line);
  }
  return lines;
}

bool EngineRun::HasLine(const std::string& line) const {
  for (const auto& l : Lines()) {
    if (l == line) {
      return true;
    }
  }
  return false;
}

int EngineRun::Find(const std::string& text, int from) const {
  const auto lines = Lines();
  for (int i = from; i < static_cast<int>(lines.size()); ++i) {
    if (lines[static_cast<size_t>(i)].find(text) != std::string::npos) {
      return i;
    }
  }
  return -1;
}

int EngineRun::Count(const std::string& text) const {
  int n = 0;
  for (const auto& l : Lines()) {
    if (l.find(text) != std::string::npos) {
      ++n;
    }
  }
  return n;
}

long long NumberAfter(const std::string& line, const std::string& key) {
  const size_t at = line.find(key);
  if (at == std::string::npos) {
    return -1;
  }
  return std::strtoll(line.c_str() + at + key.size(), nullptr, 10);
}

}  // namespace vtro_engine_test
