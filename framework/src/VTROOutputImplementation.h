// The output class the framework instantiates: its definition, names, type,
// system properties and ring.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "VTROOutputRing.h"
#include "VTROSystemProperty.h"
#include "vtro/VTROIO.h"
#include "vtro/VTROIplImage.h"

class VTROOutputImplementation final : public VTROOutput {
 public:
  VTROOutputImplementation(VTROComponent* component, const VTROOutputDefinition* definition, const char* shortName,
                           const char* fullName);
  // Tells every reader that the output goes away (they become unconnected).
  ~VTROOutputImplementation() override;

  void AllocOutputBuffer(std::int32_t size, std::int32_t flag) override;
  void AllocOutputBufferIplImage(const IplImage* model, std::int32_t flag) override;
  void AllocOutputBufferImage(std::int32_t width, std::int32_t height, std::int32_t channels,
                              std::int32_t depth) override;
  void AllocOutputBufferBytes(std::int64_t bytes) override;
  void AllocOutputBufferMatrix(std::int32_t rows, std::int32_t columns) override;
  void AllocOutputBufferVector(std::int32_t count) override;
  const char* FullName() const override { return m_fullName.c_str(); }
  std::int32_t ElementBufferSize() const override { return m_elementBufferSize.load(); }
  void* Ring() override { return &m_ring; }
  void SwitchOn() override { m_on.store(1); }
  void SwitchOff() override { m_on.store(0); }
  std::int32_t FifoSize() const override;
  std::int32_t FreeElementCount() override { return m_ring.FreeCount(); }
  const VTROIOType* ElementType() const override { return &m_type; }
  bool IsAllocated() const override { return m_ring.Allocated(); }
  bool IsPeriodic() const override { return m_periodic.load(); }
  std::int64_t PeriodEstimate() const override { return m_ring.PeriodEstimate(); }
  std::int32_t ReaderCount() const override { return m_ring.ReaderCount(); }
  std::uint64_t WrittenCount() const override { return m_written.load(); }
  std::uint64_t PublishedCount() const override { return m_ring.PublishedCount(); }
  bool IsOn() const override { return m_on.load() != 0; }
  const char* ShortName() const override { return m_shortName.c_str(); }
  const VTROOutputDefinition* Definition() const override { return &m_definition; }
  VTROComponent* Component() const override { return m_component; }
  void ClearElementSizeRecord() override;
  void WakeReaders() override { m_ring.WakeReaders(); }
  void MarkAllElementsFree() override { m_ring.MarkAllFree(); }
  void FreeBuffer() override;
  void SetModuleName(const char* moduleName) override;
  VTROIOElt* StartWriting() override;
  void StopWriting(VTROIOElt* element, bool discard) override;
  std::int32_t AddReader(VTROInput* input, std::int32_t readerType) override {
    return m_ring.AddReader(input, readerType);
  }
  void RemoveReader(std::int32_t reader) override { m_ring.RemoveReader(reader); }
  void SetReaderType(std::int32_t reader, std::int32_t readerType) override { m_ring.SetReaderType(reader, readerType); }
  void MarkWaitPoint(std::int32_t reader) override { m_ring.MarkWaitPoint(reader); }
  VTROIOElt* TakeElement(std::int32_t reader) override { return m_ring.Take(reader); }
  void ReleaseElement(std::int32_t reader, VTROIOElt* element) override;
  bool HasElementFor(std::int32_t reader, bool unreadOnly) const override {
    return m_ring.HasElementFor(reader, unreadOnly);
  }

  const VTROPropertyDefinition* SubsamplingEntry() const { return &m_subsamplingEntry.entry; }
  const VTROPropertyDefinition* FifoSizeEntry() const { return &m_fifoSizeEntry.entry; }
  const VTROPropertyDefinition* PeriodicEntry() const { return &m_periodicEntry.entry; }
  // Change handlers of the three system properties.
  static void SubsamplingChanged(VTROProperty* property);
  static void FifoSizeChanged(VTROProperty* property);
  static void PeriodicChanged(VTROProperty* property);

 private:
  // How each element of the ring is laid out in the block.
  struct Layout {
    std::size_t slotBytes = 0;      // bytes of one element in the block
    std::int32_t bufferSize = 0;    // in units of the type
    std::int32_t vectorSize = 0;    // valid units after a reset
    bool image = false;
    IplImage model{};
  };
  // Checks the size against the FIFO size, allocates, lays the elements out.
  void Allocate(const Layout& layout);
  void LayOut(std::int32_t index, VTROIOEltImplementation& element, char* block) const;
  [[noreturn]] void Fail(const char* text) const;

  VTROOutputDefinition m_definition;
  VTROStackedString m_shortName;
  VTROStackedString m_fullName;
  VTROStackedString m_structureName;
  VTROIOType m_type{0, ""};
  VTROComponent* m_component;
  VTROSystemPropertyEntry m_subsamplingEntry;
  VTROSystemPropertyEntry m_fifoSizeEntry;
  VTROSystemPropertyEntry m_periodicEntry;
  std::atomic<std::int32_t> m_subsampling;
  std::atomic<std::int32_t> m_fifoSize;
  std::atomic<bool> m_periodic{false};
  std::atomic<std::int32_t> m_on;
  std::atomic<std::int32_t> m_elementBufferSize{0};
  std::atomic<std::uint64_t> m_written{0};
  Layout m_layout;  // of the current ring (set before the ring is filled)
  VTROOutputRing m_ring;
};
