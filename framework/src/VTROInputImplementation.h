// The input class the framework instantiates: its definition, connection,
// reading state, events and system properties.
//
// Locks: the connection lock of an input is taken before the ring lock of
// its output; an output never takes an input's connection lock while it
// holds its ring lock (DataPublished only touches atomics and events).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "VTROSystemProperty.h"
#include "vtro/VTROEvent.h"
#include "vtro/VTROIO.h"

class VTROInputImplementation final : public VTROInput {
 public:
  VTROInputImplementation(VTROComponent* component, const VTROInputDefinition* definition, const char* shortName,
                          const char* fullName);
  // Gives back what it reads and leaves its output first.
  ~VTROInputImplementation() override;

  bool IsConnected() const override;
  void ResetReadingState() override;
  void DataType(std::uint64_t& typeMask, const char*& structureName) const override;
  void ReleaseReading() override { StopReading(); }
  void WakeReader() override { m_resetEvent.Set(); }
  bool HasUnreadData() const override;
  VTROComponent* Component() const override { return m_component; }
  const char* FullName() const override { return m_fullName.c_str(); }
  const char* ShortName() const override { return m_shortName.c_str(); }
  const VTROInputDefinition* Definition() const override { return &m_definition; }
  bool IsReading() const override { return m_reading.load(std::memory_order_acquire); }
  std::int32_t ReaderType() const override { return m_readerType.load(); }
  std::int32_t Subsampling() const override { return m_subsampling.load(); }
  std::int32_t& SubsamplingCounter() override { return m_subsamplingCounter; }
  void SetModuleName(const char* moduleName) override;
  VTROIOElt* StartReading() override;
  void StopReading() override;
  bool DataAvailable() const override;
  bool SetReaderType(std::int32_t readerType) override;
  std::uint64_t ReadCount() const override { return m_readCount.load(); }
  VTROIOElt* CurrentElement() const override { return m_current.load(); }
  bool Connect(VTROOutput* output) override;
  void Disconnect() override;
  VTROOutput* ConnectedOutput() const override;
  void DataPublished() override;
  void OutputGone(VTROOutput* output) override;

  const VTROPropertyDefinition* SubsamplingEntry() const { return &m_subsamplingEntry.entry; }
  const VTROPropertyDefinition* ReaderTypeEntry() const { return &m_readerTypeEntry.entry; }
  static void SubsamplingChanged(VTROProperty* property);
  static void ReaderTypeChanged(VTROProperty* property);

 private:
  bool Sequential() const;
  // Takes an element for a threaded component, waiting for it (and for a
  // connection); raises 57005 on a stop.
  VTROIOElt* TakeWaiting();
  // Looks briefly for a new publication (or a stop) before a wait; true
  // when there is something to look at again.
  bool Spin();
  // Records `element` of `output` as the one being read.
  void Hold(VTROIOElt* element, VTROOutput* output, std::int32_t reader);
  void DisconnectLocked();

  VTROInputDefinition m_definition;
  VTROStackedString m_shortName;
  VTROStackedString m_fullName;
  VTROComponent* m_component;
  VTROSystemPropertyEntry m_subsamplingEntry;
  VTROSystemPropertyEntry m_readerTypeEntry;
  std::atomic<std::int32_t> m_readerType;
  std::atomic<std::int32_t> m_subsampling;
  std::int32_t m_subsamplingCounter = 0;

  mutable std::mutex m_connection;  // guards the fields up to m_currentReader
  VTROOutput* m_output = nullptr;
  std::int32_t m_reader = -1;
  // Where the element being read came from (it may outlive the connection).
  VTROOutput* m_currentOutput = nullptr;
  std::int32_t m_currentReader = -1;

  std::atomic<VTROIOElt*> m_current{nullptr};
  std::atomic<bool> m_reading{false};
  std::atomic<bool> m_waiting{false};
  std::atomic<bool> m_resetting{false};
  std::atomic<std::uint64_t> m_readCount{0};
  VTROEvent m_dataEvent{false};
  VTROEvent m_resetEvent{false};
};
