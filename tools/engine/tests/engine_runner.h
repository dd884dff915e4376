// Runs the vtro-engine binary for a test: captures standard output and error,
// measures the real time taken, and kills the process at a time limit.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace vtro_engine_test {

struct EngineRun {
  int status = -1;  // exit status, or -1 when killed or not started
  bool timedOut = false;
  std::string out;
  std::string err;
  std::chrono::milliseconds took{0};

  std::vector<std::string> Lines() const;
  // True when some line of standard output equals `line`.
  bool HasLine(const std::string& line) const;
  // Index of the first stdout line containing `text`, or -1.
  int Find(const std::string& text, int from = 0) const;
  int Count(const std::string& text) const;
};

// Runs `engine` with `args`; `env` entries "NAME=VALUE" are added to the
// environment. Killed after `limit`. With `interruptAfter` >= 0 the process
// gets SIGINT once that much time has passed.
EngineRun RunEngine(const std::string& engine, const std::vector<std::string>& args,
                    std::chrono::milliseconds limit = std::chrono::seconds(20),
                    const std::vector<std::string>& env = {},
                    std::chrono::milliseconds interruptAfter = std::chrono::milliseconds(-1));

// Number in a report such as "real_us=1234" following `key`, or -1.
long long NumberAfter(const std::string& line, const std::string& key);

}  // namespace vtro_engine_test
