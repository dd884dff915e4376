// vtro-engine: loads packages, lists and scans them, and starts components.
// Exit statuses are in exit_status.h (and the README).
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <clocale>
#include <cmath>
#include <iostream>
#include <limits>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "engine.h"
#include "exit_status.h"
#include "input_limits.h"
#include "listing.h"
#include "marker_scan.h"
#include "run_command.h"
#include "start_command.h"

namespace {

std::atomic<bool> g_interrupted{false};

// The first Ctrl-C (or SIGTERM) stops the components and ends the run; a
// second one, for a stop that hangs, ends the process at once.
extern "C" void OnInterrupt(int) {
  if (g_interrupted.exchange(true)) {
    static const char kText[] = "vtro-engine: interrupted again, quitting without waiting for the components\n";
    [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, kText, sizeof kText - 1);
    ::_exit(vtro_engine::kExitInterrupted);
  }
}

void InstallInterruptHandlers() {
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

// What list and scan print is their product: a failed write is an error.
int OutputStatus(int status) {
  std::cout.flush();
  if (std::cout) return status;
  std::cerr << "vtro-engine: cannot write to standard output\n";
  return vtro_engine::kExitOutput;
}

int Scan(const std::vector<std::string>& files) {
  int status = vtro_engine::kExitOk;
  for (const auto& file : files) {
    std::string error;
    const auto markers = vtro_engine::ScanMarkerFile(file, error);
    if (!markers) {
      std::cout << "error: " << error << "\n";
      status = vtro_engine::kExitFailed;
      continue;
    }
    vtro_engine::PrintMarkers(std::cout, file, vtro_engine::UniqueMarkers(*markers));
  }
  return OutputStatus(status);
}

int List(vtro_engine::Engine& engine, const std::vector<std::string>& packages) {
  int status = vtro_engine::kExitOk;
  for (const auto& path : packages) {
    std::string error;
    const auto* package = engine.LoadPackage(path, error);
    if (package == nullptr) {
      engine.Reports().Emit(2, 0, false, error);
      status = vtro_engine::kExitFailed;
      continue;
    }
    vtro_engine::PrintPackage(std::cout, *package);
  }
  return OutputStatus(status);
}

// Seconds of real time: finite, 0 to 1e9 (NaN and infinities refused).
const CLI::Validator kSeconds(
    [](std::string& text) -> std::string {
      const auto v = vtro_engine::ParseFloat(text);
      if (!v || !(*v >= 0 && *v <= vtro_engine::kMaxSeconds)) return "'" + text + "' is not 0 to 1e9 seconds";
      return {};
    },
    "SECONDS");

}  // namespace

int main(int argc, char** argv) {
  std::setlocale(LC_NUMERIC, "C");
  CLI::App app{"vtro-engine: host of component packages"};
  app.set_version_flag("--version", std::string("vtro-engine ") + QTU_VERSION);
  app.require_subcommand(1);

  std::vector<std::string> scanFiles;
  auto* scan = app.add_subcommand("scan", "module markers found in package files, without loading them");
  scan->add_option("FILE", scanFiles, "package file")->required();

  std::vector<std::string> listPackages;
  auto* list = app.add_subcommand("list", "components of packages with their elements");
  list->add_option("PACKAGE", listPackages, "package file")->required();

  vtro_engine::StartOptions o;
  auto* start = app.add_subcommand("start", "start one component, run it for a time, stop it");
  start->add_option("PACKAGE", o.package, "package file")->required();
  start->add_option("MODEL", o.model, "component model name")->required();
  start->add_option("--package", o.morePackages, "further package to load");
  start->add_option("--name", o.name, "instance name (default: the model name)");
  start->add_option("--for", o.forSeconds, "real seconds to run before the stop")->check(kSeconds);
  start->add_option("--runs", o.runs, "start/stop cycles")->check(CLI::Range(1, std::numeric_limits<int>::max()));
  start->add_option("--speed", o.speed, "clock speed in per mille of real time (0 paused, <0 backwards)");
  start->add_option("--set", o.sets, "PROPERTY=VALUE or NAME.PROPERTY=VALUE, set before the start");
  start->add_option("--setting", o.settings, "engine setting NAME=VALUE, e.g. Engine.shutdownTimeout=500000");
  start->add_option("--unset", o.unsets, "engine setting to remove, e.g. Engine.version");
  start->add_option("--at", o.at,
                    "timed event after the start, real seconds: T:speed:N, T:pause, T:resume, T:set:PROP=VALUE, "
                    "T:action:NAME, T:step:INPUT, T:stop");
  start->add_option("--act", o.actions, "action to trigger after the sets, before the start");
  start->add_flag("--traces", o.traces, "show traces and state changes");

  vtro_engine::RunOptions r;
  auto* run = app.add_subcommand("run", "build a diagram from a JSON file, run it, print a summary");
  run->add_option("DIAGRAM", r.file, "diagram file (JSON)")->required();
  run->add_option("--for", r.forSeconds, "real seconds to run (overrides run.for_s)")->check(kSeconds);
  run->add_option("--set", r.sets, "NAME.PROPERTY=VALUE, set after the diagram's properties");
  run->add_option("--runs", r.runs, "start/stop cycles")->check(CLI::Range(1, std::numeric_limits<int>::max()));
  bool traces = false;
  run->add_flag("--traces", traces, "show traces and state changes");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // --help and --version end with 0, every other parse error is a usage error.
    return app.exit(e) == 0 ? vtro_engine::kExitOk : vtro_engine::kExitUsage;
  }
  if (scan->parsed()) return Scan(scanFiles);
  vtro_engine::Engine engine(std::cout);
  if (list->parsed()) return List(engine, listPackages);
  InstallInterruptHandlers();
  if (start->parsed()) return vtro_engine::StartCommand(engine, o, g_interrupted);
  engine.Reports().SetShowTraces(traces);
  // The live line only on a terminal: logs and pipes get the reports alone.
  r.progress = ::isatty(STDOUT_FILENO) == 1;
  const int status = vtro_engine::RunDiagram(engine, r, g_interrupted);
  return status == vtro_engine::kExitOk && g_interrupted ? vtro_engine::kExitInterrupted : status;
}
