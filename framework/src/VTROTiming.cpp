// Rest in engine time, condition waits, the thread starter, component threads
// and the priority handler.
#include <atomic>
#include <cstdint>
#include <exception>

#include "VTROPropertyImplementation.h"
#include "framework_internal.h"
#include "platform/vtro_platform.h"
#include "vtro/VTROComponent.h"
#include "vtro/VTROEngineInterface.h"

namespace vtro {

namespace {

struct StartBlock {
  void (*function)(void*);
  void* argument;
};

void StarterTrampoline(void* raw) {
  StartBlock* block = static_cast<StartBlock*>(raw);
  void (*function)(void*) = block->function;
  void* argument = block->argument;
  delete block;
  // Every framework thread formats and parses numbers with "." as separator.
  void* locale = platform::ThreadUseCNumericLocale();
  function(argument);
  platform::ThreadRestoreLocale(locale);
}

void MainThreadEntry(void* raw) {
  VTROComponent* component = static_cast<VTROComponent*>(raw);
  VTROEngineInterface* engine = VTRO::Engine();
  if (engine != nullptr) {
    engine->ComponentMainThread(component);
  } else {
    component->EngineRunMainThread();
  }
}

void ComponentThreadEntry(void* raw) {
  VTROThreadContext* context = static_cast<VTROThreadContext*>(raw);
  VTROEngineInterface* engine = VTRO::Engine();
  if (engine != nullptr) {
    engine->ComponentThread(context);
  } else {
    context->Run();
  }
}

}  // namespace

bool StartThread(void (*function)(void*), void* argument) {
  StartBlock* block = new (std::nothrow) StartBlock{function, argument};
  if (block == nullptr) return false;
  if (!platform::ThreadStart(StarterTrampoline, block, nullptr)) {
    delete block;
    return false;
  }
  return true;
}

bool StartMainThread(VTROComponent* component) { return StartThread(MainThreadEntry, component); }

}  // namespace vtro

// Component threads ------------------------------------------------------------

class VTROComponentThreadContext final : public VTROThreadContext {
 public:
  VTROComponentThreadContext(VTROComponent* component, VTROThreadFunction member)
      : m_component(component), m_member(member) {}
  VTROComponentThreadContext(VTROComponent* component, VTROThreadFreeFunction function, void* argument)
      : m_component(component), m_free(function), m_argument(argument) {}

  VTROComponent* Component() const override { return m_component; }

  void Run() override {
    // Copy everything first: the context dies once `started` is set.
    VTROComponent* component = m_component;
    VTROThreadFunction member = m_member;
    VTROThreadFreeFunction function = m_free;
    void* argument = m_argument;
    const std::uint32_t threadId = vtro::platform::CurrentThreadId();
    component->ThreadEntered(threadId);
    m_threadId = threadId;
    m_success = true;
    m_started.store(true, std::memory_order_release);
    try {
      if (function != nullptr) {
        function(argument);
      } else {
        (component->*member)();
      }
    } catch (int code) {
      // 57005 is the quiet end on a stop; -5 was reported by Error.
      if (code != VTRO::StopException && code != VTRO::ErrorException) {
        component->Report(vtro::Format("unhandled integer exception %d thrown in a component thread.", code).c_str(), 2, 0);
      }
    } catch (const std::exception& error) {
      component->Report(
          vtro::Format("unhandled std::exception thrown in a component thread (%s).", error.what()).c_str(), 2, 0);
    } catch (...) {
      component->Report("unhandled exception thrown in a component thread.", 2, 0);
    }
    component->ThreadLeft(threadId);
  }

  bool Started() const { return m_started.load(std::memory_order_acquire); }
  bool Success() const { return m_success; }
  std::uint32_t ThreadId() const { return m_threadId; }

 private:
  VTROComponent* m_component;
  VTROThreadFunction m_member = nullptr;
  VTROThreadFreeFunction m_free = nullptr;
  void* m_argument = nullptr;
  std::atomic<bool> m_started{false};
  bool m_success = false;
  std::uint32_t m_threadId = 0;
};

namespace {
void WaitUntilStarted(const VTROComponentThreadContext& context) {
  while (!context.Started()) vtro::platform::SleepMs(10);
}
}  // namespace

void VTROComponent::CreateThread(VTROThreadFunction function) {
  VTROComponentThreadContext context(this, function);
  if (!vtro::StartThread(vtro::ComponentThreadEntry, static_cast<VTROThreadContext*>(&context))) {
    Error("Failed to create a component thread that runs a member function", 1, 0);
  }
  WaitUntilStarted(context);
}

VTROCouple<bool, std::uint32_t> VTROComponent::CreateThread(VTROThreadFreeFunction function, void* argument) {
  bool found = false;
  VTRO::GetEngineStringProperty("Engine.version", &found);
  if (!found) {
    Error("This component needs to create a component thread that runs a non-member function. Your engine version "
          "does NOT support creating component threads that run non-member functions. Either update your engine to "
          "Vantro >= 4.7.0 or change this component's code to use VTROComponent::CreateThread(VTROThreadFunction) "
          "instead of VTROComponent::CreateThread(VTROThreadFreeFunction, void*)",
          1, 0);
  }
  VTROComponentThreadContext context(this, function, argument);
  if (!vtro::StartThread(vtro::ComponentThreadEntry, static_cast<VTROThreadContext*>(&context))) {
    Error("Failed to create a component thread that runs a non-member function", 1, 0);
  }
  WaitUntilStarted(context);
  return {context.Success(), context.ThreadId()};
}

void VTROComponent::ThreadEntered(std::uint32_t threadId) {
  m_runningThreadCount.fetch_add(1);
  std::int32_t priority = 128;
  {
    VTROLock lock(m_thirdLock);
    m_threads.Append(ThreadRecord{threadId, -1});
  }
  VTROProperty* property = FindProperty("priority");
  if (property != nullptr) {
    VTROLock lock(m_propertyValueLock);
    priority = static_cast<std::int32_t>(static_cast<VTROPropertyImplementation*>(property)->Value().Integer());
  }
  VTROLock lock(m_thirdLock);
  for (ThreadRecord& record : m_threads) {
    if (record.threadId == threadId) {
      vtro::platform::ThreadSetPriority(threadId, priority);
      record.priority = priority;
    }
  }
}

void VTROComponent::ThreadLeft(std::uint32_t threadId) {
  // Held to the end: the destructor takes this lock once, so the component
  // cannot go while a leaving thread still sets its event.
  VTROLock lock(m_thirdLock);
  m_threads.RemoveValue(ThreadRecord{threadId, -1});
  if (m_runningThreadCount.fetch_sub(1) == 1) m_threadsFinishedEvent.Set();
}

void VTROComponent::ApplyPriority(std::int32_t priority) {
  // The thread list has its own lock (the third lock): the priority handler
  // runs under the property-value lock, which must not be followed by the
  // module lock.
  VTROLock lock(m_thirdLock);
  for (ThreadRecord& record : m_threads) {
    vtro::platform::ThreadSetPriority(record.threadId, priority);
    record.priority = priority;
  }
}

void VTROComponent::PriorityHandler(VTROProperty* property) {
  VTROComponent* component = static_cast<VTROComponent*>(property->Module());
  VTROPropertyValue& value = static_cast<VTROPropertyImplementation*>(property)->Value();
  const std::int64_t priority = value.Integer();
  if (priority < 0 || priority > 255) {
    value.SetInteger(128);
    component->Error("Invalid priority value. Component's priority should be set between 0 and 255.", 1, 0);
  }
  component->ApplyPriority(static_cast<std::int32_t>(priority));
}

// Rest and condition waits -------------------------------------------------------------

bool VTROComponent::Rest(std::int64_t durationUs, VTROEvent* cancel) {
  if (IsDying()) throw VTRO::StopException;
  VTROEngineInterface* engine = VTRO::Engine();
  VTROEvent local(false);
  VTROEvent* waitFor[3] = {&m_stopEvent, &local, cancel};
  const int waitCount = cancel != nullptr ? 3 : 2;
  if (engine == nullptr) {
    // No engine clock: real time.
    const int result = VTROEvent::Wait(waitCount, waitFor, durationUs);
    if (result == 0) throw VTRO::StopException;
    return result != 2;
  }
  VTROWaitingList* list = engine->TriggerList();
  std::int64_t remaining = durationUs;  // engine µs still to wait, in the clock's direction
  std::int64_t target = 0;
  std::int32_t direction = 1;  // of the clock when the target was set
  std::int32_t previousSpeed = 0;
  bool first = true;
  for (;;) {
    engine->ClockLock();
    const std::int32_t speed = engine->ClockSpeed();
    const std::int64_t now = engine->CurrentTime();
    // What is left is what the clock has not covered yet, on every pass: a
    // pass that sees the clock paused must not keep an older value.
    if (!first) remaining = direction > 0 ? target - now : now - target;
    if (remaining < 0) remaining = 0;
    const bool leftZero = previousSpeed == 0 && speed != 0;
    const bool changedSign = (previousSpeed > 0 && speed < 0) || (previousSpeed < 0 && speed > 0);
    if (first || leftZero || changedSign) {
      direction = speed < 0 ? -1 : 1;
      // Saturating: a huge duration must not wrap the target around.
      const __int128 wanted = speed < 0 ? static_cast<__int128>(now) - remaining : static_cast<__int128>(now) + remaining;
      target = wanted > INT64_MAX ? INT64_MAX : wanted < INT64_MIN ? INT64_MIN : static_cast<std::int64_t>(wanted);
    }
    first = false;
    previousSpeed = speed;
    local.Reset();
    if (speed != 0) {
      const std::int64_t engineLeft = target - now;
      const std::int64_t realLeft = static_cast<std::int64_t>(static_cast<__int128>(engineLeft) * 1000 / speed);
      if (realLeft < (speed > 0 ? 500 : 499)) {
        engine->ClockUnlock();
        vtro::platform::Yield();
        return true;
      }
      if (!local.ArmAt(target)) {
        engine->ClockUnlock();
        Error("Rest function : Too many multimedia timers used. No more available. Contact technical support for help.",
              1, 0);
      }
    }
    if (list != nullptr) list->Add(&local);
    engine->ClockUnlock();
    const int result = VTROEvent::Wait(waitCount, waitFor, -1);
    if (list != nullptr) list->Remove(&local);
    local.Disarm();
    if (result == 0) throw VTRO::StopException;
    if (result == 2) return false;
    if (result < 0) throw VTRO::WaitFailedException;
    // Timer or clock change: recompute with the current clock.
  }
}

void VTROComponent::WaitCondition(VTROEvent& event, std::int64_t timeoutUs) {
  VTROEvent* waitFor[2] = {&m_stopEvent, &event};
  const int result = VTROEvent::Wait(2, waitFor, timeoutUs);
  if (result == 0) throw VTRO::StopException;
  if (result == 1) return;
  if (result == VTROEvent::kTimeout) throw VTRO::TimeoutException;
  throw VTRO::WaitFailedException;
}
