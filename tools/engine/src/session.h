// A run of one or more component instances under a time line: start, timed
// clock changes, property sets, actions and sequential steps, then stop after
// a given real time, on an interrupt, or when every component died on its own.
// The `start` command runs one instance; `run DIAGRAM.json` will fill the same
// structure from a diagram file.
#pragma once

#include <atomic>
#include <chrono>
#include <string>
#include <vector>

#include "engine.h"

namespace vtro_engine {

struct TimedEvent {
  enum class Kind { Speed, Pause, Resume, Set, Action, Step, Stop };
  double at = 0;  // real seconds after the start
  Kind kind = Kind::Speed;
  std::string instance;
  std::string name;   // property or action
  std::string value;  // property value
  int64_t number = 0;  // speed or input index
};

// Parses "T:speed:N", "T:pause", "T:resume", "T:set:PROP=VALUE",
// "T:action:NAME", "T:step:INPUT" or "T:stop" for `instance`. Returns an error text, empty on success.
std::string ParseTimedEvent(const std::string& text, const std::string& instance, TimedEvent& event);

struct SessionPlan {
  std::vector<std::string> instances;  // started in this order, stopped in reverse
  double forSeconds = 1.0;
  int runs = 1;  // start/stop cycles
  int32_t speed = 1000;  // clock speed at the start of each run, per mille
  std::vector<TimedEvent> events;
};

// Runs the plan; returns the exit status (0 unless a start failed or a
// component ended with an error). `interrupted` ends a run early when set.
int RunSession(Engine& engine, const SessionPlan& plan, const std::atomic<bool>& interrupted);

}  // namespace vtro_engine
