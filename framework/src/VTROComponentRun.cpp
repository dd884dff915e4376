// The run of a component: the sequential step with its exception handling,
// and the body of a threaded component's main thread.
#include <exception>

#include "framework_internal.h"
#include "platform/vtro_platform.h"
#include "vtro/VTROComponent.h"
#include "vtro/VTROEngineInterface.h"

namespace vtro {

void RaiseInputTimeout(const char* name) {
  VTRO::FatalReport(vtro::Format("Component %s : Time out (deadlock?) on an input", name).c_str(), 1);
}

}  // namespace vtro

// Sequential step ----------------------------------------------------------------

void VTROComponent::ProcessInput(VTROInput* input) {
  m_currentTriggerInput = input;
  while (input->HasUnreadData()) {
    std::int32_t& counter = input->SubsamplingCounter();
    const std::int32_t readerType = input->ReaderType();
    if (counter >= input->Subsampling() - 1) {
      counter = 0;
    } else if (readerType == FifoReader || readerType == LastOrNextReader || readerType == NeverSkippingReader) {
      StartReading(input);
      StopReading(input);
      ++counter;
      continue;
    }
    UpdatePeriodStatistics();
    // Core may give its element back itself (InputGuard does): what counts
    // is whether it took one.
    const std::uint64_t readBefore = input->ReadCount();
    Core();
    const bool consumed = input->ReadCount() != readBefore;
    for (VTROInput* each : m_inputs) StopReading(each);
    StopReading(input);  // the trigger input, even when handed in from outside the list
    // A Core that leaves the data unread would be called for ever.
    if (!consumed) break;
  }
}

void VTROComponent::SequentialStep(VTROInput* input) {
  m_runLock.Lock();
  if (m_deadFlag.load() || IsDying() || input == nullptr) {
    m_runLock.Unlock();
    return;
  }
  try {
    ProcessInput(input);
  } catch (...) {
    bool inputTimeout = false;
    try {
      HandleStepException(true);
    } catch (int code) {
      if (code != VTRO::TimeoutException) {
        m_runLock.Unlock();
        throw;
      }
      inputTimeout = true;
    } catch (...) {
      m_runLock.Unlock();
      throw;
    }
    if (inputTimeout) {
      m_runLock.Unlock();
      vtro::RaiseInputTimeout(Name());
    }
  }
  m_runLock.Unlock();
}

bool VTROComponent::HandleStepException(bool sequential) {
  VTROStackedString fatal;
  try {
    throw;
  } catch (int code) {
    if (code == VTRO::StopException) return true;
    if (code == VTRO::ErrorException) {
      vtro::EngineReport(
          vtro::Format("%s %s (%s) died due to an error.", KindName(), Name(), sequential ? "sequential" : "threaded")
              .c_str(),
          1, 1, 0);
      EngineEndSequence();
      return false;
    }
    SetStateBits(VTRO_STATE_ERROR);
    if (code == VTRO::TimeoutException) {
      // A sequential caller reports it once it gave the run lock back.
      if (sequential) throw;
      const VTROStackedString text = vtro::Format("Component %s : Time out (deadlock?) on an input", Name());
      vtro::EngineReport(text.c_str(), 2, 1, 1);
      EngineEndSequence();
      return false;
    }
    if (sequential) throw;
    vtro::EngineReport(vtro::Format("%s %s (threaded) died due to an error.", KindName(), Name()).c_str(), 1, 1, 0);
    EngineEndSequence();
    return false;
  } catch (const char* text) {
    fatal = vtro::Format("%s %s : Fatal error : Unhandled string thrown: %s Trying to catch up but the component might "
                         "crash later.",
                         KindName(), Name(), text != nullptr ? text : "");
  } catch (const std::exception& error) {
    fatal = vtro::Format("%s %s : Fatal error : Unhandled std::exception thrown: %s Trying to catch up but the "
                         "component might crash later.",
                         KindName(), Name(), error.what());
  } catch (...) {
    fatal = vtro::Format("%s %s : Fatal error : Unhandled exception thrown. Trying to catch up but the component might "
                         "crash later.",
                         KindName(), Name());
  }
  VTRO::LocalFatalDisplay(true, fatal.c_str(), 2);
  vtro::EngineReport(fatal.c_str(), 2, 0, 0);
  EngineEndSequence();
  return false;
}

// Main thread ------------------------------------------------------------------------

void VTROComponent::EngineRunMainThread() {
  const std::uint32_t threadId = vtro::platform::CurrentThreadId();
  VTROProperty* primary = FindProperty("primaryThreadID");
  if (primary != nullptr) vtro::StoreInteger(this, primary, threadId);
  {
    VTROLock lock(m_thirdLock);
    m_threads.Append(ThreadRecord{threadId, -1});
  }
  ApplyPriority(static_cast<std::int32_t>(GetIntegerProperty("priority")));
  // The thread leaves the list before the end sequence: once the component
  // is dead the engine may destroy it, so nothing is touched afterwards.
  auto leaveThreadList = [this, threadId] {
    VTROLock lock(m_thirdLock);
    m_threads.RemoveValue(ThreadRecord{threadId, -1});
  };
  try {
    Birth();
    m_birthEvent.Set();
    while (!IsDying()) {
      UpdatePeriodStatistics();
      Core();
    }
  } catch (...) {
    leaveThreadList();
    // A fatal exception runs the end sequence inside the handler.
    if (!HandleStepException(false)) return;
    VTROLock runLock(m_runLock);
    if (!m_deadFlag.load()) FinishRun();
    return;
  }
  leaveThreadList();
  VTROLock runLock(m_runLock);
  if (!m_deadFlag.load()) FinishRun();
}

