// vtro-engine: loads packages, lists and scans them, and starts components.
#include <unistd.h>

#include <csignal>
#include <clocale>
#include <iostream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "engine.h"
#include "listing.h"
#include "marker_scan.h"
#include "run_command.h"
#include "session.h"

namespace {

std::atomic<bool> g_interrupted{false};

extern "C" void OnInterrupt(int) { g_interrupted = true; }

int Scan(const std::vector<std::string>& files) {
  int status = 0;
  for (const auto& file : files) {
    std::string error;
    const auto markers = vtro_engine::ScanMarkerFile(file, error);
    if (!markers) {
      std::cout << "error: " << error << "\n";
      status = 1;
      continue;
    }
    vtro_engine::PrintMarkers(std::cout, file, vtro_engine::UniqueMarkers(*markers));
  }
  return status;
}

int List(vtro_engine::Engine& engine, const std::vector<std::string>& packages) {
  int status = 0;
  for (const auto& path : packages) {
    std::string error;
    const auto* package = engine.LoadPackage(path, error);
    if (package == nullptr) {
      engine.Reports().Emit(2, 0, false, error);
      status = 1;
      continue;
    }
    vtro_engine::PrintPackage(std::cout, *package);
  }
  return status;
}

struct StartOptions {
  std::string package;
  std::vector<std::string> morePackages;
  std::string model;
  std::string name;
  double forSeconds = 1.0;
  int runs = 1;
  int32_t speed = 1000;
  std::vector<std::string> sets;
  std::vector<std::string> settings;
  std::vector<std::string> unsets;
  std::vector<std::string> at;
  std::vector<std::string> actions;
  bool traces = false;
};

int Start(vtro_engine::Engine& engine, const StartOptions& o) {
  auto fail = [&engine](const std::string& text) {
    engine.Reports().Emit(2, 0, false, text);
    return 1;
  };
  for (const auto& s : o.settings) {
    const size_t eq = s.find('=');
    if (eq == std::string::npos || eq == 0) {
      return fail("--setting needs NAME=VALUE, not '" + s + "'");
    }
    const std::string why = engine.Settings().SetFromText(s.substr(0, eq), s.substr(eq + 1));
    if (!why.empty()) {
      return fail(why);
    }
  }
  for (const auto& u : o.unsets) {
    engine.Settings().Remove(u);
  }
  engine.Reports().SetShowTraces(o.traces);
  std::vector<std::string> packages{o.package};
  packages.insert(packages.end(), o.morePackages.begin(), o.morePackages.end());
  for (const auto& p : packages) {
    std::string error;
    if (engine.LoadPackage(p, error) == nullptr) {
      return fail(error);
    }
  }
  const std::string name = o.name.empty() ? o.model : o.name;
  std::string error;
  if (engine.Create(o.model, name, error) == nullptr) {
    return fail(error);
  }
  for (const auto& s : o.sets) {
    const size_t eq = s.find('=');
    if (eq == std::string::npos || eq == 0) {
      return fail("--set needs PROPERTY=VALUE or NAME.PROPERTY=VALUE, not '" + s + "'");
    }
    std::string property = s.substr(0, eq);
    if (property.compare(0, name.size() + 1, name + ".") == 0) {
      property = property.substr(name.size() + 1);
    }
    if (!engine.SetProperty(name, property, s.substr(eq + 1), error)) {
      return fail(error);
    }
  }
  for (const auto& a : o.actions) {
    if (!engine.TriggerAction(name, a, error)) {
      engine.Reports().Emit(2, 0, false, error);
    }
  }
  vtro_engine::SessionPlan plan;
  plan.instances = {name};
  plan.forSeconds = o.forSeconds;
  plan.runs = o.runs;
  plan.speed = o.speed;
  for (const auto& a : o.at) {
    vtro_engine::TimedEvent event;
    const std::string why = vtro_engine::ParseTimedEvent(a, name, event);
    if (!why.empty()) {
      return fail(why);
    }
    plan.events.push_back(event);
  }
  const int status = vtro_engine::RunSession(engine, plan, g_interrupted);
  engine.DestroyAll();
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  std::setlocale(LC_NUMERIC, "C");
  CLI::App app{"vtro-engine: host of component packages"};
  app.require_subcommand(1);

  std::vector<std::string> scanFiles;
  auto* scan = app.add_subcommand("scan", "module markers found in package files, without loading them");
  scan->add_option("FILE", scanFiles, "package file")->required();

  std::vector<std::string> listPackages;
  auto* list = app.add_subcommand("list", "components of packages with their elements");
  list->add_option("PACKAGE", listPackages, "package file")->required();

  StartOptions o;
  auto* start = app.add_subcommand("start", "start one component, run it for a time, stop it");
  start->add_option("PACKAGE", o.package, "package file")->required();
  start->add_option("MODEL", o.model, "component model name")->required();
  start->add_option("--package", o.morePackages, "further package to load");
  start->add_option("--name", o.name, "instance name (default: the model name)");
  start->add_option("--for", o.forSeconds, "real seconds to run before the stop")->check(CLI::NonNegativeNumber);
  start->add_option("--runs", o.runs, "start/stop cycles")->check(CLI::PositiveNumber);
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
  run->add_option("--for", r.forSeconds, "real seconds to run (overrides run.for_s)")->check(CLI::NonNegativeNumber);
  run->add_option("--set", r.sets, "NAME.PROPERTY=VALUE, set after the diagram's properties");
  run->add_option("--runs", r.runs, "start/stop cycles")->check(CLI::PositiveNumber);
  bool traces = false;
  run->add_flag("--traces", traces, "show traces and state changes");

  CLI11_PARSE(app, argc, argv);
  if (scan->parsed()) {
    return Scan(scanFiles);
  }
  std::signal(SIGINT, OnInterrupt);
  std::signal(SIGTERM, OnInterrupt);
  vtro_engine::Engine engine(std::cout);
  if (list->parsed()) {
    return List(engine, listPackages);
  }
  if (start->parsed()) {
    return Start(engine, o);
  }
  if (run->parsed()) {
    engine.Reports().SetShowTraces(traces);
    // The live line only on a terminal: logs and pipes get the reports alone.
    r.progress = ::isatty(STDOUT_FILENO) == 1;
    return vtro_engine::RunDiagram(engine, r, g_interrupted);
  }
  return 2;
}
