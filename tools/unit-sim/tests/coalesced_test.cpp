// Coalesced receives: datagrams that a host sends segmented (UDP_SEGMENT)
// reach the unit as one buffer, which it splits back into the datagrams. The
// unit must count and check them exactly as when they come one by one.
#include <gtest/gtest.h>

#include "data_receiver.h"
#include "host_side.h"
#include "qtu_sim/unit_sim.h"

namespace {

using namespace hostside;
using namespace std::chrono_literals;

TEST(SplitSegments, PiecesOfTheSegmentSizeAndAShorterLast) {
  struct Case {
    size_t length, segment;
    std::vector<std::pair<size_t, size_t>> pieces;
  };
  const Case cases[] = {
      {100, 0, {{0, 100}}},                       // not coalesced
      {100, 100, {{0, 100}}},                     // one datagram of the segment size
      {40, 100, {{0, 40}}},                       // shorter than a segment
      {300, 100, {{0, 100}, {100, 100}, {200, 100}}},
      {301, 100, {{0, 100}, {100, 100}, {200, 100}, {300, 1}}},
      {250, 100, {{0, 100}, {100, 100}, {200, 50}}},
  };
  for (const auto& c : cases) {
    std::vector<std::pair<size_t, size_t>> got;
    qtusim::splitSegments(c.length, c.segment, [&](size_t offset, size_t size) { got.emplace_back(offset, size); });
    EXPECT_EQ(got, c.pieces) << c.length << " / " << c.segment;
  }
}

// A stream as groups of datagrams; each group goes out in one segmented send.
struct Shape {
  const char* what;
  std::vector<std::vector<Packet>> groups;
  uint16_t lineCount;
};

Bytes fill(size_t n, uint8_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i);
  return b;
}

std::vector<Shape> shapes() {
  std::vector<Shape> s;
  // One block: three full packets and a shorter last, then a one-packet line
  // that ends the frame.
  s.push_back({"block with a short last packet",
               {{{0, 0, 0, 0, 0, 5, fill(64, 1)}, {0, 0, 0, 1, 0, 5, fill(64, 2)}, {0, 0, 0, 2, 0, 5, fill(64, 3)},
                 {0, 0, 0x40, 3, 0, 5, fill(13, 4)}},
                {{0, 1, 0xC0, 4, 0, 5, fill(64, 5)}}},
               2});
  // Four one-packet blocks of equal size in one send: boundaries fall
  // inside the buffer.
  s.push_back({"four blocks in one buffer",
               {{{1, 0, 0x40, 0, 0, 9, fill(32, 1)}, {1, 1, 0x40, 1, 0, 9, fill(32, 2)},
                 {1, 2, 0x40, 2, 0, 9, fill(32, 3)}, {1, 3, 0xC0, 3, 0, 9, fill(32, 4)}}},
               4});
  // A bad version and a counter gap inside a buffer break their blocks only.
  Packet badVersion{2, 0, 0, 1, 0, 1, fill(24, 7)};
  s.push_back({"bad packet and gap inside a buffer",
               {{{2, 0, 0, 0, 0, 1, fill(24, 6)}, badVersion, {2, 0, 0x40, 2, 0, 1, fill(24, 8)},
                 {2, 1, 0, 5, 0, 1, fill(24, 9)}, {2, 1, 0xC0, 6, 0, 1, fill(8, 10)}},
                {{3, 0, 0x40, 7, 0, 2, fill(40, 1)}, {3, 1, 0xC0, 8, 0, 2, fill(40, 2)}}},
               2});
  return s;
}

qtusim::ChannelReport streamTo(const Shape& shape, bool segmented, bool* segmentationRefused) {
  qtusim::Config c;
  c.statusPeriodMs = 0;
  c.coalesceReceives = segmented;
  qtusim::UnitSim sim(c);
  sim.start();
  Host host;
  host.send(request(0, 0x30, 1, geometry(0, shape.lineCount)), sim.controlPort());
  EXPECT_TRUE(host.reply().has_value());
  uint64_t sent = 0;
  for (const auto& group : shape.groups) {
    std::vector<Bytes> datagrams;
    for (const auto& p : group) datagrams.push_back(dataPacket(p));
    // The bad-version packet of the third shape.
    for (size_t i = 0; i < group.size(); ++i)
      if (group[i].frame == 2 && group[i].counter == 1) datagrams[i][6] = 2;
    if (segmented) {
      if (!host.sendSegmented(datagrams, sim.dataBasePort())) *segmentationRefused = true;
    } else {
      for (const auto& d : datagrams) host.send(d, sim.dataBasePort());
    }
    sent += datagrams.size();
  }
  EXPECT_TRUE(sim.waitFor(0, [sent](const auto& r) { return r.packets == sent; }, 3s));
  sim.stop();
  return sim.channel(0);
}

TEST(CoalescedReceives, SplitDatagramsAreCheckedAsIfTheyCameOneByOne) {
  for (const Shape& shape : shapes()) {
    bool refused = false;
    const auto coalesced = streamTo(shape, true, &refused);
    if (refused) GTEST_SKIP() << "no UDP segmentation offload here";
    const auto single = streamTo(shape, false, &refused);
    EXPECT_LT(coalesced.receiveBuffers, coalesced.packets) << shape.what << ": nothing was coalesced";
    EXPECT_EQ(single.receiveBuffers, single.packets) << shape.what;
    EXPECT_EQ(coalesced.packets, single.packets) << shape.what;
    EXPECT_EQ(coalesced.blocks, single.blocks) << shape.what;
    EXPECT_EQ(coalesced.blocksIncomplete, single.blocksIncomplete) << shape.what;
    EXPECT_EQ(coalesced.framesComplete, single.framesComplete) << shape.what;
    EXPECT_EQ(coalesced.framesIncomplete, single.framesIncomplete) << shape.what;
    EXPECT_EQ(coalesced.headerErrors, single.headerErrors) << shape.what;
    EXPECT_EQ(coalesced.counterGaps, single.counterGaps) << shape.what;
    EXPECT_EQ(coalesced.packetsMissing, single.packetsMissing) << shape.what;
    EXPECT_EQ(coalesced.bytes, single.bytes) << shape.what;
    EXPECT_EQ(coalesced.statusFlags, single.statusFlags) << shape.what;
    EXPECT_EQ(coalesced.lastPacketCounter, single.lastPacketCounter) << shape.what;
  }
  // The expected view of each shape, once, to pin what both must agree on.
  bool refused = false;
  const auto shape = shapes();
  const auto first = streamTo(shape[0], true, &refused);
  EXPECT_EQ(first.framesComplete, 1u);
  EXPECT_EQ(first.blocks, 2u);
  EXPECT_EQ(first.bytes, 64u * 3 + 13 + 64);
  const auto second = streamTo(shape[1], true, &refused);
  EXPECT_EQ(second.blocks, 4u);
  EXPECT_EQ(second.framesComplete, 1u);
  const auto third = streamTo(shape[2], true, &refused);
  EXPECT_EQ(third.headerErrors, 1u);
  EXPECT_EQ(third.counterGaps, 1u);
  EXPECT_EQ(third.packetsMissing, 2u);
  EXPECT_EQ(third.blocksIncomplete, 2u);
  EXPECT_EQ(third.framesIncomplete, 1u);
  EXPECT_EQ(third.framesComplete, 1u);
}

}  // namespace
