// Replies of the emulated unit to every request, checked byte by byte.
#include <gtest/gtest.h>

#include "host_side.h"
#include "qtu_sim/unit_sim.h"

namespace {

using namespace hostside;
using namespace std::chrono_literals;

class Control : public ::testing::Test {
 protected:
  void SetUp() override {
    qtusim::Config c;
    c.channels = 2;
    c.capacity = 77;
    c.statusPeriodMs = 0;
    sim = std::make_unique<qtusim::UnitSim>(c);
    sim->start();
    port = sim->controlPort();
  }

  // Checks the header of a reply and returns it.
  Bytes expectReply(uint8_t channel, uint16_t command, uint16_t sequence, const Bytes& payload,
                    uint16_t code, size_t length) {
    auto r = host.ask(port, channel, command, sequence, payload);
    EXPECT_TRUE(r.has_value()) << "no reply to command " << command;
    if (!r) return {};
    EXPECT_EQ(r->size(), length);
    EXPECT_EQ(std::string(r->begin(), r->begin() + 4), "QTU-");
    EXPECT_EQ((*r)[4], 0x53);
    EXPECT_EQ((*r)[5], 3);
    EXPECT_EQ((*r)[6], r->size());
    EXPECT_EQ((*r)[7], channel);
    EXPECT_EQ(le16(*r, 8), code);
    EXPECT_EQ(le16(*r, 10), sequence);
    return *r;
  }

  Host host;
  std::unique_ptr<qtusim::UnitSim> sim;
  uint16_t port = 0;
};

TEST_F(Control, EveryCommandOfTheTableIsAnsweredWithItsCodeChannelAndSequence) {
  const struct {
    uint16_t command;
    Bytes payload;
    size_t replyLength;
  } table[] = {
      {0x00, {}, 12}, {0x01, {}, 12}, {0x02, {}, 12}, {0x03, {}, 20}, {0x10, {}, 12},
      {0x11, {}, 12}, {0x12, {}, 12}, {0x20, u64(1), 12}, {0x21, {}, 20}, {0x22, u64(2), 12},
      {0x23, {}, 20}, {0x24, u64(3), 12}, {0x25, {}, 20}, {0x30, geometry(8, 2), 12}, {0x31, {}, 16},
  };
  uint16_t sequence = 1;
  for (const auto& row : table) {
    for (uint8_t channel : {0, 1}) {
      SCOPED_TRACE(::testing::Message() << "command " << row.command << " channel " << int(channel));
      expectReply(channel, row.command, sequence++, row.payload, row.command, row.replyLength);
    }
  }
  EXPECT_EQ(sim->channel(0).requests, 15u);
  EXPECT_EQ(sim->channel(1).requests, 15u);
}

TEST_F(Control, SequenceNumbersAreMirroredAcrossTheWrap) {
  for (uint16_t sequence : {65534, 65535, 0, 1}) expectReply(1, 0x12, sequence, {}, 0x12, 12);
}

TEST_F(Control, TimesAndGeometryAreKeptPerChannelAndReadBack) {
  expectReply(0, 0x22, 1, u64(0x1122334455667788ull), 0x22, 12);
  expectReply(0, 0x24, 2, u64(0xFFFFFFFFFFFFFFFFull), 0x24, 12);
  expectReply(0, 0x20, 3, u64(5000), 0x20, 12);
  expectReply(1, 0x22, 4, u64(42), 0x22, 12);
  expectReply(0, 0x30, 5, geometry(3840, 2160), 0x30, 12);
  expectReply(1, 0x30, 6, geometry(65535, 1), 0x30, 12);

  EXPECT_EQ(le64(expectReply(0, 0x23, 7, {}, 0x23, 20), 12), 0x1122334455667788ull);
  EXPECT_EQ(le64(expectReply(0, 0x25, 8, {}, 0x25, 20), 12), 0xFFFFFFFFFFFFFFFFull);
  EXPECT_EQ(le64(expectReply(0, 0x21, 9, {}, 0x21, 20), 12), 5000u);
  EXPECT_EQ(le64(expectReply(1, 0x23, 10, {}, 0x23, 20), 12), 42u);
  EXPECT_EQ(le64(expectReply(1, 0x21, 11, {}, 0x21, 20), 12), 0u);
  const Bytes g0 = expectReply(0, 0x31, 12, {}, 0x31, 16);
  EXPECT_EQ(le16(g0, 12), 3840);
  EXPECT_EQ(le16(g0, 14), 2160);
  const Bytes g1 = expectReply(1, 0x31, 13, {}, 0x31, 16);
  EXPECT_EQ(le16(g1, 12), 65535);
  EXPECT_EQ(le16(g1, 14), 1);

  const auto r = sim->channel(0);
  EXPECT_EQ(r.startTime, 0x1122334455667788ull);
  EXPECT_EQ(r.stopTime, 0xFFFFFFFFFFFFFFFFull);
  EXPECT_EQ(r.offset, 5000u);
  EXPECT_EQ(r.lineSize, 3840);
  EXPECT_EQ(r.lineCount, 2160);
}

TEST_F(Control, ChannelStateGivesTheCapacityAndEnablesFollowTheRequests) {
  const Bytes s = expectReply(1, 0x03, 1, {}, 0x03, 20);
  EXPECT_EQ(le32(s, 16), 77u);
  EXPECT_EQ(s[13], 0);

  expectReply(1, 0x01, 2, {}, 0x01, 12);
  expectReply(1, 0x11, 3, {}, 0x11, 12);
  EXPECT_TRUE(sim->channel(1).outputEnabled);
  EXPECT_TRUE(sim->channel(1).replayEnabled);
  EXPECT_FALSE(sim->channel(0).outputEnabled);
  EXPECT_EQ(expectReply(1, 0x03, 4, {}, 0x03, 20)[13], 3);

  expectReply(1, 0x00, 5, {}, 0x00, 12);
  EXPECT_FALSE(sim->channel(1).outputEnabled);
  EXPECT_TRUE(sim->channel(1).replayEnabled);
  expectReply(1, 0x10, 6, {}, 0x10, 12);
  EXPECT_FALSE(sim->channel(1).replayEnabled);
}

TEST_F(Control, ChannelsTheUnitDoesNotOfferAreAnsweredWith8004) {
  expectReply(2, 0x03, 9, {}, qtusim::kReplyChannelNotOffered, 12);
  expectReply(255, 0x03, 10, {}, qtusim::kReplyChannelNotOffered, 12);
  expectReply(7, 0x22, 11, u64(1), qtusim::kReplyChannelNotOffered, 12);
  EXPECT_EQ(sim->channel(0).requests + sim->channel(1).requests, 0u);
}

TEST_F(Control, UnknownCommandsAndWrongLengthsGetErrorCodes) {
  expectReply(0, 0x44, 1, {}, qtusim::kReplyUnknownCommand, 12);
  expectReply(0, 0xFF, 2, {}, qtusim::kReplyUnknownCommand, 12);
  // A setter without its value, a getter with a payload, a geometry of 8 bytes.
  expectReply(0, 0x22, 3, {}, qtusim::kReplyBadLength, 12);
  expectReply(0, 0x23, 4, u64(1), qtusim::kReplyBadLength, 12);
  expectReply(0, 0x30, 5, u64(1), qtusim::kReplyBadLength, 12);
  EXPECT_EQ(sim->channel(0).startTime, 0u);
  EXPECT_EQ(sim->channel(0).lineCount, 0);
}

TEST_F(Control, MalformedRequestsAreDroppedWithoutReply) {
  Bytes wrongMagic = request(0, 0x03, 1);
  wrongMagic[3] = '+';
  Bytes replyDirection = request(0, 0x03, 2);
  replyDirection[4] = 0x53;
  Bytes oldVersion = request(0, 0x03, 3);
  oldVersion[5] = 2;
  Bytes lengthSays20 = request(0, 0x03, 4);
  lengthSays20[6] = 20;
  Bytes longerThanItsLength = request(0, 0x22, 5, u64(9));
  longerThanItsLength[6] = 12;
  const Bytes tooShort(11, 'Q');
  for (const Bytes& b : {wrongMagic, replyDirection, oldVersion, lengthSays20, longerThanItsLength, tooShort})
    host.send(b, port);
  // A good request after them is the only one answered.
  expectReply(0, 0x12, 6, {}, 0x12, 12);
  EXPECT_FALSE(host.reply(50ms).has_value());
  EXPECT_EQ(sim->malformedControl(), 6u);
  EXPECT_EQ(sim->channel(0).startTime, 0u);
  EXPECT_EQ(sim->controlLog().size(), 7u);
  EXPECT_EQ(sim->controlLog().back(), request(0, 0x12, 6));
}

TEST_F(Control, ResetClearsTimesFlagsAndBuffersButKeepsGeometryAndEnables) {
  expectReply(0, 0x30, 1, geometry(16, 2), 0x30, 12);
  expectReply(0, 0x01, 2, {}, 0x01, 12);
  expectReply(0, 0x22, 3, u64(10), 0x22, 12);
  expectReply(0, 0x20, 4, u64(20), 0x20, 12);
  expectReply(0, 0x24, 5, u64(30), 0x24, 12);
  // A counter gap on the data port raises the packet-lost flag.
  host.send(dataPacket({0, 0, 0, 5, 0, 0, Bytes(8, 1)}), sim->dataBasePort());
  host.send(dataPacket({0, 0, 0x40, 9, 0, 0, Bytes(8, 1)}), sim->dataBasePort());
  ASSERT_TRUE(sim->waitFor(0, [](const auto& r) { return r.packets == 2; }, 2s));
  EXPECT_EQ(sim->channel(0).statusFlags & qtusim::kFlagPacketLost, qtusim::kFlagPacketLost);
  EXPECT_EQ(expectReply(0, 0x03, 6, {}, 0x03, 20)[12] & qtusim::kFlagPacketLost, qtusim::kFlagPacketLost);

  expectReply(0, 0x02, 7, {}, 0x02, 12);
  const auto r = sim->channel(0);
  EXPECT_EQ(r.startTime, 0u);
  EXPECT_EQ(r.offset, 0u);
  EXPECT_EQ(r.stopTime, 0u);
  EXPECT_EQ(r.statusFlags, 0);
  EXPECT_EQ(r.freeBuffers, 77u);
  EXPECT_EQ(r.lineSize, 16);
  EXPECT_EQ(r.lineCount, 2);
  EXPECT_TRUE(r.outputEnabled);
  EXPECT_EQ(r.resets, 1u);
}

TEST_F(Control, ClearStatusFlagsClearsOnlyTheFlags) {
  expectReply(1, 0x22, 1, u64(10), 0x22, 12);
  const uint16_t data1 = static_cast<uint16_t>(sim->dataBasePort() + 1);
  Bytes shortDatagram(10, 0);
  host.send(shortDatagram, data1);
  ASSERT_TRUE(sim->waitFor(1, [](const auto& r) { return r.headerErrors == 1; }, 2s));
  EXPECT_EQ(sim->channel(1).statusFlags, qtusim::kFlagMalformed);
  expectReply(1, 0x12, 2, {}, 0x12, 12);
  EXPECT_EQ(sim->channel(1).statusFlags, 0);
  EXPECT_EQ(sim->channel(1).startTime, 10u);
  EXPECT_EQ(sim->channel(1).headerErrors, 1u);
}

TEST(ControlSource, RepliesAndStatusLeaveFromTheAddressTheHostSentTo) {
  qtusim::Config c;
  c.bind = "0.0.0.0";
  c.statusPeriodMs = 0;
  qtusim::UnitSim sim(c);
  sim.start();
  Host host;
  for (const char* unit : {"127.0.0.2", "127.0.0.1"}) {
    host.send(request(0, 0x12, 1), sim.controlPort(), unit);
    std::string sender;
    auto reply = host.receive(2s, &sender);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(le16(*reply, 8), 0x12);
    EXPECT_EQ(sender, unit);
    sim.sendStatusNow(0);
    auto status = host.receive(2s, &sender);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(le16(*status, 8), 0xFF);
    EXPECT_EQ(sender, unit);
  }
}

}  // namespace
