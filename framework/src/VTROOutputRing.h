// The ring of an output: its element records and their memory block, the
// free elements, the published ones in publication order, and the readers
// with their positions. Every operation takes the ring's own lock.
//
// Elements stay published until no reader needs them any more: a FIFO-family
// or wait-for-next reader needs what it has not read yet, a sampling reader
// the newest element. A writer that finds no free element reclaims the
// oldest published element that no reader holds, unless a never-skipping
// reader still has to read it: then the writer waits until a reader gives an
// element back. An element a reader holds is never reused under it.
#pragma once

#include <cstddef>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "VTROIOElement.h"
#include "vtro/VTROEvent.h"

class VTROInput;

class VTROOutputRing {
 public:
  VTROOutputRing() = default;
  VTROOutputRing(const VTROOutputRing&) = delete;
  VTROOutputRing& operator=(const VTROOutputRing&) = delete;
  // Frees the memory unless a reader still holds an element of it (then the
  // memory is kept, so that the reader's data stays valid).
  ~VTROOutputRing();

  enum class AllocationResult { ok, noRecords };
  // Replaces the elements by `count` new records over one block of
  // `blockBytes` bytes (64-byte aligned); `layout(index, element, block)` sets
  // each up. A failure to allocate the block raises what the allocator raised.
  template <class Layout>
  AllocationResult Allocate(std::int32_t count, std::size_t blockBytes, Layout layout) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (!AllocateLocked(count, blockBytes)) return AllocationResult::noRecords;
    for (std::int32_t i = 0; i < m_count; ++i) layout(i, m_records[i], static_cast<char*>(m_block));
    RebuildLocked();
    return AllocationResult::ok;
  }
  // Calls `layout(index, element, block)` again on every element no reader
  // holds and makes it free.
  template <class Layout>
  void ResetElements(Layout layout) {
    std::lock_guard<std::mutex> lock(m_lock);
    for (std::int32_t i = 0; i < m_count; ++i) {
      if (m_records[i].holders == 0) layout(i, m_records[i], static_cast<char*>(m_block));
    }
    RebuildLocked();
  }
  bool Allocated() const;
  std::int32_t Count() const;
  // Gives the memory up (kept while a reader holds an element of it).
  void Free();
  // Every element no reader holds becomes free; nothing stays published.
  void MarkAllFree();

  // Writer side. A free element (state writing), waiting for never-skipping
  // readers when needed: `stop` ends the wait with 57005. Null when every
  // element is being written already (no StopWriting for them).
  VTROIOEltImplementation* AcquireForWriting(VTROEvent& stop);
  // Records the element's timestamp in the history (and, for a periodic
  // output, updates the period estimate), then frees the element (discard,
  // or subsampled away) or queues it for every reader and tells them. True
  // when published.
  bool Publish(VTROIOEltImplementation* element, bool discard, std::int32_t subsampling, bool periodic);
  // Mean distance of the timestamps in the history (µs), 0 when unknown.
  std::int64_t PeriodEstimate() const;
  // Output subsampling starts a new round.
  void RestartSubsampling(std::int32_t subsampling);
  // Per-run records start afresh: subsampling round, timestamp history, period.
  void RestartRun(std::int32_t subsampling);
  std::int32_t FreeCount() const;
  std::uint64_t PublishedCount() const;
  // True while a writer waits in AcquireForWriting for space.
  bool WriterWaiting() const;

  // Reader side.
  std::int32_t AddReader(VTROInput* input, std::int32_t readerType);
  void RemoveReader(std::int32_t reader);
  void SetReaderType(std::int32_t reader, std::int32_t readerType);
  void MarkWaitPoint(std::int32_t reader);
  VTROIOEltImplementation* Take(std::int32_t reader);
  // False when the reader does not hold `element`.
  bool Release(std::int32_t reader, VTROIOElt* element);
  bool HasElementFor(std::int32_t reader, bool unreadOnly) const;
  std::int32_t ReaderCount() const;
  // Calls WakeReader on every reader.
  void WakeReaders();
  // Drops every reader and returns their inputs (to tell them, unlocked).
  std::vector<VTROInput*> DropReaders();

 private:
  struct Reader {
    VTROInput* input = nullptr;
    std::int32_t type = 0;
    std::uint64_t next = 0;  // first sequence number not read yet
    VTROIOEltImplementation* held = nullptr;
    bool active = false;
  };

  bool AllocateLocked(std::int32_t count, std::size_t blockBytes);
  // Gives up the current records and block: freed, or retired while held.
  void ReleaseMemoryLocked();
  void FreeRetiredLocked();
  // Free stack full, queue empty (elements held by readers excepted).
  void RebuildLocked();
  VTROIOEltImplementation* QueueAt(std::int32_t position) const {
    return m_queue[(m_queueHead + position) % m_count];
  }
  VTROIOEltImplementation* Newest() const { return m_queueCount > 0 ? QueueAt(m_queueCount - 1) : nullptr; }
  // Position of the first queued element with sequence >= `sequence` (m_queueCount when none).
  std::int32_t FirstFrom(std::uint64_t sequence) const;
  void RemoveFromQueueLocked(std::int32_t position);
  void FreeElementLocked(VTROIOEltImplementation* element);
  bool NeededLocked(const VTROIOEltImplementation* element) const;
  // Frees unneeded elements from the oldest on.
  void SweepLocked();
  void WakeWriterLocked();
  bool ReleaseLocked(std::int32_t reader, VTROIOElt* element);

  mutable std::mutex m_lock;
  VTROIOEltImplementation* m_records = nullptr;
  VTROIOEltImplementation** m_free = nullptr;   // stack of free elements
  VTROIOEltImplementation** m_queue = nullptr;  // circular, in publication order
  void* m_block = nullptr;
  std::int32_t m_count = 0;
  std::int32_t m_freeCount = 0;
  std::int32_t m_queueHead = 0;
  std::int32_t m_queueCount = 0;
  std::uint64_t m_nextSequence = 1;
  std::atomic<std::uint64_t> m_published{0};  // read without the lock
  std::atomic<std::uint64_t> m_releases{0};   // elements given back or freed
  std::int32_t m_subsamplingCounter = 1;
  std::vector<Reader> m_readers;

  // Memory given up while readers held elements of it.
  VTROIOEltImplementation* m_retiredRecords = nullptr;
  std::int32_t m_retiredCount = 0;
  VTROIOEltImplementation** m_retiredArrays = nullptr;
  void* m_retiredBlock = nullptr;

  // Recent timestamps (248 bytes).
  static constexpr std::int32_t kHistoryLength = 31;
  std::int64_t m_history[kHistoryLength] = {};
  std::int32_t m_historyCount = 0;
  std::int32_t m_historyNext = 0;
  std::int64_t m_periodEstimate = 0;

  bool m_writerWaiting = false;
  VTROEvent m_space{false};
};
