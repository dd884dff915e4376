#include "qtu/containers/container.h"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>

#include "frames.h"
#include "qtu/containers/ethernet_container.h"

namespace qtu::containers {
namespace {

using testing::Bytes;
using testing::MakeRecord;
using testing::Val;

Bytes CanTypeHeader(uint8_t flag4, uint8_t flag6, uint8_t flag7, uint32_t id = 0x123) {
  CANHeader h{};
  h.identifier = id;
  h.flag4 = flag4;
  h.opaque5 = 0xEE;
  h.flag6 = flag6;
  h.flag7 = flag7;
  h.opaque8 = 0xBEEF;
  Bytes b(sizeof h);
  std::memcpy(b.data(), &h, sizeof h);
  return b;
}

ContainerHeader ReadHeader(const uint8_t* p) {
  ContainerHeader h;
  std::memcpy(&h, p, sizeof h);
  return h;
}

TEST(ContainerConstruction, RecordLengthIsRecomputedFromPayloadAndTypeHeader) {
  ContainerHeader h{};
  h.timestamp = 77;
  h.typeCode = 1;
  h.recordLength = 0;
  h.payloadLength = 4;
  CANHeader can{};
  const uint8_t payload[4] = {1, 2, 3, 4};
  CANContainer c(h, can, payload, false);
  EXPECT_EQ(c.RecordLength(), 31u);

  uint8_t out[64];
  uint8_t* end = c.WriteRecord(out, sizeof out);
  ASSERT_EQ(end - out, 31);
  EXPECT_EQ(Val(ReadHeader(out).recordLength), 31u);
  EXPECT_EQ(0, std::memcmp(out + 27, payload, 4));
}

TEST(ContainerConstruction, EveryClassRecomputesWithItsOwnTypeHeaderLength) {
  ContainerHeader h{};
  h.recordLength = 9999;
  h.payloadLength = 2;
  const uint8_t payload[2] = {9, 8};
  EXPECT_EQ(BaseContainer(h, payload, true).RecordLength(), 19u);
  EXPECT_EQ(FlexrayContainer(h, FlexrayHeader{}, payload, true).RecordLength(), 34u);
  EXPECT_EQ(EthernetContainer(h, EthernetHeader{}, payload, true).RecordLength(), 37u);
  EXPECT_EQ(VideoContainer(h, VideoHeader{}, payload, true).RecordLength(), 39u);
  EXPECT_EQ(PLPRawContainer(h, PLPRawHeader{}, payload, true).RecordLength(), 29u);
  EXPECT_EQ(LidarContainer(h, LidarHeader{}, payload, true).RecordLength(), 25u);
  EXPECT_EQ(LINContainer(h, LINHeader{}, payload, true).RecordLength(), 22u);
  EXPECT_EQ(SOMEIPContainer(h, SOMEIPHeader{}, payload, true).RecordLength(), 41u);
}

TEST(ContainerConstruction, FromRecordUsesFixedPayloadOffsetAndChecksSize) {
  const Bytes record = MakeRecord(1, 5, CanTypeHeader(1, 0, 0), {0xAA, 0xBB});
  CANContainer c(record.data(), record.size(), false);
  EXPECT_EQ(c.Payload(), record.data() + 27);
  EXPECT_EQ(Val(c.GetTypeHeader().identifier), 0x123u);
  EXPECT_EQ(Val(c.GetTypeHeader().opaque8), 0xBEEF);
  EXPECT_THROW(CANContainer(record.data(), record.size() - 1, false), std::runtime_error);
  EXPECT_THROW(CANContainer(record.data(), 20, false), std::runtime_error);
  EXPECT_THROW(CANContainer(nullptr, 64, false), std::runtime_error);
  EXPECT_THROW(BaseContainer(static_cast<const uint8_t*>(nullptr), 64, false), std::runtime_error);
  EXPECT_THROW(CreateContainer(static_cast<const uint8_t*>(nullptr), 64, false), std::runtime_error);
}

TEST(ContainerConstruction, PayloadWithoutDataIsRefused) {
  ContainerHeader h{};
  h.payloadLength = 3;
  EXPECT_THROW(BaseContainer(h, static_cast<const uint8_t*>(nullptr), false), std::runtime_error);
}

TEST(ContainerBorrowing, BorrowedPayloadFollowsCallerMemoryCopiedDoesNot) {
  Bytes record = MakeRecord(0, 1, {}, {1, 2, 3});
  auto borrowed = CreateContainer(record.data(), record.size(), false);
  auto copied = CreateContainer(record.data(), record.size(), true);
  record[17] = 0x55;
  EXPECT_EQ(borrowed->Payload()[0], 0x55);
  EXPECT_EQ(copied->Payload()[0], 1);
  EXPECT_FALSE(borrowed->OwnsPayload());
  EXPECT_TRUE(copied->OwnsPayload());
}

TEST(ContainerCopyMove, CopiesOwnTheirPayloadAndMovesEmptyTheSource) {
  Bytes payload = {1, 2, 3, 4, 5};
  ContainerHeader h{};
  h.typeCode = 0;
  h.payloadLength = 5;
  BaseContainer borrowed(h, payload.data(), false);
  BaseContainer copy(borrowed);
  EXPECT_TRUE(copy.OwnsPayload());
  payload[0] = 99;
  EXPECT_EQ(copy.Payload()[0], 1);

  const uint8_t* buffer = copy.Payload();
  BaseContainer moved(std::move(copy));
  EXPECT_EQ(moved.Payload(), buffer);  // buffer taken over, not copied
  EXPECT_EQ(moved.PayloadLength(), 5u);
  EXPECT_EQ(copy.PayloadLength(), 0u);
  EXPECT_EQ(copy.Payload(), nullptr);
  uint8_t out[32];
  EXPECT_EQ(copy.WriteRecord(out, sizeof out) - out, 17);

  BaseContainer fromBorrowed(std::move(borrowed));  // borrowed: bytes copied
  EXPECT_TRUE(fromBorrowed.OwnsPayload());
  EXPECT_EQ(fromBorrowed.Payload()[0], 99);
}

TEST(ContainerWrite, OutputAreaTooSmallIsRefused) {
  const Bytes record = MakeRecord(1, 5, CanTypeHeader(0, 0, 0), {1, 2, 3});
  auto c = CreateContainer(record.data(), record.size(), false);
  uint8_t out[64];
  EXPECT_THROW(c->WriteRecord(out, record.size() - 1), std::runtime_error);
  EXPECT_THROW(c->WriteFrame(out, 7), std::runtime_error);
  EXPECT_EQ(c->WriteFrame(out, 8) - out, 8);
}

TEST(CreateContainer, TypeCodesBuildTheirClasses) {
  const int lengths[] = {0, 10, 15, 18, 20, 10, 6, 3, 22};
  for (uint8_t type = 0; type <= 8; ++type) {
    const Bytes record = MakeRecord(type, 42, Bytes(lengths[type], 0), {7, 7});
    auto c = CreateContainer(record.data(), record.size(), false);
    ASSERT_NE(c, nullptr) << int(type);
    EXPECT_TRUE(c->IsOfType()) << int(type);
    EXPECT_EQ(c->TypeCode(), type);
    EXPECT_EQ(c->Payload(), record.data() + 17 + lengths[type]);
    Bytes written(record.size());
    c->WriteRecord(written.data(), written.size());
    EXPECT_EQ(written, record) << int(type);
  }
  // Type code 6 yields a LidarContainer, not nothing.
  const Bytes lidar = MakeRecord(6, 1, Bytes(6, 0x11), {1});
  auto c = CreateContainer(lidar.data(), lidar.size(), false);
  EXPECT_NE(dynamic_cast<LidarContainer*>(c.get()), nullptr);
}

TEST(CreateContainer, IsOfTypeComparesStoredCodeWithClass) {
  ContainerHeader h{};
  h.typeCode = 3;  // a CAN container given an Ethernet header
  EXPECT_FALSE(CANContainer(h, CANHeader{}, static_cast<const uint8_t*>(nullptr), false).IsOfType());
  h.typeCode = 1;
  EXPECT_TRUE(CANContainer(h, CANHeader{}, static_cast<const uint8_t*>(nullptr), false).IsOfType());
  EXPECT_FALSE(BaseContainer(h, static_cast<const uint8_t*>(nullptr), false).IsOfType());
}

TEST(CreateContainer, UnknownTypeCodesYieldNothing) {
  for (int type : {9, 100, 255}) {
    const Bytes record = MakeRecord(static_cast<uint8_t>(type), 1, {}, {1, 2});
    EXPECT_EQ(CreateContainer(record.data(), record.size(), false), nullptr);
  }
}

TEST(CreateContainer, BaseWriteFrameIsExactlyThePayload) {
  const Bytes record = MakeRecord(0, 1, {}, {5, 6, 7});
  auto c = CreateContainer(record.data(), record.size(), false);
  uint8_t out[16] = {};
  ASSERT_EQ(c->WriteFrame(out, sizeof out) - out, 3);
  EXPECT_EQ(out[0], 5);
  EXPECT_EQ(out[2], 7);
}

TEST(CreateContainer, PayloadPositionComesFromStoredLengths) {
  // Record length 40, payload 3: the payload is at 37, not 27.
  Bytes record = MakeRecord(1, 1, CanTypeHeader(0, 0, 0), Bytes(13, 0), 40);
  ContainerHeader h = ReadHeader(record.data());
  h.payloadLength = 3;
  std::memcpy(record.data(), &h, sizeof h);
  record[37] = 0xA1;
  record[38] = 0xA2;
  record[39] = 0xA3;
  auto c = CreateContainer(record.data(), record.size(), false);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->Payload(), record.data() + 37);
  EXPECT_EQ(c->RecordLength(), 30u);
  uint8_t out[64];
  ASSERT_EQ(c->WriteRecord(out, sizeof out) - out, 30);
  EXPECT_EQ(out[27], 0xA1);
}

TEST(CreateContainer, LengthsThatDoNotFitAreRefused) {
  const Bytes good = MakeRecord(3, 1, Bytes(18, 0), Bytes(10, 0));
  // Shorter than the common header.
  EXPECT_THROW(CreateContainer(good.data(), 16, false), std::runtime_error);
  // Record length beyond the bytes given.
  EXPECT_THROW(CreateContainer(good.data(), good.size() - 1, false), std::runtime_error);
  // Record length too small for header, type header and payload.
  Bytes bad = good;
  ContainerHeader h = ReadHeader(bad.data());
  h.recordLength = 17 + 18 + 9;
  std::memcpy(bad.data(), &h, sizeof h);
  EXPECT_THROW(CreateContainer(bad.data(), bad.size(), false), std::runtime_error);
  // A payload length that would wrap around 32 bits.
  h.recordLength = 45;
  h.payloadLength = 0xFFFFFFF0u;
  std::memcpy(bad.data(), &h, sizeof h);
  EXPECT_THROW(CreateContainer(bad.data(), bad.size(), false), std::runtime_error);
  try {
    h.recordLength = 44;
    h.payloadLength = 10;
    std::memcpy(bad.data(), &h, sizeof h);
    CreateContainer(bad.data(), bad.size(), false);
    FAIL() << "no error";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Container record length 44 is smaller than 17 + 18 header bytes + 10 payload bytes");
  }
}

TEST(WriteFrame, CanFlagByteTakesFlags4_7_6AsBits0_1_2) {
  struct Case {
    uint8_t flag4, flag6, flag7, expected;
  } cases[] = {{1, 0, 5, 0x03}, {0, 1, 0, 0x04}, {0, 0, 0, 0x00}, {9, 9, 9, 0x07}, {0, 0, 0x80, 0x02}};
  for (const Case& k : cases) {
    const Bytes record = MakeRecord(1, 1, CanTypeHeader(k.flag4, k.flag6, k.flag7, 0x0A0B0C0D), {0xEE});
    auto c = CreateContainer(record.data(), record.size(), false);
    uint8_t out[16];
    ASSERT_EQ(c->WriteFrame(out, sizeof out) - out, 6);
    EXPECT_EQ(out[0], 0x0D);  // identifier little-endian
    EXPECT_EQ(out[3], 0x0A);
    EXPECT_EQ(out[4], k.expected) << int(k.flag4) << int(k.flag6) << int(k.flag7);
    EXPECT_EQ(out[5], 0xEE);
  }
}

TEST(WriteFrame, FlexrayPrefixIsF1FlagsF2F3) {
  FlexrayHeader fh{};
  fh.flags[0] = 1;
  fh.flags[2] = 0x40;
  fh.flags[4] = 1;
  fh.f1 = 0x1234;
  fh.f2 = 0x56;
  fh.f3 = 0x78;
  fh.opaque7 = 0xFFFF;
  Bytes th(sizeof fh);
  std::memcpy(th.data(), &fh, sizeof fh);
  const Bytes record = MakeRecord(2, 1, th, {0x99});
  auto c = CreateContainer(record.data(), record.size(), false);
  uint8_t out[16];
  ASSERT_EQ(c->WriteFrame(out, sizeof out) - out, 6);
  EXPECT_EQ(out[0], 0x34);
  EXPECT_EQ(out[1], 0x12);
  EXPECT_EQ(out[2], 0x15);  // flags 0, 2 and 4
  EXPECT_EQ(out[3], 0x56);
  EXPECT_EQ(out[4], 0x78);
  EXPECT_EQ(out[5], 0x99);
}

TEST(WriteFrame, LinPrefixIsLowByteOfIdField) {
  const Bytes record = MakeRecord(7, 1, {0x3C, 0x7F, 0x01}, {0x10, 0x20});
  auto c = CreateContainer(record.data(), record.size(), false);
  uint8_t out[8];
  ASSERT_EQ(c->WriteFrame(out, sizeof out) - out, 3);
  EXPECT_EQ(out[0], 0x3C);
  EXPECT_EQ(out[1], 0x10);
}

TEST(WriteFrame, EthernetWritesEtherTypeHighByteFirst) {
  Bytes th = testing::HeaderBytes(testing::MakeEthernetHeader(0x0800));
  EXPECT_EQ(th[12], 0x00);  // stored little-endian
  EXPECT_EQ(th[13], 0x08);
  const Bytes record = MakeRecord(3, 1, th, {0x45});
  auto c = CreateContainer(record.data(), record.size(), false);
  uint8_t out[32];
  ASSERT_EQ(c->WriteFrame(out, sizeof out) - out, 15);
  EXPECT_EQ(0, std::memcmp(out, th.data(), 12));  // MAC address 1 then 2
  EXPECT_EQ(out[12], 0x08);
  EXPECT_EQ(out[13], 0x00);
  EXPECT_EQ(out[14], 0x45);
}

TEST(WriteFrame, TypesWithoutPrefixWriteThePayloadOnly) {
  for (uint8_t type : {4, 5, 6, 8}) {
    const int len = TypeHeaderLength(type);
    const Bytes record = MakeRecord(type, 1, Bytes(len, 0x33), {1, 2});
    auto c = CreateContainer(record.data(), record.size(), false);
    uint8_t out[8];
    EXPECT_EQ(c->WriteFrame(out, sizeof out) - out, 2) << int(type);
  }
}

}  // namespace
}  // namespace qtu::containers
