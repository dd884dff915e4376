// Inputs and outputs: definition entries (fixed layouts read by the engine)
// and the abstract classes through which the engine and other packages reach
// them. The element rings, reading and writing are built on top of these.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vtro/VTROStackedString.h"

class VTROComponent;
class VTROModule;
class VTROIOElt;

// Type mask bits of I/O elements.
enum : std::uint64_t {
  VTRO_TYPE_FLOAT32 = 0x2,
  VTRO_TYPE_FLOAT64 = 0x4,
  VTRO_TYPE_TEXT = 0x8,
  VTRO_TYPE_IPL_IMAGE = 0x20,
  VTRO_TYPE_COMPRESSED_IMAGE = 0x40,
  VTRO_TYPE_RECORD24 = 0x80,
  VTRO_TYPE_RECORD320 = 0x200,
  VTRO_TYPE_RECORD96 = 0x400,
  VTRO_TYPE_BYTE_STREAM = 0x1000,
  VTRO_TYPE_INT64 = 0x8000,
  VTRO_TYPE_NUMBER32 = 0x10000,
  VTRO_TYPE_CUSTOM_STRUCTURE = 0x40000,
  VTRO_TYPE_VECTOR_FLAG = 0x8000000000000000ull,
};

// Reader types of an input.
enum VTROReaderType : std::int32_t {
  FifoReader = 0,
  NeverSkippingReader = 1,
  LastOrNextReader = 2,
  Wait4NextReader = 3,
  SamplingReader = 4,
};

// Type filter of an input definition (56 bytes).
struct VTROTypeFilter {
  std::uint64_t reserved0;
  std::uint64_t reserved1;
  std::uint64_t typeMask;        // offset 16
  const char* structureNames;    // offset 24: "|Name1|Name2" or null
  std::uint64_t reserved2[3];
};
static_assert(sizeof(VTROTypeFilter) == 56);
static_assert(offsetof(VTROTypeFilter, typeMask) == 16);
static_assert(offsetof(VTROTypeFilter, structureNames) == 24);

// Input definition entry (32 bytes).
struct VTROInputDefinition {
  const char* name;              // null ends a table
  void* reserved;
  const VTROTypeFilter* filter;  // offset 16
  std::int32_t readerType;       // offset 24
  std::int32_t subsampling;      // offset 28
};
static_assert(sizeof(VTROInputDefinition) == 32);
static_assert(offsetof(VTROInputDefinition, filter) == 16);
static_assert(offsetof(VTROInputDefinition, readerType) == 24);
static_assert(offsetof(VTROInputDefinition, subsampling) == 28);

// Output definition entry (56 bytes).
struct VTROOutputDefinition {
  const char* name;                         // null ends a table
  void* reserved;
  std::uint64_t typeMask;                   // offset 16
  const VTROStackedString* structureName;   // offset 24
  const VTROStackedString* structureName2;  // offset 32
  std::int32_t defaultBufferSize;           // offset 40
  std::int32_t fifoSize;                    // offset 44
  std::int32_t subsampling;                 // offset 48
  std::int32_t onOff;                       // offset 52
};
static_assert(sizeof(VTROOutputDefinition) == 56);
static_assert(offsetof(VTROOutputDefinition, typeMask) == 16);
static_assert(offsetof(VTROOutputDefinition, structureName) == 24);
static_assert(offsetof(VTROOutputDefinition, structureName2) == 32);
static_assert(offsetof(VTROOutputDefinition, defaultBufferSize) == 40);
static_assert(offsetof(VTROOutputDefinition, fifoSize) == 44);
static_assert(offsetof(VTROOutputDefinition, subsampling) == 48);
static_assert(offsetof(VTROOutputDefinition, onOff) == 52);

// An input of a component. Slots 0 to 7 keep their order; the lifecycle
// operations the component base needs follow.
class VTROInput {
 public:
  virtual bool IsConnected() const = 0;                                       // 0
  virtual void ResetReadingState() = 0;                                       // 1: reading flag and subsampling counter to 0
  virtual void DataType(std::uint64_t& typeMask, const char*& structureName) const = 0;  // 2
  virtual void ReleaseReading() = 0;                                          // 3: StopReading when reading
  virtual void WakeReader() = 0;                                              // 4: wakes a blocked StartReading
  virtual bool HasUnreadData() const = 0;                                     // 5
  virtual VTROComponent* Component() const = 0;                               // 6
  virtual ~VTROInput() = default;                                             // 7
  virtual const char* FullName() const = 0;
  virtual const char* ShortName() const = 0;
  virtual const VTROInputDefinition* Definition() const = 0;
  virtual bool IsReading() const = 0;
  virtual std::int32_t ReaderType() const = 0;
  virtual std::int32_t Subsampling() const = 0;
  virtual std::int32_t& SubsamplingCounter() = 0;
  // Renames: the full name becomes "<module>.<short name>".
  virtual void SetModuleName(const char* moduleName) = 0;
  // Takes the next element for this reader (null when none may be taken) and
  // marks the input reading; the component's StartReading wraps it.
  virtual VTROIOElt* StartReading() = 0;
  // Gives the current element back when reading.
  virtual void StopReading() = 0;
};

// An output of a component. AllocOutputBuffer keeps slot 0; the lifecycle
// operations the component base needs follow after the destructor.
class VTROOutput {
 public:
  // Allocates the ring of `size` units per element; with flag 1 only when it
  // is not allocated yet. Resets every element.
  virtual void AllocOutputBuffer(std::int32_t size, std::int32_t flag) = 0;   // 0
  virtual const char* FullName() const = 0;
  virtual const char* ShortName() const = 0;
  virtual const VTROOutputDefinition* Definition() const = 0;
  virtual VTROComponent* Component() const = 0;
  virtual void ClearElementSizeRecord() = 0;   // start sequence
  virtual void WakeReaders() = 0;              // stop sequence
  virtual void MarkAllElementsFree() = 0;      // stop sequence
  virtual void FreeBuffer() = 0;               // FreeOutputBuffers
  virtual void SetModuleName(const char* moduleName) = 0;
  virtual ~VTROOutput() = default;
};
