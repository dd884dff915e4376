// The I/O element the framework's output rings hold. Its fields and typed
// accessors are the element's public face; the ring keeps its own
// bookkeeping (sequence number, holders) beside them.
#pragma once

#include <cstdint>

#include "vtro/VTROIO.h"
#include "vtro/VTROIplImage.h"

class VTROIOEltImplementation final : public VTROIOElt {
 public:
  VTROIOEltImplementation() = default;

  void** DataPointerLocation() override { return &m_data; }
  std::int64_t* TimeOfIssueLocation() override { return &m_timeOfIssue; }
  std::int64_t* TimestampLocation() override { return &m_timestamp; }
  std::int32_t* VectorSizeLocation() override { return &m_vectorSize; }
  std::int32_t* BufferSizeLocation() override { return &m_bufferSize; }
  std::int64_t* Misc64aLocation() override { return &m_misc64a; }
  std::int64_t* Misc64bLocation() override { return &m_misc64b; }
  const VTROIOType* Type() const override { return &m_type; }
  std::int32_t* Misc32aLocation() override { return &m_misc32[0]; }
  float* Float32Data() override;
  float* Float32At(std::int32_t index) override;
  std::int64_t* Int64At(std::int32_t index) override;
  double* Float64At(std::int32_t index) override;
  std::int32_t* Number32At(std::int32_t index) override;
  char* Text() override;
  char* TextAt(std::int32_t index) override;
  void* Whole10Data() override;
  IplImage* IplImageHeader() override;
  VTROCompressedImage* CompressedImage() override;
  void* Record24At(std::int32_t index) override;
  void* Whole100Data() override;
  void* Record320At(std::int32_t index) override;
  void* Record96At(std::int32_t index) override;
  void* StructureData() override;
  std::uint8_t* ByteStream() override;
  void* Whole2000Data() override;
  void* Whole4000Data() override;
  void* Whole20000Data() override;
  std::int32_t* Misc32bLocation() override { return &m_misc32[1]; }
  std::int32_t* Misc32cLocation() override { return &m_misc32[2]; }
  std::int32_t* Misc32dLocation() override { return &m_misc32[3]; }
  std::int32_t SerializedSize() override;
  std::int32_t Serialize(void* buffer, std::int32_t capacity) override;
  bool Deserialize(const void* buffer, std::int32_t size) override;
  bool CheckSerialized(const void* buffer, std::int32_t size) override;
  std::int32_t State() const override { return m_state; }
  VTROOutput* Output() const override { return m_output; }

  // ---- ring side (the output's ring lock is held) ----
  // Back to the state of a fresh element of `output` whose data starts at
  // `data` with `bufferSize` units; `vectorSize` valid ones.
  void Reset(VTROOutput* output, const VTROIOType& type, void* data, std::int32_t bufferSize, std::int32_t vectorSize);
  // For IPL image rings: the element's own copy of the model, whose pixel
  // pointers point at `pixels`; the data pointer points at the copy.
  void UseImageHeader(const IplImage& model, char* pixels);
  void SetState(std::int32_t state) { m_state = state; }
  void ClearTimes() {
    m_timestamp = 0;
    m_timeOfIssue = 0;
  }

  std::uint64_t sequence = 0;  // publication order (valid while queued)
  std::int32_t holders = 0;    // readers between take and release
  bool queued = false;         // in the ring's queue of published elements
  bool retired = false;        // its block was given up while a reader held it

 private:
  // Returns data + index x unit after the engine-enabled checks of one type bit.
  void* Checked(std::uint64_t typeBits, std::int32_t unit, std::int32_t index, bool indexed);

  void* m_data = nullptr;
  std::int32_t m_bufferSize = 0;
  std::int32_t m_vectorSize = 0;
  std::int64_t m_timestamp = 0;
  std::int64_t m_timeOfIssue = 0;
  VTROIOType m_type{0, ""};
  std::int64_t m_misc64a = 0;
  std::int64_t m_misc64b = 0;
  std::int32_t m_misc32[4] = {0, 0, 0, 0};
  std::int32_t m_state = VTRO_ELEMENT_FREE;
  VTROOutput* m_output = nullptr;
  IplImage m_image{};
};
