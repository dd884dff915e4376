// The end of a component: waiting for its threads, the guarded Death, the
// end, stop and is-dead sequences, and destruction.
#include <exception>

#include "framework_internal.h"
#include "platform/vtro_platform.h"
#include "vtro/VTROComponent.h"
#include "vtro/VTROEngineInterface.h"

namespace {

// Takes and gives back `mutex` if it comes free within about `limitMs`.
bool WaitUntilFree(VTROMutex& mutex, int limitMs) {
  for (int waited = 0;; ++waited) {
    if (mutex.TryLock()) {
      mutex.Unlock();
      return true;
    }
    if (waited >= limitMs) return false;
    vtro::platform::SleepMs(1);
  }
}

}  // namespace

VTROComponent::~VTROComponent() {
  if ((State() & VTRO_STATE_DEAD) == 0) {
    vtro::EngineReport(vtro::Format("The destructor of component %s was called though %s is still alive.", Name(), Name())
                           .c_str(),
                       2, 1, 1);
    // Never stopped: stop it once, so that its threads leave its objects.
    // A stop that already ran (and was refused) is not run again.
    if (!IsDying()) EngineStop();
  }
  // Inputs leave their outputs and the engine's deliveries while the
  // component's locks still stand.
  VTROList<VTROInput*> inputs;
  {
    VTROLock lock(m_moduleLock);
    for (VTROInput* input : m_inputs) inputs.Append(input);
  }
  VTROEngineInterface* engine = VTRO::Engine();
  for (VTROInput* input : inputs) {
    input->Disconnect();
    if (engine != nullptr) engine->UnregisterSymbol(input->FullName());
  }
  if ((State() & VTRO_STATE_DEAD) != 0) {
    // The main thread gives the run lock back right after the is-dead step.
    m_runLock.Lock();
    m_runLock.Unlock();
  } else {
    // A Death that never returns holds it for ever: do not wait for that.
    WaitUntilFree(m_runLock, 100);
  }
  // Likewise for a component thread that is leaving (ThreadLeft).
  WaitUntilFree(m_thirdLock, 100);
}

// End, stop, is dead ----------------------------------------------------------------

void VTROComponent::WaitForComponentThreads() {
  std::int64_t timeout = vtro::EngineIntegerSetting("Engine.shutdownTimeout", vtro::kDefaultShutdownTimeoutUs);
  if (timeout < 0) timeout = vtro::kDefaultShutdownTimeoutUs;
  if (m_threadsFinishedEvent.Wait(timeout) == 0) return;
  const VTROStackedString amount = timeout >= 1000000 ? vtro::Format("%lld second(s)", static_cast<long long>(timeout / 1000000))
                                                      : vtro::Format("%lld microsecond(s)", static_cast<long long>(timeout));
  vtro::EngineReport(vtro::Format("Some threads are still running after %s. The model must be bugged. If this is "
                                  "considered as normal however, consider increase the value of the "
                                  "Engine.shutdownTimeout property. I destroy the component anyway. This might result "
                                  "in a system crash.",
                                  amount.c_str())
                         .c_str(),
                     1, 2, 0);
}

void VTROComponent::GuardedDeath() {
  try {
    Death();
  } catch (int code) {
    if (code == VTRO::ErrorException) {
      vtro::EngineReport(vtro::Format("%s: VTRO::ErrorException thrown from Death(). Trying to catch up. The component "
                                      "might crash later.",
                                      Name())
                             .c_str(),
                         2, 0, 1);
    } else {
      vtro::EngineReport(vtro::Format("%s: unhandled integer exception thrown from Death(). Trying to catch up. The "
                                      "component might crash later.",
                                      Name())
                             .c_str(),
                         2, 2, 1);
    }
  } catch (const std::exception& error) {
    vtro::EngineReport(vtro::Format("%s: unhandled std::exception thrown from Death() (%s). Trying to catch up. The "
                                    "component might crash later.",
                                    Name(), error.what())
                           .c_str(),
                       2, 2, 1);
  } catch (...) {
    vtro::EngineReport(
        vtro::Format("%s: unhandled exception thrown from Death(). Trying to catch up. The component might crash later.",
                     Name())
            .c_str(),
        2, 2, 1);
  }
}

void VTROComponent::FinishRun() {
  m_deadFlag.store(true);
  if (m_runningThreadCount.fetch_sub(1) == 1) m_threadsFinishedEvent.Set();
  try {
    BeforeDeath();
  } catch (...) {
    // BeforeDeath has no report of its own; Death still runs.
  }
  WaitForComponentThreads();
  GuardedDeath();
  EngineIsDeadStep();
}

void VTROComponent::EngineEndSequence() {
  VTROLock runLock(m_runLock);
  SetStateBits(VTRO_STATE_ERROR | VTRO_STATE_STOP_REQUESTED);
  m_stopEvent.Set();
  if (m_deadFlag.load()) return;  // already ended by a stop
  FinishRun();
}

void VTROComponent::EngineIsDeadStep() {
  {
    VTROLock lock(m_moduleLock);
    for (VTROInput* input : m_inputs) {
      if (input->IsReading()) input->StopReading();
    }
  }
  vtro::EngineReport(vtro::Format("Component %s is dead.", Name()).c_str(), 0, 0, 1);
  vtro::StoreInteger(this, m_counterProperty, 0);
  vtro::StoreInteger(this, m_averagePeriodProperty, 0);
  vtro::StoreInteger(this, m_minPeriodProperty, 0);
  vtro::StoreInteger(this, m_maxPeriodProperty, 0);
  ResetPeriodStatistics();
  m_birthEvent.Reset();
  // The engine may destroy the component as soon as it sees *dead*: notify
  // with copies and touch nothing afterwards.
  const VTROStackedString name(m_name);
  std::uint32_t expected = m_state.load();
  std::uint32_t dead;
  do {
    dead = (expected & ~(VTRO_STATE_STOP_REQUESTED | VTRO_STATE_STARTED)) | VTRO_STATE_DEAD;
  } while (!m_state.compare_exchange_weak(expected, dead));
  VTROEngineInterface* engine = VTRO::Engine();
  if (engine != nullptr) engine->StateChanged(name.c_str(), dead);
}

void VTROComponent::EngineStop() {
  SetStateBits(VTRO_STATE_STOP_REQUESTED);
  m_stopEvent.Set();
  if (m_threaded == 0) {
    VTROProperty* primary = FindProperty("primaryThreadID");
    if (primary != nullptr) vtro::StoreInteger(this, primary, -1);
    VTROLock runLock(m_runLock);
    if (!m_deadFlag.load()) FinishRun();
  }
  // Threaded components end on their main thread; wait for it, at most 10 s
  // of engine time. While the clock stands still, real time counts instead,
  // so that a paused clock does not make the wait endless.
  VTROEngineInterface* engine = VTRO::Engine();
  const std::int64_t begin = CurrentTime(true, true);
  std::int64_t pausedUs = 0;
  while ((State() & VTRO_STATE_DEAD) == 0) {
    vtro::platform::SleepMs(10);
    if (engine != nullptr && engine->ClockSpeed() == 0) pausedUs += 10000;
    const std::int64_t now = CurrentTime(true, true);
    const std::int64_t engineUs = engine != nullptr ? (now >= begin ? now - begin : begin - now) : 0;
    if (engine == nullptr) pausedUs += 10000;
    if (engineUs + pausedUs >= vtro::kDieLimitUs) break;
  }
  const bool dead = (State() & VTRO_STATE_DEAD) != 0;
  if (!dead) {
    vtro::EngineReport(vtro::Format("Component %s refuses to die after 10 seconds. The component model %s must be bugged.",
                                    Name(), m_definition != nullptr && m_definition->name != nullptr ? m_definition->name : "")
                           .c_str(),
                       1, 1, 1);
  }
  {
    VTROLock lock(m_moduleLock);
    for (VTROOutput* output : m_outputs) output->WakeReaders();
    // A component that is still alive may still be reading or writing: its
    // elements stay as they are.
    if (dead) {
      for (VTROInput* input : m_inputs) input->ResetReadingState();
      for (VTROOutput* output : m_outputs) output->MarkAllElementsFree();
    }
  }
  // A component that is still alive keeps its stop request, so it still ends
  // as soon as it returns to the framework.
  if (dead) {
    ClearStateBits(VTRO_STATE_STOP_REQUESTED);
    FreeOutputBuffers();
  }
  NotifyState();
}

