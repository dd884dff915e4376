// The block walks on element bytes: every block's index, length and bytes,
// the worked geometries, and the refusals of frames that do not fit.
#include <gtest/gtest.h>

#include <numeric>

#include "walk_support.h"

namespace {

using namespace unit_client;
using unit_client_test::Csi2Builder;
using unit_client_test::RecordingSink;
using unit_client_test::StreamBuilder;

struct IplCase {
  const char* name;
  IplLayout image;       // imageData filled in by the test
  std::size_t available;
  FrameOutcome outcome;
  std::uint32_t lineBytes;
  const char* problem;   // part of the refusal text
};

TEST(IplWalk, LinesComeStraightFromTheImageRowsOrTheImageIsRefused) {
  const IplCase cases[] = {
      {"640x480 8-bit 2 channels", {2, 8, 640, 480, 1280, nullptr}, 1280 * 480, FrameOutcome::kSent, 1280, ""},
      {"padded rows", {1, 8, 1001, 3, 1008, nullptr}, 1008 * 2 + 1001, FrameOutcome::kSent, 1001, ""},
      {"signed 16-bit depth", {1, static_cast<std::int32_t>(0x80000010), 100, 2, 200, nullptr}, 400,
       FrameOutcome::kSent, 200, ""},
      {"height 0 counts, sends nothing", {1, 8, 16, 0, 16, nullptr}, 0, FrameOutcome::kSent, 16, ""},
      {"40000 x 16 bits does not fit a block", {1, 16, 40000, 2, 80000, nullptr}, 160000, FrameOutcome::kRefused, 0,
       "a line of 80000 bytes"},
      {"1-bit depth has no line bytes", {1, 1, 64, 2, 8, nullptr}, 16, FrameOutcome::kRefused, 0, "no bytes"},
      {"more lines than a frame indexes", {1, 8, 4, 70000, 4, nullptr}, 280000, FrameOutcome::kRefused, 0,
       "70000 lines"},
      {"last line one byte short", {2, 8, 640, 480, 1280, nullptr}, 1280 * 480 - 1, FrameOutcome::kRefused, 0,
       "do not fit"},
      {"negative stride", {1, 8, 16, 2, -16, nullptr}, 64, FrameOutcome::kRefused, 0, "do not fit"},
  };
  for (const IplCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::uint8_t> pixels(c.available + 1);
    std::iota(pixels.begin(), pixels.end(), 0);
    IplLayout image = c.image;
    image.imageData = pixels.data();
    RecordingSink sink;
    const FrameResult result = SendIplImage(image, c.available, sink);
    ASSERT_EQ(result.outcome, c.outcome) << result.problem;
    EXPECT_NE(result.problem.find(c.problem), std::string::npos) << result.problem;
    if (c.outcome != FrameOutcome::kSent) {
      EXPECT_TRUE(sink.blocks.empty());
      continue;
    }
    ASSERT_EQ(sink.blocks.size(), static_cast<std::size_t>(std::max(0, image.height)));
    for (std::size_t i = 0; i < sink.blocks.size(); ++i) {
      EXPECT_EQ(sink.blocks[i].lineIndex, i);
      EXPECT_EQ(sink.blocks[i].data, pixels.data() + i * static_cast<std::size_t>(image.widthStep));
      EXPECT_EQ(sink.blocks[i].bytes.size(), c.lineBytes);
    }
  }
}

TEST(CompressedWalk, GeometryAndRefusals) {
  // MaxPayLoadSize rounded toward zero to a multiple of 8.
  EXPECT_EQ(CompressedBlockSize(8948), 8944);
  EXPECT_EQ(CompressedBlockSize(8950), 8944);
  EXPECT_EQ(CompressedBlockSize(8), 8);
  std::uint16_t lineSize = 0, lineCount = 0;
  EXPECT_EQ(CompressedGeometry({4, 20000, 20000, nullptr}, 8944, lineSize, lineCount), "");
  EXPECT_EQ(lineSize, 5000);
  EXPECT_EQ(lineCount, 4);
  EXPECT_NE(CompressedGeometry({0, 20000, 20000, nullptr}, 8944, lineSize, lineCount).find("line count is 0"),
            std::string::npos);
  for (std::int64_t maxPayLoad : {7, 0, -8, 70000}) {
    EXPECT_NE(CompressedGeometry({4, 20000, 20000, nullptr}, CompressedBlockSize(maxPayLoad), lineSize, lineCount)
                  .find("Unsupported MaxPayLoadSize"),
              std::string::npos)
        << maxPayLoad;
  }
  // Data that does not lie in the element's buffer is never read.
  std::vector<std::uint8_t> element(1000);
  std::vector<std::uint8_t> elsewhere(100);
  std::vector<std::uint8_t> scratch;
  RecordingSink sink;
  for (const CompressedLayout& image : {CompressedLayout{1, 961, 961, element.data() + 40},
                                        CompressedLayout{1, 10, 10, elsewhere.data()},
                                        CompressedLayout{1, 10, 10, nullptr}}) {
    EXPECT_EQ(SendCompressedImage(image, element.data(), element.size(), 8, scratch, sink).outcome,
              FrameOutcome::kRefused);
  }
  EXPECT_TRUE(sink.blocks.empty());
}

TEST(FrameHeaderWalk, PaddingFollowsTheAlignmentInBits) {
  struct Case {
    std::uint16_t bytesPerPacket;
    std::uint8_t alignment;
    std::uint16_t padding;
  };
  for (const Case& c : {Case{2886, 32, 2}, Case{2886, 8, 0}, Case{2886, 64, 6}, Case{2886, 0, 0}, Case{2888, 32, 0},
                        Case{10, 12, 1}, Case{11, 12, 0}}) {
    EXPECT_EQ(PacketPadding(c.bytesPerPacket, c.alignment), c.padding)
        << c.bytesPerPacket << " bytes, alignment " << int{c.alignment};
  }
}

TEST(FrameHeaderWalk, FramesThatNeedMoreThanTheElementAreRefused) {
  StreamBuilder stream(32, 2880);
  stream.Long(0x2C, 1);
  stream.Long(0x2C, 2);
  std::vector<std::uint8_t> bytes = stream.Finish();
  RecordingSink sink;
  // One byte short of the padded packet: only the form that sends the padding needs it.
  const FrameHeaderGeometry geometry{32, 2, 2886};
  EXPECT_EQ(SendFrameHeaderStream(bytes.data(), bytes.size() - 1, geometry, {false, false}, sink).outcome,
            FrameOutcome::kRefused);
  EXPECT_EQ(SendFrameHeaderStream(bytes.data(), bytes.size() - 3, geometry, {true, false}, sink).outcome,
            FrameOutcome::kRefused);
  EXPECT_EQ(SendFrameHeaderStream(bytes.data(), bytes.size() - 2, geometry, {true, false}, sink).outcome,
            FrameOutcome::kSent);
  // A header announcing more packets than the element holds.
  EXPECT_EQ(SendFrameHeaderStream(bytes.data(), bytes.size(), {32, 3, 2886}, {true, true}, sink).outcome,
            FrameOutcome::kRefused);
  EXPECT_EQ(sink.blocks.size(), 2u);

  FrameHeaderGeometry read;
  EXPECT_NE(ReadFrameHeaderGeometry(bytes.data(), 70, {true, false}, read).find("too short"), std::string::npos);
  bytes[69] = 0xFF;
  bytes[70] = 0xFF;  // word count 65535: packets larger than any block
  EXPECT_NE(ReadFrameHeaderGeometry(bytes.data(), bytes.size(), {true, false}, read).find("exceed"),
            std::string::npos);
  bytes[64] = 0;
  EXPECT_FALSE(HasCsi2Preamble(bytes.data(), bytes.size()));
  EXPECT_FALSE(HasCsi2Preamble(bytes.data(), 67));
}

TEST(Csi2Walk, TypeListsAreLookedUpOneByOne) {
  Csi2Builder first;
  first.Packet(0x00, 0x2C, 16);
  first.Packet(0x01, 0x2C, 16);  // same CSI-2 type, second data type: not listed
  first.Packet(0x01, 0x2B, 16);  // lists data type 1 for RAW10
  first.Packet(0x03, 0x37, 16);
  first.Packet(0x40, 0x2E, 16);  // compressed, and frame start and end: not eligible
  first.Packet(0x00, 0x00, 16);
  first.Packet(0x00, 0x01, 16);
  first.Record(0x00, 0x2C, 11);  // payload too short for header and trailer: never sent nor counted
  Csi2TypeLists lists;
  Csi2Area area;
  const std::vector<std::uint8_t>& setupElement = first.Finish();
  ASSERT_EQ(LocateCsi2Area(setupElement.data(), setupElement.size(), area), "");
  EXPECT_EQ(AnalyseCsi2Frame(area, lists).packets, 4u);
  EXPECT_EQ(Csi2SetupReport(lists, 4),
            "[Core] Will send the following data packets: "
            "\nData Type 0x0 (Type::UncompressedRAWDenslyPacked)\nCSI2 Type 0x2c (SubType::RAW12)"
            "\nData Type 0x1 (Type::UncompressedRAWZeroPaddingByteAligned)\nCSI2 Type 0x2b (SubType::RAW10)"
            "\nData Type 0x3 (No valid type)\nCSI2 Type 0x37 (SubType::UserDefined8)"
            ".\nTotal packets per frame: 4");

  Csi2Builder later;
  later.Packet(0x01, 0x2C, 16, 1);  // data type 1 is listed (for RAW10): sent
  later.Packet(0x04, 0x2C, 16, 2);  // data type 4 is not: skipped
  later.Packet(0x00, 0x2E, 16, 3);  // RAW16 is not listed: skipped
  later.Packet(0x03, 0x37, 16, 4);
  const std::vector<std::uint8_t>& element = later.Finish();
  ASSERT_EQ(LocateCsi2Area(element.data(), element.size(), area), "");
  RecordingSink sink;
  ASSERT_EQ(SendCsi2Frame(area, lists, sink).outcome, FrameOutcome::kSent);
  ASSERT_EQ(sink.blocks.size(), 2u);
  EXPECT_EQ(sink.blocks[0].bytes[0], 1);
  EXPECT_EQ(sink.blocks[1].bytes[0], 4);
  EXPECT_EQ(sink.blocks[1].lineIndex, 1);
}

TEST(Csi2Walk, BadRecordsAndAreasAreNeverReadPast) {
  struct Case {
    const char* name;
    std::vector<std::uint8_t> tail;  // bytes appended behind two good packets
    std::int64_t extraLength;
  };
  const Case cases[] = {
      {"record of length 0", {0x00, 0x00, 0x00, 0x2C}, 0},
      {"record of length 3", {0x00, 0x03, 0x00, 0x2C}, 0},
      {"three bytes left", {0x00, 0x20, 0x00}, 0},
      {"record past the area", {0x01, 0x00, 0x00, 0x2C, 1, 2, 3}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Csi2Builder frame;
    frame.Packet(0x00, 0x2C, 16);
    frame.Packet(0x00, 0x2C, 16);
    frame.area.insert(frame.area.end(), c.tail.begin(), c.tail.end());
    const std::vector<std::uint8_t>& element = frame.Finish(c.extraLength);
    Csi2Area area;
    ASSERT_EQ(LocateCsi2Area(element.data(), element.size(), area), "");
    Csi2TypeLists lists;
    const Csi2Setup setup = AnalyseCsi2Frame(area, lists);
    EXPECT_FALSE(setup.wellFormed);
    EXPECT_EQ(setup.packets, 2u);
    RecordingSink sink;
    const FrameResult result = SendCsi2Frame(area, lists, sink);
    EXPECT_EQ(result.outcome, FrameOutcome::kRefused);
    EXPECT_NE(result.problem.find("packet record 2 "), std::string::npos) << result.problem;
    EXPECT_TRUE(sink.blocks.empty());
  }
  // An area said to be longer than the element, or lying elsewhere, or a record cut short.
  Csi2Builder frame;
  frame.Packet(0x00, 0x2C, 2880);
  std::vector<std::uint8_t> element = frame.Finish(1);
  Csi2Area area;
  EXPECT_NE(LocateCsi2Area(element.data(), element.size(), area).find("does not lie"), std::string::npos);
  EXPECT_NE(LocateCsi2Area(element.data(), 38, area).find("no complete frame record"), std::string::npos);
  std::vector<std::uint8_t> elsewhere = frame.area;
  unit_client::VTROMipiCsi2Frame record{};
  record.packetAreaLength = static_cast<std::uint32_t>(elsewhere.size());
  record.packetArea = elsewhere.data();
  std::memcpy(element.data(), &record, sizeof record);
  EXPECT_NE(LocateCsi2Area(element.data(), element.size(), area).find("does not lie"), std::string::npos);
}

}  // namespace
