// Builders of records and Ethernet payloads for the container tests.
#pragma once

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "qtu/containers/container.h"
#include "qtu/containers/ethernet_container.h"

namespace qtu::containers::testing {

using Bytes = std::vector<uint8_t>;

// A copy of a (possibly packed, so misaligned) field, for the comparison macros
// that take their arguments by reference.
template <typename T>
T Val(T value) {
  return value;
}

inline void Append(Bytes& out, std::initializer_list<uint8_t> bytes) { out.insert(out.end(), bytes); }
inline void Append(Bytes& out, const Bytes& bytes) { out.insert(out.end(), bytes.begin(), bytes.end()); }
inline void PutBE16(Bytes& out, uint16_t v) { Append(out, {uint8_t(v >> 8), uint8_t(v)}); }
inline void PutBE32(Bytes& out, uint32_t v) {
  Append(out, {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)});
}

// A whole record: common header with the given lengths (recordLength 0 means
// the right one), the type header bytes and the payload.
inline Bytes MakeRecord(uint8_t type, int64_t timestamp, const Bytes& typeHeader, const Bytes& payload,
                        uint32_t recordLength = 0) {
  ContainerHeader h{};
  h.timestamp = timestamp;
  h.typeCode = type;
  h.payloadLength = static_cast<uint32_t>(payload.size());
  h.recordLength = recordLength != 0 ? recordLength : static_cast<uint32_t>(17 + typeHeader.size() + payload.size());
  Bytes out(sizeof h);
  std::memcpy(out.data(), &h, sizeof h);
  Append(out, typeHeader);
  Append(out, payload);
  return out;
}

inline EthernetHeader MakeEthernetHeader(uint16_t etherType) {
  EthernetHeader eh{};
  const uint8_t mac1[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
  const uint8_t mac2[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x02};
  std::memcpy(eh.macAddress1, mac1, 6);
  std::memcpy(eh.macAddress2, mac2, 6);
  eh.etherType = etherType;
  return eh;
}

inline Bytes HeaderBytes(const EthernetHeader& eh) {
  Bytes b(sizeof eh);
  std::memcpy(b.data(), &eh, sizeof eh);
  return b;
}

inline Bytes MakeEthernetRecord(uint16_t etherType, const Bytes& payload, int64_t timestamp = 1000) {
  return MakeRecord(3, timestamp, HeaderBytes(MakeEthernetHeader(etherType)), payload);
}

inline EthernetContainer MakeEthernet(uint16_t etherType, const Bytes& payload, int64_t timestamp = 1000) {
  ContainerHeader h{};
  h.timestamp = timestamp;
  h.typeCode = 3;
  h.payloadLength = static_cast<uint32_t>(payload.size());
  return EthernetContainer(h, MakeEthernetHeader(etherType), payload.data(), true);
}

// SOME/IP message on the wire; with `tp` the message type gets bit 0x20 and the
// TP field follows the header.
inline Bytes SomeIp(uint16_t service, uint16_t method, const Bytes& payload, uint8_t messageType = 0x02,
                    uint8_t interfaceVersion = 1, bool tp = false, uint32_t tpField = 0) {
  Bytes m;
  PutBE16(m, service);
  PutBE16(m, method);
  PutBE32(m, static_cast<uint32_t>(8 + (tp ? 4 : 0) + payload.size()));
  PutBE16(m, 0x0042);  // client
  PutBE16(m, 0x0007);  // session
  Append(m, {1, interfaceVersion, uint8_t(tp ? (messageType | 0x20) : messageType), 0x00});
  if (tp) PutBE32(m, tpField);
  Append(m, payload);
  return m;
}

inline Bytes Udp(uint16_t src, uint16_t dst, const Bytes& payload) {
  Bytes u;
  PutBE16(u, src);
  PutBE16(u, dst);
  PutBE16(u, static_cast<uint16_t>(8 + payload.size()));
  PutBE16(u, 0);  // checksum not computed
  Append(u, payload);
  return u;
}

inline Bytes Tcp(uint16_t src, uint16_t dst, const Bytes& payload) {
  Bytes t;
  PutBE16(t, src);
  PutBE16(t, dst);
  PutBE32(t, 0x01020304);
  PutBE32(t, 0);
  Append(t, {0x50, 0x18});
  PutBE16(t, 0xFFFF);
  PutBE32(t, 0);
  Append(t, payload);
  return t;
}

// IPv4 header with `optionWords` words of NOP options.
inline Bytes Ipv4(uint8_t protocol, const Bytes& transport, std::initializer_list<uint8_t> src = {10, 0, 0, 1},
                  std::initializer_list<uint8_t> dst = {10, 0, 0, 2}, int optionWords = 0) {
  Bytes ip;
  Append(ip, {uint8_t(0x40 | (5 + optionWords)), 0x00});
  PutBE16(ip, static_cast<uint16_t>(20 + 4 * optionWords + transport.size()));
  Append(ip, {0x12, 0x34, 0x40, 0x00, 64, protocol, 0x00, 0x00});
  Append(ip, src);
  Append(ip, dst);
  for (int i = 0; i < 4 * optionWords; ++i) ip.push_back(0x01);
  Append(ip, transport);
  return ip;
}

inline Bytes Ipv6(uint8_t nextHeader, const Bytes& rest) {
  Bytes ip;
  Append(ip, {0x60, 0x00, 0x00, 0x00});
  PutBE16(ip, static_cast<uint16_t>(rest.size()));
  Append(ip, {nextHeader, 64});
  Append(ip, {0xfd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x01});
  Append(ip, {0xfd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x02});
  Append(ip, rest);
  return ip;
}

// Authentication Header: next header, length field (8 + 4 * field bytes in all).
inline Bytes Ah(uint8_t nextHeader, uint8_t lengthField, const Bytes& rest) {
  Bytes ah = {nextHeader, lengthField, 0, 0};
  PutBE32(ah, 0x1000);  // SPI
  for (int i = 0; i < 4 * lengthField; ++i) ah.push_back(0xA0);
  Append(ah, rest);
  return ah;
}

inline Bytes VlanTag(uint16_t tci, uint16_t innerType) {
  Bytes t;
  PutBE16(t, tci);
  PutBE16(t, innerType);
  return t;
}

}  // namespace qtu::containers::testing
