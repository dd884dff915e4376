// Inputs, outputs and I/O elements: definition entries (fixed layouts read by
// the engine), the type mask, and the abstract classes through which the
// engine and other packages reach them.
//
// Every package holds its own copy of the framework, so an output of one
// package may feed an input of another: everything that crosses between an
// input, its output and the output's elements is a virtual operation of these
// classes. Slots named by the system's tables keep their order; the
// framework's own operations follow after the destructor.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vtro/VTROStackedString.h"

class VTROComponent;
class VTROModule;
class VTROIOElt;
class VTROInput;
class VTROOutput;
struct IplImage;

// Type mask bits of I/O elements.
enum : std::uint64_t {
  VTRO_TYPE_STRUCTURE_CODE = 0x1,  // custom structure as an output entry may name it (same as 0x40000)
  VTRO_TYPE_FLOAT32 = 0x2,
  VTRO_TYPE_FLOAT64 = 0x4,
  VTRO_TYPE_TEXT = 0x8,
  VTRO_TYPE_WHOLE_10 = 0x10,
  VTRO_TYPE_IPL_IMAGE = 0x20,
  VTRO_TYPE_COMPRESSED_IMAGE = 0x40,
  VTRO_TYPE_RECORD24 = 0x80,
  VTRO_TYPE_WHOLE_100 = 0x100,
  VTRO_TYPE_RECORD320 = 0x200,
  VTRO_TYPE_RECORD96 = 0x400,
  VTRO_TYPE_BYTE_STREAM = 0x1000,
  VTRO_TYPE_WHOLE_2000 = 0x2000,
  VTRO_TYPE_WHOLE_4000 = 0x4000,
  VTRO_TYPE_INT64 = 0x8000,
  VTRO_TYPE_NUMBER32 = 0x10000,
  VTRO_TYPE_WHOLE_20000 = 0x20000,
  VTRO_TYPE_CUSTOM_STRUCTURE = 0x40000,
  VTRO_TYPE_VECTOR_FLAG = 0x8000000000000000ull,
};

// Reader types of an input. 0 to 2 form the FIFO family.
enum VTROReaderType : std::int32_t {
  FifoReader = 0,
  NeverSkippingReader = 1,
  LastOrNextReader = 2,
  Wait4NextReader = 3,
  SamplingReader = 4,
};

// Element states. 3 is free; the others are in use.
enum : std::int32_t {
  VTRO_ELEMENT_WRITING = 1,
  VTRO_ELEMENT_QUEUED = 2,
  VTRO_ELEMENT_FREE = 3,
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

// Type record of an element (and of an output): the output's type mask
// (vector flag included) and its structure name ("" when it has none). The
// text belongs to the output and lives as long as it.
struct VTROIOType {
  std::uint64_t typeMask;
  const char* structureName;
};

// Units of an element's buffer: bytes per element of the type (1 for byte
// streams, texts, images, structures and the whole-buffer types).
constexpr std::int32_t VTROTypeElementSize(std::uint64_t typeMask) {
  const std::uint64_t bits = typeMask & ~VTRO_TYPE_VECTOR_FLAG;
  if ((bits & (VTRO_TYPE_FLOAT32 | VTRO_TYPE_NUMBER32)) != 0) return 4;
  if ((bits & (VTRO_TYPE_FLOAT64 | VTRO_TYPE_INT64)) != 0) return 8;
  if ((bits & VTRO_TYPE_RECORD24) != 0) return 24;
  if ((bits & VTRO_TYPE_RECORD320) != 0) return 320;
  if ((bits & VTRO_TYPE_RECORD96) != 0) return 96;
  return 1;
}

// Record that a compressed-image element (type 0x40) carries at its data
// pointer. The unit client reads only the four fields named here.
struct VTROCompressedImage {
  std::int32_t reserved0;
  std::int32_t lineCount;       // offset 4
  std::int32_t dataSize;        // offset 8: bytes of compressed data
  std::int32_t size;            // offset 12: announced size (divided by lineCount for the line size)
  std::int32_t reserved1[4];
  const std::uint8_t* data;     // offset 32
};
static_assert(sizeof(VTROCompressedImage) == 40);
static_assert(offsetof(VTROCompressedImage, lineCount) == 4);
static_assert(offsetof(VTROCompressedImage, dataSize) == 8);
static_assert(offsetof(VTROCompressedImage, size) == 12);
static_assert(offsetof(VTROCompressedImage, data) == 32);

// One element of an output's ring. Slots 0 to 35 keep their order.
//
// The typed accessors (9 to 27) check the element's type against their type
// bit and, for the indexed ones, the index against the buffer size; they
// check only when the engine's I/O check level is above 0 (failures: fatal
// report, -5). They return the data pointer, or data + index x element size.
class VTROIOElt {
 public:
  virtual void** DataPointerLocation() = 0;                      // 0
  virtual std::int64_t* TimeOfIssueLocation() = 0;               // 1
  virtual std::int64_t* TimestampLocation() = 0;                 // 2
  virtual std::int32_t* VectorSizeLocation() = 0;                // 3
  virtual std::int32_t* BufferSizeLocation() = 0;                // 4
  virtual std::int64_t* Misc64aLocation() = 0;                   // 5
  virtual std::int64_t* Misc64bLocation() = 0;                   // 6
  virtual const VTROIOType* Type() const = 0;                    // 7
  virtual std::int32_t* Misc32aLocation() = 0;                   // 8
  virtual float* Float32Data() = 0;                              // 9   0x2
  virtual float* Float32At(std::int32_t index) = 0;              // 10  0x2
  virtual std::int64_t* Int64At(std::int32_t index) = 0;         // 11  0x8000
  virtual double* Float64At(std::int32_t index) = 0;             // 12  0x4
  virtual std::int32_t* Number32At(std::int32_t index) = 0;      // 13  0x10000
  virtual char* Text() = 0;                                      // 14  0x8
  virtual char* TextAt(std::int32_t index) = 0;                  // 15  0x8
  virtual void* Whole10Data() = 0;                               // 16  0x10
  virtual IplImage* IplImageHeader() = 0;                        // 17  0x20
  virtual VTROCompressedImage* CompressedImage() = 0;            // 18  0x40
  virtual void* Record24At(std::int32_t index) = 0;              // 19  0x80
  virtual void* Whole100Data() = 0;                              // 20  0x100
  virtual void* Record320At(std::int32_t index) = 0;             // 21  0x200
  virtual void* Record96At(std::int32_t index) = 0;              // 22  0x400
  virtual void* StructureData() = 0;                             // 23  0x40000 (or 1)
  virtual std::uint8_t* ByteStream() = 0;                        // 24  0x1000
  virtual void* Whole2000Data() = 0;                             // 25  0x2000
  virtual void* Whole4000Data() = 0;                             // 26  0x4000
  virtual void* Whole20000Data() = 0;                            // 27  0x20000
  virtual std::int32_t* Misc32bLocation() = 0;                   // 28
  virtual std::int32_t* Misc32cLocation() = 0;                   // 29
  virtual std::int32_t* Misc32dLocation() = 0;                   // 30
  virtual std::int32_t SerializedSize() = 0;                     // 31
  virtual std::int32_t Serialize(void* buffer, std::int32_t capacity) = 0;          // 32
  virtual bool Deserialize(const void* buffer, std::int32_t size) = 0;              // 33
  virtual bool CheckSerialized(const void* buffer, std::int32_t size) = 0;          // 34
  virtual ~VTROIOElt() = default;                                // 35
  // ---- framework operations ----
  virtual std::int32_t State() const = 0;  // VTRO_ELEMENT_*
  virtual VTROOutput* Output() const = 0;  // the output whose ring holds the element

  // Convenience for component code (non-virtual, through the slots above).
  void* Data() { return *DataPointerLocation(); }
  std::int32_t BufferSize() { return *BufferSizeLocation(); }
  std::int32_t VectorSize() { return *VectorSizeLocation(); }
  void SetVectorSize(std::int32_t size) { *VectorSizeLocation() = size; }
  std::int64_t Timestamp() { return *TimestampLocation(); }
  void SetTimestamp(std::int64_t us) { *TimestampLocation() = us; }
  std::int64_t TimeOfIssue() { return *TimeOfIssueLocation(); }
};

// An input of a component. Slots 0 to 7 keep their order.
class VTROInput {
 public:
  virtual bool IsConnected() const = 0;                                                  // 0
  virtual void ResetReadingState() = 0;                                                  // 1: reading flag, subsampling counter
  virtual void DataType(std::uint64_t& typeMask, const char*& structureName) const = 0;  // 2: of the connected output (0, null when none)
  virtual void ReleaseReading() = 0;                                                     // 3: StopReading when reading
  virtual void WakeReader() = 0;                                                         // 4: wakes a blocked StartReading (reset event)
  virtual bool HasUnreadData() const = 0;                                                // 5: an element this reader has not read yet
  virtual VTROComponent* Component() const = 0;                                          // 6
  virtual ~VTROInput() = default;                                                        // 7: disconnects first
  // ---- framework operations ----
  virtual const char* FullName() const = 0;
  virtual const char* ShortName() const = 0;
  virtual const VTROInputDefinition* Definition() const = 0;
  virtual bool IsReading() const = 0;
  virtual std::int32_t ReaderType() const = 0;
  virtual std::int32_t Subsampling() const = 0;
  virtual std::int32_t& SubsamplingCounter() = 0;
  // Renames: the full name becomes "<module>.<short name>".
  virtual void SetModuleName(const char* moduleName) = 0;
  // Takes the next element for this reader following the reader type and the
  // subsampling (threaded components wait; sequential ones return null when
  // there is none) and marks the input reading. Raises 57005 on a stop.
  virtual VTROIOElt* StartReading() = 0;
  // Gives the current element back when reading.
  virtual void StopReading() = 0;
  // True when an element is waiting for this reader, without blocking (a
  // sampling reader: whenever the ring holds a published element).
  virtual bool DataAvailable() const = 0;
  // Switches within the FIFO family (0 to 2), or keeps 3 and 4; false when refused.
  virtual bool SetReaderType(std::int32_t readerType) = 0;
  // Number of elements this input has taken since its component started.
  virtual std::uint64_t ReadCount() const = 0;
  // The element being read (null when not reading).
  virtual VTROIOElt* CurrentElement() const = 0;

  // Connection (the engine calls Connect after its type check). Connect
  // registers the input as a reader of `output` (replacing an earlier
  // connection); false when the output refused it.
  virtual bool Connect(VTROOutput* output) = 0;
  // Unregisters from the connected output; a blocked reader wakes and waits
  // for a new connection.
  virtual void Disconnect() = 0;
  virtual VTROOutput* ConnectedOutput() const = 0;
  // Called by the output, under its ring lock, after it queued an element for
  // this reader: sets the data event and, for a sequential component, asks
  // the engine to deliver (VTROEngineInterface::DataArrived). Never blocks.
  virtual void DataPublished() = 0;
  // Called by the output when it goes away or drops its readers (the input
  // becomes unconnected; a blocked reader wakes).
  virtual void OutputGone(VTROOutput* output) = 0;
};

// An output of a component. Slots 0 to 21 keep their order.
class VTROOutput {
 public:
  // Allocates the ring for elements of `size` units of the type (nothing for
  // size <= 0: such an output is allocated by its component); with flag 1
  // only when it is not allocated yet. Resets every element.
  virtual void AllocOutputBuffer(std::int32_t size, std::int32_t flag) = 0;                     // 0
  // Allocates the ring for images of `model` (a second call in one run fails).
  virtual void AllocOutputBufferIplImage(const IplImage* model, std::int32_t flag) = 0;        // 1
  virtual void AllocOutputBufferImage(std::int32_t width, std::int32_t height, std::int32_t channels,
                                      std::int32_t depth) = 0;                                  // 2
  virtual void AllocOutputBufferBytes(std::int64_t bytes) = 0;                                 // 3
  virtual void AllocOutputBufferMatrix(std::int32_t rows, std::int32_t columns) = 0;           // 4
  virtual void AllocOutputBufferVector(std::int32_t count) = 0;                                // 5
  virtual const char* FullName() const = 0;                                                     // 6
  virtual std::int32_t ElementBufferSize() const = 0;                                          // 7: buffer size of each element
  virtual void* Ring() = 0;                                                                     // 8
  virtual void SwitchOn() = 0;                                                                  // 9
  virtual void SwitchOff() = 0;                                                                 // 10
  virtual std::int32_t FifoSize() const = 0;                                                    // 11
  virtual std::int32_t FreeElementCount() = 0;                                                  // 12
  virtual const VTROIOType* ElementType() const = 0;                                           // 13
  virtual bool IsAllocated() const = 0;                                                         // 14
  virtual bool IsPeriodic() const = 0;                                                          // 15
  virtual std::int64_t PeriodEstimate() const = 0;                                             // 16: µs, 0 when unknown
  virtual std::int32_t ReaderCount() const = 0;                                                 // 17
  virtual std::uint64_t WrittenCount() const = 0;                                               // 18: StopWriting without discard
  virtual std::uint64_t PublishedCount() const = 0;                                             // 19: queued for the readers
  virtual bool IsOn() const = 0;                                                                // 20
  virtual ~VTROOutput() = default;                                                              // 21: drops its readers first
  // ---- framework operations ----
  virtual const char* ShortName() const = 0;
  virtual const VTROOutputDefinition* Definition() const = 0;
  virtual VTROComponent* Component() const = 0;
  virtual void ClearElementSizeRecord() = 0;  // start sequence
  virtual void WakeReaders() = 0;             // stop sequence
  virtual void MarkAllElementsFree() = 0;     // stop sequence
  virtual void FreeBuffer() = 0;              // FreeOutputBuffers
  virtual void SetModuleName(const char* moduleName) = 0;
  // Writer side (component code uses VTROComponent::StartWriting/StopWriting).
  virtual VTROIOElt* StartWriting() = 0;
  virtual void StopWriting(VTROIOElt* element, bool discard) = 0;

  // Reader side, called by inputs (possibly of another package). A reader is
  // known by the index AddReader returned.
  virtual std::int32_t AddReader(VTROInput* input, std::int32_t readerType) = 0;  // -1 when refused
  virtual void RemoveReader(std::int32_t reader) = 0;
  virtual void SetReaderType(std::int32_t reader, std::int32_t readerType) = 0;
  // Marks the point after which a wait-for-next reader takes elements (the
  // elements published so far are not for it).
  virtual void MarkWaitPoint(std::int32_t reader) = 0;
  // The next element for the reader, held until ReleaseElement, or null when
  // none is there now (never blocks).
  virtual VTROIOElt* TakeElement(std::int32_t reader) = 0;
  virtual void ReleaseElement(std::int32_t reader, VTROIOElt* element) = 0;
  // An element the reader has not read yet (unreadOnly), or, for a sampling
  // reader with unreadOnly false, any published element.
  virtual bool HasElementFor(std::int32_t reader, bool unreadOnly) const = 0;
};
