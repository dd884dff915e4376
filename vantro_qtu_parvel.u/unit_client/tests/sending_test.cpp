// Each input kind end to end: testkit source -> QzQtuUnitClient -> emulated
// unit, under the real engine. A tap in front of the unit's data port shows
// the unit's view: the geometry announced, every block with its size, line
// index, frame counter and timestamp (ns), and its bytes, which must be those
// of the element the source published (read back from an ElementDump beside
// the client).
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "client_rig.h"
#include "csi2_frame.h"

namespace {

using namespace unit_client_test;

// The elements the source published, by timestamp in µs.
std::map<std::int64_t, std::vector<std::uint8_t>> ByTimestamp(const std::vector<DumpedElement>& elements) {
  std::map<std::int64_t, std::vector<std::uint8_t>> out;
  for (const DumpedElement& e : elements) out[e.timestamp] = e.bytes;
  return out;
}

// Every frame of the unit's view: frame counters 0, 1, 2 ... in order, one
// timestamp per frame that is an element's timestamp x 1000, `blocks` blocks
// with line indexes 0 .. blocks-1 of `blockBytes` bytes; returns the frames.
// The unit counts them complete when the announced line count is the number
// of blocks (`announcedAsSent`); otherwise it never sees a frame's last line.
std::vector<std::vector<TappedBlock>> CheckFrames(ClientRig& rig, const std::string& client, std::size_t blocks,
                                                  std::size_t blockBytes,
                                                  const std::map<std::int64_t, std::vector<std::uint8_t>>& sent,
                                                  bool announcedAsSent = true) {
  const auto frames = Frames(rig.Tap().Blocks());
  EXPECT_GE(frames.size(), 2u);
  EXPECT_EQ(static_cast<long long>(frames.size()), FramesSent(rig, client));
  const qtusim::ChannelReport unit = rig.Unit().channel(0);
  EXPECT_EQ(unit.blocks, frames.size() * blocks);
  EXPECT_EQ(unit.counterGaps, 0u);
  EXPECT_EQ(unit.headerErrors, 0u);
  EXPECT_EQ(unit.framesComplete, announcedAsSent ? frames.size() : 0u);
  for (std::size_t f = 0; f < frames.size(); ++f) {
    SCOPED_TRACE("frame " + std::to_string(f));
    const auto& frame = frames[f];
    EXPECT_EQ(frame.front().frameCounter, f);
    EXPECT_EQ(frame.front().timestamp % 1000, 0u);
    EXPECT_EQ(sent.count(static_cast<std::int64_t>(frame.front().timestamp / 1000)), 1u);
    EXPECT_EQ(frame.size(), blocks);
    if (frame.size() != blocks) continue;
    for (std::size_t i = 0; i < blocks; ++i) {
      EXPECT_EQ(frame[i].lineIndex, i);
      EXPECT_EQ(frame[i].length, blockBytes);
      EXPECT_EQ(frame[i].timestamp, frame.front().timestamp);
    }
  }
  return frames;
}

TEST(UnitClientSending, IplImagesLineByLineStraightFromTheRows) {
  // 640 x 480, 16 bits, one channel: lines of 1280 bytes, as 640 x 480 x 8 bits x 2 channels.
  ClientRig rig({}, true);
  rig.CreateModel("TestCamera", "cam", {{"Width", "640"}, {"Height", "480"}, {"Channels", "1"}, {"Depth", "16"},
                                        {"Rate", "20"}});
  rig.CreateModel("TimeSource", "clock", {{"Value", "5000000"}});
  rig.CreateModel("ElementDump", "dump", {{"Directory", rig.Scratch() + "/cam"}});
  rig.Create("client", {{"Verbose", "true"}});
  rig.Connect("cam.oImage", "client.SensorDataIn");
  rig.Connect("cam.oImage", "dump.iData");
  rig.Connect("clock.oTime", "client.LoggingStartTime");
  rig.RunFor({"client", "dump", "clock", "cam"}, 1.5);

  const auto unit = rig.Unit().channel(0);
  EXPECT_EQ(unit.lineSize, 1280);
  EXPECT_EQ(unit.lineCount, 480);
  EXPECT_EQ(unit.offset, 5000000000u);
  for (const char* text : {"Sending uncompressed IPL images.", "[Core] Output channel initialized.",
                           "[Core] Replaying frames with 480 lines.", "[Core] Each packet has 1280 Bytes.",
                           "Input received a new offset timestamp: 5000000 us)"}) {
    EXPECT_TRUE(rig.HasReport("client", 0, text)) << text;
  }
  const auto sent = ByTimestamp(ReadDump(rig.Scratch() + "/cam"));
  for (const auto& frame : CheckFrames(rig, "client", 480, 1280, sent)) {
    const std::vector<std::uint8_t>& pixels = sent.at(static_cast<std::int64_t>(frame.front().timestamp / 1000));
    ASSERT_EQ(pixels.size(), 480u * 1280u);
    for (std::size_t i = 0; i < 480; i += 97) {
      EXPECT_TRUE(std::equal(frame[i].bytes.begin(), frame[i].bytes.end(), pixels.begin() + i * 1280)) << i;
    }
  }
}

}  // namespace

namespace {

// A source of `model` with `properties` -> client (with `clientProperties`),
// a time source for the offset and a dump of the source's elements.
void BuildDiagram(ClientRig& rig, const std::string& model, const std::string& output, const Properties& properties,
                  const Properties& clientProperties = {}) {
  rig.CreateModel(model, "source", properties);
  rig.CreateModel("TimeSource", "clock", {{"Value", "1000000"}});
  rig.CreateModel("ElementDump", "dump", {{"Directory", rig.Scratch() + "/source"}});
  rig.Create("client", clientProperties);
  rig.Connect("source." + output, "client.SensorDataIn");
  rig.Connect("source." + output, "dump.iData");
  rig.Connect("clock.oTime", "client.LoggingStartTime");
}

TEST(UnitClientSending, CompressedImagesInWholeBlocksTheLastZeroPadded) {
  ClientRig rig({}, true);
  // The record announces 3 lines of 20000 / 3 bytes; the blocks are cut by MaxPayLoadSize alone.
  BuildDiagram(rig, "TestCompressedSource", "oImage", {{"Size", "20000"}, {"Lines", "3"}, {"Rate", "20"}},
               {{"MaxPayLoadSize", "8948"}});
  rig.RunFor({"client", "dump", "clock", "source"}, 1.2);
  EXPECT_TRUE(rig.HasReport("client", 0, "Sending compressed VTRO images."));
  EXPECT_EQ(rig.Unit().channel(0).lineSize, 6666);
  EXPECT_EQ(rig.Unit().channel(0).lineCount, 3);
  const auto sent = ByTimestamp(ReadDump(rig.Scratch() + "/source"));
  for (const auto& frame : CheckFrames(rig, "client", 3, 8944, sent)) {
    const std::vector<std::uint8_t>& element = sent.at(static_cast<std::int64_t>(frame.front().timestamp / 1000));
    ASSERT_GE(element.size(), 40u + 20000u);
    std::vector<std::uint8_t> joined;
    for (const TappedBlock& block : frame) joined.insert(joined.end(), block.bytes.begin(), block.bytes.end());
    ASSERT_EQ(joined.size(), 3u * 8944u);
    EXPECT_TRUE(std::equal(element.begin() + 40, element.begin() + 40 + 20000, joined.begin()));
    EXPECT_TRUE(std::all_of(joined.begin() + 20000, joined.end(), [](std::uint8_t b) { return b == 0; }));
  }
}

TEST(UnitClientSending, MipiCsi2FramesSendTheImagePacketsOnly) {
  ClientRig rig({}, true);
  BuildDiagram(rig, "TestCsi2Source", "oFrame",
               {{"Form", "MipiCsi2Frame"}, {"Lines", "1080"}, {"WordCount", "2880"}, {"Rate", "10"}});
  rig.RunFor({"client", "dump", "clock", "source"}, 1.2);
  EXPECT_TRUE(rig.HasReport("client", 0,
                            "[Core] Will send the following data packets: \nData Type 0x0 "
                            "(Type::UncompressedRAWDenslyPacked)\nCSI2 Type 0x2c (SubType::RAW12).\n"
                            "Total packets per frame: 1080"));
  EXPECT_EQ(rig.Unit().channel(0).lineSize, 2880);
  EXPECT_EQ(rig.Unit().channel(0).lineCount, 1080);
  EXPECT_EQ(rig.CountReports("client", "does not match height"), 0);
  const auto sent = ByTimestamp(ReadDump(rig.Scratch() + "/source"));
  for (const auto& frame : CheckFrames(rig, "client", 1080, 2880, sent)) {
    const std::vector<std::uint8_t>& element = sent.at(static_cast<std::int64_t>(frame.front().timestamp / 1000));
    ASSERT_GT(element.size(), 40u);
    // The packet area lies behind the frame record; its image packets in order are the blocks.
    const unit_client::Csi2Area area{element.data() + 40, static_cast<std::uint32_t>(element.size() - 40)};
    std::size_t line = 0;
    unit_client::WalkPacketRecords(area, [&](const unit_client::PacketView& packet) {
      if (packet.csi2Type != 0x2C || line >= frame.size()) return;
      const unit_client::PacketData data = unit_client::AnalysePacket(packet);
      EXPECT_TRUE(std::equal(data.data, data.data + data.length, frame[line].bytes.begin())) << line;
      ++line;
    });
    EXPECT_EQ(line, 1080u);
  }
}

TEST(UnitClientSending, FrameHeaderStreamsWithAndWithoutPreambleAndShortPackets) {
  struct Case {
    const char* name;
    const char* skipPreamble;
    const char* skipShort;
    const char* shortPackets;
    std::size_t blockBytes;  // 0: every frame refused
  };
  const Case cases[] = {
      {"no preamble, short packets skipped", "true", "true", "2", 2886},
      {"with preamble and padding", "false", "true", "2", 2892},
      {"no short packets to skip", "true", "false", "0", 2886},
      {"short packets taken as long ones need more than the element", "true", "false", "2", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ClientRig rig({}, true);
    BuildDiagram(rig, "TestCsi2Source", "oFrame",
                 {{"Form", "FrameHeaderStream"}, {"Lines", "1080"}, {"WordCount", "2880"}, {"Alignment", "32"},
                  {"ShortPackets", c.shortPackets}, {"Rate", "10"}},
                 {{"SkipCsi2Preamble", c.skipPreamble}, {"SkipCsi2ShortPackages", c.skipShort}});
    rig.RunFor({"client", "dump", "clock", "source"}, 1.2);
    const std::string packets = std::to_string(1080 + std::atoi(c.shortPackets));
    EXPECT_TRUE(rig.HasReport("client", 0, "[Core] Replaying frames with " + packets + " MIPI CSI2 packets."));
    EXPECT_TRUE(rig.HasReport("client", 0, "[Core] Each packet has 2886 Bytes."));
    EXPECT_EQ(rig.Unit().channel(0).lineSize, 2886);
    EXPECT_EQ(rig.Unit().channel(0).lineCount, std::stoi(packets));
    if (c.blockBytes == 0) {
      EXPECT_GE(rig.CountReports("client", "[Core] MIPI CSI2 frame dropped: its " + packets + " packets do not fit"),
                2);
      EXPECT_TRUE(rig.Tap().Packets().empty());
      EXPECT_EQ(FramesSent(rig, "client"), 0);
      continue;
    }
    const auto sent = ByTimestamp(ReadDump(rig.Scratch() + "/source"));
    // Skipped short packets still count in the announced packets per frame.
    const bool announcedAsSent = std::atoi(c.shortPackets) == 0;
    for (const auto& frame : CheckFrames(rig, "client", 1080, c.blockBytes, sent, announcedAsSent)) {
      const std::vector<std::uint8_t>& element = sent.at(static_cast<std::int64_t>(frame.front().timestamp / 1000));
      const std::size_t skip = c.blockBytes == 2886 ? 4 : 0;
      for (std::size_t i = 0; i < 1080; i += 179) {
        const std::size_t at = 64 + i * 2892 + skip;
        ASSERT_LE(at + c.blockBytes, element.size());
        EXPECT_TRUE(std::equal(frame[i].bytes.begin(), frame[i].bytes.end(), element.begin() + at)) << i;
      }
    }
  }
}

}  // namespace
