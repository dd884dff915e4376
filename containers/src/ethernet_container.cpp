#include "qtu/containers/ethernet_container.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

#include "byte_order.h"

namespace qtu::containers {

namespace {

constexpr const char* kNotIP = "Container does not contain a valid IP frame";
constexpr const char* kNotIPv4 = "Container does not contain a valid IPv4 frame";
constexpr const char* kNotIPv6 = "Container does not contain a valid IPv6 frame";
constexpr const char* kNotIPPacket = "Not a IP packet";
constexpr const char* kNotUDPOrTCP = "Container does not contain a UDP or TCP frame";
constexpr const char* kNotUDP = "Container does not contain a UDP frame";

constexpr size_t kIPv4MinHeader = 20;
constexpr size_t kIPv6Header = 40;
constexpr size_t kUDPHeader = 8;

[[noreturn]] void Fail(const std::string& text) { throw std::runtime_error(text); }

std::string Bytes(int64_t n) { return std::to_string(n) + (n == 1 ? " byte" : " bytes"); }

}  // namespace

EthernetContainer::EthernetContainer(const ContainerHeader& header, const EthernetHeader& typeHeader,
                                     const uint8_t* payload, bool copy)
    : TypedContainer(header, typeHeader, payload, copy) {
  ComputeView();
}

EthernetContainer::EthernetContainer(const ContainerHeader& header, const EthernetHeader& typeHeader,
                                     uint8_t* payload, bool copy)
    : TypedContainer(header, typeHeader, payload, copy) {
  ComputeView();
}

EthernetContainer::EthernetContainer(const uint8_t* record, size_t size, bool copy)
    : TypedContainer(record, size, copy) {
  ComputeView();
}

// The effective view points into the payload, so every copy and move computes
// its own instead of taking the other's pointer.
EthernetContainer::EthernetContainer(const EthernetContainer& other) : TypedContainer(other) { ComputeView(); }

EthernetContainer::EthernetContainer(EthernetContainer&& other) : TypedContainer(std::move(other)) {
  ComputeView();
  other.ComputeView();
}

EthernetContainer& EthernetContainer::operator=(const EthernetContainer& other) {
  TypedContainer::operator=(other);
  ComputeView();
  return *this;
}

EthernetContainer& EthernetContainer::operator=(EthernetContainer&& other) {
  TypedContainer::operator=(std::move(other));
  ComputeView();
  if (this != &other) other.ComputeView();
  return *this;
}

void EthernetContainer::ComputeView() {
  const uint16_t etherType = typeHeader_.etherType;
  const int64_t length = header_.payloadLength;
  size_t tag = 0;
  if (etherType == kEtherTypeVlan) {
    tag = 4;
  } else if (etherType == kEtherTypeQinQ) {
    tag = 8;
  }
  effectiveLength_ = length - static_cast<int64_t>(tag);
  if (effectiveLength_ < 0) {
    // Too short for its tag: no inner EtherType to read; CheckView refuses the view.
    effectiveEtherType_ = 0;
    effectivePayload_ = payload_;
    return;
  }
  effectiveEtherType_ = tag == 0 ? etherType : LoadBE16(payload_ + tag - 2);
  effectivePayload_ = payload_ + tag;
}

void EthernetContainer::CheckView() const {
  if (effectiveLength_ < 0) {
    Fail("Ethernet frame of " + Bytes(header_.payloadLength) + " is shorter than its VLAN tag of " +
         Bytes(static_cast<int64_t>(header_.payloadLength) - effectiveLength_));
  }
}

uint8_t* EthernetContainer::WriteFrame(uint8_t* out, size_t capacity) const {
  CheckCapacity(FrameSize(), capacity, "Ethernet frame");
  std::memcpy(out, typeHeader_.macAddress1, 6);
  std::memcpy(out + 6, typeHeader_.macAddress2, 6);
  StoreBE16(out + 12, typeHeader_.etherType);
  return WritePayload(out + 14);
}

uint16_t EthernetContainer::GetEtherType(bool skipVlan) const {
  if (!skipVlan) return typeHeader_.etherType;
  CheckView();
  return effectiveEtherType_;
}

const uint8_t* EthernetContainer::GetPayload(bool skipVlan) const {
  if (!skipVlan) return payload_;
  CheckView();
  return effectivePayload_;
}

int64_t EthernetContainer::GetPayloadLength(bool skipVlan) const {
  if (!skipVlan) return header_.payloadLength;
  CheckView();
  return effectiveLength_;
}

std::array<uint8_t, 6> EthernetContainer::GetMacAddress1() const {
  std::array<uint8_t, 6> mac;
  std::memcpy(mac.data(), typeHeader_.macAddress1, 6);
  return mac;
}

std::array<uint8_t, 6> EthernetContainer::GetMacAddress2() const {
  std::array<uint8_t, 6> mac;
  std::memcpy(mac.data(), typeHeader_.macAddress2, 6);
  return mac;
}

uint8_t EthernetContainer::GetIPVersion() const {
  CheckView();
  if (effectiveEtherType_ != kEtherTypeIPv4 && effectiveEtherType_ != kEtherTypeIPv6) Fail(kNotIP);
  if (effectiveLength_ < 1) Fail("IP frame is empty");
  return effectivePayload_[0] >> 4;
}

uint8_t EthernetContainer::GetIPv4HeaderLength() const {
  CheckView();
  if (effectiveEtherType_ != kEtherTypeIPv4) Fail(kNotIPv4);
  if (effectiveLength_ < 1) Fail("IP frame is empty");
  return effectivePayload_[0] & 0x0F;
}

const uint8_t* EthernetContainer::IPv4(size_t bytes) const {
  CheckView();
  if (effectiveEtherType_ != kEtherTypeIPv4) Fail(kNotIPv4);
  if (effectiveLength_ < static_cast<int64_t>(bytes)) {
    Fail("IPv4 header of " + Bytes(static_cast<int64_t>(bytes)) + " does not fit in the " +
         Bytes(effectiveLength_) + " of the frame");
  }
  return effectivePayload_;
}

const uint8_t* EthernetContainer::IPv6(size_t bytes) const {
  CheckView();
  if (effectiveEtherType_ != kEtherTypeIPv6) Fail(kNotIPv6);
  if (effectiveLength_ < static_cast<int64_t>(bytes)) {
    Fail("IPv6 header of " + Bytes(static_cast<int64_t>(bytes)) + " does not fit in the " +
         Bytes(effectiveLength_) + " of the frame");
  }
  return effectivePayload_;
}

std::array<uint8_t, 4> EthernetContainer::GetIPv4Source() const {
  std::array<uint8_t, 4> a;
  std::memcpy(a.data(), IPv4(kIPv4MinHeader) + 12, 4);
  return a;
}

std::array<uint8_t, 4> EthernetContainer::GetIPv4Destination() const {
  std::array<uint8_t, 4> a;
  std::memcpy(a.data(), IPv4(kIPv4MinHeader) + 16, 4);
  return a;
}

std::array<uint8_t, 16> EthernetContainer::GetIPv6Source() const {
  std::array<uint8_t, 16> a;
  std::memcpy(a.data(), IPv6(kIPv6Header) + 8, 16);
  return a;
}

std::array<uint8_t, 16> EthernetContainer::GetIPv6Destination() const {
  std::array<uint8_t, 16> a;
  std::memcpy(a.data(), IPv6(kIPv6Header) + 24, 16);
  return a;
}

// The transport layer after the IP header (and, with skipAH, after an
// Authentication Header), with the protocol it carries in `protocol`.
EthernetContainer::Transport EthernetContainer::TransportLayer(bool skipAH, uint8_t& protocol,
                                                                const char* notIP) const {
  CheckView();
  Transport t{};
  if (effectiveEtherType_ == kEtherTypeIPv4) {
    const uint8_t* ip = IPv4(kIPv4MinHeader);
    const size_t headerLength = size_t{4} * (ip[0] & 0x0F);
    if (headerLength < kIPv4MinHeader) {
      Fail("IPv4 header length of " + std::to_string(ip[0] & 0x0F) + " words is below the minimum of 5");
    }
    if (static_cast<int64_t>(headerLength) > effectiveLength_) {
      Fail("IPv4 header length of " + Bytes(static_cast<int64_t>(headerLength)) + " points past the " +
           Bytes(effectiveLength_) + " of the frame");
    }
    protocol = ip[9];
    t.data = ip + headerLength;
    t.present = static_cast<size_t>(effectiveLength_) - headerLength;
    t.length = static_cast<int64_t>(t.present);
  } else if (effectiveEtherType_ == kEtherTypeIPv6) {
    const uint8_t* ip = IPv6(kIPv6Header);
    protocol = ip[6];
    t.data = ip + kIPv6Header;
    t.present = static_cast<size_t>(effectiveLength_) - kIPv6Header;
    t.length = LoadBE16(ip + 4);
  } else {
    Fail(notIP);
  }
  if (skipAH && protocol == kProtocolAH) {
    if (t.present < 2) Fail("Authentication Header does not fit in the " + Bytes(t.present) + " after the IP header");
    const size_t ahLength = 8 + size_t{4} * t.data[1];
    if (ahLength > t.present) {
      Fail("Authentication Header of " + Bytes(static_cast<int64_t>(ahLength)) + " does not fit in the " +
           Bytes(static_cast<int64_t>(t.present)) + " after the IP header");
    }
    // The IPv6 payload length may be smaller than the header (a stale or zero
    // field); that matters only to the transport length, which refuses it.
    protocol = t.data[0];
    t.data += ahLength;
    t.present -= ahLength;
    t.length -= static_cast<int64_t>(ahLength);
    t.skipped = ahLength;
  }
  return t;
}

uint8_t EthernetContainer::GetProtocol(bool skipAH) const {
  CheckView();
  uint8_t protocol = 0;
  if (effectiveEtherType_ == kEtherTypeIPv4) {
    protocol = IPv4(kIPv4MinHeader)[9];
  } else if (effectiveEtherType_ == kEtherTypeIPv6) {
    protocol = IPv6(kIPv6Header)[6];
  } else {
    Fail(kNotIP);
  }
  // The field lies in the fixed IP header, so the IPv4 header length does not
  // matter for it; only an Authentication Header to look behind does.
  if (skipAH && protocol == kProtocolAH) TransportLayer(true, protocol, kNotIP);
  return protocol;
}

const uint8_t* EthernetContainer::GetTransportHeader(bool skipAH) const {
  uint8_t protocol = 0;
  return TransportLayer(skipAH, protocol, kNotIPPacket).data;
}

int64_t EthernetContainer::GetTransportLength(bool skipAH) const {
  uint8_t protocol = 0;
  const Transport t = TransportLayer(skipAH, protocol, kNotIPPacket);
  if (t.length < 0) {
    Fail("Authentication Header of " + Bytes(static_cast<int64_t>(t.skipped)) +
         " is longer than the IP payload of " + Bytes(t.length + static_cast<int64_t>(t.skipped)));
  }
  return t.length;
}

EthernetContainer::Transport EthernetContainer::PortLayer() const {
  uint8_t protocol = 0;
  const Transport t = TransportLayer(true, protocol, kNotIP);
  if (protocol != kProtocolUDP && protocol != kProtocolTCP) Fail(kNotUDPOrTCP);
  if (t.present < 4) {
    Fail("Ports of 4 bytes do not fit in the " + Bytes(static_cast<int64_t>(t.present)) + " after the IP header");
  }
  return t;
}

EthernetContainer::Transport EthernetContainer::UDPLayer() const {
  uint8_t protocol = 0;
  const Transport t = TransportLayer(true, protocol, kNotIP);
  if (protocol != kProtocolUDP) Fail(kNotUDP);
  if (t.present < kUDPHeader) {
    Fail("UDP header of 8 bytes does not fit in the " + Bytes(static_cast<int64_t>(t.present)) +
         " after the IP header");
  }
  return t;
}

uint16_t EthernetContainer::GetSourcePort() const { return LoadBE16(PortLayer().data); }

uint16_t EthernetContainer::GetDestinationPort() const { return LoadBE16(PortLayer().data + 2); }

uint16_t EthernetContainer::GetUDPLength() const { return LoadBE16(UDPLayer().data + 4); }

// The UDP payload with its size, after checking the UDP length against the frame.
static std::pair<const uint8_t*, size_t> CheckedUDPPayload(const uint8_t* udp, size_t present) {
  const uint16_t length = LoadBE16(udp + 4);
  if (length < kUDPHeader) Fail("UDP length " + std::to_string(length) + " is below the 8-byte UDP header");
  if (length > present) {
    Fail("UDP length " + std::to_string(length) + " exceeds the " + Bytes(static_cast<int64_t>(present)) +
         " after the IP header");
  }
  return {udp + kUDPHeader, length - kUDPHeader};
}

const uint8_t* EthernetContainer::GetUDPPayload() const {
  const Transport t = UDPLayer();
  return CheckedUDPPayload(t.data, t.present).first;
}

std::vector<SOMEIPMessage> EthernetContainer::GetSOMEIPMessages() const {
  const Transport t = UDPLayer();
  const auto [data, size] = CheckedUDPPayload(t.data, t.present);
  return ParseSOMEIPMessages(data, size, header_.timestamp);
}

void EthernetContainer::GetSOMEIPMessageViews(std::vector<SOMEIPMessageView>& views) const {
  views.clear();
  const Transport t = UDPLayer();
  const auto [data, size] = CheckedUDPPayload(t.data, t.present);
  ParseSOMEIPMessageViews(data, size, views);
}

uint8_t* EthernetContainer::Writable(const uint8_t* p) {
  uint8_t* base = MutablePayload();
  return base + (p - payload_);
}

void EthernetContainer::SetIPv4Source(const std::array<uint8_t, 4>& address) {
  std::memcpy(Writable(IPv4(kIPv4MinHeader)) + 12, address.data(), 4);
}

void EthernetContainer::SetIPv4Destination(const std::array<uint8_t, 4>& address) {
  std::memcpy(Writable(IPv4(kIPv4MinHeader)) + 16, address.data(), 4);
}

void EthernetContainer::SetIPv6Source(const std::array<uint8_t, 16>& address) {
  std::memcpy(Writable(IPv6(kIPv6Header)) + 8, address.data(), 16);
}

void EthernetContainer::SetIPv6Destination(const std::array<uint8_t, 16>& address) {
  std::memcpy(Writable(IPv6(kIPv6Header)) + 24, address.data(), 16);
}

void EthernetContainer::SetSourcePort(uint16_t port) { StoreBE16(Writable(PortLayer().data), port); }

void EthernetContainer::SetDestinationPort(uint16_t port) { StoreBE16(Writable(PortLayer().data) + 2, port); }

void EthernetContainer::ExportPcap(bool skipVlan, PcapFrameRecord& out) const {
  const uint16_t etherType = GetEtherType(skipVlan);
  const uint8_t* payload = GetPayload(skipVlan);
  const uint64_t length = static_cast<uint64_t>(GetPayloadLength(skipVlan));
  const size_t used = static_cast<size_t>(std::min<uint64_t>(length, kPcapMaxPayload));

  // Floor division keeps the microseconds within 0..999999 for times before
  // 1970 too; the seconds then read back correctly as a signed 32-bit value.
  int64_t seconds = header_.timestamp / 1000000;
  int64_t micros = header_.timestamp % 1000000;
  if (micros < 0) {
    micros += 1000000;
    seconds -= 1;
  }
  out.seconds = static_cast<uint32_t>(seconds);
  out.microseconds = static_cast<uint32_t>(micros);
  out.capturedLength = static_cast<uint32_t>(used + 14);
  out.wireLength = static_cast<uint32_t>(std::min<uint64_t>(length + 14, UINT32_MAX));
  std::memcpy(out.macAddress2, typeHeader_.macAddress2, 6);
  std::memcpy(out.macAddress1, typeHeader_.macAddress1, 6);
  StoreBE16(out.etherType, etherType);
  if (used != 0) std::memcpy(out.payload, payload, used);
  out.one = 1;
}

}  // namespace qtu::containers
