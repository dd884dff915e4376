#include "qtu/containers/container.h"

#include <cstring>
#include <stdexcept>
#include <string>

#include "qtu/containers/ethernet_container.h"

namespace qtu::containers {

int TypeHeaderLength(uint8_t typeCode) noexcept {
  switch (static_cast<ContainerType>(typeCode)) {
    case ContainerType::Base: return 0;
    case ContainerType::CAN: return sizeof(CANHeader);
    case ContainerType::Flexray: return sizeof(FlexrayHeader);
    case ContainerType::Ethernet: return sizeof(EthernetHeader);
    case ContainerType::Video: return sizeof(VideoHeader);
    case ContainerType::PLPRaw: return sizeof(PLPRawHeader);
    case ContainerType::Lidar: return sizeof(LidarHeader);
    case ContainerType::LIN: return sizeof(LINHeader);
    case ContainerType::SOMEIP: return sizeof(SOMEIPHeader);
  }
  return -1;
}

BaseContainer::BaseContainer(const ContainerHeader& header, const uint8_t* payload, bool copy, bool writable,
                             size_t typeHeaderSize)
    : header_(header) {
  if (payload == nullptr && header.payloadLength != 0) {
    throw std::runtime_error("Container payload of " + std::to_string(header.payloadLength) +
                             " bytes given without data");
  }
  const uint64_t recordLength = uint64_t{header.payloadLength} + kContainerHeaderSize + typeHeaderSize;
  if (recordLength > UINT32_MAX) {
    throw std::runtime_error("Container payload of " + std::to_string(header.payloadLength) +
                             " bytes does not fit in a record");
  }
  header_.recordLength = static_cast<uint32_t>(recordLength);
  if (copy) {
    buffer_.assign(payload, payload + header.payloadLength);
    payload_ = buffer_.data();
    ownsPayload_ = true;
    writable_ = true;
  } else {
    payload_ = const_cast<uint8_t*>(payload);  // written only when `writable`
    writable_ = writable;
  }
}

BaseContainer::BaseContainer(const ContainerHeader& header, const uint8_t* payload, bool copy)
    : BaseContainer(header, payload, copy, false, 0) {}

BaseContainer::BaseContainer(const ContainerHeader& header, uint8_t* payload, bool copy)
    : BaseContainer(header, payload, copy, true, 0) {}

BaseContainer::BaseContainer(const uint8_t* record, size_t size, bool copy)
    : BaseContainer(ReadRecordHeader(record, size, 0), At(record, kContainerHeaderSize), copy, false, 0) {}

ContainerHeader BaseContainer::ReadRecordHeader(const uint8_t* record, size_t size, size_t typeHeaderSize) {
  if (record == nullptr || size < kContainerHeaderSize + typeHeaderSize) {
    throw std::runtime_error("Container record of " + std::to_string(size) + " bytes is shorter than its " +
                             std::to_string(kContainerHeaderSize + typeHeaderSize) + " header bytes");
  }
  ContainerHeader header;
  std::memcpy(&header, record, sizeof header);
  if (uint64_t{header.payloadLength} > size - kContainerHeaderSize - typeHeaderSize) {
    throw std::runtime_error("Container payload length " + std::to_string(header.payloadLength) +
                             " exceeds the record of " + std::to_string(size) + " bytes");
  }
  return header;
}

void BaseContainer::CopyFrom(const BaseContainer& other) {
  header_ = other.header_;
  if (other.payload_ == nullptr) {
    buffer_.clear();
  } else {
    buffer_.assign(other.payload_, other.payload_ + other.header_.payloadLength);
  }
  payload_ = buffer_.data();
  ownsPayload_ = true;
  writable_ = true;
}

void BaseContainer::TakeOver(BaseContainer&& other) {
  if (!other.ownsPayload_) {
    CopyFrom(other);
    return;
  }
  header_ = other.header_;
  buffer_ = std::move(other.buffer_);
  payload_ = buffer_.data();
  ownsPayload_ = true;
  writable_ = true;
  // The source keeps its header but no longer any payload.
  other.buffer_.clear();
  other.payload_ = nullptr;
  other.header_.recordLength -= other.header_.payloadLength;
  other.header_.payloadLength = 0;
}

BaseContainer::BaseContainer(const BaseContainer& other) { CopyFrom(other); }

BaseContainer::BaseContainer(BaseContainer&& other) { TakeOver(std::move(other)); }

BaseContainer& BaseContainer::operator=(const BaseContainer& other) {
  if (this != &other) CopyFrom(other);
  return *this;
}

BaseContainer& BaseContainer::operator=(BaseContainer&& other) {
  if (this != &other) TakeOver(std::move(other));
  return *this;
}

void BaseContainer::CheckCapacity(size_t needed, size_t capacity, const char* what) {
  if (needed > capacity) {
    throw std::runtime_error(std::string(what) + " of " + std::to_string(needed) +
                             " bytes does not fit in an output area of " + std::to_string(capacity) + " bytes");
  }
}

uint8_t* BaseContainer::WriteHeaders(uint8_t* out, size_t capacity) const {
  CheckCapacity(header_.recordLength, capacity, "Container record");
  std::memcpy(out, &header_, sizeof header_);
  out += sizeof header_;
  if (TypeHeaderSize() != 0) {
    std::memcpy(out, TypeHeaderBytes(), TypeHeaderSize());
    out += TypeHeaderSize();
  }
  return out;
}

uint8_t* BaseContainer::WritePayload(uint8_t* out) const {
  if (header_.payloadLength != 0) std::memcpy(out, payload_, header_.payloadLength);
  return out + header_.payloadLength;
}

uint8_t* BaseContainer::WriteRecord(uint8_t* out, size_t capacity) const {
  return WritePayload(WriteHeaders(out, capacity));
}

uint8_t* BaseContainer::WriteFrame(uint8_t* out, size_t capacity) const {
  CheckCapacity(FrameSize(), capacity, "Container frame");
  return WritePayload(out);
}

bool BaseContainer::IsOfType() const { return header_.typeCode == static_cast<uint8_t>(ContainerType::Base); }

uint8_t* BaseContainer::MutablePayload() {
  if (!writable_) throw std::runtime_error("Container payload is borrowed read-only and cannot be changed");
  return payload_;
}

template <ContainerType Code, typename TypeHeaderT>
TypeHeaderT TypedContainer<Code, TypeHeaderT>::ReadTypeHeader(const uint8_t* record) {
  TypeHeaderT typeHeader;
  std::memcpy(&typeHeader, record + kContainerHeaderSize, sizeof typeHeader);
  return typeHeader;
}

template class TypedContainer<ContainerType::CAN, CANHeader>;
template class TypedContainer<ContainerType::Flexray, FlexrayHeader>;
template class TypedContainer<ContainerType::Ethernet, EthernetHeader>;
template class TypedContainer<ContainerType::Video, VideoHeader>;
template class TypedContainer<ContainerType::PLPRaw, PLPRawHeader>;
template class TypedContainer<ContainerType::Lidar, LidarHeader>;
template class TypedContainer<ContainerType::LIN, LINHeader>;
template class TypedContainer<ContainerType::SOMEIP, SOMEIPHeader>;

uint8_t* CANContainer::WriteFrame(uint8_t* out, size_t capacity) const {
  CheckCapacity(FrameSize(), capacity, "CAN frame");
  std::memcpy(out, &typeHeader_.identifier, 4);
  out[4] = static_cast<uint8_t>((typeHeader_.flag4 != 0 ? 0x01 : 0) | (typeHeader_.flag7 != 0 ? 0x02 : 0) |
                                (typeHeader_.flag6 != 0 ? 0x04 : 0));
  return WritePayload(out + 5);
}

uint8_t* FlexrayContainer::WriteFrame(uint8_t* out, size_t capacity) const {
  CheckCapacity(FrameSize(), capacity, "FlexRay frame");
  const uint16_t f1 = typeHeader_.f1;
  std::memcpy(out, &f1, 2);
  uint8_t flags = 0;
  for (int n = 0; n < 5; ++n) {
    if (typeHeader_.flags[n] != 0) flags |= static_cast<uint8_t>(1u << n);
  }
  out[2] = flags;
  out[3] = typeHeader_.f2;
  out[4] = typeHeader_.f3;
  return WritePayload(out + 5);
}

uint8_t* LINContainer::WriteFrame(uint8_t* out, size_t capacity) const {
  CheckCapacity(FrameSize(), capacity, "LIN frame");
  out[0] = Identifier();
  return WritePayload(out + 1);
}

namespace {

template <typename C, typename Ptr>
std::unique_ptr<BaseContainer> Build(const ContainerHeader& header, const uint8_t* record, Ptr payload,
                                     bool copy) {
  typename C::TypeHeader typeHeader;
  std::memcpy(&typeHeader, record + kContainerHeaderSize, sizeof typeHeader);
  return std::make_unique<C>(header, typeHeader, payload, copy);
}

template <typename Ptr>
std::unique_ptr<BaseContainer> CreateFrom(Ptr record, size_t size, bool copy) {
  if (record == nullptr || size < kContainerHeaderSize) {
    throw std::runtime_error("Container record of " + std::to_string(size) +
                             " bytes is shorter than its 17-byte header");
  }
  ContainerHeader header;
  std::memcpy(&header, record, sizeof header);
  const int typeHeaderLength = TypeHeaderLength(header.typeCode);
  if (typeHeaderLength < 0) return nullptr;
  if (header.recordLength > size) {
    throw std::runtime_error("Container record length " + std::to_string(header.recordLength) +
                             " exceeds the " + std::to_string(size) + " bytes available");
  }
  const uint64_t needed = uint64_t{kContainerHeaderSize} + static_cast<uint64_t>(typeHeaderLength) +
                          header.payloadLength;
  if (header.recordLength < needed) {
    throw std::runtime_error("Container record length " + std::to_string(header.recordLength) +
                             " is smaller than 17 + " + std::to_string(typeHeaderLength) + " header bytes + " +
                             std::to_string(header.payloadLength) + " payload bytes");
  }
  // The stored lengths decide where the payload is, not the type table.
  Ptr payload = record + (header.recordLength - header.payloadLength);
  switch (static_cast<ContainerType>(header.typeCode)) {
    case ContainerType::Base: return std::make_unique<BaseContainer>(header, payload, copy);
    case ContainerType::CAN: return Build<CANContainer>(header, record, payload, copy);
    case ContainerType::Flexray: return Build<FlexrayContainer>(header, record, payload, copy);
    case ContainerType::Ethernet: return Build<EthernetContainer>(header, record, payload, copy);
    case ContainerType::Video: return Build<VideoContainer>(header, record, payload, copy);
    case ContainerType::PLPRaw: return Build<PLPRawContainer>(header, record, payload, copy);
    // Lidar records get their own class; yielding nothing would lose them.
    case ContainerType::Lidar: return Build<LidarContainer>(header, record, payload, copy);
    case ContainerType::LIN: return Build<LINContainer>(header, record, payload, copy);
    case ContainerType::SOMEIP: return Build<SOMEIPContainer>(header, record, payload, copy);
  }
  return nullptr;
}

}  // namespace

std::unique_ptr<BaseContainer> CreateContainer(const uint8_t* record, size_t size, bool copy) {
  return CreateFrom(record, size, copy);
}

std::unique_ptr<BaseContainer> CreateContainer(uint8_t* record, size_t size, bool copy) {
  return CreateFrom(record, size, copy);
}

}  // namespace qtu::containers
