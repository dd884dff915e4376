#include "qtu/containers/someip.h"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>

#include "frames.h"

namespace qtu::containers {
namespace {

using namespace testing;

// A 16-byte header with the given versions, message type and length field.
Bytes Header16(uint8_t protocolVersion, uint8_t interfaceVersion, uint8_t messageType, uint32_t length) {
  Bytes m;
  PutBE16(m, 0x0101);
  PutBE16(m, 0x0202);
  PutBE32(m, length);
  PutBE16(m, 0x0303);
  PutBE16(m, 0x0404);
  Append(m, {protocolVersion, interfaceVersion, messageType, 0x00});
  return m;
}

std::string ParseError(const Bytes& data) {
  try {
    ParseSOMEIPMessages(data.data(), data.size(), 0);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "(no error)";
}

TEST(SomeIpParse, MinimalMessageAndVersionChecks) {
  const auto ok = ParseSOMEIPMessages(Header16(1, 2, 0, 8).data(), 16, 5);
  ASSERT_EQ(ok.size(), 1u);
  EXPECT_TRUE(ok[0].payload.empty());
  EXPECT_EQ(Val(ok[0].header.interfaceVersion), 2);
  EXPECT_EQ(Val(ok[0].header.serviceId), 0x0101);
  EXPECT_EQ(Val(ok[0].header.clientId), 0x0303);
  EXPECT_EQ(Val(ok[0].header.sessionId), 0x0404);
  EXPECT_EQ(Val(ok[0].header.eventFlag), 0);
  EXPECT_EQ(ok[0].timestamp, 5);

  EXPECT_EQ(ParseError(Header16(1, 2, 0, 9)), "Container does not valid SOME/IP data");
  EXPECT_EQ(ParseError(Header16(2, 1, 0, 8)), "Container does not valid SOME/IP data");
  EXPECT_EQ(ParseError(Header16(1, 0, 0, 8)), "Container does not valid SOME/IP data");
  EXPECT_EQ(ParseError(Header16(1, 3, 0, 8)), "Container does not valid SOME/IP data");
  EXPECT_TRUE(ParseSOMEIPMessages(nullptr, 0, 0).empty());
}

TEST(SomeIpParse, BackToBackMessagesInOrderTrailingShortBytesIgnored) {
  Bytes data = SomeIp(0x10, 0x8001, {1, 2, 3});
  Append(data, SomeIp(0x20, 0x0002, {4}));
  Append(data, Bytes(15, 0xFF));
  const auto messages = ParseSOMEIPMessages(data.data(), data.size(), 99);
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(Val(messages[0].header.serviceId), 0x10);
  EXPECT_EQ(Val(messages[0].header.eventFlag), 1);
  EXPECT_EQ(Val(messages[0].header.methodId), 0x8001);  // event bit stays in
  EXPECT_EQ(messages[0].payload, (Bytes{1, 2, 3}));
  EXPECT_EQ(Val(messages[1].header.serviceId), 0x20);
  EXPECT_EQ(messages[1].payload, (Bytes{4}));
  EXPECT_EQ(messages[1].timestamp, 99);
  EXPECT_EQ(Val(messages[1].header.length), 9u);
}

TEST(SomeIpParse, FailureDiscardsEarlierMessages) {
  Bytes data = SomeIp(0x10, 1, {1});
  Append(data, Header16(1, 1, 0, 100));
  EXPECT_EQ(ParseError(data), "Container does not valid SOME/IP data");
  std::vector<SOMEIPMessageView> views(3);
  EXPECT_THROW(ParseSOMEIPMessageViews(data.data(), data.size(), views), std::runtime_error);
  EXPECT_TRUE(views.empty());
}

TEST(SomeIpParse, TpSegmentSplitsOffsetAndFlags) {
  const Bytes data = SomeIp(0x10, 1, {7, 8, 9}, 0x00, 1, true, 0x31);
  const auto messages = ParseSOMEIPMessages(data.data(), data.size(), 0);
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(Val(messages[0].header.messageType), 0x20);
  EXPECT_EQ(Val(messages[0].header.tpOffset), 3u);
  EXPECT_EQ(Val(messages[0].header.tpFlags), 1);
  EXPECT_EQ(messages[0].payload, (Bytes{7, 8, 9}));

  const Bytes big = SomeIp(0x10, 1, {}, 0x02, 1, true, 0xFFFFFFF0);
  const auto m2 = ParseSOMEIPMessages(big.data(), big.size(), 0);
  EXPECT_EQ(Val(m2[0].header.tpOffset), 0x0FFFFFFFu);
  EXPECT_EQ(Val(m2[0].header.tpFlags), 0);
  EXPECT_EQ(Val(m2[0].header.messageType), 0x22);

  // Without the TP bit the TP fields stay 0 and bytes 16-19 are payload.
  const Bytes plain = SomeIp(0x10, 1, {0, 0, 0, 0x31});
  const auto m3 = ParseSOMEIPMessages(plain.data(), plain.size(), 0);
  EXPECT_EQ(Val(m3[0].header.tpOffset), 0u);
  EXPECT_EQ(m3[0].payload.size(), 4u);
}

TEST(SomeIpParse, LengthsBelowTheHeaderAreRuntimeErrors) {
  for (uint32_t length : {0u, 7u}) {
    EXPECT_EQ(ParseError(Header16(1, 1, 0, length)),
              "SOME/IP message at offset 0 has length " + std::to_string(length) +
                  ", below the 8 bytes its header needs");
  }
  Bytes tp = Header16(1, 1, 0x20, 11);
  Append(tp, {0, 0, 0});
  EXPECT_EQ(ParseError(tp), "SOME/IP message at offset 0 has length 11, below the 12 bytes its header needs");
  Bytes tpOk = Header16(1, 1, 0x20, 12);
  Append(tpOk, {0, 0, 0, 0x10});
  EXPECT_EQ(Val(ParseSOMEIPMessages(tpOk.data(), tpOk.size(), 0)[0].header.tpOffset), 1u);
}

TEST(SomeIpParse, LengthNearTwoToThe32DoesNotWrapAround) {
  // offset + 8 + length wraps to a small value in 32 bits; it must still fail.
  Bytes data = SomeIp(0x10, 1, {1, 2, 3, 4, 5, 6, 7, 8});
  Append(data, Header16(1, 1, 0, 0xFFFFFFF8u - 24));
  EXPECT_EQ(ParseError(data), "Container does not valid SOME/IP data");
  EXPECT_EQ(ParseError(Header16(1, 1, 0, 0xFFFFFFFFu)), "Container does not valid SOME/IP data");
}

TEST(SomeIpParse, ViewsMatchCopiesAndReuseTheVector) {
  Bytes data = SomeIp(1, 2, {1, 2});
  Append(data, SomeIp(3, 4, {5}, 0x02, 2, true, 0x21));
  std::vector<SOMEIPMessageView> views;
  ParseSOMEIPMessageViews(data.data(), data.size(), views);
  const auto copies = ParseSOMEIPMessages(data.data(), data.size(), 0);
  ASSERT_EQ(views.size(), copies.size());
  for (size_t i = 0; i < views.size(); ++i) {
    EXPECT_EQ(0, std::memcmp(&views[i].header, &copies[i].header, sizeof(SOMEIPHeader)));
    EXPECT_EQ(Bytes(views[i].payload, views[i].payload + views[i].payloadSize), copies[i].payload);
  }
  ParseSOMEIPMessageViews(data.data(), 16 + 2, views);
  EXPECT_EQ(views.size(), 1u);
}

TEST(SomeIpContainers, OnePerMessageOwningItsPayload) {
  Bytes data = SomeIp(0x10, 0x8005, {1, 2, 3}, 0x02, 1, true, 0x21);
  Append(data, SomeIp(0x11, 0x0001, {}));
  const auto messages = ParseSOMEIPMessages(data.data(), data.size(), 777);
  const auto containers = SOMEIPContainersFromMessages(messages);
  ASSERT_EQ(containers.size(), 2u);
  const SOMEIPContainer& first = *containers[0];
  EXPECT_TRUE(first.IsOfType());
  EXPECT_TRUE(first.OwnsPayload());
  EXPECT_NE(first.Payload(), messages[0].payload.data());
  EXPECT_EQ(first.Timestamp(), 777);
  EXPECT_EQ(first.PayloadLength(), 3u);
  EXPECT_EQ(first.RecordLength(), 17u + 22 + 3);
  EXPECT_EQ(Val(first.GetTypeHeader().tpOffset), 2u);
  EXPECT_EQ(Val(first.GetTypeHeader().methodId), 0x8005);
  EXPECT_EQ(containers[1]->PayloadLength(), 0u);

  // Written and read back as a record, the header survives unchanged.
  Bytes record(first.RecordLength());
  first.WriteRecord(record.data(), record.size());
  auto back = CreateContainer(record.data(), record.size(), true);
  auto* s = dynamic_cast<SOMEIPContainer*>(back.get());
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(0, std::memcmp(&s->GetTypeHeader(), &first.GetTypeHeader(), sizeof(SOMEIPHeader)));
}

}  // namespace
}  // namespace qtu::containers
