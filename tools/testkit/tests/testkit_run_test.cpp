// Each testkit component run by vtro-engine, its output read back from
// ElementDump files or PNG files and checked against a computation of the
// test's own; RawFramePlayer's truncated last frame is reported, not played.
#include <gtest/gtest.h>

#include <unistd.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "../../engine/tests/engine_runner.h"
#if VTRO_TESTKIT_PNG
#include "png_read.h"
#endif

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using vtro_engine_test::EngineRun;

class TestkitRun : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("testkit_run_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "_" +
            std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Runs `source` (a component object) into an ElementDump (or `sink`) until done.
  EngineRun RunInto(const std::string& source, const std::string& output, const std::string& sink = "") {
    const std::string sinkText =
        sink.empty() ? R"({"model": "ElementDump", "name": "dump", "properties": {"Directory": ")" + (dir_ / "dump").generic_string() + "\"}}"
                     : sink;
    const std::string input = sink.empty() ? "dump.iData" : "png.iImage";
    const std::string text = R"({"packages": ["vtro_testkit.pck"], "components": [)" + source + "," + sinkText +
                             R"(], "connections": [{"from": "src.)" + output + R"(", "to": ")" + input +
                             R"("}], "run": {"for_s": 30}})";
    const fs::path file = dir_ / "diagram.json";
    std::ofstream(file) << text;
    return vtro_engine_test::RunEngine(VTRO_ENGINE_BIN, {"run", file.string()}, 60s);
  }

  std::string Bin(int n) const {
    char name[16];
    std::snprintf(name, sizeof name, "%06d.bin", n);
    std::ifstream in(dir_ / "dump" / name, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  // The index lines "index timestamp size".
  std::vector<std::array<long long, 3>> Index() const {
    std::vector<std::array<long long, 3>> lines;
    std::ifstream in(dir_ / "dump" / "index.txt");
    std::array<long long, 3> line{};
    while (in >> line[0] >> line[1] >> line[2]) lines.push_back(line);
    return lines;
  }

  fs::path dir_;
};

unsigned U8(const std::string& s, size_t at) { return static_cast<unsigned char>(s[at]); }
unsigned U16(const std::string& s, size_t at) { return U8(s, at) | (U8(s, at + 1) << 8); }
unsigned U32(const std::string& s, size_t at) { return U16(s, at) | (U16(s, at + 2) << 16); }

TEST_F(TestkitRun, TimeSourceWritesItsValuesAtItsPeriod) {
  const EngineRun run = RunInto(
      R"({"model": "TimeSource", "name": "src", "properties": {"Value": 1000, "Delay": 20000, "Period": 10000, "Step": 7, "Count": 6}})",
      "oTime");
  ASSERT_EQ(run.status, 0) << run.out;
  const auto index = Index();
  ASSERT_EQ(index.size(), 6u) << run.out;
  for (int k = 0; k < 6; ++k) {
    const std::string bin = Bin(k);
    ASSERT_EQ(bin.size(), 8u);
    long long value = 0;
    std::memcpy(&value, bin.data(), 8);
    EXPECT_EQ(value, 1000 + 7 * k);
    EXPECT_EQ(index[k][2], 8);
    if (k > 0) {
      EXPECT_EQ(index[k][1] - index[k - 1][1], 10000) << "timestamps one period apart";
    }
  }
}

TEST_F(TestkitRun, CompressedSourceRecordsAndData) {
  const EngineRun run = RunInto(
      R"({"model": "TestCompressedSource", "name": "src", "properties": {"Size": 3000, "Lines": 12, "Rate": 0, "Count": 3}})",
      "oImage");
  ASSERT_EQ(run.status, 0) << run.out;
  ASSERT_EQ(Index().size(), 3u);
  for (int n = 0; n < 3; ++n) {
    const std::string bin = Bin(n);
    ASSERT_EQ(bin.size(), 40u + 3000u);
    EXPECT_EQ(U32(bin, 4), 12u);
    EXPECT_EQ(U32(bin, 8), 3000u);
    EXPECT_EQ(U32(bin, 12), 3000u);
    EXPECT_EQ(U8(bin, 40), 0xFFu);
    EXPECT_EQ(U8(bin, 41), 0xD8u);
    EXPECT_EQ(U8(bin, 40 + 2999), 0xD9u);
    EXPECT_EQ(U8(bin, 40 + 1234), (1234u * 131 + n * 7 + (1234 >> 8)) & 0xFF);
  }
}

TEST_F(TestkitRun, Csi2SourceInBothForms) {
  // Frame-header stream: 64-byte header, then Lines long packets padded to
  // the alignment, then the short packets.
  EngineRun run = RunInto(R"({"model": "TestCsi2Source", "name": "src", "properties": {"Form": "FrameHeaderStream",
      "Lines": 20, "WordCount": 100, "Alignment": 64, "ShortPackets": 1, "Rate": 0, "Count": 2}})",
                          "oFrame");
  ASSERT_EQ(run.status, 0) << run.out;
  for (int n = 0; n < 2; ++n) {
    const std::string bin = Bin(n);
    const size_t packet = (4 + 4 + 100 + 2 + 7) / 8 * 8;  // 112
    ASSERT_EQ(bin.size(), 64 + 20 * packet + 8);
    EXPECT_EQ(U32(bin, 0), bin.size());
    EXPECT_EQ(U8(bin, 10), 64u);
    EXPECT_EQ(U16(bin, 12), 21u);
    for (int line = 0; line < 20; ++line) {
      const size_t at = 64 + line * packet;
      ASSERT_EQ(U32(bin, at), 0xB8B8B8B8u);
      ASSERT_EQ(U8(bin, at + 4) & 0x3F, 0x2Cu);
      ASSERT_EQ(U16(bin, at + 5), 100u);
      ASSERT_EQ(U8(bin, at + 8 + 50), (50u + 7 * line + 13 * n) & 0xFF);
    }
    EXPECT_EQ(U8(bin, 64 + 20 * packet + 4) & 0x3F, 0x01u) << "a frame end short packet follows";
  }
  // VTROMipiCsi2Frame: the record, then frame start, lines and frame end.
  fs::remove_all(dir_ / "dump");
  run = RunInto(R"({"model": "TestCsi2Source", "name": "src", "properties": {"Form": "MipiCsi2Frame",
      "Lines": 10, "WordCount": 64, "DataType": 1, "Csi2Type": 43, "Rate": 0, "Count": 2}})",
                "oFrame");
  ASSERT_EQ(run.status, 0) << run.out;
  const std::string bin = Bin(1);
  const size_t record = 4 + 10 + 2;
  ASSERT_EQ(bin.size(), 40 + 2 * record + 10 * (record + 64));
  EXPECT_EQ(U32(bin, 16), 12u) << "packet records";
  EXPECT_EQ(U32(bin, 27), bin.size() - 40) << "packet area size";
  size_t at = 40, lines = 0;
  while (at < bin.size()) {
    const unsigned length = (U8(bin, at) << 8) | U8(bin, at + 1);
    ASSERT_GE(length, record);
    EXPECT_EQ(U8(bin, at + 2), 1u);
    if (U8(bin, at + 3) == 43) {
      EXPECT_EQ(length, record + 64);
      EXPECT_EQ(U8(bin, at + 14 + 5), (5u + 7 * lines + 13) & 0xFF);
      ++lines;
    }
    at += length;
  }
  EXPECT_EQ(lines, 10u);
}

TEST_F(TestkitRun, RawFramePlayerPlaysWholeFramesAndReportsTheTruncatedOne) {
  // Three frames of 64 + 200 bytes; the file ends 10 bytes into the third.
  std::string file;
  for (int n = 0; n < 3; ++n) {
    std::string frame(264, static_cast<char>('a' + n));
    for (int i = 0; i < 4; ++i) frame[i] = static_cast<char>((264 >> (8 * i)) & 0xFF);
    file += frame;
  }
  file.resize(2 * 264 + 10);
  std::ofstream(dir_ / "frames.raw", std::ios::binary) << file;
  const EngineRun run = RunInto(R"({"model": "RawFramePlayer", "name": "src", "properties": {"File": ")" +
                                    (dir_ / "frames.raw").generic_string() + R"(", "Rate": 0}})",
                                "oFrame");
  ASSERT_EQ(run.status, 0) << run.out;
  EXPECT_GE(run.Find("the last frame at offset 528 is truncated: it announces 264 bytes but the file holds only 10; "
                     "that frame is not played"),
            0)
      << run.out;
  ASSERT_EQ(Index().size(), 2u);
  EXPECT_EQ(Bin(0), file.substr(0, 264));
  EXPECT_EQ(Bin(1), file.substr(264, 264));
}

#if VTRO_TESTKIT_PNG
TEST_F(TestkitRun, CameraImagesReadBackFromPng) {
  const std::string png = R"({"model": "ImageWriter", "name": "png", "properties": {"Directory": ")" +
                          (dir_ / "png").string() + R"(", "Every": 2}})";
  for (const auto& [channels, depth] : {std::pair{3, 8}, std::pair{1, 16}}) {
    fs::remove_all(dir_ / "png");
    const EngineRun run = RunInto(R"({"model": "TestCamera", "name": "src", "properties": {"Width": 96, "Height": 64,
        "Channels": )" + std::to_string(channels) + R"(, "Depth": )" + std::to_string(depth) +
                                      R"(, "Rate": 0, "Count": 5}})",
                                  "oImage", png);
    ASSERT_EQ(run.status, 0) << run.out;
    // Every 2: images 0, 2 and 4.
    for (int n : {0, 2, 4}) {
      char name[32];
      std::snprintf(name, sizeof name, "image_%06d.png", n);
      testkit_test::ReadImage image;
      std::string error;
      ASSERT_TRUE(testkit_test::ReadPng((dir_ / "png" / name).string(), image, error)) << name << ": " << error;
      ASSERT_EQ(image.width, 96);
      ASSERT_EQ(image.channels, channels);
      ASSERT_EQ(image.depth, depth);
      // Below the label (rows 12 on): the moving diagonal and bar.
      const int bar = (n * 8) % 96;
      for (int y = 12; y < 64; ++y) {
        for (int x = 0; x < 96; ++x) {
          for (int c = 0; c < channels; ++c) {
            const unsigned v = (x >= bar && x < bar + 6) ? 255u : (x + y + 4 * n + 85 * c) % 256;
            ASSERT_EQ(image.At(x, y, c), depth == 16 ? v * 257 : v) << name << " x=" << x << " y=" << y;
          }
        }
      }
    }
    EXPECT_FALSE(fs::exists(dir_ / "png" / "image_000001.png"));
  }
}

#endif  // VTRO_TESTKIT_PNG

}  // namespace
