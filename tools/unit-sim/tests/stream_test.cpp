// Reassembly and checking of the data stream, fed datagram by datagram.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <numeric>

#include "host_side.h"
#include "qtu_sim/unit_sim.h"

namespace {

using namespace hostside;
using namespace std::chrono_literals;

class Stream : public ::testing::Test {
 protected:
  void start(qtusim::Config c = {}) {
    c.statusPeriodMs = 0;
    sim = std::make_unique<qtusim::UnitSim>(c);
    sim->start();
  }
  void setGeometry(uint16_t lineSize, uint16_t lineCount) {
    host.send(request(0, 0x30, seq, geometry(lineSize, lineCount)), sim->controlPort());
    ASSERT_TRUE(host.reply().has_value());
    ++seq;
  }
  void send(Packet p) {
    p.counter = counter++;
    host.send(dataPacket(p), sim->dataBasePort());
    ++sent;
  }
  // Sends one block cut like the host cuts it: multiples of 8 but the last.
  void sendBlock(uint16_t frame, uint16_t line, const Bytes& data, uint16_t maxPayload, bool lastLine,
                 uint64_t timestamp = 0) {
    size_t at = 0;
    while (at < data.size()) {
      size_t n = std::min<size_t>(data.size() - at, maxPayload);
      if (at + n < data.size()) n -= n % 8;
      const bool last = at + n >= data.size();
      send({frame, line, static_cast<uint8_t>(last ? (lastLine ? 0xC0 : 0x40) : 0), 0, 0, timestamp,
            Bytes(data.begin() + at, data.begin() + at + n)});
      at += n;
    }
  }
  Bytes lineData(uint16_t frame, uint16_t line, size_t size) {
    Bytes b(size);
    for (size_t i = 0; i < size; ++i) b[i] = static_cast<uint8_t>(frame * 31 + line * 7 + i);
    return b;
  }
  void sendFrame(uint16_t frame, uint16_t lineSize, uint16_t lineCount, uint16_t maxPayload) {
    for (uint16_t line = 0; line < lineCount; ++line)
      sendBlock(frame, line, lineData(frame, line, lineSize), maxPayload, line + 1 == lineCount, frame * 1000ull);
  }
  qtusim::ChannelReport settle() {
    const uint64_t expected = sent;
    EXPECT_TRUE(sim->waitFor(0, [expected](const auto& r) { return r.packets == expected; }, 3s));
    return sim->channel(0);
  }

  Host host;
  std::unique_ptr<qtusim::UnitSim> sim;
  uint16_t seq = 1;
  uint16_t counter = 0;
  uint64_t sent = 0;
};

TEST_F(Stream, WholeFramesAreReassembledAndCounted) {
  start();
  setGeometry(20, 3);
  sendFrame(0, 20, 3, 8);   // 8 + 8 + 4 bytes per line
  sendFrame(1, 20, 3, 12);  // 8 + 12
  sendFrame(2, 20, 3, 40);  // one packet per line
  const auto r = settle();
  EXPECT_EQ(r.framesComplete, 3u);
  EXPECT_EQ(r.framesIncomplete, 0u);
  EXPECT_EQ(r.blocks, 9u);
  EXPECT_EQ(r.blocksIncomplete, 0u);
  EXPECT_EQ(r.packets, 18u);
  EXPECT_EQ(r.bytes, 180u);
  EXPECT_EQ(r.counterGaps, 0u);
  EXPECT_EQ(r.headerErrors, 0u);
  EXPECT_EQ(r.statusFlags, 0);
  EXPECT_EQ(r.lastPacketCounter, 17);
}

TEST_F(Stream, CounterWrapIsNoGap) {
  start();
  setGeometry(16, 2);
  counter = 65533;
  sendFrame(7, 16, 2, 8);  // counters 65533, 65534, 65535, 0
  sendFrame(8, 16, 2, 8);   // 1 .. 4
  const auto r = settle();
  EXPECT_EQ(r.counterGaps, 0u);
  EXPECT_EQ(r.framesComplete, 2u);
  EXPECT_EQ(r.lastPacketCounter, 4);
}

TEST_F(Stream, LostPacketsBreakTheirBlockAndFrame) {
  start();
  setGeometry(24, 2);
  sendFrame(0, 24, 2, 8);
  // Frame 1, line 0 loses its middle packet (the counter skips one).
  send({1, 0, 0, 0, 0, 1000, lineData(1, 0, 8)});
  ++counter;
  send({1, 0, 0x40, 0, 0, 1000, lineData(1, 0, 8)});
  sendBlock(1, 1, lineData(1, 1, 24), 8, true, 1000);
  sendFrame(2, 24, 2, 8);
  const auto r = settle();
  EXPECT_EQ(r.counterGaps, 1u);
  EXPECT_EQ(r.packetsMissing, 1u);
  EXPECT_EQ(r.blocksIncomplete, 1u);
  EXPECT_EQ(r.framesComplete, 2u);
  EXPECT_EQ(r.framesIncomplete, 1u);
  EXPECT_EQ(r.statusFlags, qtusim::kFlagPacketLost | qtusim::kFlagIncompleteFrame);
}

TEST_F(Stream, AGapAcrossTheWrapCountsTheMissingPackets) {
  start();
  counter = 65530;
  send({0, 0, 0x40, 0, 0, 0, Bytes(8)});
  counter = 2;  // 65531 .. 1 went missing
  send({0, 1, 0x40, 0, 0, 0, Bytes(8)});
  const auto r = settle();
  EXPECT_EQ(r.counterGaps, 1u);
  EXPECT_EQ(r.packetsMissing, 7u);
}

TEST_F(Stream, AFrameWhoseEndNeverComesIsCountedIncompleteWhenTheNextBegins) {
  start();
  setGeometry(8, 2);
  send({0, 0, 0x40, 0, 0, 0, Bytes(8)});  // frame 0 stops after line 0
  sendFrame(1, 8, 2, 8);
  auto r = settle();
  EXPECT_EQ(r.framesComplete, 1u);
  EXPECT_EQ(r.framesIncomplete, 1u);
  EXPECT_EQ(r.blocks, 3u);

  // When the end is lost in a counter gap, the missing packets may as well have
  // been the head of the next block: that block is not trusted either.
  send({2, 0, 0x40, 0, 0, 0, Bytes(8)});
  ++counter;
  sendFrame(3, 8, 2, 8);
  sendFrame(4, 8, 2, 8);
  r = settle();
  EXPECT_EQ(r.framesComplete, 2u);
  EXPECT_EQ(r.framesIncomplete, 3u);
  EXPECT_EQ(r.blocksIncomplete, 1u);
}

TEST_F(Stream, MissingOrMisorderedLinesMakeAFrameIncomplete) {
  start();
  setGeometry(8, 3);
  send({0, 0, 0x40, 0, 0, 0, Bytes(8)});
  send({0, 2, 0xC0, 0, 0, 0, Bytes(8)});  // line 1 never sent, counters continuous
  send({1, 1, 0x40, 0, 0, 0, Bytes(8)});  // frame starting at line 1
  send({1, 0, 0x40, 0, 0, 0, Bytes(8)});
  send({1, 2, 0xC0, 0, 0, 0, Bytes(8)});
  const auto r = settle();
  EXPECT_EQ(r.framesComplete, 0u);
  EXPECT_EQ(r.framesIncomplete, 2u);
  EXPECT_EQ(r.blocks, 5u);
  EXPECT_EQ(r.counterGaps, 0u);
  EXPECT_EQ(r.headerErrors, 0u);
}

TEST_F(Stream, WrongFlagsAreHeaderErrors) {
  start();
  setGeometry(8, 2);
  send({0, 0, 0xC0, 0, 0, 0, Bytes(8)});  // 0xC0 on a line that is not the last
  send({0, 1, 0x40, 0, 0, 0, Bytes(8)});  // 0x40 on the last line
  send({1, 0, 0x80, 0, 0, 0, Bytes(8)});  // bit 7 without bit 6
  send({2, 0, 0x41, 0, 0, 0, Bytes(8)});  // a low bit
  send({3, 5, 0x40, 0, 0, 0, Bytes(8)});  // a line beyond the geometry
  const auto r = settle();
  EXPECT_EQ(r.headerErrors, 5u);
  EXPECT_EQ(r.blocks, 0u);
  EXPECT_EQ(r.framesComplete, 0u);
  EXPECT_EQ(r.bytes, 0u);
  EXPECT_EQ(r.statusFlags & qtusim::kFlagMalformed, qtusim::kFlagMalformed);
}

TEST_F(Stream, WrongLengthsVersionAndReservedBytesAreHeaderErrors) {
  start();
  const uint16_t port = sim->dataBasePort();
  auto packet = [&](uint8_t flags, size_t size) { return dataPacket({0, 0, flags, counter++, 0, 0, Bytes(size, 5)}); };
  Bytes saysMore = packet(0x40, 16);
  putLe(saysMore, 4, 17, 2);  // header says 17, datagram carries 16
  Bytes saysLess = packet(0x40, 16);
  putLe(saysLess, 4, 15, 2);
  Bytes notMultipleOf8 = packet(0x00, 12);  // not the last packet of its block
  Bytes empty = packet(0x40, 0);
  Bytes version2 = packet(0x40, 8);
  version2[6] = 2;
  Bytes reserved = packet(0x40, 8);
  reserved[13] = 1;
  Bytes headerOnly(23, 0);
  for (const Bytes& b : {saysMore, saysLess, notMultipleOf8, empty, version2, reserved, headerOnly}) host.send(b, port);
  sent = 7;
  auto r = settle();
  EXPECT_EQ(r.headerErrors, 7u);
  EXPECT_EQ(r.blocks, 0u);
  EXPECT_EQ(r.counterGaps, 0u);

  // A last packet of any length, and a large one, are fine.
  send({1, 0, 0x00, 0, 0, 0, Bytes(8000)});
  send({1, 0, 0x40, 0, 0, 0, Bytes(13)});
  r = settle();
  EXPECT_EQ(r.headerErrors, 7u);
  EXPECT_EQ(r.blocks, 1u);
  EXPECT_EQ(r.bytes, 8013u);
}

TEST_F(Stream, PacketsOfOneBlockMustAgreeOnTagAndTimestamp) {
  start();
  send({0, 0, 0, 0, 1, 100, Bytes(8)});
  send({0, 0, 0x40, 0, 2, 100, Bytes(8)});
  send({1, 0, 0, 0, 1, 100, Bytes(8)});
  send({1, 0, 0x40, 0, 1, 101, Bytes(8)});
  send({2, 0, 0, 0, 9, 7, Bytes(8)});
  send({2, 0, 0x40, 0, 9, 7, Bytes(8)});
  const auto r = settle();
  EXPECT_EQ(r.headerErrors, 2u);
  EXPECT_EQ(r.blocks, 1u);
  EXPECT_EQ(r.blocksIncomplete, 2u);
}

TEST_F(Stream, ABlockWithoutItsLastPacketIsIncomplete) {
  start();
  setGeometry(16, 1);
  send({0, 0, 0x00, 0, 0, 0, Bytes(8)});  // the 0xC0 packet never comes, but the counter runs on
  sendFrame(1, 16, 1, 8);
  const auto r = settle();
  EXPECT_EQ(r.blocksIncomplete, 1u);
  EXPECT_EQ(r.blocks, 1u);
  EXPECT_EQ(r.framesIncomplete, 1u);
  EXPECT_EQ(r.framesComplete, 1u);
}

TEST_F(Stream, WithoutGeometryAnEndOfFrameFlagEndsTheFrame) {
  start();
  send({4, 0, 0x40, 0, 0, 0, Bytes(8)});
  send({4, 1, 0xC0, 0, 0, 0, Bytes(8)});
  const auto r = settle();
  EXPECT_EQ(r.framesComplete, 1u);
  EXPECT_EQ(r.headerErrors, 0u);
}

TEST_F(Stream, ResetDropsTheFrameInProgress) {
  start();
  setGeometry(8, 2);
  send({0, 0, 0x40, 0, 0, 0, Bytes(8)});
  settle();
  host.send(request(0, 0x02, seq++), sim->controlPort());
  ASSERT_TRUE(host.reply().has_value());
  send({0, 1, 0xC0, 0, 0, 0, Bytes(8)});  // the rest of the frame, after the reset
  sendFrame(1, 8, 2, 8);
  const auto r = settle();
  EXPECT_EQ(r.framesComplete, 1u);
  EXPECT_EQ(r.framesIncomplete, 1u);  // frame 0 resumed at line 1
}

TEST_F(Stream, StopCountsAnUnfinishedFrame) {
  start();
  setGeometry(8, 2);
  send({0, 0, 0x40, 0, 0, 0, Bytes(8)});
  settle();
  sim->stop();
  EXPECT_EQ(sim->channel(0).framesIncomplete, 1u);
}

TEST_F(Stream, ChannelsAreReassembledApart) {
  qtusim::Config c;
  c.channels = 3;
  start(c);
  for (uint8_t ch = 0; ch < 3; ++ch) {
    host.send(request(ch, 0x30, seq++, geometry(8, 1 + ch)), sim->controlPort());
    ASSERT_TRUE(host.reply().has_value());
  }
  for (uint16_t ch = 0; ch < 3; ++ch) {
    uint16_t n = 100;  // each channel has its own packet counter
    for (uint16_t line = 0; line <= ch; ++line)
      host.send(dataPacket({9, line, static_cast<uint8_t>(line == ch ? 0xC0 : 0x40), n++, 0, 0, Bytes(8)}),
                static_cast<uint16_t>(sim->dataBasePort() + ch));
  }
  for (int ch = 0; ch < 3; ++ch) {
    ASSERT_TRUE(sim->waitFor(ch, [](const auto& r) { return r.framesComplete == 1; }, 3s));
    const auto r = sim->channel(ch);
    EXPECT_EQ(r.blocks, static_cast<uint64_t>(ch + 1));
    EXPECT_EQ(r.counterGaps, 0u);
    EXPECT_EQ(r.lastPacketCounter, 100 + ch);
  }
}

TEST_F(Stream, CompleteFramesAreSavedAsReceived) {
  const auto dir = std::filesystem::temp_directory_path() / ("qtu-sim-frames-" + std::to_string(::getpid()));
  std::filesystem::remove_all(dir);
  qtusim::Config c;
  c.saveFramesDir = dir.string();
  c.savePngBits = 16;
  start(c);
  setGeometry(40, 3);
  sendFrame(0, 40, 3, 16);
  ++counter;  // frame 1 loses a packet and is not saved
  sendFrame(1, 40, 3, 16);
  sendFrame(2, 40, 3, 16);
  ASSERT_TRUE(sim->waitFor(0, [](const auto& r) { return r.framesComplete == 2; }, 3s));

  Bytes frame2;
  for (uint16_t line = 0; line < 3; ++line) {
    const Bytes l = lineData(2, line, 40);
    frame2.insert(frame2.end(), l.begin(), l.end());
  }
  std::ifstream raw(dir / "ch0_frame000001.raw", std::ios::binary);
  ASSERT_TRUE(raw.good());
  const Bytes saved((std::istreambuf_iterator<char>(raw)), std::istreambuf_iterator<char>());
  EXPECT_EQ(saved, frame2);
  EXPECT_TRUE(std::filesystem::exists(dir / "ch0_frame000000.raw"));
  EXPECT_FALSE(std::filesystem::exists(dir / "ch0_frame000002.raw"));
  // The PNG is 20 x 3 samples of 16 bits.
  std::ifstream png(dir / "ch0_frame000001.png", std::ios::binary);
  const Bytes head((std::istreambuf_iterator<char>(png)), std::istreambuf_iterator<char>());
  ASSERT_GE(head.size(), 26u);
  EXPECT_EQ(std::string(head.begin() + 1, head.begin() + 4), "PNG");
  EXPECT_EQ(head[19], 20);  // width, big-endian
  EXPECT_EQ(head[23], 3);   // height
  EXPECT_EQ(head[24], 16);  // bit depth
  sim->stop();
  std::filesystem::remove_all(dir);
}

}  // namespace
