// The output ring: allocation, reclaiming, publication and the readers'
// positions (see VTROOutputRing.h for the rules).
#include "VTROOutputRing.h"

#include <new>
#include <thread>

#include "vtro/VTROComponent.h"

namespace {

constexpr std::size_t kBlockAlignment = 64;
// Looks before a writer sleeps (each gives the processor up once).
constexpr int kSpins = 64;

void FreeBlock(void* block) {
  if (block != nullptr) ::operator delete(block, std::align_val_t{kBlockAlignment});
}

bool HoldsAny(const VTROIOEltImplementation* records, std::int32_t count) {
  for (std::int32_t i = 0; i < count; ++i) {
    if (records[i].holders > 0) return true;
  }
  return false;
}

}  // namespace

VTROOutputRing::~VTROOutputRing() {
  std::lock_guard<std::mutex> lock(m_lock);
  // A reader of another component may still be using its element: keep the
  // memory rather than pull it away.
  if (HoldsAny(m_records, m_count)) return;
  ReleaseMemoryLocked();
  if (m_retiredRecords != nullptr && !HoldsAny(m_retiredRecords, m_retiredCount)) FreeRetiredLocked();
}

bool VTROOutputRing::AllocateLocked(std::int32_t count, std::size_t blockBytes) {
  ReleaseMemoryLocked();
  VTROIOEltImplementation* records = new (std::nothrow) VTROIOEltImplementation[static_cast<std::size_t>(count)];
  VTROIOEltImplementation** arrays =
      new (std::nothrow) VTROIOEltImplementation*[static_cast<std::size_t>(count) * 2];
  if (records == nullptr || arrays == nullptr) {
    delete[] records;
    delete[] arrays;
    return false;
  }
  void* block = nullptr;
  try {
    block = blockBytes > 0 ? ::operator new(blockBytes, std::align_val_t{kBlockAlignment}) : nullptr;
  } catch (...) {
    delete[] records;
    delete[] arrays;
    throw;
  }
  m_records = records;
  m_free = arrays;
  m_queue = arrays + count;
  m_block = block;
  m_count = count;
  return true;
}

void VTROOutputRing::ReleaseMemoryLocked() {
  if (m_records == nullptr) return;
  if (HoldsAny(m_records, m_count)) {
    // Kept until the last holder gives its element back; an older retired
    // generation still held by then is left as it is.
    if (m_retiredRecords == nullptr || !HoldsAny(m_retiredRecords, m_retiredCount)) {
      FreeRetiredLocked();
      m_retiredRecords = m_records;
      m_retiredCount = m_count;
      m_retiredArrays = m_free;
      m_retiredBlock = m_block;
      for (std::int32_t i = 0; i < m_count; ++i) m_records[i].retired = true;
    }
  } else {
    delete[] m_records;
    delete[] m_free;
    FreeBlock(m_block);
  }
  m_records = nullptr;
  m_free = nullptr;
  m_queue = nullptr;
  m_block = nullptr;
  m_count = 0;
  m_freeCount = 0;
  m_queueHead = 0;
  m_queueCount = 0;
  WakeWriterLocked();
}

void VTROOutputRing::FreeRetiredLocked() {
  delete[] m_retiredRecords;
  delete[] m_retiredArrays;
  FreeBlock(m_retiredBlock);
  m_retiredRecords = nullptr;
  m_retiredArrays = nullptr;
  m_retiredBlock = nullptr;
  m_retiredCount = 0;
}

void VTROOutputRing::RebuildLocked() {
  m_freeCount = 0;
  m_queueHead = 0;
  m_queueCount = 0;
  for (std::int32_t i = 0; i < m_count; ++i) {
    VTROIOEltImplementation& element = m_records[i];
    element.queued = false;
    if (element.holders > 0) continue;  // comes back on release
    element.SetState(VTRO_ELEMENT_FREE);
    m_free[m_freeCount++] = &element;
  }
  WakeWriterLocked();
}

bool VTROOutputRing::Allocated() const {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_records != nullptr;
}

std::int32_t VTROOutputRing::Count() const {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_count;
}

void VTROOutputRing::Free() {
  std::lock_guard<std::mutex> lock(m_lock);
  ReleaseMemoryLocked();
}

void VTROOutputRing::MarkAllFree() {
  std::lock_guard<std::mutex> lock(m_lock);
  RebuildLocked();
}

// Queue ---------------------------------------------------------------------------

std::int32_t VTROOutputRing::FirstFrom(std::uint64_t sequence) const {
  std::int32_t low = 0;
  std::int32_t high = m_queueCount;
  while (low < high) {
    const std::int32_t middle = low + (high - low) / 2;
    if (QueueAt(middle)->sequence < sequence) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  return low;
}

void VTROOutputRing::RemoveFromQueueLocked(std::int32_t position) {
  QueueAt(position)->queued = false;
  if (position == 0) {
    m_queueHead = (m_queueHead + 1) % m_count;
  } else {
    for (std::int32_t i = position; i < m_queueCount - 1; ++i) {
      m_queue[(m_queueHead + i) % m_count] = m_queue[(m_queueHead + i + 1) % m_count];
    }
  }
  --m_queueCount;
}

void VTROOutputRing::FreeElementLocked(VTROIOEltImplementation* element) {
  element->SetState(VTRO_ELEMENT_FREE);
  m_free[m_freeCount++] = element;
}

bool VTROOutputRing::NeededLocked(const VTROIOEltImplementation* element) const {
  if (element->holders > 0) return true;
  // The newest element stays published for sampling readers, also those
  // that connect later (the writer may still reclaim it).
  if (element == Newest()) return true;
  for (const Reader& reader : m_readers) {
    if (!reader.active || reader.type == SamplingReader) continue;
    if (reader.next <= element->sequence) {
      return true;
    }
  }
  return false;
}

void VTROOutputRing::SweepLocked() {
  while (m_queueCount > 0 && !NeededLocked(QueueAt(0))) {
    VTROIOEltImplementation* oldest = QueueAt(0);
    RemoveFromQueueLocked(0);
    FreeElementLocked(oldest);
  }
}

void VTROOutputRing::WakeWriterLocked() {
  m_releases.fetch_add(1, std::memory_order_release);
  if (!m_writerWaiting) return;
  m_writerWaiting = false;
  m_space.Set();
}

// Writer ----------------------------------------------------------------------------

VTROIOEltImplementation* VTROOutputRing::AcquireForWriting(VTROEvent& stop) {
  std::uint64_t seen = 0;
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(m_lock);
      if (m_freeCount > 0) {
        VTROIOEltImplementation* element = m_free[--m_freeCount];
        element->SetState(VTRO_ELEMENT_WRITING);
        return element;
      }
      // Reclaim the oldest published element nobody holds, unless a
      // never-skipping reader has still to read it (and so every newer one).
      for (std::int32_t position = 0; position < m_queueCount; ++position) {
        VTROIOEltImplementation* element = QueueAt(position);
        if (element->holders > 0) continue;
        bool blocked = false;
        for (const Reader& reader : m_readers) {
          if (reader.active && reader.type == NeverSkippingReader && reader.next <= element->sequence) blocked = true;
        }
        if (blocked) break;
        RemoveFromQueueLocked(position);
        element->SetState(VTRO_ELEMENT_WRITING);
        return element;
      }
      // Nothing published and nothing free: every element is being written.
      if (m_queueCount == 0 && !HoldsAny(m_records, m_count)) return nullptr;
      seen = m_releases.load(std::memory_order_relaxed);
    }
    // A reader on another core gives an element back within microseconds
    // most of the time: look a few times before going to sleep.
    for (int spin = 0; spin < kSpins && m_releases.load(std::memory_order_acquire) == seen; ++spin) {
      std::this_thread::yield();
    }
    {
      std::lock_guard<std::mutex> lock(m_lock);
      if (m_releases.load(std::memory_order_relaxed) != seen || m_freeCount > 0) continue;
      m_writerWaiting = true;
      m_space.Reset();
    }
    VTROEvent* events[2] = {&stop, &m_space};
    const int result = VTROEvent::Wait(2, events, -1);
    if (result == 0) {
      std::lock_guard<std::mutex> lock(m_lock);
      m_writerWaiting = false;
      throw VTRO::StopException;
    }
    if (result < 0) throw VTRO::WaitFailedException;
  }
}

bool VTROOutputRing::Publish(VTROIOEltImplementation* element, bool discard, std::int32_t subsampling,
                             bool periodic) {
  std::lock_guard<std::mutex> lock(m_lock);
  if (element->State() != VTRO_ELEMENT_WRITING) return false;
  m_history[m_historyNext] = element->Timestamp();
  m_historyNext = (m_historyNext + 1) % kHistoryLength;
  if (m_historyCount < kHistoryLength) ++m_historyCount;
  if (periodic && m_historyCount > 1) {
    const std::int64_t newest = m_history[(m_historyNext + kHistoryLength - 1) % kHistoryLength];
    const std::int64_t oldest = m_history[(m_historyNext + kHistoryLength - m_historyCount) % kHistoryLength];
    m_periodEstimate = (newest - oldest) / (m_historyCount - 1);
  }
  if (!discard && subsampling > 1 && --m_subsamplingCounter > 0) discard = true;
  if (discard) {
    FreeElementLocked(element);
    WakeWriterLocked();
    return false;
  }
  m_subsamplingCounter = subsampling > 1 ? subsampling : 1;
  element->sequence = m_nextSequence++;
  element->SetState(VTRO_ELEMENT_QUEUED);
  element->queued = true;
  m_queue[(m_queueHead + m_queueCount) % m_count] = element;
  ++m_queueCount;
  m_published.fetch_add(1, std::memory_order_release);
  SweepLocked();
  for (Reader& reader : m_readers) {
    if (reader.active) reader.input->DataPublished();
  }
  return true;
}

void VTROOutputRing::RestartSubsampling(std::int32_t subsampling) {
  std::lock_guard<std::mutex> lock(m_lock);
  m_subsamplingCounter = subsampling > 1 ? subsampling : 1;
}

void VTROOutputRing::RestartRun(std::int32_t subsampling) {
  std::lock_guard<std::mutex> lock(m_lock);
  m_subsamplingCounter = subsampling > 1 ? subsampling : 1;
  m_historyCount = 0;
  m_historyNext = 0;
  m_periodEstimate = 0;
}

std::int64_t VTROOutputRing::PeriodEstimate() const {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_periodEstimate;
}

std::int32_t VTROOutputRing::FreeCount() const {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_freeCount;
}

bool VTROOutputRing::WriterWaiting() const {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_writerWaiting;
}

std::uint64_t VTROOutputRing::PublishedCount() const { return m_published.load(std::memory_order_acquire); }

// Readers ----------------------------------------------------------------------------

std::int32_t VTROOutputRing::AddReader(VTROInput* input, std::int32_t readerType) {
  if (input == nullptr || readerType < FifoReader || readerType > SamplingReader) return -1;
  std::lock_guard<std::mutex> lock(m_lock);
  Reader added;
  added.input = input;
  added.type = readerType;
  added.next = m_nextSequence;  // what is published from now on
  added.active = true;
  for (std::size_t i = 0; i < m_readers.size(); ++i) {
    // A slot whose former reader still holds an element stays taken.
    if (!m_readers[i].active && m_readers[i].held == nullptr) {
      m_readers[i] = added;
      return static_cast<std::int32_t>(i);
    }
  }
  m_readers.push_back(added);
  return static_cast<std::int32_t>(m_readers.size() - 1);
}

void VTROOutputRing::RemoveReader(std::int32_t reader) {
  std::lock_guard<std::mutex> lock(m_lock);
  if (reader < 0 || reader >= static_cast<std::int32_t>(m_readers.size())) return;
  Reader& record = m_readers[static_cast<std::size_t>(reader)];
  if (!record.active) return;
  // An element it still holds stays held until the input gives it back.
  record.active = false;
  record.input = nullptr;
  if (m_records != nullptr) SweepLocked();
  WakeWriterLocked();
}

void VTROOutputRing::SetReaderType(std::int32_t reader, std::int32_t readerType) {
  std::lock_guard<std::mutex> lock(m_lock);
  if (reader < 0 || reader >= static_cast<std::int32_t>(m_readers.size())) return;
  m_readers[static_cast<std::size_t>(reader)].type = readerType;
  if (m_records != nullptr) SweepLocked();
  WakeWriterLocked();
}

void VTROOutputRing::MarkWaitPoint(std::int32_t reader) {
  std::lock_guard<std::mutex> lock(m_lock);
  if (reader < 0 || reader >= static_cast<std::int32_t>(m_readers.size())) return;
  m_readers[static_cast<std::size_t>(reader)].next = m_nextSequence;
  if (m_records != nullptr) SweepLocked();
}

VTROIOEltImplementation* VTROOutputRing::Take(std::int32_t reader) {
  std::lock_guard<std::mutex> lock(m_lock);
  if (reader < 0 || reader >= static_cast<std::int32_t>(m_readers.size())) return nullptr;
  Reader& record = m_readers[static_cast<std::size_t>(reader)];
  if (!record.active || record.held != nullptr || m_queueCount == 0) return nullptr;
  VTROIOEltImplementation* element = nullptr;
  VTROIOEltImplementation* newest = Newest();
  switch (record.type) {
    case SamplingReader:
      element = newest;
      break;
    case LastOrNextReader:
      if (newest->sequence >= record.next) element = newest;
      break;
    default: {
      const std::int32_t position = FirstFrom(record.next);
      if (position < m_queueCount) element = QueueAt(position);
      break;
    }
  }
  if (element == nullptr) return nullptr;
  record.next = element->sequence + 1;
  record.held = element;
  ++element->holders;
  SweepLocked();
  return element;
}

bool VTROOutputRing::Release(std::int32_t reader, VTROIOElt* element) {
  std::lock_guard<std::mutex> lock(m_lock);
  return ReleaseLocked(reader, element);
}

bool VTROOutputRing::ReleaseLocked(std::int32_t reader, VTROIOElt* element) {
  if (reader < 0 || reader >= static_cast<std::int32_t>(m_readers.size())) return false;
  Reader& record = m_readers[static_cast<std::size_t>(reader)];
  if (element == nullptr || record.held != element) return false;
  VTROIOEltImplementation* held = record.held;
  record.held = nullptr;
  --held->holders;
  if (held->retired) {
    if (m_retiredRecords != nullptr && !HoldsAny(m_retiredRecords, m_retiredCount)) FreeRetiredLocked();
    return true;
  }
  if (held->holders == 0 && m_records != nullptr) {
    if (!held->queued) {
      // Its ring was reset while it was held: it comes back free now.
      FreeElementLocked(held);
    } else {
      SweepLocked();
    }
  }
  WakeWriterLocked();
  return true;
}

bool VTROOutputRing::HasElementFor(std::int32_t reader, bool unreadOnly) const {
  std::lock_guard<std::mutex> lock(m_lock);
  if (reader < 0 || reader >= static_cast<std::int32_t>(m_readers.size())) return false;
  const Reader& record = m_readers[static_cast<std::size_t>(reader)];
  const VTROIOEltImplementation* newest = Newest();
  if (!record.active || newest == nullptr) return false;
  if (record.type == SamplingReader && !unreadOnly) return true;
  return newest->sequence >= record.next;
}

std::int32_t VTROOutputRing::ReaderCount() const {
  std::lock_guard<std::mutex> lock(m_lock);
  std::int32_t count = 0;
  for (const Reader& reader : m_readers) count += reader.active ? 1 : 0;
  return count;
}

void VTROOutputRing::WakeReaders() {
  std::lock_guard<std::mutex> lock(m_lock);
  for (Reader& reader : m_readers) {
    if (reader.active) reader.input->WakeReader();
  }
  WakeWriterLocked();
}

std::vector<VTROInput*> VTROOutputRing::DropReaders() {
  std::lock_guard<std::mutex> lock(m_lock);
  std::vector<VTROInput*> inputs;
  for (Reader& reader : m_readers) {
    if (reader.active) inputs.push_back(reader.input);
    reader.active = false;
    reader.input = nullptr;
    // A held element stays held (and its memory kept) until the input lets go.
  }
  WakeWriterLocked();
  return inputs;
}
