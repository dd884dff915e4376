#include "records.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>
#include <vector>

#include "qtu/containers/container.h"
#include "qtu/containers/ethernet_container.h"

namespace qtu::records {

using containers::BaseContainer;
using containers::ContainerHeader;
using containers::EthernetContainer;
using nlohmann::json;

namespace {

std::string At(const char* what, uint64_t offset) { return std::string(what) + " at offset " + std::to_string(offset) + ": "; }

std::string Hex16(uint16_t v) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%04x", v);
  return text;
}

std::string Mac(const std::array<uint8_t, 6>& m) {
  char text[18];
  std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1], m[2], m[3], m[4], m[5]);
  return text;
}

template <size_t N>
std::string Address(int family, const std::array<uint8_t, N>& a) {
  char text[INET6_ADDRSTRLEN];
  return inet_ntop(family, a.data(), text, sizeof text) != nullptr ? text : "?";
}

const char* KindName(uint8_t type) {
  static const char* const names[] = {"Base", "CAN", "Flexray", "Ethernet", "Video",
                                      "PLPRaw", "Lidar", "LIN", "SOMEIP"};
  return type < std::size(names) ? names[type] : "unknown";
}

// Fields are copied out first: the header is packed, and json takes references.
json DescribeSomeIp(const containers::SOMEIPHeader& h, size_t payloadLength) {
  return json{{"service_id", uint16_t{h.serviceId}},
              {"method_id", uint16_t{h.methodId}},
              {"event", h.eventFlag != 0},
              {"length", uint32_t{h.length}},
              {"client_id", uint16_t{h.clientId}},
              {"session_id", uint16_t{h.sessionId}},
              {"protocol_version", uint8_t{h.protocolVersion}},
              {"interface_version", uint8_t{h.interfaceVersion}},
              {"message_type", uint8_t{h.messageType}},
              {"return_code", uint8_t{h.returnCode}},
              {"tp_offset", uint32_t{h.tpOffset}},
              {"tp_flags", uint8_t{h.tpFlags}},
              {"payload_length", payloadLength}};
}

// Fills in the frame analysis; stops at the first layer that is not there or
// not sound and leaves its text in "error".
void DescribeEthernet(const EthernetContainer& e, json& j) {
  j["mac1"] = Mac(e.GetMacAddress1());
  j["mac2"] = Mac(e.GetMacAddress2());
  j["ethertype"] = Hex16(e.GetEtherType(false));
  try {
    const uint16_t inner = e.GetEtherType(true);
    if (inner != e.GetEtherType(false)) j["inner_ethertype"] = Hex16(inner);
    if (inner != containers::kEtherTypeIPv4 && inner != containers::kEtherTypeIPv6) return;
    j["ip_version"] = e.GetIPVersion();
    if (inner == containers::kEtherTypeIPv4) {
      j["src_ip"] = Address(AF_INET, e.GetIPv4Source());
      j["dst_ip"] = Address(AF_INET, e.GetIPv4Destination());
    } else {
      j["src_ip"] = Address(AF_INET6, e.GetIPv6Source());
      j["dst_ip"] = Address(AF_INET6, e.GetIPv6Destination());
    }
    const uint8_t protocol = e.GetProtocol(true);
    j["protocol"] = protocol;
    if (protocol != containers::kProtocolUDP && protocol != containers::kProtocolTCP) return;
    j["src_port"] = e.GetSourcePort();
    j["dst_port"] = e.GetDestinationPort();
    if (protocol != containers::kProtocolUDP) return;
    j["udp_length"] = e.GetUDPLength();
  } catch (const std::runtime_error& error) {
    j["error"] = error.what();
    return;
  }
  // Any UDP payload may be SOME/IP; one that does not parse is not an error of the record.
  try {
    json messages = json::array();
    for (const auto& m : e.GetSOMEIPMessages()) messages.push_back(DescribeSomeIp(m.header, m.payload.size()));
    j["someip"] = std::move(messages);
  } catch (const std::runtime_error& error) {
    j["someip_error"] = error.what();
  }
}

void WriteAll(std::ostream& out, const void* data, size_t size) {
  errno = 0;  // so that the reason of a failed write is its own
  out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
  if (!out) throw OutputError(std::string("cannot write the output") + (errno != 0 ? ": " : "") +
                              (errno != 0 ? std::strerror(errno) : ""));
}

}  // namespace

void ForEachRecord(std::span<const uint8_t> data,
                   const std::function<void(uint64_t, const uint8_t*, size_t)>& visit) {
  uint64_t offset = 0;
  while (offset < data.size()) {
    const size_t remaining = data.size() - offset;
    if (remaining < containers::kContainerHeaderSize) {
      throw InputError(At("record", offset) + "only " + std::to_string(remaining) +
                       " bytes left, fewer than the 17-byte record header");
    }
    ContainerHeader h;
    std::memcpy(&h, data.data() + offset, sizeof h);
    // The same checks CreateContainer makes, for every type code: a record
    // whose lengths do not fit cannot be skipped safely.
    const int typeHeader = containers::TypeHeaderLength(h.typeCode);
    const uint64_t needed = 17 + uint64_t(typeHeader < 0 ? 0 : typeHeader) + h.payloadLength;
    if (h.recordLength > remaining) {
      throw InputError(At("record", offset) + "record length " + std::to_string(h.recordLength) + " exceeds the " +
                       std::to_string(remaining) + " bytes left in the file");
    }
    if (h.recordLength < needed) {
      throw InputError(At("record", offset) + "record length " + std::to_string(h.recordLength) +
                       " is smaller than its headers and payload (" + std::to_string(needed) + " bytes)");
    }
    visit(offset, data.data() + offset, h.recordLength);
    offset += h.recordLength;
  }
}

json DescribeRecord(uint64_t offset, const uint8_t* record, size_t length) {
  ContainerHeader h;
  std::memcpy(&h, record, sizeof h);
  json j{{"offset", offset},
         {"type", uint8_t{h.typeCode}},
         {"kind", KindName(h.typeCode)},
         {"timestamp", int64_t{h.timestamp}},
         {"record_length", uint32_t{h.recordLength}},
         {"payload_length", uint32_t{h.payloadLength}}};
  std::unique_ptr<BaseContainer> c;
  try {
    c = containers::CreateContainer(record, length, false);
  } catch (const std::runtime_error& error) {
    throw InputError(At("record", offset) + error.what());
  }
  if (!c) return j;
  if (auto* e = dynamic_cast<EthernetContainer*>(c.get())) {
    DescribeEthernet(*e, j);
  } else if (auto* s = dynamic_cast<containers::SOMEIPContainer*>(c.get())) {
    j["someip"] = json::array({DescribeSomeIp(s->GetTypeHeader(), s->PayloadLength())});
  } else if (auto* can = dynamic_cast<containers::CANContainer*>(c.get())) {
    j["can_id"] = uint32_t{can->GetTypeHeader().identifier};
  } else if (auto* lin = dynamic_cast<containers::LINContainer*>(c.get())) {
    j["lin_id"] = lin->Identifier();
  }
  return j;
}

size_t ListRecords(std::span<const uint8_t> data, std::ostream& out) {
  size_t count = 0;
  ForEachRecord(data, [&](uint64_t offset, const uint8_t* record, size_t length) {
    out << DescribeRecord(offset, record, length).dump() << '\n';
    ++count;
  });
  return count;
}

namespace {

#pragma pack(push, 1)
struct PcapFileHeader {
  uint32_t magic;
  uint16_t versionMajor;
  uint16_t versionMinor;
  int32_t thisZone;
  uint32_t sigFigs;
  uint32_t snapLength;
  uint32_t linkType;
};
struct PcapPacketHeader {
  uint32_t seconds;
  uint32_t fraction;  // microseconds, or nanoseconds in nanosecond files
  uint32_t capturedLength;
  uint32_t wireLength;
};
#pragma pack(pop)
static_assert(sizeof(PcapFileHeader) == 24);
static_assert(sizeof(PcapPacketHeader) == 16);

constexpr uint32_t kMagicMicro = 0xa1b2c3d4;
constexpr uint32_t kMagicNano = 0xa1b23c4d;
constexpr uint32_t kLinkTypeEthernet = 1;
constexpr uint32_t kSnapLength = containers::kPcapMaxPayload + 14;

uint32_t Swap32(uint32_t v) { return __builtin_bswap32(v); }

// The last microsecond of the largest 32-bit seconds count.
constexpr int64_t kMaxPcapMicroseconds = int64_t{0xFFFFFFFF} * 1000000 + 999999;

}  // namespace

PcapSummary WritePcap(std::span<const uint8_t> data, std::ostream& out, bool skipVlan) {
  const PcapFileHeader fileHeader{kMagicMicro, 2, 4, 0, 0, kSnapLength, kLinkTypeEthernet};
  WriteAll(out, &fileHeader, sizeof fileHeader);
  PcapSummary summary;
  auto block = std::make_unique<containers::PcapFrameRecord>();  // one block for every frame
  ForEachRecord(data, [&](uint64_t offset, const uint8_t* record, size_t length) {
    ContainerHeader h;
    std::memcpy(&h, record, sizeof h);
    if (h.typeCode != static_cast<uint8_t>(containers::ContainerType::Ethernet)) {
      ++summary.skipped;
      return;
    }
    // A classic pcap file holds unsigned 32-bit seconds: a time outside
    // them would be written wrapped, a different time than the record's.
    if (h.timestamp < 0 || h.timestamp > kMaxPcapMicroseconds) {
      throw InputError(At("record", offset) + "timestamp " + std::to_string(int64_t{h.timestamp}) +
                       " us lies outside what a pcap file holds (0 to " + std::to_string(kMaxPcapMicroseconds) +
                       " us after 1970)");
    }
    std::unique_ptr<BaseContainer> c;
    try {
      c = containers::CreateContainer(record, length, false);
      static_cast<EthernetContainer&>(*c).ExportPcap(skipVlan, *block);
    } catch (const std::runtime_error& error) {
      throw InputError(At("record", offset) + error.what());
    }
    if (block->capturedLength < block->wireLength) ++summary.cut;
    WriteAll(out, block.get(), containers::kPcapRecordHeaderSize + block->capturedLength);
    ++summary.frames;
  });
  return summary;
}

size_t ReadPcap(std::span<const uint8_t> pcap, std::ostream& out) {
  if (pcap.size() < sizeof(PcapFileHeader)) {
    throw InputError("pcap file of " + std::to_string(pcap.size()) + " bytes is shorter than its 24-byte header");
  }
  PcapFileHeader fh;
  std::memcpy(&fh, pcap.data(), sizeof fh);
  bool swapped = false;
  bool nano = false;
  if (fh.magic == kMagicMicro || fh.magic == kMagicNano) {
    nano = fh.magic == kMagicNano;
  } else if (Swap32(fh.magic) == kMagicMicro || Swap32(fh.magic) == kMagicNano) {
    swapped = true;
    nano = Swap32(fh.magic) == kMagicNano;
  } else {
    throw InputError("not a pcap file (magic number " + std::to_string(fh.magic) + ")");
  }
  const uint32_t linkType = swapped ? Swap32(fh.linkType) : fh.linkType;
  if ((linkType & 0xFFFF) != kLinkTypeEthernet) {
    throw InputError("pcap link type " + std::to_string(linkType) + " is not Ethernet (1)");
  }

  size_t count = 0;
  std::vector<uint8_t> record;
  uint64_t offset = sizeof fh;
  while (offset < pcap.size()) {
    const size_t remaining = pcap.size() - offset;
    if (remaining < sizeof(PcapPacketHeader)) {
      throw InputError(At("pcap packet", offset) + "only " + std::to_string(remaining) +
                       " bytes left, fewer than the 16-byte packet header");
    }
    PcapPacketHeader ph;
    std::memcpy(&ph, pcap.data() + offset, sizeof ph);
    if (swapped) {
      ph.seconds = Swap32(ph.seconds);
      ph.fraction = Swap32(ph.fraction);
      ph.capturedLength = Swap32(ph.capturedLength);
    }
    if (ph.capturedLength > remaining - sizeof ph) {
      throw InputError(At("pcap packet", offset) + "captured length " + std::to_string(ph.capturedLength) +
                       " exceeds the " + std::to_string(remaining - sizeof ph) + " bytes left in the file");
    }
    if (ph.capturedLength < 14) {
      throw InputError(At("pcap packet", offset) + "captured length " + std::to_string(ph.capturedLength) +
                       " is shorter than the 14-byte Ethernet header");
    }
    const uint8_t* frame = pcap.data() + offset + sizeof ph;
    containers::EthernetHeader eh{};
    std::memcpy(eh.macAddress2, frame, 6);  // destination first on the wire
    std::memcpy(eh.macAddress1, frame + 6, 6);
    eh.etherType = static_cast<uint16_t>((frame[12] << 8) | frame[13]);
    ContainerHeader h{};
    h.timestamp = int64_t{ph.seconds} * 1000000 + (nano ? ph.fraction / 1000 : ph.fraction);
    h.typeCode = static_cast<uint8_t>(containers::ContainerType::Ethernet);
    h.payloadLength = ph.capturedLength - 14;
    const EthernetContainer c(h, eh, frame + 14, false);
    record.resize(c.RecordLength());
    c.WriteRecord(record.data(), record.size());
    WriteAll(out, record.data(), record.size());
    ++count;
    offset += sizeof ph + ph.capturedLength;
  }
  return count;
}

}  // namespace qtu::records
