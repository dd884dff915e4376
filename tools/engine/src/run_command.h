// `vtro-engine run DIAGRAM.json`: reads and builds the diagram (refusing an
// invalid one before anything starts), starts the components downstream
// first, runs until the time limit, an interrupt, a component's error or the
// end of every source, lets the connections drain, stops the sources first,
// and prints the summary.
//
// A source is a component none of whose inputs is connected. It is done when
// it is dead, or when its read-only boolean property "Done" reads true (the
// testkit's sources set it once they wrote "Count" elements, and clear it
// when they stop, so a new start never shows the last run's value). Once every
// source is done the run waits until no connected input has unread data and
// no sequential step is pending, for at most "Engine.drainTimeout" µs of real
// time, then stops.
#pragma once

#include <atomic>
#include <optional>
#include <string>
#include <vector>

#include "engine.h"
#include "exit_status.h"

namespace vtro_engine {

struct RunOptions {
  std::string file;
  std::optional<double> forSeconds;  // overrides the diagram's run.for_s
  std::vector<std::string> sets;     // NAME.PROPERTY=VALUE
  int runs = 1;                      // start/stop cycles
  bool progress = false;             // live status line (on a terminal)
};

// Exit statuses (exit_status.h).
inline constexpr int kRunOk = kExitOk;
inline constexpr int kRunComponentError = kExitFailed;  // a start failed or a component ended with an error
inline constexpr int kRunInvalidDiagram = kExitInvalidDiagram;

int RunDiagram(Engine& engine, const RunOptions& options, const std::atomic<bool>& interrupted);

// Start order: every component after the components its outputs feed
// (downstream first), the file order otherwise; cycles are cut.
std::vector<std::string> StartOrder(const std::vector<std::string>& components,
                                    const std::vector<std::pair<std::string, std::string>>& edges);

}  // namespace vtro_engine
