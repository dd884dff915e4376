#include "run_command.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <set>
#include <thread>

#include "diagram_build.h"
#include "input_file.h"
#include "input_limits.h"
#include "run_report.h"

namespace vtro_engine {
namespace {

using Steady = std::chrono::steady_clock;
using namespace std::chrono_literals;

std::size_t TerminalWidth() {
  winsize size{};
  if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 10) return size.ws_col - 1;
  return 100;
}

RunCounts Snapshot(Engine& engine, Steady::time_point begin) {
  RunCounts counts;
  counts.seconds = std::chrono::duration<double>(Steady::now() - begin).count();
  std::set<VTROOutput*> seen;
  for (const auto& c : engine.Connections().All()) {
    if (seen.insert(c.output).second) counts.outputs.push_back({c.outputName, c.output->WrittenCount()});
    counts.inputs.push_back({c.inputName, c.outputName, c.input->ReadCount()});
  }
  return counts;
}

ReportTally Tally(const Engine& engine) {
  ReportTally tally;
  for (const auto& r : const_cast<Engine&>(engine).Reports().Reports()) {
    (r.kind == ReportKind::Info ? tally.info : r.kind == ReportKind::Warning ? tally.warning : tally.error) += 1;
  }
  return tally;
}

bool SourceDone(Engine& engine, const std::string& name) {
  VTROComponent* c = engine.Find(name);
  if (c == nullptr || (c->EngineState() & VTRO_STATE_DEAD) != 0) return true;
  VTROProperty* done = c->EngineFindProperty("Done");
  bool value = false;
  try {
    return done != nullptr && done->Type() == VTRO_PROPERTY_BOOL && done->GetBool(value) && value;
  } catch (...) {
    return false;
  }
}

// The first component that ended with an error, or "".
std::string FailedComponent(Engine& engine, const std::vector<std::string>& names) {
  for (const auto& n : names) {
    VTROComponent* c = engine.Find(n);
    if (c != nullptr && (c->EngineState() & VTRO_STATE_ERROR) != 0) return n;
  }
  return {};
}

// One start/stop cycle; returns the exit status of the cycle.
int RunOnce(Engine& engine, const std::vector<std::string>& order,
            const std::vector<std::string>& sources, std::optional<double> forSeconds, bool progress,
            const std::atomic<bool>& interrupted) {
  Reporter& out = engine.Reports();
  int status = kRunOk;
  const RunCounts base = Snapshot(engine, Steady::now());
  const ReportTally reportsBefore = Tally(engine);
  std::vector<std::string> started;
  std::string endedBy;
  for (const auto& name : order) {
    if (!engine.Start(name)) {
      status = kRunComponentError;
      endedBy = "the failed start of " + name;
      break;
    }
    started.push_back(name);
  }
  const auto begin = Steady::now();
  const auto deadline = forSeconds ? begin + std::chrono::duration_cast<Steady::duration>(
                                                 std::chrono::duration<double>(*forSeconds))
                                   : Steady::time_point::max();
  RunCounts shown = Since(base, Snapshot(engine, begin));
  auto nextShow = begin + 500ms;
  while (endedBy.empty()) {
    const auto now = Steady::now();
    if (interrupted) {
      endedBy = "an interrupt";
    } else if (now >= deadline) {
      endedBy = "the time limit";
    } else if (const std::string failed = FailedComponent(engine, started); !failed.empty()) {
      endedBy = "an error of " + failed;
    } else if (!sources.empty() && std::all_of(sources.begin(), sources.end(),
                                               [&](const std::string& s) { return SourceDone(engine, s); })) {
      // Let what the sources wrote reach the readers, within a bound.
      // At most a day: a huge setting must not overflow the clock.
      const int64_t limit = std::clamp<int64_t>(engine.Settings().Integer("Engine.drainTimeout").value_or(2'000'000), 0,
                                                int64_t{86'400'000'000});
      const auto drainEnd = Steady::now() + std::chrono::microseconds(limit);
      int quiet = 0;
      while (quiet < 2 && Steady::now() < drainEnd && !interrupted) {
        quiet = engine.ConnectionsIdle() ? quiet + 1 : 0;
        std::this_thread::sleep_for(10ms);
      }
      endedBy = quiet >= 2 ? "the sources being done" : "the sources being done (drain time-out)";
    }
    if (!endedBy.empty()) break;
    if (progress && now >= nextShow) {
      const RunCounts current = Since(base, Snapshot(engine, begin));
      out.ShowStatus(ProgressLine(shown, current, TerminalWidth()));
      shown = current;
      nextShow = now + 500ms;
    }
    std::this_thread::sleep_until(std::min(deadline, now + 20ms));
  }
  const RunCounts beforeStop = Snapshot(engine, begin);
  // Sources first, so nothing new enters what is being stopped.
  for (auto it = started.rbegin(); it != started.rend(); ++it) engine.Stop(*it);
  if (progress) out.ShowStatus("");
  if (!FailedComponent(engine, started).empty()) status = kRunComponentError;
  const RunCounts counts = Since(base, Latest(beforeStop, Snapshot(engine, begin)));
  for (const auto& line : SummaryLines(counts, Since(reportsBefore, Tally(engine)), endedBy)) {
    out.Print(line);
  }
  return status;
}

}  // namespace

std::vector<std::string> StartOrder(const std::vector<std::string>& components,
                                    const std::vector<std::pair<std::string, std::string>>& edges) {
  std::map<std::string, std::vector<std::string>> downstream;
  for (const auto& [from, to] : edges) downstream[from].push_back(to);
  std::vector<std::string> order;
  std::set<std::string> visited;
  // Depth first along the outputs; a component is placed after everything it feeds.
  std::function<void(const std::string&)> visit = [&](const std::string& name) {
    if (!visited.insert(name).second) return;
    for (const auto& next : downstream[name]) visit(next);
    order.push_back(name);
  };
  for (const auto& c : components) visit(c);
  return order;
}

int RunDiagram(Engine& engine, const RunOptions& options, const std::atomic<bool>& interrupted) {
  Reporter& out = engine.Reports();
  std::string error;
  const auto text = ReadWholeFile(options.file, kMaxDiagramBytes, error);
  if (!text) {
    out.Emit(2, 0, false, error);
    return kRunInvalidDiagram;
  }
  const auto diagram = ParseDiagram(*text, error);
  if (!diagram) {
    out.Emit(2, 0, false, options.file + ": " + error);
    return kRunInvalidDiagram;
  }
  for (const auto& w : diagram->warnings) out.Emit(1, 0, false, options.file + ": " + w);
  error = BuildDiagram(engine, *diagram, options.sets);
  if (!error.empty()) {
    out.Emit(2, 0, false, options.file + ": " + error);
    engine.DestroyAll();
    return kRunInvalidDiagram;
  }
  std::vector<std::string> names;
  std::vector<std::pair<std::string, std::string>> edges;
  std::set<std::string> fed;
  for (const auto& c : diagram->components) names.push_back(c.name);
  for (const auto& c : diagram->connections) {
    edges.emplace_back(c.from.instance, c.to.instance);
    fed.insert(c.to.instance);
  }
  std::vector<std::string> sources;
  for (const auto& n : names) {
    if (fed.count(n) == 0) sources.push_back(n);
  }
  const std::vector<std::string> order = StartOrder(names, edges);
  const std::optional<double> forSeconds = options.forSeconds ? options.forSeconds : diagram->forSeconds;
  int status = kRunOk;
  for (int run = 0; run < options.runs && !interrupted; ++run) {
    status = std::max(status, RunOnce(engine, order, sources, forSeconds, options.progress, interrupted));
  }
  engine.DestroyAll();
  return status;
}

}  // namespace vtro_engine
