// I/O element: typed accessors with the engine-enabled checks, reset by the
// ring, and a flat serialized form.
#include "VTROIOElement.h"

#include <cstring>

#include "framework_internal.h"
#include "vtro/VTROComponent.h"
#include "vtro/VTROEngineInterface.h"

namespace {

bool ChecksEnabled() {
  VTROEngineInterface* engine = VTRO::Engine();
  return engine != nullptr && engine->IOCheckLevel() > 0;
}

// Serialized form: this header, then the valid data bytes.
struct SerializedHeader {
  std::uint32_t magic;
  std::uint32_t dataBytes;
  std::uint64_t typeMask;
  std::int64_t timestamp;
  std::int64_t timeOfIssue;
  std::int32_t vectorSize;
  std::int32_t reserved;
};
static_assert(sizeof(SerializedHeader) == 40);
constexpr std::uint32_t kSerializedMagic = 0x4F49544Fu;  // "OTIO"

}  // namespace

void* VTROIOEltImplementation::Checked(std::uint64_t typeBits, std::int32_t unit, std::int32_t index, bool indexed) {
  if (ChecksEnabled()) {
    if (m_data == nullptr) {
      VTRO::FatalReport("Check error : A NULL I/O Element was disregarded by a component (probably due a detachment "
                        "not taken into account).",
                        2);
    }
    if ((m_type.typeMask & typeBits) == 0) VTRO::FatalReport("Check error : Incorrect typing during I/O element access.", 2);
    if (indexed && (index < 0 || index >= m_bufferSize)) {
      VTRO::FatalReport("Check error : Bad vector index during I/O element access.", 2);
    }
  }
  if (m_data == nullptr) return nullptr;
  return static_cast<char*>(m_data) + static_cast<std::int64_t>(index) * unit;
}

float* VTROIOEltImplementation::Float32Data() { return static_cast<float*>(Checked(VTRO_TYPE_FLOAT32, 4, 0, false)); }
float* VTROIOEltImplementation::Float32At(std::int32_t index) {
  return static_cast<float*>(Checked(VTRO_TYPE_FLOAT32, 4, index, true));
}
std::int64_t* VTROIOEltImplementation::Int64At(std::int32_t index) {
  return static_cast<std::int64_t*>(Checked(VTRO_TYPE_INT64, 8, index, true));
}
double* VTROIOEltImplementation::Float64At(std::int32_t index) {
  return static_cast<double*>(Checked(VTRO_TYPE_FLOAT64, 8, index, true));
}
std::int32_t* VTROIOEltImplementation::Number32At(std::int32_t index) {
  return static_cast<std::int32_t*>(Checked(VTRO_TYPE_NUMBER32, 4, index, true));
}
char* VTROIOEltImplementation::Text() { return static_cast<char*>(Checked(VTRO_TYPE_TEXT, 1, 0, false)); }
char* VTROIOEltImplementation::TextAt(std::int32_t index) {
  return static_cast<char*>(Checked(VTRO_TYPE_TEXT, 1, index, true));
}
void* VTROIOEltImplementation::Whole10Data() { return Checked(VTRO_TYPE_WHOLE_10, 1, 0, false); }
IplImage* VTROIOEltImplementation::IplImageHeader() {
  return static_cast<IplImage*>(Checked(VTRO_TYPE_IPL_IMAGE, 1, 0, false));
}
VTROCompressedImage* VTROIOEltImplementation::CompressedImage() {
  return static_cast<VTROCompressedImage*>(Checked(VTRO_TYPE_COMPRESSED_IMAGE, 1, 0, false));
}
void* VTROIOEltImplementation::Record24At(std::int32_t index) { return Checked(VTRO_TYPE_RECORD24, 24, index, true); }
void* VTROIOEltImplementation::Whole100Data() { return Checked(VTRO_TYPE_WHOLE_100, 1, 0, false); }
void* VTROIOEltImplementation::Record320At(std::int32_t index) { return Checked(VTRO_TYPE_RECORD320, 320, index, true); }
void* VTROIOEltImplementation::Record96At(std::int32_t index) { return Checked(VTRO_TYPE_RECORD96, 96, index, true); }
void* VTROIOEltImplementation::StructureData() {
  return Checked(VTRO_TYPE_CUSTOM_STRUCTURE | VTRO_TYPE_STRUCTURE_CODE, 1, 0, false);
}
std::uint8_t* VTROIOEltImplementation::ByteStream() {
  return static_cast<std::uint8_t*>(Checked(VTRO_TYPE_BYTE_STREAM, 1, 0, false));
}
void* VTROIOEltImplementation::Whole2000Data() { return Checked(VTRO_TYPE_WHOLE_2000, 1, 0, false); }
void* VTROIOEltImplementation::Whole4000Data() { return Checked(VTRO_TYPE_WHOLE_4000, 1, 0, false); }
void* VTROIOEltImplementation::Whole20000Data() { return Checked(VTRO_TYPE_WHOLE_20000, 1, 0, false); }

void VTROIOEltImplementation::Reset(VTROOutput* output, const VTROIOType& type, void* data, std::int32_t bufferSize,
                                    std::int32_t vectorSize) {
  m_output = output;
  m_type = type;
  m_data = data;
  m_bufferSize = bufferSize;
  m_vectorSize = vectorSize;
  m_timestamp = 0;
  m_timeOfIssue = 0;
  m_misc64a = 0;
  m_misc64b = 0;
  for (std::int32_t& value : m_misc32) value = 0;
  m_state = VTRO_ELEMENT_FREE;
  sequence = 0;
  holders = 0;
  queued = false;
  retired = false;
}

void VTROIOEltImplementation::UseImageHeader(const IplImage& model, char* pixels) {
  m_image = model;
  m_image.imageData = pixels;
  m_image.imageDataOrigin = pixels;
  m_data = &m_image;
}

// Serialization --------------------------------------------------------------

namespace {

// The bytes an element's valid data spans: pixels for an image, otherwise
// vector size x the type's unit (bytes for streams and structures).
std::uint32_t ValidBytes(VTROIOEltImplementation& element, const void* data) {
  if ((element.Type()->typeMask & VTRO_TYPE_IPL_IMAGE) != 0) {
    const IplImage* image = static_cast<const IplImage*>(data);
    return image->imageSize > 0 ? static_cast<std::uint32_t>(image->imageSize) : 0;
  }
  const std::int64_t units = element.VectorSize() > 0 ? element.VectorSize() : 0;
  const std::int64_t bytes = units * VTROTypeElementSize(element.Type()->typeMask);
  return bytes > 0x7FFFFFFF ? 0x7FFFFFFFu : static_cast<std::uint32_t>(bytes);
}

const void* DataBytes(VTROIOEltImplementation& element, void* data) {
  if ((element.Type()->typeMask & VTRO_TYPE_IPL_IMAGE) != 0) return static_cast<IplImage*>(data)->imageData;
  return data;
}

}  // namespace

std::int32_t VTROIOEltImplementation::SerializedSize() {
  if (m_data == nullptr) return static_cast<std::int32_t>(sizeof(SerializedHeader));
  const std::uint64_t total = sizeof(SerializedHeader) + static_cast<std::uint64_t>(ValidBytes(*this, m_data));
  return total > 0x7FFFFFFF ? -1 : static_cast<std::int32_t>(total);
}

std::int32_t VTROIOEltImplementation::Serialize(void* buffer, std::int32_t capacity) {
  const std::int32_t size = SerializedSize();
  if (buffer == nullptr || size < 0 || capacity < size) return -1;
  SerializedHeader header{kSerializedMagic, 0, m_type.typeMask, m_timestamp, m_timeOfIssue, m_vectorSize, 0};
  header.dataBytes = static_cast<std::uint32_t>(size) - static_cast<std::uint32_t>(sizeof header);
  std::memcpy(buffer, &header, sizeof header);
  if (header.dataBytes > 0) {
    std::memcpy(static_cast<char*>(buffer) + sizeof header, DataBytes(*this, m_data), header.dataBytes);
  }
  return size;
}

bool VTROIOEltImplementation::CheckSerialized(const void* buffer, std::int32_t size) {
  if (buffer == nullptr || size < static_cast<std::int32_t>(sizeof(SerializedHeader))) return false;
  SerializedHeader header;
  std::memcpy(&header, buffer, sizeof header);
  if (header.magic != kSerializedMagic) return false;
  if (header.dataBytes != static_cast<std::uint32_t>(size) - sizeof header) return false;
  // The element must take it: same type and room for the data.
  if ((header.typeMask & ~VTRO_TYPE_VECTOR_FLAG) != (m_type.typeMask & ~VTRO_TYPE_VECTOR_FLAG)) return false;
  if (m_data == nullptr) return header.dataBytes == 0;
  std::uint64_t room;
  if ((m_type.typeMask & VTRO_TYPE_IPL_IMAGE) != 0) {
    room = m_image.imageSize > 0 ? static_cast<std::uint64_t>(m_image.imageSize) : 0;
  } else {
    room = static_cast<std::uint64_t>(m_bufferSize > 0 ? m_bufferSize : 0) * VTROTypeElementSize(m_type.typeMask);
  }
  if (header.dataBytes > room) return false;
  if ((m_type.typeMask & VTRO_TYPE_IPL_IMAGE) == 0 && header.vectorSize >= 0 &&
      static_cast<std::uint64_t>(header.vectorSize) * VTROTypeElementSize(m_type.typeMask) != header.dataBytes) {
    return false;
  }
  return true;
}

bool VTROIOEltImplementation::Deserialize(const void* buffer, std::int32_t size) {
  if (!CheckSerialized(buffer, size)) return false;
  SerializedHeader header;
  std::memcpy(&header, buffer, sizeof header);
  m_timestamp = header.timestamp;
  m_timeOfIssue = header.timeOfIssue;
  if ((m_type.typeMask & VTRO_TYPE_IPL_IMAGE) == 0) m_vectorSize = header.vectorSize;
  if (header.dataBytes > 0) {
    void* target = (m_type.typeMask & VTRO_TYPE_IPL_IMAGE) != 0 ? m_image.imageData : m_data;
    std::memcpy(target, static_cast<const char*>(buffer) + sizeof header, header.dataBytes);
  }
  return true;
}
