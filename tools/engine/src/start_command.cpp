#include "start_command.h"

#include "exit_status.h"
#include "input_limits.h"
#include "session.h"

namespace vtro_engine {

int StartCommand(Engine& engine, const StartOptions& o, const std::atomic<bool>& interrupted) {
  const auto fail = [&engine](const std::string& text, int status) {
    engine.Reports().Emit(2, 0, false, text);
    engine.DestroyAll();
    return status;
  };
  for (const auto& s : o.settings) {
    const size_t eq = s.find('=');
    if (eq == std::string::npos || eq == 0) {
      return fail("--setting needs NAME=VALUE, not '" + ShortText(s) + "'", kExitUsage);
    }
    const std::string why = engine.Settings().SetFromText(s.substr(0, eq), s.substr(eq + 1));
    if (!why.empty()) return fail(why, kExitUsage);
  }
  for (const auto& u : o.unsets) engine.Settings().Remove(u);
  engine.Reports().SetShowTraces(o.traces);
  std::vector<std::string> packages{o.package};
  packages.insert(packages.end(), o.morePackages.begin(), o.morePackages.end());
  for (const auto& p : packages) {
    std::string error;
    if (engine.LoadPackage(p, error) == nullptr) return fail(error, kExitFailed);
  }
  const std::string name = o.name.empty() ? o.model : o.name;
  if (engine.FindModel(o.model) == nullptr) {
    return fail("no loaded package holds the component " + ShortText(o.model), kExitUsage);
  }
  if (!ValidInstanceName(name) || name == "Engine") {
    return fail("invalid instance name '" + ShortText(name) + "': it must match ^[a-zA-Z][a-zA-Z_0-9]*$ and not be Engine",
                kExitUsage);
  }
  std::string error;
  if (engine.Create(o.model, name, error) == nullptr) return fail(error, kExitFailed);
  for (const auto& s : o.sets) {
    const size_t eq = s.find('=');
    if (eq == std::string::npos || eq == 0) {
      return fail("--set needs PROPERTY=VALUE or NAME.PROPERTY=VALUE, not '" + ShortText(s) + "'", kExitUsage);
    }
    std::string property = s.substr(0, eq);
    if (property.compare(0, name.size() + 1, name + ".") == 0) property = property.substr(name.size() + 1);
    if (!engine.SetProperty(name, property, s.substr(eq + 1), error)) return fail(error, kExitUsage);
  }
  // An action the component answers with a warning (not allowed while
  // stopped) is no refusal: it may be triggered again once running.
  for (const auto& a : o.actions) {
    if (!engine.TriggerAction(name, a, error)) return fail(error, kExitUsage);
  }
  SessionPlan plan;
  plan.instances = {name};
  plan.forSeconds = o.forSeconds;
  plan.runs = o.runs;
  plan.speed = o.speed;
  for (const auto& a : o.at) {
    TimedEvent event;
    const std::string why = ParseTimedEvent(a, name, event);
    if (!why.empty()) return fail(why, kExitUsage);
    plan.events.push_back(event);
  }
  const int status = RunSession(engine, plan, interrupted);
  engine.DestroyAll();
  if (status == kExitOk && interrupted) return kExitInterrupted;
  return status;
}

}  // namespace vtro_engine
