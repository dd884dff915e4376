// Bus-data containers: one bus or sensor message with its time, held as a
// record (17-byte common header, a type header, the payload) that can be
// read from memory and written out again.
//
// Every multi-byte field of the record headers is little-endian. The packed
// structures below are the byte layout of the record; their sizes and offsets
// are pinned by static_assert.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace qtu::containers {

static_assert(std::endian::native == std::endian::little,
              "record headers are stored little-endian and copied as host structures");

// Kind of record (the type code of the common header).
enum class ContainerType : uint8_t {
  Base = 0,
  CAN = 1,
  Flexray = 2,
  Ethernet = 3,
  Video = 4,
  PLPRaw = 5,
  Lidar = 6,
  LIN = 7,
  SOMEIP = 8,
};

#pragma pack(push, 1)

// Common header at the start of every record.
struct ContainerHeader {
  int64_t timestamp;       // microseconds
  uint8_t typeCode;        // ContainerType
  uint32_t recordLength;   // 17 + type header length + payload length
  uint32_t payloadLength;  // bytes of payload
};

// Fields named opaqueN are carried unchanged and never interpreted.
struct CANHeader {
  uint32_t identifier;
  uint8_t flag4;
  uint8_t opaque5;
  uint8_t flag6;
  uint8_t flag7;
  uint16_t opaque8;
};

struct FlexrayHeader {
  uint8_t flags[5];  // flags 0 to 4, nonzero = set
  uint16_t f1;
  uint16_t opaque7;
  uint8_t f2;
  uint8_t f3;
  uint8_t opaque11[4];
};

struct EthernetHeader {
  uint8_t macAddress1[6];
  uint8_t macAddress2[6];
  uint16_t etherType;  // stored little-endian like every record field
  uint16_t opaque14;
  uint16_t opaque16;
};

struct VideoHeader {
  uint8_t opaque0[16];
  uint32_t opaque16;
};

struct PLPRawHeader {
  uint64_t opaque0;
  uint16_t opaque8;
};

struct LidarHeader {
  uint32_t opaque0;
  uint16_t opaque4;
};

struct LINHeader {
  uint16_t idField;  // low byte is the LIN identifier
  uint8_t opaque2;
};

// Decoded SOME/IP message header, values in host order. Also the type header
// of SOME/IP records.
struct SOMEIPHeader {
  uint16_t serviceId;
  uint8_t eventFlag;  // bit 15 of the message ID
  uint16_t methodId;  // all 16 bits, the event bit stays in
  uint32_t length;    // covers everything after the length field
  uint16_t clientId;
  uint16_t sessionId;
  uint8_t protocolVersion;
  uint8_t interfaceVersion;
  uint8_t messageType;
  uint8_t returnCode;
  uint32_t tpOffset;  // SOME/IP-TP offset (in units of 16 bytes); 0 unless TP
  uint8_t tpFlags;    // SOME/IP-TP flags, bit 0 = more segments; 0 unless TP
};

#pragma pack(pop)

static_assert(sizeof(ContainerHeader) == 17);
static_assert(offsetof(ContainerHeader, typeCode) == 8);
static_assert(offsetof(ContainerHeader, recordLength) == 9);
static_assert(offsetof(ContainerHeader, payloadLength) == 13);
static_assert(sizeof(CANHeader) == 10);
static_assert(offsetof(CANHeader, flag4) == 4 && offsetof(CANHeader, flag6) == 6);
static_assert(offsetof(CANHeader, flag7) == 7 && offsetof(CANHeader, opaque8) == 8);
static_assert(sizeof(FlexrayHeader) == 15);
static_assert(offsetof(FlexrayHeader, f1) == 5 && offsetof(FlexrayHeader, f2) == 9);
static_assert(offsetof(FlexrayHeader, f3) == 10 && offsetof(FlexrayHeader, opaque11) == 11);
static_assert(sizeof(EthernetHeader) == 18);
static_assert(offsetof(EthernetHeader, macAddress2) == 6 && offsetof(EthernetHeader, etherType) == 12);
static_assert(offsetof(EthernetHeader, opaque14) == 14 && offsetof(EthernetHeader, opaque16) == 16);
static_assert(offsetof(CANHeader, opaque5) == 5 && offsetof(FlexrayHeader, opaque7) == 7);
static_assert(sizeof(VideoHeader) == 20 && offsetof(VideoHeader, opaque16) == 16);
static_assert(sizeof(PLPRawHeader) == 10 && offsetof(PLPRawHeader, opaque8) == 8);
static_assert(sizeof(LidarHeader) == 6 && offsetof(LidarHeader, opaque4) == 4);
static_assert(sizeof(LINHeader) == 3 && offsetof(LINHeader, opaque2) == 2);
static_assert(sizeof(SOMEIPHeader) == 22);
static_assert(offsetof(SOMEIPHeader, eventFlag) == 2 && offsetof(SOMEIPHeader, sessionId) == 11);
static_assert(offsetof(SOMEIPHeader, interfaceVersion) == 14 && offsetof(SOMEIPHeader, messageType) == 15);
static_assert(offsetof(SOMEIPHeader, methodId) == 3 && offsetof(SOMEIPHeader, length) == 5);
static_assert(offsetof(SOMEIPHeader, clientId) == 9 && offsetof(SOMEIPHeader, protocolVersion) == 13);
static_assert(offsetof(SOMEIPHeader, returnCode) == 16 && offsetof(SOMEIPHeader, tpOffset) == 17);
static_assert(offsetof(SOMEIPHeader, tpFlags) == 21);

inline constexpr size_t kContainerHeaderSize = sizeof(ContainerHeader);

// Type header length of a type code, or -1 for codes without a class.
int TypeHeaderLength(uint8_t typeCode) noexcept;

// A record of the generic kind (type code 0) and the base of every container.
//
// The payload is either copied into the container (copy flag set) or borrowed
// from the caller, who then keeps that memory alive for the container's
// lifetime. Borrowed payloads handed over as `const uint8_t*` are read-only:
// the Ethernet setters refuse to write into them.
class BaseContainer {
 public:
  static constexpr ContainerType kType = ContainerType::Base;
  static constexpr size_t kTypeHeaderSize = 0;

  // From parts: the header is copied, its record length recomputed.
  BaseContainer(const ContainerHeader& header, const uint8_t* payload, bool copy);
  BaseContainer(const ContainerHeader& header, uint8_t* payload, bool copy);
  // From a record of `size` bytes; the payload follows the common header.
  // Throws std::runtime_error when the payload does not fit in `size`.
  BaseContainer(const uint8_t* record, size_t size, bool copy);

  // Copies and moves always own their payload.
  BaseContainer(const BaseContainer& other);
  BaseContainer(BaseContainer&& other);
  BaseContainer& operator=(const BaseContainer& other);
  BaseContainer& operator=(BaseContainer&& other);
  virtual ~BaseContainer() = default;

  // Writes the whole record (header, type header, payload) into `out`, which
  // holds `capacity` bytes, and returns the pointer just past it. Throws
  // std::runtime_error when the record does not fit.
  virtual uint8_t* WriteRecord(uint8_t* out, size_t capacity) const;
  // Writes the bus-frame form (a class-specific prefix, then the raw payload)
  // and returns the pointer just past it. Throws when it does not fit.
  virtual uint8_t* WriteFrame(uint8_t* out, size_t capacity) const;
  // True when the header's type code is this class's code.
  virtual bool IsOfType() const;

  const ContainerHeader& Header() const { return header_; }
  int64_t Timestamp() const { return header_.timestamp; }
  uint8_t TypeCode() const { return header_.typeCode; }
  uint32_t RecordLength() const { return header_.recordLength; }
  uint32_t PayloadLength() const { return header_.payloadLength; }
  const uint8_t* Payload() const { return payload_; }
  bool OwnsPayload() const { return ownsPayload_; }
  // Bytes that WriteFrame writes.
  size_t FrameSize() const { return FramePrefixSize() + header_.payloadLength; }

 protected:
  // For derived classes: records the payload and recomputes the record length
  // from the class's type header length.
  BaseContainer(const ContainerHeader& header, const uint8_t* payload, bool copy, bool writable,
                size_t typeHeaderSize);

  // Checks that a record of `size` bytes holds the common header, a type header
  // of `typeHeaderSize` bytes and the payload right after it; returns the header.
  static ContainerHeader ReadRecordHeader(const uint8_t* record, size_t size, size_t typeHeaderSize);
  // record + offset, or null for a null record (which ReadRecordHeader refuses;
  // the arguments may be evaluated in either order).
  static const uint8_t* At(const uint8_t* record, size_t offset) {
    return record == nullptr ? nullptr : record + offset;
  }

  virtual size_t FramePrefixSize() const { return 0; }
  virtual const void* TypeHeaderBytes() const { return nullptr; }
  virtual size_t TypeHeaderSize() const { return 0; }
  // Writes the common header and the type header; returns the pointer past them.
  uint8_t* WriteHeaders(uint8_t* out, size_t capacity) const;
  uint8_t* WritePayload(uint8_t* out) const;
  static void CheckCapacity(size_t needed, size_t capacity, const char* what);

  // Writable payload for the setters; throws when the payload is borrowed read-only.
  uint8_t* MutablePayload();

  ContainerHeader header_;
  uint8_t* payload_ = nullptr;
  bool ownsPayload_ = false;
  std::vector<uint8_t> buffer_;

 private:
  void TakeOver(BaseContainer&& other);
  void CopyFrom(const BaseContainer& other);
  bool writable_ = false;
};

// Shared machinery of the classes with a type header.
template <ContainerType Code, typename TypeHeaderT>
class TypedContainer : public BaseContainer {
 public:
  using TypeHeader = TypeHeaderT;
  static constexpr ContainerType kType = Code;
  static constexpr size_t kTypeHeaderSize = sizeof(TypeHeaderT);
  static constexpr size_t kPayloadOffset = kContainerHeaderSize + kTypeHeaderSize;

  TypedContainer(const ContainerHeader& header, const TypeHeaderT& typeHeader, const uint8_t* payload,
                 bool copy)
      : BaseContainer(header, payload, copy, false, kTypeHeaderSize), typeHeader_(typeHeader) {}
  TypedContainer(const ContainerHeader& header, const TypeHeaderT& typeHeader, uint8_t* payload, bool copy)
      : BaseContainer(header, payload, copy, true, kTypeHeaderSize), typeHeader_(typeHeader) {}
  // From a record of `size` bytes: common header, type header at offset 17,
  // payload at the fixed payload offset.
  TypedContainer(const uint8_t* record, size_t size, bool copy)
      : BaseContainer(ReadRecordHeader(record, size, kTypeHeaderSize), At(record, kPayloadOffset), copy,
                      false, kTypeHeaderSize),
        typeHeader_(ReadTypeHeader(record)) {}

  bool IsOfType() const override { return header_.typeCode == static_cast<uint8_t>(Code); }
  uint8_t* WriteRecord(uint8_t* out, size_t capacity) const override {
    return WritePayload(WriteHeaders(out, capacity));
  }

  const TypeHeaderT& GetTypeHeader() const { return typeHeader_; }

 protected:
  const void* TypeHeaderBytes() const override { return &typeHeader_; }
  size_t TypeHeaderSize() const override { return kTypeHeaderSize; }

  TypeHeaderT typeHeader_;

 private:
  static TypeHeaderT ReadTypeHeader(const uint8_t* record);
};

class CANContainer : public TypedContainer<ContainerType::CAN, CANHeader> {
 public:
  using TypedContainer::TypedContainer;
  // Identifier (4 bytes little-endian), flag byte (bit 0 flag 4, bit 1 flag 7,
  // bit 2 flag 6), payload.
  uint8_t* WriteFrame(uint8_t* out, size_t capacity) const override;

 protected:
  size_t FramePrefixSize() const override { return 5; }
};

class FlexrayContainer : public TypedContainer<ContainerType::Flexray, FlexrayHeader> {
 public:
  using TypedContainer::TypedContainer;
  // F1 (2 bytes little-endian), flag byte (bit n = flag n), F2, F3, payload.
  uint8_t* WriteFrame(uint8_t* out, size_t capacity) const override;

 protected:
  size_t FramePrefixSize() const override { return 5; }
};

class VideoContainer : public TypedContainer<ContainerType::Video, VideoHeader> {
 public:
  using TypedContainer::TypedContainer;
};

class PLPRawContainer : public TypedContainer<ContainerType::PLPRaw, PLPRawHeader> {
 public:
  using TypedContainer::TypedContainer;
};

class LidarContainer : public TypedContainer<ContainerType::Lidar, LidarHeader> {
 public:
  using TypedContainer::TypedContainer;
};

class LINContainer : public TypedContainer<ContainerType::LIN, LINHeader> {
 public:
  using TypedContainer::TypedContainer;
  uint8_t Identifier() const { return static_cast<uint8_t>(typeHeader_.idField & 0xFF); }
  // LIN identifier, payload.
  uint8_t* WriteFrame(uint8_t* out, size_t capacity) const override;

 protected:
  size_t FramePrefixSize() const override { return 1; }
};

class SOMEIPContainer : public TypedContainer<ContainerType::SOMEIP, SOMEIPHeader> {
 public:
  using TypedContainer::TypedContainer;
};

class EthernetContainer;  // ethernet_container.h

// Builds the container class of the record's type code from a record of
// `size` bytes. The payload is taken from record + (record length - payload
// length), as the stored lengths say. Returns nothing for type codes without a
// class (9 to 255). Throws std::runtime_error when the lengths do not fit: the
// record shorter than 17 bytes, the record length beyond `size`, or the record
// length smaller than 17 + type header length + payload length.
std::unique_ptr<BaseContainer> CreateContainer(const uint8_t* record, size_t size, bool copy);
// The same over writable memory: a borrowing Ethernet container may then be
// changed through its setters.
std::unique_ptr<BaseContainer> CreateContainer(uint8_t* record, size_t size, bool copy);

}  // namespace qtu::containers
