// `vtro-engine start PACKAGE MODEL`: creates one instance, applies the
// engine settings, property values and actions of the command line, and runs
// it for a time (RunSession). Everything the command line asks for is done,
// and refused with a usage error, before the start: a component is never
// started with a value or an action it did not take.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "engine.h"

namespace vtro_engine {

struct StartOptions {
  std::string package;
  std::vector<std::string> morePackages;
  std::string model;
  std::string name;
  double forSeconds = 1.0;
  int runs = 1;
  int32_t speed = 1000;
  std::vector<std::string> sets;      // PROPERTY=VALUE or NAME.PROPERTY=VALUE
  std::vector<std::string> settings;  // Engine.X=VALUE
  std::vector<std::string> unsets;
  std::vector<std::string> at;       // timed events
  std::vector<std::string> actions;  // triggered before the start
  bool traces = false;
};

// Returns the exit status (exit_status.h).
int StartCommand(Engine& engine, const StartOptions& options, const std::atomic<bool>& interrupted);

}  // namespace vtro_engine
