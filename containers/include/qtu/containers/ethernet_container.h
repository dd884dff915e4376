// Ethernet frame records: the frame with VLAN tags removed, IPv4, IPv6, UDP
// and TCP header fields, SOME/IP messages in UDP and the pcap record form.
//
// Protocol fields inside the payload are in network byte order. Every
// accessor checks that the bytes it reads or writes lie inside the payload and
// throws std::runtime_error otherwise; a failed getter or setter leaves the
// container unchanged.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "qtu/containers/container.h"
#include "qtu/containers/someip.h"

namespace qtu::containers {

inline constexpr uint16_t kEtherTypeIPv4 = 0x0800;
inline constexpr uint16_t kEtherTypeIPv6 = 0x86DD;
inline constexpr uint16_t kEtherTypeVlan = 0x8100;
inline constexpr uint16_t kEtherTypeQinQ = 0x88A8;
inline constexpr uint8_t kProtocolTCP = 6;
inline constexpr uint8_t kProtocolUDP = 17;
inline constexpr uint8_t kProtocolAH = 51;

// Payload bytes a pcap record holds; longer payloads are cut.
inline constexpr size_t kPcapMaxPayload = 65522;

#pragma pack(push, 1)
// One frame in pcap form: the 16-byte per-packet record header of the pcap
// capture format, then the frame bytes (MAC address 2 first), little-endian.
struct PcapFrameRecord {
  uint32_t seconds;
  uint32_t microseconds;
  uint32_t capturedLength;  // frame bytes that follow the record header
  uint32_t wireLength;      // frame length before any cut
  uint8_t macAddress2[6];
  uint8_t macAddress1[6];
  uint8_t etherType[2];  // high byte first
  uint8_t payload[kPcapMaxPayload];
  uint32_t one;  // always 1
};
#pragma pack(pop)
static_assert(sizeof(PcapFrameRecord) == 65556);
static_assert(offsetof(PcapFrameRecord, macAddress2) == 16 && offsetof(PcapFrameRecord, macAddress1) == 22);
static_assert(offsetof(PcapFrameRecord, etherType) == 28 && offsetof(PcapFrameRecord, payload) == 30);
static_assert(offsetof(PcapFrameRecord, one) == 65552);
inline constexpr size_t kPcapRecordHeaderSize = offsetof(PcapFrameRecord, macAddress2);

class EthernetContainer : public TypedContainer<ContainerType::Ethernet, EthernetHeader> {
 public:
  EthernetContainer(const ContainerHeader& header, const EthernetHeader& typeHeader, const uint8_t* payload,
                    bool copy);
  EthernetContainer(const ContainerHeader& header, const EthernetHeader& typeHeader, uint8_t* payload, bool copy);
  EthernetContainer(const uint8_t* record, size_t size, bool copy);
  EthernetContainer(const EthernetContainer& other);
  EthernetContainer(EthernetContainer&& other);
  EthernetContainer& operator=(const EthernetContainer& other);
  EthernetContainer& operator=(EthernetContainer&& other);

  // MAC address 1, MAC address 2, EtherType high byte first, raw payload.
  uint8_t* WriteFrame(uint8_t* out, size_t capacity) const override;

  // The view with one 0x8100 or 0x88A8 tag removed (skipVlan) or the raw one.
  // The effective view throws when the payload is shorter than its tag.
  uint16_t GetEtherType(bool skipVlan) const;
  const uint8_t* GetPayload(bool skipVlan) const;
  int64_t GetPayloadLength(bool skipVlan) const;
  std::array<uint8_t, 6> GetMacAddress1() const;
  std::array<uint8_t, 6> GetMacAddress2() const;

  // IP layer of the effective view.
  uint8_t GetIPVersion() const;
  uint8_t GetIPv4HeaderLength() const;  // in 32-bit words
  std::array<uint8_t, 4> GetIPv4Source() const;
  std::array<uint8_t, 4> GetIPv4Destination() const;
  std::array<uint8_t, 16> GetIPv6Source() const;
  std::array<uint8_t, 16> GetIPv6Destination() const;
  // With skipAH and an Authentication Header (51), the protocol it carries.
  uint8_t GetProtocol(bool skipAH) const;
  const uint8_t* GetTransportHeader(bool skipAH) const;
  int64_t GetTransportLength(bool skipAH) const;

  // Transport layer (Authentication Header skipped).
  uint16_t GetSourcePort() const;
  uint16_t GetDestinationPort() const;
  uint16_t GetUDPLength() const;
  const uint8_t* GetUDPPayload() const;
  std::vector<SOMEIPMessage> GetSOMEIPMessages() const;
  // Allocation-free form for a reused vector, see ParseSOMEIPMessageViews.
  void GetSOMEIPMessageViews(std::vector<SOMEIPMessageView>& views) const;

  // Setters write into the payload (the caller's memory when borrowed, which
  // must then have been handed over writable) and recompute no checksum.
  void SetIPv4Source(const std::array<uint8_t, 4>& address);
  void SetIPv4Destination(const std::array<uint8_t, 4>& address);
  void SetIPv6Source(const std::array<uint8_t, 16>& address);
  void SetIPv6Destination(const std::array<uint8_t, 16>& address);
  void SetSourcePort(uint16_t port);
  void SetDestinationPort(uint16_t port);

  // Fills `out` as a pcap record; payloads longer than kPcapMaxPayload are cut
  // and the captured length says so, the wire length keeps the full length.
  // Bytes of out.payload past the captured payload are left as they were.
  void ExportPcap(bool skipVlan, PcapFrameRecord& out) const;

 protected:
  size_t FramePrefixSize() const override { return 14; }

 private:
  struct Transport {
    const uint8_t* data;  // transport header
    size_t present;       // bytes of it inside the payload
    int64_t length;       // transport length as the IP header gives it
    size_t skipped = 0;   // bytes of Authentication Header skipped
  };

  void ComputeView();
  void CheckView() const;
  // Effective payload if it holds `bytes` bytes of an IPv4 header.
  const uint8_t* IPv4(size_t bytes) const;
  const uint8_t* IPv6(size_t bytes) const;
  Transport TransportLayer(bool skipAH, uint8_t& protocol, const char* notIP) const;
  Transport PortLayer() const;
  Transport UDPLayer() const;
  uint8_t* Writable(const uint8_t* p);

  uint16_t effectiveEtherType_ = 0;
  int64_t effectiveLength_ = 0;
  const uint8_t* effectivePayload_ = nullptr;
};

}  // namespace qtu::containers
