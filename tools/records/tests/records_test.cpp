#include "records.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>

#include "frames.h"

namespace qtu::records {
namespace {

using namespace containers::testing;

std::vector<uint8_t> ToVector(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

Bytes SomeIpFrame() {
  Bytes someip = SomeIp(0x1234, 0x8001, {1, 2});
  Append(someip, SomeIp(0x1234, 0x0002, {}));
  return Ipv4(17, Udp(30501, 30502, someip));
}

std::string ErrorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const InputError& e) {
    return e.what();
  }
  return "(no error)";
}

std::vector<nlohmann::json> List(const Bytes& data) {
  std::ostringstream out;
  ListRecords(data, out);
  std::vector<nlohmann::json> lines;
  std::istringstream in(out.str());
  for (std::string line; std::getline(in, line);) lines.push_back(nlohmann::json::parse(line));
  return lines;
}

TEST(RecordsList, EthernetSomeIpFieldsAndOffsets) {
  Bytes file = MakeRecord(1, 5, Bytes(10, 0), {1, 2, 3});
  const size_t second = file.size();
  Append(file, MakeEthernetRecord(0x0800, SomeIpFrame(), 1500000));
  const auto lines = List(file);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0]["kind"], "CAN");
  EXPECT_EQ(lines[0]["offset"], 0);
  const auto& e = lines[1];
  EXPECT_EQ(e["offset"], second);
  EXPECT_EQ(e["timestamp"], 1500000);
  EXPECT_EQ(e["mac1"], "02:00:00:00:00:01");
  EXPECT_EQ(e["ethertype"], "0x0800");
  EXPECT_EQ(e["src_ip"], "10.0.0.1");
  EXPECT_EQ(e["dst_port"], 30502);
  ASSERT_EQ(e["someip"].size(), 2u);
  EXPECT_EQ(e["someip"][0]["service_id"], 0x1234);
  EXPECT_EQ(e["someip"][0]["event"], true);
  EXPECT_EQ(e["someip"][0]["payload_length"], 2);
  EXPECT_EQ(e["someip"][1]["method_id"], 2);
}

TEST(RecordsList, FrameProblemsAreListedNotFatal) {
  Bytes ip = SomeIpFrame();
  ip.resize(22);  // cut inside the UDP header
  Bytes file = MakeEthernetRecord(0x0800, ip);
  Append(file, MakeEthernetRecord(0x0800, Ipv4(17, Udp(53, 53, Bytes(20, 0xAB)))));
  Append(file, MakeEthernetRecord(0x8100, {0x00}));
  const auto lines = List(file);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0]["src_ip"], "10.0.0.1");
  EXPECT_EQ(lines[0]["error"], "Ports of 4 bytes do not fit in the 2 bytes after the IP header");
  EXPECT_FALSE(lines[1].contains("someip"));
  EXPECT_EQ(lines[1]["someip_error"], "Container does not valid SOME/IP data");
  EXPECT_EQ(lines[2]["error"], "Ethernet frame of 1 byte is shorter than its VLAN tag of 4 bytes");
}

TEST(RecordsList, BadRecordsNameTheirOffset) {
  const Bytes good = MakeRecord(0, 1, {}, {1, 2});
  Bytes cutHeader = good;
  Append(cutHeader, Bytes(10, 0));
  EXPECT_EQ(ErrorOf([&] { List(cutHeader); }),
            "record at offset 19: only 10 bytes left, fewer than the 17-byte record header");

  Bytes cutRecord = good;
  Append(cutRecord, MakeEthernetRecord(0x0800, SomeIpFrame()));
  cutRecord.pop_back();
  EXPECT_EQ(ErrorOf([&] { List(cutRecord); }), "record at offset 19: record length 97 exceeds the 96 bytes left in the file");

  Bytes small = good;
  Append(small, MakeRecord(3, 1, Bytes(18, 0), Bytes(4, 0), 38));
  EXPECT_EQ(ErrorOf([&] { List(small); }),
            "record at offset 19: record length 38 is smaller than its headers and payload (39 bytes)");

  Bytes zero = good;
  Append(zero, MakeRecord(42, 1, {}, {}, 0));
  std::memset(zero.data() + 19 + 9, 0, 4);  // record length 0 must not loop forever
  EXPECT_NE(ErrorOf([&] { List(zero); }).find("record at offset 19:"), std::string::npos);
}

TEST(RecordsList, UnknownTypeCodesAreListedAndSkipped) {
  Bytes file = MakeRecord(200, 9, {}, {1, 2, 3, 4});
  Append(file, MakeRecord(7, 10, {0x21, 0, 0}, {5}));
  const auto lines = List(file);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0]["kind"], "unknown");
  EXPECT_EQ(lines[1]["lin_id"], 0x21);
  EXPECT_EQ(lines[1]["offset"], 21);
}

TEST(RecordsPcap, RoundTripThroughPcapKeepsRecords) {
  Bytes file = MakeEthernetRecord(0x0800, SomeIpFrame(), 1700000000123456);
  Bytes vlan = VlanTag(5, 0x86DD);
  Append(vlan, Ipv6(6, Tcp(1, 2, {9})));
  Append(file, MakeEthernetRecord(0x8100, vlan, 7));
  Append(file, MakeRecord(1, 8, Bytes(10, 0), {1}));  // not Ethernet: skipped

  std::ostringstream pcap;
  const PcapSummary summary = WritePcap(file, pcap, false);
  EXPECT_EQ(summary.frames, 2u);
  EXPECT_EQ(summary.skipped, 1u);
  const std::string bytes = pcap.str();
  ASSERT_GE(bytes.size(), 24u + 16);
  EXPECT_EQ(static_cast<uint8_t>(bytes[0]), 0xd4);  // little-endian magic
  EXPECT_EQ(bytes[20], 1);                          // link type Ethernet

  std::ostringstream back;
  EXPECT_EQ(ReadPcap(ToVector(bytes), back), 2u);
  const std::string records = back.str();
  const size_t ethernetBytes = file.size() - (17 + 10 + 1);
  EXPECT_EQ(Bytes(records.begin(), records.end()), Bytes(file.begin(), file.begin() + ethernetBytes));

  // Without the tag the second frame is 4 bytes shorter.
  std::ostringstream untagged;
  WritePcap(file, untagged, true);
  EXPECT_EQ(untagged.str().size(), bytes.size() - 4);
}

TEST(RecordsPcap, LongFramesAreCutAndReadBackCut) {
  const Bytes file = MakeEthernetRecord(0x0800, Bytes(70000, 0x5A));
  std::ostringstream pcap;
  EXPECT_EQ(WritePcap(file, pcap, false).cut, 1u);
  const std::string bytes = pcap.str();
  ASSERT_EQ(bytes.size(), 24u + 16 + 65536);
  uint32_t captured, wire;
  std::memcpy(&captured, bytes.data() + 24 + 8, 4);
  std::memcpy(&wire, bytes.data() + 24 + 12, 4);
  EXPECT_EQ(captured, 65536u);
  EXPECT_EQ(wire, 70014u);
  std::ostringstream back;
  ReadPcap(ToVector(bytes), back);
  EXPECT_EQ(back.str().size(), 17u + 18 + 65522);
}

TEST(RecordsPcap, ExportProblemsNameTheRecord) {
  Bytes file = MakeEthernetRecord(0x0800, SomeIpFrame());
  Append(file, MakeEthernetRecord(0x88A8, {1, 2, 3}));
  std::ostringstream pcap;
  EXPECT_NO_THROW(WritePcap(file, pcap, false));
  EXPECT_EQ(ErrorOf([&] { WritePcap(file, pcap, true); }),
            "record at offset 97: Ethernet frame of 3 bytes is shorter than its VLAN tag of 8 bytes");
}

// Found by fuzzing: a time past 2106 (here from a capture whose microseconds
// field is above a second) was written with its seconds wrapped to 32 bits.
TEST(RecordsPcap, TimesAPcapCannotHoldAreRefusedNotWrapped) {
  const int64_t last = int64_t{0xFFFFFFFF} * 1000000 + 999999;
  const struct {
    int64_t timestamp;
    bool written;
  } cases[] = {{0, true}, {last, true}, {last + 1, false}, {-1, false}, {4294971484967045, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.timestamp);
    Bytes file = MakeEthernetRecord(0x0800, SomeIpFrame(), 5);
    const size_t second = file.size();
    Append(file, MakeEthernetRecord(0x0800, SomeIpFrame(), c.timestamp));
    std::ostringstream pcap;
    if (!c.written) {
      EXPECT_EQ(ErrorOf([&] { WritePcap(file, pcap, false); }),
                "record at offset " + std::to_string(second) + ": timestamp " + std::to_string(c.timestamp) +
                    " us lies outside what a pcap file holds (0 to 4294967295999999 us after 1970)");
      continue;
    }
    WritePcap(file, pcap, false);
    std::ostringstream back;
    ASSERT_EQ(ReadPcap(ToVector(pcap.str()), back), 2u);
    EXPECT_EQ(back.str(), std::string(file.begin(), file.end()));
  }
}

std::string PcapHeader(uint32_t magic, uint32_t linkType) {
  std::string h(24, '\0');
  std::memcpy(h.data(), &magic, 4);
  h[4] = 2;
  h[6] = 4;
  std::memcpy(h.data() + 20, &linkType, 4);
  return h;
}

std::string PacketHeader(uint32_t seconds, uint32_t fraction, uint32_t captured) {
  std::string h(16, '\0');
  std::memcpy(h.data(), &seconds, 4);
  std::memcpy(h.data() + 4, &fraction, 4);
  std::memcpy(h.data() + 8, &captured, 4);
  std::memcpy(h.data() + 12, &captured, 4);
  return h;
}

TEST(RecordsPcap, ReaderRefusesBadCapturesNamingThePacket) {
  std::ostringstream out;
  EXPECT_EQ(ErrorOf([&] { ReadPcap(ToVector("short"), out); }), "pcap file of 5 bytes is shorter than its 24-byte header");
  EXPECT_NE(ErrorOf([&] { ReadPcap(ToVector(std::string(24, 'x')), out); }).find("not a pcap file"), std::string::npos);
  EXPECT_EQ(ErrorOf([&] { ReadPcap(ToVector(PcapHeader(0xa1b2c3d4, 113)), out); }),
            "pcap link type 113 is not Ethernet (1)");

  const std::string frame(20, '\x01');
  std::string ok = PcapHeader(0xa1b2c3d4, 1) + PacketHeader(1, 2, 20) + frame;
  EXPECT_EQ(ErrorOf([&] { ReadPcap(ToVector(ok + "abc"), out); }),
            "pcap packet at offset 60: only 3 bytes left, fewer than the 16-byte packet header");
  EXPECT_EQ(ErrorOf([&] { ReadPcap(ToVector(ok + PacketHeader(1, 2, 30) + frame), out); }),
            "pcap packet at offset 60: captured length 30 exceeds the 20 bytes left in the file");
  EXPECT_EQ(ErrorOf([&] { ReadPcap(ToVector(ok + PacketHeader(1, 2, 13) + frame.substr(0, 13)), out); }),
            "pcap packet at offset 60: captured length 13 is shorter than the 14-byte Ethernet header");
}

TEST(RecordsPcap, ReaderTakesNanosecondAndSwappedCaptures) {
  std::string frame(14, '\0');
  frame[0] = 0x0A;  // destination: MAC address 2
  frame[6] = 0x0B;  // source: MAC address 1
  frame[12] = 0x08;
  frame += "xy";
  std::ostringstream out;
  ReadPcap(ToVector(PcapHeader(0xa1b23c4d, 1) + PacketHeader(3, 250000000, 16) + frame), out);
  const std::string record = out.str();
  ASSERT_EQ(record.size(), 17u + 18 + 2);
  containers::ContainerHeader h;
  std::memcpy(&h, record.data(), sizeof h);
  EXPECT_EQ(Val(h.timestamp), 3250000);
  EXPECT_EQ(record[17], 0x0B);
  EXPECT_EQ(record[23], 0x0A);
  EXPECT_EQ(static_cast<uint8_t>(record[29]), 0x00);  // EtherType 0x0800 little-endian
  EXPECT_EQ(static_cast<uint8_t>(record[30]), 0x08);

  auto swap = [](uint32_t v) { return __builtin_bswap32(v); };
  std::ostringstream swapped;
  ReadPcap(ToVector(PcapHeader(swap(0xa1b2c3d4), swap(1)) + PacketHeader(swap(3), swap(5), swap(16)) + frame), swapped);
  std::memcpy(&h, swapped.str().data(), sizeof h);
  EXPECT_EQ(Val(h.timestamp), 3000005);
}

}  // namespace
}  // namespace qtu::records
