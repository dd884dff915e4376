// Real frames cut at every length: each accessor either answers or throws
// std::runtime_error, and answers exactly when the bytes it needs are there.
// Payloads live in exact-size heap buffers so AddressSanitizer sees any read
// past the end.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "exercise.h"
#include "frames.h"

namespace qtu::containers {
namespace {

using namespace testing;

bool Succeeds(const std::function<void()>& f) {
  try {
    f();
    return true;
  } catch (const std::runtime_error&) {
    return false;
  }
}

struct Frame {
  const char* name;
  uint16_t etherType;
  Bytes payload;
  size_t ipOffset;         // effective payload offset in the raw payload
  size_t transportOffset;  // raw payload offset of the UDP/TCP header (AH skipped)
  bool udp;
};

std::vector<Frame> RealFrames() {
  std::vector<Frame> frames;
  {
    // SOME/IP notification over UDP/IPv4 in a VLAN.
    Bytes p = VlanTag(0x2005, 0x0800);
    Bytes someip = SomeIp(0x0B01, 0x8001, Bytes(24, 0x5A));
    Append(someip, SomeIp(0x0B01, 0x8002, {1, 2, 3, 4}));
    Append(p, Ipv4(17, Udp(30501, 30502, someip), {10, 1, 1, 5}, {239, 1, 1, 1}));
    frames.push_back({"vlan_ipv4_udp_someip", 0x8100, p, 4, 4 + 20, true});
  }
  {
    // SOME/IP-TP segment over UDP/IPv6 behind an Authentication Header.
    Bytes tp = SomeIp(0x0C00, 0x0001, Bytes(32, 0x11), 0x00, 1, true, 0x00000021);
    frames.push_back({"ipv6_ah_udp_someip_tp", 0x86DD, Ipv6(51, Ah(17, 4, Udp(30490, 30490, tp))), 0, 40 + 24, true});
  }
  {
    // TCP over IPv4 with two words of options.
    frames.push_back({"ipv4_options_tcp", 0x0800,
                      Ipv4(6, Tcp(13400, 49152, Bytes(20, 0x22)), {192, 168, 0, 10}, {192, 168, 0, 20}, 2), 0,
                      28, false});
  }
  return frames;
}

EthernetContainer Truncated(const Frame& f, size_t length) {
  ContainerHeader h{};
  h.typeCode = 3;
  h.timestamp = 1;
  h.payloadLength = static_cast<uint32_t>(length);
  std::unique_ptr<uint8_t[]> exact(new uint8_t[length + 1]);
  std::memcpy(exact.get(), f.payload.data(), length);
  // Copying moves the payload into a buffer of exactly `length` bytes.
  return EthernetContainer(h, MakeEthernetHeader(f.etherType), static_cast<const uint8_t*>(exact.get()), true);
}

TEST(Truncation, AccessorsAnswerExactlyWhenTheirBytesArePresent) {
  for (const Frame& f : RealFrames()) {
    SCOPED_TRACE(f.name);
    const size_t full = f.payload.size();
    const bool ipv6 = f.etherType == 0x86DD;
    const size_t ipHeader = ipv6 ? 40 : f.transportOffset - f.ipOffset;
    for (size_t len = 0; len <= full; ++len) {
      SCOPED_TRACE("length " + std::to_string(len));
      EthernetContainer c = Truncated(f, len);
      EXPECT_EQ(Succeeds([&] { c.GetEtherType(true); }), len >= f.ipOffset);
      EXPECT_EQ(Succeeds([&] { c.GetIPVersion(); }), len >= f.ipOffset + 1);
      if (ipv6) {
        EXPECT_EQ(Succeeds([&] { c.GetIPv6Destination(); }), len >= f.ipOffset + 40);
      } else {
        EXPECT_EQ(Succeeds([&] { c.GetIPv4Source(); }), len >= f.ipOffset + 20);
      }
      EXPECT_EQ(Succeeds([&] { c.GetTransportHeader(false); }), len >= f.ipOffset + ipHeader);
      EXPECT_EQ(Succeeds([&] { c.GetTransportLength(true); }), len >= f.transportOffset);
      EXPECT_EQ(Succeeds([&] { c.GetDestinationPort(); }), len >= f.transportOffset + 4);
      EXPECT_EQ(Succeeds([&] { c.SetSourcePort(1); }), len >= f.transportOffset + 4);
      if (f.udp) {
        EXPECT_EQ(Succeeds([&] { c.GetUDPLength(); }), len >= f.transportOffset + 8);
        // The UDP length covers the rest of the frame: messages parse only when all of it is there.
        EXPECT_EQ(Succeeds([&] { c.GetSOMEIPMessages(); }), len == full);
      }
      auto rec = std::make_unique<PcapFrameRecord>();
      EXPECT_EQ(Succeeds([&] { c.ExportPcap(true, *rec); }), len >= f.ipOffset);
      if (len >= f.ipOffset) {
        EXPECT_EQ(rec->capturedLength, len - f.ipOffset + 14);
      }
    }
  }
}

TEST(Truncation, RecordsCutShortAreRefusedAtEveryLength) {
  for (const Frame& f : RealFrames()) {
    SCOPED_TRACE(f.name);
    const Bytes record = MakeEthernetRecord(f.etherType, f.payload, 123);
    for (size_t len = 0; len < record.size(); ++len) {
      std::unique_ptr<uint8_t[]> exact(new uint8_t[len + 1]);
      std::memcpy(exact.get(), record.data(), len);
      EXPECT_THROW(CreateContainer(static_cast<const uint8_t*>(exact.get()), len, false), std::runtime_error)
          << "length " << len;
      EXPECT_THROW(EthernetContainer(exact.get(), len, false), std::runtime_error) << "length " << len;
    }
    auto c = CreateContainer(record.data(), record.size(), false);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->RecordLength(), record.size());
  }
}

TEST(Truncation, EveryCutRecordRunsThroughAllAccessors) {
  for (const Frame& f : RealFrames()) {
    Bytes record = MakeEthernetRecord(f.etherType, f.payload, 123);
    for (size_t len = 0; len <= f.payload.size(); ++len) {
      // Rewrite the lengths so that the record is whole but its frame is cut.
      Bytes cut(record.begin(), record.begin() + 35 + len);
      ContainerHeader h;
      std::memcpy(&h, cut.data(), sizeof h);
      h.payloadLength = static_cast<uint32_t>(len);
      h.recordLength = static_cast<uint32_t>(cut.size());
      std::memcpy(cut.data(), &h, sizeof h);
      fuzzing::ExerciseAll(cut.data(), cut.size());
    }
  }
}

}  // namespace
}  // namespace qtu::containers
