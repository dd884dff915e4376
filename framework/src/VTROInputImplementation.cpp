// Input: connection to an output, StartReading / StopReading with the reader
// types and subsampling, the wake-ups, and the system properties.
#include "VTROInputImplementation.h"

#include <thread>

#include "framework_internal.h"
#include "platform/vtro_platform.h"
#include "vtro/VTROComponent.h"
#include "vtro/VTROEngineInterface.h"

namespace {

bool InFifoFamily(std::int32_t readerType) { return readerType >= FifoReader && readerType <= LastOrNextReader; }

std::int32_t AtLeastOne(std::int64_t value) {
  return value < 1 ? 1 : value > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<std::int32_t>(value);
}

}  // namespace

VTROInputImplementation::VTROInputImplementation(VTROComponent* component, const VTROInputDefinition* definition,
                                                 const char* shortName, const char* fullName)
    : m_definition(*definition),
      m_shortName(shortName),
      m_fullName(fullName),
      m_component(component),
      m_subsamplingEntry(this, shortName, ".subsampling", VTROPropertyValue(std::int64_t{definition->subsampling}),
                         vtro::kSystemPropertyFlags),
      m_readerTypeEntry(this, shortName, ".readerType", VTROPropertyValue(std::int64_t{definition->readerType}),
                        vtro::kSystemPropertyFlags),
      m_readerType(definition->readerType),
      m_subsampling(AtLeastOne(definition->subsampling)) {
  m_definition.name = m_shortName.c_str();
}

VTROInputImplementation::~VTROInputImplementation() {
  std::lock_guard<std::mutex> lock(m_connection);
  if (m_reading.load() && m_currentOutput != nullptr) {
    try {
      m_currentOutput->ReleaseElement(m_currentReader, m_current.load());
    } catch (...) {
      // Reported by the output; the input goes anyway.
    }
  }
  m_reading.store(false);
  m_current.store(nullptr);
  m_currentOutput = nullptr;
  DisconnectLocked();
}

void VTROInputImplementation::SetModuleName(const char* moduleName) {
  m_fullName = moduleName;
  m_fullName.Append(".");
  m_fullName += m_shortName;
}

bool VTROInputImplementation::Sequential() const { return m_component->RunsSequentially(); }

// Connection -------------------------------------------------------------------------

bool VTROInputImplementation::IsConnected() const {
  std::lock_guard<std::mutex> lock(m_connection);
  return m_output != nullptr;
}

VTROOutput* VTROInputImplementation::ConnectedOutput() const {
  std::lock_guard<std::mutex> lock(m_connection);
  return m_output;
}

void VTROInputImplementation::DataType(std::uint64_t& typeMask, const char*& structureName) const {
  std::lock_guard<std::mutex> lock(m_connection);
  typeMask = 0;
  structureName = nullptr;
  if (m_output == nullptr) return;
  const VTROIOType* type = m_output->ElementType();
  typeMask = type->typeMask;
  structureName = type->structureName;
}

bool VTROInputImplementation::Connect(VTROOutput* output) {
  m_resetting.store(true);
  bool connected = false;
  {
    std::lock_guard<std::mutex> lock(m_connection);
    DisconnectLocked();
    if (output != nullptr) {
      VTROEngineInterface* engine = VTRO::Engine();
      const std::int32_t reader =
          engine != nullptr ? engine->RegisterReader(output, this) : output->AddReader(this, ReaderType());
      if (reader >= 0) {
        m_output = output;
        m_reader = reader;
        connected = true;
      }
    }
  }
  m_resetting.store(false);
  m_dataEvent.Set();  // a reader waiting for a connection looks again
  return connected;
}

void VTROInputImplementation::DisconnectLocked() {
  if (m_output == nullptr) return;
  VTROOutput* output = m_output;
  // An element being read stays held (m_currentOutput) until StopReading.
  output->RemoveReader(m_reader);
  m_output = nullptr;
  m_reader = -1;
  VTROEngineInterface* engine = VTRO::Engine();
  if (engine != nullptr) engine->UnregisterReader(output, this);
}

void VTROInputImplementation::Disconnect() {
  m_resetting.store(true);
  {
    std::lock_guard<std::mutex> lock(m_connection);
    DisconnectLocked();
  }
  m_resetting.store(false);
  m_dataEvent.Set();
}

void VTROInputImplementation::OutputGone(VTROOutput* output) {
  {
    // Waits for a call of this input on the output to end.
    std::lock_guard<std::mutex> lock(m_connection);
    if (m_output == output) {
      m_output = nullptr;
      m_reader = -1;
    }
    // The output keeps the memory of an element still read here.
    if (m_currentOutput == output) m_currentOutput = nullptr;
  }
  m_dataEvent.Set();
}

void VTROInputImplementation::DataPublished() {
  // Under the output's ring lock: atomics, an event, the engine's queue.
  if (Sequential()) {
    VTROEngineInterface* engine = VTRO::Engine();
    if (engine != nullptr) engine->DataArrived(this);
  } else if (m_waiting.load()) {
    m_dataEvent.Set();
  }
}

// Reading ------------------------------------------------------------------------------

bool VTROInputImplementation::HasUnreadData() const {
  std::lock_guard<std::mutex> lock(m_connection);
  return m_output != nullptr && m_output->HasElementFor(m_reader, true);
}

bool VTROInputImplementation::DataAvailable() const {
  std::lock_guard<std::mutex> lock(m_connection);
  return m_output != nullptr && m_output->HasElementFor(m_reader, false);
}

void VTROInputImplementation::Hold(VTROIOElt* element, VTROOutput* output, std::int32_t reader) {
  m_currentOutput = output;
  m_currentReader = reader;
  m_current.store(element);
  m_reading.store(true, std::memory_order_release);
  m_readCount.fetch_add(1);
}

bool VTROInputImplementation::Spin() {
  constexpr int kSpins = 64;  // each gives the processor up once
  std::uint64_t seen = 0;
  {
    std::lock_guard<std::mutex> lock(m_connection);
    if (m_output == nullptr) return false;
    seen = m_output->PublishedCount();
  }
  for (int spin = 0; spin < kSpins; ++spin) {
    std::this_thread::yield();
    if (m_component->IsDying()) return true;  // the next pass raises 57005
    std::lock_guard<std::mutex> lock(m_connection);
    if (m_output == nullptr || m_output->PublishedCount() != seen) return true;
  }
  return false;
}

VTROIOElt* VTROInputImplementation::TakeWaiting() {
  bool waitPointMarked = false;
  VTROEvent* events[3] = {&m_component->StopEvent(), &m_dataEvent, &m_resetEvent};
  for (;;) {
    if (m_component->IsDying()) throw VTRO::StopException;
    m_waiting.store(true);
    m_dataEvent.Reset();
    m_resetEvent.Reset();
    {
      std::lock_guard<std::mutex> lock(m_connection);
      if (m_output != nullptr) {
        if (ReaderType() == Wait4NextReader && !waitPointMarked) {
          m_output->MarkWaitPoint(m_reader);
          waitPointMarked = true;
        }
        VTROIOElt* element = m_output->TakeElement(m_reader);
        if (element != nullptr) {
          m_waiting.store(false);
          Hold(element, m_output, m_reader);
          return element;
        }
      }
    }
    // A writer on another core often publishes within microseconds: look a
    // few times before going to sleep.
    if (Spin()) continue;
    // Without time-out: data, a connection or a reset wakes it, a stop ends it.
    const int result = VTROEvent::Wait(3, events, -1);
    if (result == 0) {
      m_waiting.store(false);
      throw VTRO::StopException;
    }
    if (result < 0) {
      m_waiting.store(false);
      throw VTRO::WaitFailedException;
    }
  }
}

VTROIOElt* VTROInputImplementation::StartReading() {
  if (m_component->IsDying()) throw VTRO::StopException;
  if (IsReading()) StopReading();
  while (m_resetting.load()) {
    if (m_component->IsDying()) throw VTRO::StopException;
    vtro::platform::SleepMs(10);
  }
  if (Sequential()) {
    // Never waits: the engine calls the step when data arrives.
    std::lock_guard<std::mutex> lock(m_connection);
    if (m_output == nullptr || m_resetting.load()) return nullptr;
    VTROIOElt* element = m_output->TakeElement(m_reader);
    if (element != nullptr) Hold(element, m_output, m_reader);
    return element;
  }
  const std::int32_t subsampling = Subsampling();
  std::int32_t position = m_subsamplingCounter < subsampling ? m_subsamplingCounter : subsampling - 1;
  VTROIOElt* element = nullptr;
  for (; position < subsampling; ++position) {
    element = TakeWaiting();
    // Elements before the last position of the round go back at once.
    if (position < subsampling - 1) {
      m_subsamplingCounter = position + 1;
      StopReading();
    }
  }
  m_subsamplingCounter = 0;
  return element;
}

void VTROInputImplementation::StopReading() {
  if (!IsReading()) return;
  std::lock_guard<std::mutex> lock(m_connection);
  VTROOutput* output = m_currentOutput;
  const std::int32_t reader = m_currentReader;
  VTROIOElt* element = m_current.load();
  m_current.store(nullptr);
  m_currentOutput = nullptr;
  m_currentReader = -1;
  m_reading.store(false, std::memory_order_release);
  if (output != nullptr) output->ReleaseElement(reader, element);
}

void VTROInputImplementation::ResetReadingState() {
  try {
    StopReading();
  } catch (int) {
    // The output reported it; the state is clear either way.
  }
  m_subsamplingCounter = 0;
}

bool VTROInputImplementation::SetReaderType(std::int32_t readerType) {
  const std::int32_t current = ReaderType();
  if (readerType == current) return true;
  if (!InFifoFamily(current) || !InFifoFamily(readerType)) return false;
  std::lock_guard<std::mutex> lock(m_connection);
  m_readerType.store(readerType);
  m_definition.readerType = readerType;
  if (m_output != nullptr) m_output->SetReaderType(m_reader, readerType);
  return true;
}

// System properties ----------------------------------------------------------------------

void VTROInputImplementation::SubsamplingChanged(VTROProperty* property) {
  auto* input = vtro::OwnerOf<VTROInputImplementation>(property);
  const std::int32_t value = AtLeastOne(vtro::HandlerValue(property).Integer());
  input->m_subsampling.store(value);
  input->m_definition.subsampling = value;
}

void VTROInputImplementation::ReaderTypeChanged(VTROProperty* property) {
  auto* input = vtro::OwnerOf<VTROInputImplementation>(property);
  VTROPropertyValue& value = vtro::HandlerValue(property);
  const std::int64_t wanted = value.Integer();
  const std::int32_t current = input->ReaderType();
  if (wanted >= FifoReader && wanted <= SamplingReader && input->SetReaderType(static_cast<std::int32_t>(wanted))) {
    return;
  }
  value.SetInteger(current);
  input->m_component->Error(vtro::Format("Input %s can't change its reader type from %d to %lld: only the FIFO, "
                                         "never-skipping and last-or-next readers (0 to 2) switch among themselves.",
                                         input->FullName(), current, static_cast<long long>(wanted))
                                .c_str(),
                            1, 0);
}
