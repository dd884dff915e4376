#include "session.h"

#include <algorithm>
#include <limits>
#include <thread>

#include "input_limits.h"

namespace vtro_engine {

std::string ParseTimedEvent(const std::string& text, const std::string& instance, TimedEvent& event) {
  const size_t colon = text.find(':');
  if (colon == std::string::npos) {
    return "timed event '" + ShortText(text) + "' lacks 'TIME:'";
  }
  const auto at = ParseFloat(text.substr(0, colon));
  if (!at || !(*at >= 0 && *at <= kMaxSeconds)) {
    return "timed event '" + ShortText(text) + "' has no valid time in seconds (0 to 1e9)";
  }
  event = TimedEvent{};
  event.at = *at;
  event.instance = instance;
  const std::string rest = text.substr(colon + 1);
  const size_t colon2 = rest.find(':');
  const std::string kind = rest.substr(0, colon2);
  const std::string arg = colon2 == std::string::npos ? "" : rest.substr(colon2 + 1);
  if (kind == "pause" || kind == "resume" || kind == "stop") {
    event.kind = kind == "pause" ? TimedEvent::Kind::Pause
                 : kind == "resume" ? TimedEvent::Kind::Resume
                                    : TimedEvent::Kind::Stop;
    return {};
  }
  if (kind == "speed" || kind == "step") {
    const auto n = ParseInteger(arg);
    if (!n || *n < std::numeric_limits<int32_t>::min() || *n > std::numeric_limits<int32_t>::max()) {
      return "timed event '" + ShortText(text) + "' needs a 32-bit number after '" + kind + ":'";
    }
    event.kind = kind == "speed" ? TimedEvent::Kind::Speed : TimedEvent::Kind::Step;
    event.number = *n;
    return {};
  }
  if (kind == "action" && !arg.empty()) {
    event.kind = TimedEvent::Kind::Action;
    event.name = arg;
    return {};
  }
  if (kind == "set") {
    const size_t eq = arg.find('=');
    if (eq == std::string::npos || eq == 0) {
      return "timed event '" + ShortText(text) + "' needs PROPERTY=VALUE after 'set:'";
    }
    event.kind = TimedEvent::Kind::Set;
    event.name = arg.substr(0, eq);
    event.value = arg.substr(eq + 1);
    return {};
  }
  return "timed event '" + ShortText(text) + "': unknown kind '" + ShortText(kind) + "'";
}

namespace {

using Steady = std::chrono::steady_clock;

void Apply(Engine& engine, const TimedEvent& e) {
  std::string error;
  switch (e.kind) {
    case TimedEvent::Kind::Speed:
      engine.Clock().SetSpeed(static_cast<int32_t>(e.number));
      break;
    case TimedEvent::Kind::Pause:
      engine.Clock().Pause();
      break;
    case TimedEvent::Kind::Resume:
      engine.Clock().Resume();
      break;
    case TimedEvent::Kind::Set:
      if (!engine.SetProperty(e.instance, e.name, e.value, error)) {
        engine.Reports().Emit(2, 0, false, error);
      }
      break;
    case TimedEvent::Kind::Action:
      if (!engine.TriggerAction(e.instance, e.name, error)) {
        engine.Reports().Emit(2, 0, false, error);
      }
      break;
    case TimedEvent::Kind::Step:
      if (!engine.Step(e.instance, static_cast<int32_t>(e.number), error)) {
        engine.Reports().Emit(2, 0, false, error);
      }
      break;
    case TimedEvent::Kind::Stop:
      engine.Stop(e.instance);
      break;
  }
}

bool AllDead(Engine& engine, const std::vector<std::string>& instances) {
  return std::all_of(instances.begin(), instances.end(), [&engine](const std::string& n) {
    VTROComponent* c = engine.Find(n);
    return c == nullptr || (c->EngineState() & VTRO_STATE_DEAD) != 0;
  });
}

}  // namespace

int RunSession(Engine& engine, const SessionPlan& plan, const std::atomic<bool>& interrupted) {
  int status = 0;
  auto events = plan.events;
  std::stable_sort(events.begin(), events.end(), [](const auto& a, const auto& b) { return a.at < b.at; });
  for (int run = 0; run < plan.runs && !interrupted; ++run) {
    engine.Clock().SetSpeed(plan.speed);
    std::vector<std::string> started;
    for (const auto& name : plan.instances) {
      if (engine.Start(name)) {
        started.push_back(name);
      } else {
        status = 1;
      }
    }
    const auto begin = Steady::now();
    const auto end = begin + std::chrono::duration_cast<Steady::duration>(std::chrono::duration<double>(plan.forSeconds));
    size_t next = 0;
    while (!interrupted && !started.empty()) {
      const auto now = Steady::now();
      while (next < events.size() &&
             begin + std::chrono::duration_cast<Steady::duration>(std::chrono::duration<double>(events[next].at)) <= now) {
        Apply(engine, events[next++]);
      }
      if (now >= end || AllDead(engine, started)) {
        break;
      }
      auto wake = end;
      if (next < events.size()) {
        wake = std::min(wake, begin + std::chrono::duration_cast<Steady::duration>(
                                          std::chrono::duration<double>(events[next].at)));
      }
      // Short slices: an interrupt or a component dying on its own is noticed soon.
      std::this_thread::sleep_until(std::min(wake, now + std::chrono::milliseconds(20)));
    }
    for (auto it = started.rbegin(); it != started.rend(); ++it) {
      engine.Stop(*it);
    }
    for (const auto& name : started) {
      VTROComponent* c = engine.Find(name);
      if (c != nullptr && (c->EngineState() & VTRO_STATE_ERROR) != 0) {
        status = 1;
      }
    }
  }
  return status;
}

}  // namespace vtro_engine
