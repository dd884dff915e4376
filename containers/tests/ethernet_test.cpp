#include "qtu/containers/ethernet_container.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

#include "frames.h"

namespace qtu::containers {
namespace {

using namespace testing;

template <typename F>
std::string ErrorOf(F&& f) {
  try {
    f();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "(no error)";
}

Bytes SomeIpUdpIpv4(uint16_t dstPort = 30501) {
  return Ipv4(17, Udp(40000, dstPort, SomeIp(0x1234, 0x8001, {0xDE, 0xAD})));
}

TEST(EthernetView, VlanTagIsUnwrapped) {
  Bytes payload = VlanTag(0x0005, 0x0800);
  Append(payload, SomeIpUdpIpv4());
  auto c = MakeEthernet(0x8100, payload);
  EXPECT_EQ(c.GetEtherType(false), 0x8100);
  EXPECT_EQ(c.GetEtherType(true), 0x0800);
  EXPECT_EQ(c.GetPayloadLength(false), static_cast<int64_t>(payload.size()));
  EXPECT_EQ(c.GetPayloadLength(true), static_cast<int64_t>(payload.size()) - 4);
  EXPECT_EQ(c.GetPayload(true), c.GetPayload(false) + 4);
  EXPECT_EQ(c.GetIPVersion(), 4);
  EXPECT_EQ(c.GetIPv4Source(), (std::array<uint8_t, 4>{10, 0, 0, 1}));
  EXPECT_EQ(c.GetDestinationPort(), 30501);
}

TEST(EthernetView, QinQUnwrapsEightBytesButNotATagInsideATag) {
  Bytes payload = VlanTag(0x0064, 0x8100);
  Append(payload, VlanTag(0x0005, 0x86DD));
  Append(payload, Ipv6(17, Udp(1, 2, {})));
  auto c = MakeEthernet(0x88A8, payload);
  EXPECT_EQ(c.GetEtherType(true), 0x86DD);
  EXPECT_EQ(c.GetPayloadLength(true), static_cast<int64_t>(payload.size()) - 8);
  EXPECT_EQ(c.GetIPVersion(), 6);

  // A 0x8100 tag inside a 0x8100 tag stays in the effective payload.
  Bytes doubleTag = VlanTag(0x0064, 0x8100);
  Append(doubleTag, VlanTag(0x0005, 0x0800));
  Append(doubleTag, SomeIpUdpIpv4());
  auto d = MakeEthernet(0x8100, doubleTag);
  EXPECT_EQ(d.GetEtherType(true), 0x8100);
  EXPECT_EQ(ErrorOf([&] { d.GetIPVersion(); }), "Container does not contain a valid IP frame");
}

TEST(EthernetView, PayloadShorterThanTagIsRefusedNotRead) {
  for (size_t len = 0; len < 4; ++len) {
    auto c = MakeEthernet(0x8100, Bytes(len, 0x08));
    EXPECT_EQ(c.GetEtherType(false), 0x8100);
    EXPECT_EQ(ErrorOf([&] { c.GetEtherType(true); }),
              "Ethernet frame of " + std::to_string(len) + (len == 1 ? " byte" : " bytes") +
                  " is shorter than its VLAN tag of 4 bytes");
    EXPECT_THROW(c.GetIPVersion(), std::runtime_error);
    PcapFrameRecord rec;
    EXPECT_THROW(c.ExportPcap(true, rec), std::runtime_error);
    EXPECT_NO_THROW(c.ExportPcap(false, rec));
  }
  auto q = MakeEthernet(0x88A8, Bytes(7, 0));
  EXPECT_THROW(q.GetPayloadLength(true), std::runtime_error);
}

TEST(EthernetView, CopiesAndMovesPointIntoTheirOwnPayload) {
  Bytes payload = VlanTag(5, 0x0800);
  Append(payload, SomeIpUdpIpv4());
  auto original = std::make_unique<EthernetContainer>(MakeEthernet(0x8100, payload));
  EthernetContainer copy(*original);
  EXPECT_EQ(copy.GetPayload(true), copy.Payload() + 4);
  EthernetContainer assigned = MakeEthernet(0x0800, {});
  assigned = *original;
  EXPECT_EQ(assigned.GetPayload(true), assigned.Payload() + 4);
  original.reset();  // the copies must not look into the freed original
  EXPECT_EQ(copy.GetDestinationPort(), 30501);
  EXPECT_EQ(assigned.GetDestinationPort(), 30501);

  EthernetContainer moved(std::move(copy));
  EXPECT_EQ(moved.GetDestinationPort(), 30501);
  EXPECT_EQ(copy.PayloadLength(), 0u);
  EXPECT_THROW(copy.GetPayload(true), std::runtime_error);  // empty, shorter than its tag
}

TEST(EthernetIp, ErrorTextsPerOperation) {
  auto arp = MakeEthernet(0x0806, Bytes(28, 0));
  EXPECT_EQ(ErrorOf([&] { arp.GetIPVersion(); }), "Container does not contain a valid IP frame");
  EXPECT_EQ(ErrorOf([&] { arp.GetProtocol(false); }), "Container does not contain a valid IP frame");
  EXPECT_EQ(ErrorOf([&] { arp.GetIPv4HeaderLength(); }), "Container does not contain a valid IPv4 frame");
  EXPECT_EQ(ErrorOf([&] { arp.GetIPv4Source(); }), "Container does not contain a valid IPv4 frame");
  EXPECT_EQ(ErrorOf([&] { arp.GetIPv6Destination(); }), "Container does not contain a valid IPv6 frame");
  EXPECT_EQ(ErrorOf([&] { arp.GetTransportHeader(false); }), "Not a IP packet");
  EXPECT_EQ(ErrorOf([&] { arp.GetTransportLength(true); }), "Not a IP packet");

  auto icmp = MakeEthernet(0x0800, Ipv4(1, Bytes(8, 0)));
  EXPECT_EQ(ErrorOf([&] { icmp.GetSourcePort(); }), "Container does not contain a UDP or TCP frame");
  EXPECT_EQ(ErrorOf([&] { icmp.GetUDPLength(); }), "Container does not contain a UDP frame");
  EXPECT_EQ(ErrorOf([&] { icmp.GetSOMEIPMessages(); }), "Container does not contain a UDP frame");
  EXPECT_EQ(ErrorOf([&] { icmp.SetDestinationPort(1); }), "Container does not contain a UDP or TCP frame");

  auto tcp = MakeEthernet(0x0800, Ipv4(6, Tcp(443, 51000, {1, 2, 3})));
  EXPECT_EQ(tcp.GetSourcePort(), 443);
  EXPECT_EQ(tcp.GetDestinationPort(), 51000);
  EXPECT_EQ(ErrorOf([&] { tcp.GetUDPPayload(); }), "Container does not contain a UDP frame");
  EXPECT_EQ(ErrorOf([&] { MakeEthernet(0x86DD, Ipv6(6, {})).GetIPv4Source(); }),
            "Container does not contain a valid IPv4 frame");
}

TEST(EthernetIp, Ipv4OptionsMoveTheTransportHeader) {
  const Bytes payload = Ipv4(17, Udp(1000, 2000, {9, 9}), {192, 0, 2, 1}, {192, 0, 2, 2}, 1);
  auto c = MakeEthernet(0x0800, payload);
  EXPECT_EQ(c.GetIPv4HeaderLength(), 6);
  EXPECT_EQ(c.GetTransportHeader(false), c.Payload() + 24);
  EXPECT_EQ(c.GetTransportLength(false), static_cast<int64_t>(payload.size()) - 24);
  EXPECT_EQ(c.GetSourcePort(), 1000);
  EXPECT_EQ(c.GetUDPLength(), 10);
  EXPECT_EQ(c.GetUDPPayload(), c.Payload() + 32);
  EXPECT_EQ(c.GetIPv4Destination(), (std::array<uint8_t, 4>{192, 0, 2, 2}));
}

TEST(EthernetIp, Ipv4HeaderLengthOutsideTheFrameIsRefused) {
  Bytes small = Ipv4(17, Udp(1, 2, {}));
  small[0] = 0x44;  // 4 words: below the minimum
  EXPECT_EQ(ErrorOf([&] { MakeEthernet(0x0800, small).GetTransportHeader(false); }),
            "IPv4 header length of 4 words is below the minimum of 5");
  // The protocol field sits in the fixed header and is read whatever the header length says.
  EXPECT_EQ(MakeEthernet(0x0800, small).GetProtocol(false), 17);
  EXPECT_EQ(MakeEthernet(0x0800, small).GetProtocol(true), 17);
  Bytes large = Ipv4(17, Udp(1, 2, {}));  // 28 bytes
  large[0] = 0x4F;                        // 60 bytes of header
  auto c = MakeEthernet(0x0800, large);
  EXPECT_EQ(c.GetIPv4HeaderLength(), 15);
  EXPECT_EQ(ErrorOf([&] { c.GetTransportLength(false); }),
            "IPv4 header length of 60 bytes points past the 28 bytes of the frame");
  EXPECT_THROW(c.GetSourcePort(), std::runtime_error);
  EXPECT_EQ(c.GetIPv4Source(), (std::array<uint8_t, 4>{10, 0, 0, 1}));  // fixed header is intact
  EXPECT_EQ(c.GetProtocol(false), 17);
  EXPECT_EQ(c.GetProtocol(true), 17);
  // Behind an Authentication Header the protocol needs the header length, and 60 bytes do not fit.
  large[9] = 51;
  EXPECT_EQ(MakeEthernet(0x0800, large).GetProtocol(false), 51);
  EXPECT_EQ(ErrorOf([&] { MakeEthernet(0x0800, large).GetProtocol(true); }),
            "IPv4 header length of 60 bytes points past the 28 bytes of the frame");
}

TEST(EthernetIp, Ipv6WithAuthenticationHeader) {
  const Bytes udp = Udp(30490, 30491, SomeIp(0xFFFF, 0x8100, {}));
  const Bytes payload = Ipv6(51, Ah(17, 4, udp));
  auto c = MakeEthernet(0x86DD, payload);
  EXPECT_EQ(c.GetIPVersion(), 6);
  EXPECT_EQ(c.GetProtocol(false), 51);
  EXPECT_EQ(c.GetProtocol(true), 17);
  EXPECT_EQ(c.GetTransportHeader(false), c.Payload() + 40);
  EXPECT_EQ(c.GetTransportHeader(true), c.Payload() + 64);
  const int64_t ipPayload = 24 + static_cast<int64_t>(udp.size());
  EXPECT_EQ(c.GetTransportLength(false), ipPayload);
  EXPECT_EQ(c.GetTransportLength(true), ipPayload - 24);
  EXPECT_EQ(c.GetSourcePort(), 30490);
  EXPECT_EQ(c.GetDestinationPort(), 30491);
  ASSERT_EQ(c.GetSOMEIPMessages().size(), 1u);
  EXPECT_EQ(c.GetIPv6Source()[15], 0x01);
  EXPECT_EQ(c.GetIPv6Destination()[0], 0xfd);

  // An AH length field that points past the frame.
  Bytes bad = payload;
  bad[41] = 200;
  auto b = MakeEthernet(0x86DD, bad);
  EXPECT_EQ(b.GetProtocol(false), 51);
  EXPECT_THROW(b.GetProtocol(true), std::runtime_error);
  EXPECT_THROW(b.GetSourcePort(), std::runtime_error);

  // An IPv6 payload length of 0 (a stale field) changes only the transport length.
  Bytes zero = payload;
  zero[4] = 0;
  zero[5] = 0;
  auto z = MakeEthernet(0x86DD, zero);
  EXPECT_EQ(z.GetProtocol(true), 17);
  EXPECT_EQ(z.GetTransportHeader(true), z.Payload() + 64);
  EXPECT_EQ(z.GetDestinationPort(), 30491);
  EXPECT_EQ(z.GetTransportLength(false), 0);
  EXPECT_EQ(ErrorOf([&] { z.GetTransportLength(true); }),
            "Authentication Header of 24 bytes is longer than the IP payload of 0 bytes");
}

TEST(EthernetIp, Ipv4WithAuthenticationHeader) {
  const Bytes payload = Ipv4(51, Ah(6, 1, Tcp(80, 8080, {})));
  auto c = MakeEthernet(0x0800, payload);
  EXPECT_EQ(c.GetProtocol(true), 6);
  EXPECT_EQ(c.GetTransportLength(true), static_cast<int64_t>(payload.size()) - 20 - 12);
  EXPECT_EQ(c.GetDestinationPort(), 8080);
}

TEST(EthernetIp, Ipv6TooShortForItsHeaderIsRefused) {
  Bytes payload = Ipv6(17, {});
  payload.resize(39);
  auto c = MakeEthernet(0x86DD, payload);
  EXPECT_EQ(c.GetIPVersion(), 6);
  EXPECT_EQ(ErrorOf([&] { c.GetIPv6Source(); }), "IPv6 header of 40 bytes does not fit in the 39 bytes of the frame");
}

TEST(EthernetPorts, ReadAndWrittenHighByteFirst) {
  Bytes payload = SomeIpUdpIpv4(30490);
  EXPECT_EQ(payload[22], 0x77);
  EXPECT_EQ(payload[23], 0x1A);
  ContainerHeader h{};
  h.typeCode = 3;
  h.payloadLength = static_cast<uint32_t>(payload.size());
  EthernetContainer c(h, MakeEthernetHeader(0x0800), payload.data(), false);  // writable, borrowed
  EXPECT_EQ(c.GetDestinationPort(), 30490);
  c.SetSourcePort(0x1234);
  c.SetDestinationPort(30501);
  EXPECT_EQ(payload[20], 0x12);
  EXPECT_EQ(payload[21], 0x34);
  EXPECT_EQ(payload[22], 0x77);
  EXPECT_EQ(payload[23], 0x25);
  EXPECT_EQ(c.GetSourcePort(), 0x1234);

  c.SetIPv4Source({172, 16, 0, 9});
  c.SetIPv4Destination({172, 16, 0, 10});
  EXPECT_EQ(payload[12], 172);
  EXPECT_EQ(payload[19], 10);
  EXPECT_EQ(c.GetIPv4Destination(), (std::array<uint8_t, 4>{172, 16, 0, 10}));
}

TEST(EthernetPorts, SettersOnIpv6AndReadOnlyBorrowedPayloads) {
  auto c = MakeEthernet(0x86DD, Ipv6(17, Udp(1, 2, {})));
  std::array<uint8_t, 16> a{};
  a[0] = 0x20;
  a[15] = 0x99;
  c.SetIPv6Source(a);
  c.SetIPv6Destination(a);
  EXPECT_EQ(c.GetIPv6Source(), a);
  EXPECT_EQ(c.Payload()[24], 0x20);
  EXPECT_THROW(c.SetIPv4Source({1, 2, 3, 4}), std::runtime_error);

  const Bytes record = MakeEthernetRecord(0x0800, SomeIpUdpIpv4());
  auto ro = CreateContainer(record.data(), record.size(), false);
  auto* e = dynamic_cast<EthernetContainer*>(ro.get());
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(ErrorOf([&] { e->SetSourcePort(5); }), "Container payload is borrowed read-only and cannot be changed");
  EXPECT_EQ(e->GetSourcePort(), 40000);

  Bytes writable = record;
  auto rw = CreateContainer(writable.data(), writable.size(), false);
  dynamic_cast<EthernetContainer&>(*rw).SetSourcePort(5);
  EXPECT_EQ(writable[35 + 21], 5);
}

TEST(EthernetUdp, LengthsBelowHeaderOrBeyondFrameAreRefused) {
  Bytes payload = SomeIpUdpIpv4();
  payload[24] = 0;
  payload[25] = 7;
  auto low = MakeEthernet(0x0800, payload);
  EXPECT_EQ(low.GetUDPLength(), 7);
  EXPECT_EQ(ErrorOf([&] { low.GetUDPPayload(); }), "UDP length 7 is below the 8-byte UDP header");
  EXPECT_THROW(low.GetSOMEIPMessages(), std::runtime_error);

  payload[25] = 0xFF;  // 255, more than the frame holds
  auto high = MakeEthernet(0x0800, payload);
  EXPECT_EQ(ErrorOf([&] { high.GetSOMEIPMessages(); }), "UDP length 255 exceeds the 26 bytes after the IP header");
}

TEST(EthernetUdp, EthernetPaddingAfterUdpIsNotParsed) {
  Bytes payload = SomeIpUdpIpv4();
  payload.resize(payload.size() + 10, 0);  // padding to the minimum frame size
  auto c = MakeEthernet(0x0800, payload, 1234);
  const auto messages = c.GetSOMEIPMessages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(Val(messages[0].header.serviceId), 0x1234);
  EXPECT_EQ(Val(messages[0].header.methodId), 0x8001);
  EXPECT_EQ(Val(messages[0].header.eventFlag), 1);
  EXPECT_EQ(messages[0].timestamp, 1234);
  EXPECT_EQ(messages[0].payload, (Bytes{0xDE, 0xAD}));
}

TEST(EthernetPcap, RecordHeaderAndFrameBytes) {
  Bytes payload = VlanTag(5, 0x0800);
  Append(payload, SomeIpUdpIpv4());
  auto c = MakeEthernet(0x8100, payload, 1500000);
  auto rec = std::make_unique<PcapFrameRecord>();
  c.ExportPcap(false, *rec);
  EXPECT_EQ(rec->seconds, 1u);
  EXPECT_EQ(rec->microseconds, 500000u);
  EXPECT_EQ(rec->capturedLength, payload.size() + 14);
  EXPECT_EQ(rec->wireLength, payload.size() + 14);
  EXPECT_EQ(rec->macAddress2[5], 0x02);  // MAC address 2 comes first
  EXPECT_EQ(rec->macAddress1[5], 0x01);
  EXPECT_EQ(rec->etherType[0], 0x81);
  EXPECT_EQ(rec->etherType[1], 0x00);
  EXPECT_EQ(0, std::memcmp(rec->payload, payload.data(), payload.size()));
  EXPECT_EQ(rec->one, 1u);

  c.ExportPcap(true, *rec);
  EXPECT_EQ(rec->capturedLength, payload.size() + 14 - 4);
  EXPECT_EQ(rec->etherType[0], 0x08);
  EXPECT_EQ(rec->payload[0], 0x45);
}

TEST(EthernetPcap, TimestampsSplitIntoSecondsAndMicroseconds) {
  struct Case {
    int64_t ts;
    uint32_t seconds, micros;
  } cases[] = {{0, 0, 0}, {999999, 0, 999999}, {1000000, 1, 0}, {1700000000123456, 1700000000, 123456},
               {-1, 0xFFFFFFFFu, 999999}, {-1000000, 0xFFFFFFFFu, 0}};
  auto rec = std::make_unique<PcapFrameRecord>();
  for (const Case& k : cases) {
    MakeEthernet(0x0800, {}, k.ts).ExportPcap(false, *rec);
    EXPECT_EQ(rec->seconds, k.seconds) << k.ts;
    EXPECT_EQ(rec->microseconds, k.micros) << k.ts;
  }
}

TEST(EthernetPcap, LongPayloadIsCutAndCapturedLengthSaysSo) {
  Bytes payload(70000);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 7);
  auto c = MakeEthernet(0x0800, payload);
  auto rec = std::make_unique<PcapFrameRecord>();
  rec->one = 0;
  c.ExportPcap(false, *rec);
  EXPECT_EQ(rec->capturedLength, kPcapMaxPayload + 14);
  EXPECT_EQ(rec->wireLength, 70000u + 14);
  EXPECT_EQ(rec->payload[kPcapMaxPayload - 1], static_cast<uint8_t>((kPcapMaxPayload - 1) * 7));
  EXPECT_EQ(rec->one, 1u);  // not overwritten by payload bytes
}

}  // namespace
}  // namespace qtu::containers
