// The testkit's pictures, CSI-2 frames, compressed records, raw frame scan,
// dumps and PNG files, each checked against a computation of its own.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "compressed.h"
#include "csi2.h"
#include "dump_writer.h"
#include "mipi_csi2_frame.h"
#include "pattern.h"
#if VTRO_TESTKIT_PNG
#include "png_read.h"
#include "png_writer.h"
#endif
#include "raw_frames.h"

namespace {

namespace fs = std::filesystem;

fs::path TempDir(const std::string& name) {
  const fs::path dir = fs::temp_directory_path() / ("testkit_" + name + "_" + std::to_string(::getpid()));
  fs::remove_all(dir);
  return dir;
}

unsigned U16(const std::uint8_t* p) { return p[0] | (p[1] << 8); }
unsigned U32(const std::uint8_t* p) { return U16(p) | (U16(p + 2) << 16); }

// ---- camera picture ----

struct PictureCase {
  int channels;
  int depth;
  std::uint64_t frame;
  int litLabelPixels;  // set pixels of the digits' glyphs
};

class CameraPicture : public ::testing::TestWithParam<PictureCase> {};

TEST_P(CameraPicture, BackgroundMovesAndTheLabelHoldsTheDigits) {
  const PictureCase p = GetParam();
  const int w = 64, h = 48, bytes = p.depth / 8;
  const int step = (w * p.channels * bytes + 7) / 8 * 8 + 8;  // padded rows
  std::vector<std::uint8_t> pixels(static_cast<std::size_t>(step) * h, 0xEE);
  testkit::ImageLayout layout{w, h, p.channels, p.depth, step};
  testkit::DrawCameraFrame(pixels.data(), layout, p.frame);
  const testkit::Box box = testkit::LabelBox(layout, p.frame);
  int lit = 0;
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      for (int c = 0; c < p.channels; ++c) {
        const std::uint8_t* at = pixels.data() + y * step + (x * p.channels + c) * bytes;
        const unsigned sample = bytes == 2 ? U16(at) : at[0];
        const unsigned value8 = bytes == 2 ? sample / 257 : sample;
        if (bytes == 2) {
          ASSERT_EQ(sample % 257, 0u) << "16-bit samples span the full range";
        }
        if (box.Contains(x, y)) {
          ASSERT_TRUE(value8 == 0 || value8 == 255);
          lit += (c == 0 && value8 == 255);
          continue;
        }
        // The bar: 8 columns a frame to the right, w/16 wide; else the diagonal.
        const int bar = static_cast<int>((p.frame * 8) % w);
        const unsigned expected = (x >= bar && x < bar + 4) ? 255u : (x + y + 4 * p.frame + 85 * c) % 256;
        ASSERT_EQ(value8, expected) << "x=" << x << " y=" << y << " c=" << c;
      }
    }
    // Row padding is left alone.
    ASSERT_EQ(pixels[y * step + step - 1], 0xEE);
  }
  EXPECT_EQ(lit, p.litLabelPixels);
}

// Glyph pixel counts: "1" 10, "8" 17, "12" 10 + 14.
INSTANTIATE_TEST_SUITE_P(Layouts, CameraPicture,
                         ::testing::Values(PictureCase{3, 8, 1, 10}, PictureCase{1, 8, 8, 17},
                                           PictureCase{1, 16, 12, 24}, PictureCase{3, 16, 8, 17}));

// ---- CSI-2 ----

TEST(Csi2, ChecksumAndEccFollowTheirCodes) {
  // CRC-16 with polynomial 0x1021 reflected, seed 0xFFFF, no final XOR: the
  // catalogue check value of "123456789" is 0x6F91.
  const char* check = "123456789";
  EXPECT_EQ(testkit::Csi2Crc(reinterpret_cast<const std::uint8_t*>(check), 9), 0x6F91);
  // A Hamming code that corrects one bit: each data bit flips a distinct
  // syndrome of at least two parity bits (one bit would point at a parity bit).
  std::set<int> syndromes;
  const std::uint32_t header = 0x2C0B40;
  for (int bit = 0; bit < 24; ++bit) {
    const int syndrome = testkit::Csi2Ecc(header) ^ testkit::Csi2Ecc(header ^ (1u << bit));
    EXPECT_GE(__builtin_popcount(syndrome), 2) << bit;
    syndromes.insert(syndrome);
  }
  EXPECT_EQ(syndromes.size(), 24u);
  EXPECT_EQ(testkit::Csi2Ecc(0) & 0xC0, 0);
}

struct StreamCase {
  int lines, wordCount, alignment, shortPackets;
  std::size_t packetBytes;  // preamble to the end of the padding
};

class FrameHeaderStream : public ::testing::TestWithParam<StreamCase> {};

TEST_P(FrameHeaderStream, ReadsBackAsAReaderWalksIt) {
  const StreamCase p = GetParam();
  testkit::Csi2Settings s;
  s.lines = p.lines;
  s.wordCount = p.wordCount;
  s.alignment = p.alignment;
  s.shortPackets = p.shortPackets;
  ASSERT_EQ(testkit::CheckCsi2Settings(s), "");
  const std::uint64_t frame = 5;
  std::vector<std::uint8_t> out(testkit::FrameHeaderStreamSize(s));
  testkit::BuildFrameHeaderStream(out.data(), s, frame, 123456);
  ASSERT_EQ(U32(out.data()), out.size());
  EXPECT_EQ(out[10], p.alignment);
  EXPECT_EQ(U16(&out[12]), static_cast<unsigned>(p.lines + p.shortPackets));
  ASSERT_EQ(U32(&out[64]), 0xB8B8B8B8u);
  // A reader's view: packet size from the first word count, padding from the alignment.
  const unsigned bytesPerPacket = U16(&out[69]) + 6;
  const std::size_t n = bytesPerPacket + 4;
  const std::size_t rounded = static_cast<std::size_t>(std::ceil(n * 8.0f / p.alignment) * p.alignment) >> 3;
  ASSERT_EQ(rounded, p.packetBytes);
  std::size_t at = 64;
  for (int line = 0; line < p.lines; ++line) {
    ASSERT_EQ(U32(&out[at]), 0xB8B8B8B8u);
    ASSERT_EQ(out[at + 4] & 0x3F, 0x2C);
    ASSERT_EQ(U16(&out[at + 5]), static_cast<unsigned>(p.wordCount));
    const std::uint8_t* data = &out[at + 8];
    for (int i = 0; i < p.wordCount; ++i) {
      ASSERT_EQ(data[i], static_cast<std::uint8_t>(i + 7 * line + 13 * frame));
    }
    ASSERT_EQ(U16(data + p.wordCount), testkit::Csi2Crc(data, static_cast<std::size_t>(p.wordCount)));
    at += rounded;
  }
  for (int k = 0; k < p.shortPackets; ++k) {
    ASSERT_EQ(U32(&out[at]), 0xB8B8B8B8u);
    EXPECT_LT(out[at + 4] & 0x3F, 0x10) << "short packet " << k;
    EXPECT_EQ(out[at + 4] & 0x3F, k == 0 ? 0x01 : 0x08 + (k - 1) % 8);
    at += 8;
  }
  EXPECT_EQ(at, out.size());
}

// 2880 data bytes + 10 = 2890: to 4 bytes 2892, to 8 bytes 2896; 8-bit alignment pads nothing.
INSTANTIATE_TEST_SUITE_P(Geometries, FrameHeaderStream,
                         ::testing::Values(StreamCase{4, 2880, 32, 0, 2892}, StreamCase{3, 2880, 64, 2, 2896},
                                           StreamCase{2, 2880, 8, 3, 2890}, StreamCase{1, 1, 32, 1, 12}));

TEST(Csi2, MipiFrameRecordsWalkToTheirLength) {
  testkit::Csi2Settings s;
  s.lines = 6;
  s.wordCount = 100;
  s.dataType = 0x01;
  s.csi2Type = 0x2B;
  std::vector<std::uint8_t> area(testkit::MipiPacketAreaSize(s));
  testkit::BuildMipiPacketArea(area.data(), s, 9);
  std::size_t at = 0, records = 0, eligible = 0;
  while (at < area.size()) {
    const unsigned length = (area[at] << 8) | area[at + 1];
    ASSERT_GE(length, 16u);
    EXPECT_EQ(area[at + 2], 0x01);
    const std::uint8_t type = area[at + 3];
    if (records == 0) {
      EXPECT_EQ(type, 0x00);
    }
    if (type >= 2) {
      ++eligible;
      ASSERT_EQ(length - 4 - 12, 100u);
      const std::uint8_t* data = &area[at + 4 + 10];
      EXPECT_EQ(U16(&area[at + 4]), eligible - 1) << "line number in the per-packet header";
      EXPECT_EQ(data[0], static_cast<std::uint8_t>(7 * (eligible - 1) + 13 * 9));
      EXPECT_EQ(U16(data + 100), testkit::Csi2Crc(data, 100));
    }
    at += length;
    ++records;
  }
  EXPECT_EQ(at, area.size());
  EXPECT_EQ(records, testkit::MipiPacketCount(s));
  EXPECT_EQ(eligible, 6u);
  EXPECT_EQ(area[area.size() - 16 + 3], 0x01) << "ends with a frame end record";
}

TEST(Csi2, SettingsOutsideTheirRangesAreRefused) {
  struct Bad {
    void (*change)(testkit::Csi2Settings&);
    const char* word;
  };
  const Bad cases[] = {
      {[](testkit::Csi2Settings& s) { s.lines = 0; }, "Lines"},
      {[](testkit::Csi2Settings& s) { s.wordCount = 65520; }, "WordCount"},
      {[](testkit::Csi2Settings& s) { s.csi2Type = 0x01; }, "Csi2Type"},
      {[](testkit::Csi2Settings& s) { s.alignment = 12; }, "Alignment"},
      {[](testkit::Csi2Settings& s) { s.alignment = 0; }, "Alignment"},
      {[](testkit::Csi2Settings& s) { s.shortPackets = 65535; }, "ShortPackets"},
      {[](testkit::Csi2Settings& s) { s.dataType = 256; }, "DataType"},
  };
  for (const auto& c : cases) {
    testkit::Csi2Settings s;
    c.change(s);
    EXPECT_NE(testkit::CheckCsi2Settings(s).find(c.word), std::string::npos) << c.word;
  }
}

// ---- compressed images ----

TEST(Compressed, RecordFieldsSitWhereReadersLook) {
  std::vector<std::uint8_t> element(40 + 1000);
  testkit::FillCompressedImage(element.data(), 1000, 16, 3);
  EXPECT_EQ(U32(&element[4]), 16u);
  EXPECT_EQ(U32(&element[8]), 1000u);
  EXPECT_EQ(U32(&element[12]), 1000u);
  const std::uint8_t* data = nullptr;
  std::memcpy(&data, &element[32], sizeof data);
  ASSERT_EQ(data, element.data() + 40);
  EXPECT_EQ(data[0], 0xFF);
  EXPECT_EQ(data[1], 0xD8);
  EXPECT_EQ(data[998], 0xFF);
  EXPECT_EQ(data[999], 0xD9);
  EXPECT_EQ(data[500], static_cast<std::uint8_t>(500 * 131 + 3 * 7 + 1));
  EXPECT_EQ(testkit::CheckCompressedSettings(3, 16), "Size must be between 4 and 67108864 bytes");
  EXPECT_EQ(testkit::CheckCompressedSettings(100, 0), "Lines must be between 1 and 65535");
}

// ---- raw frame files ----

std::vector<std::uint8_t> Frames(std::initializer_list<std::uint32_t> sizes) {
  std::vector<std::uint8_t> bytes;
  for (std::uint32_t size : sizes) {
    const std::size_t at = bytes.size();
    bytes.resize(at + std::max<std::uint32_t>(size, 4), 0x5A);
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<std::uint8_t>(size >> (8 * i));
  }
  return bytes;
}

TEST(RawFrames, ScanFindsThePlayableFramesAndSaysWhyItStopped) {
  struct Case {
    const char* name;
    std::vector<std::uint8_t> bytes;
    std::size_t frames;
    bool truncated;
    const char* problem;  // part of the text, "" for a clean end
  };
  auto cut = [](std::vector<std::uint8_t> v, std::size_t drop) {
    v.resize(v.size() - drop);
    return v;
  };
  const Case cases[] = {
      {"empty", {}, 0, false, ""},
      {"two frames", Frames({64, 100}), 2, false, ""},
      {"last frame cut", cut(Frames({100, 80}), 1), 1, true, "offset 100 is truncated: it announces 80 bytes"},
      {"two bytes left", cut(Frames({64, 64}), 62), 1, true, "only 2 byte(s) left"},
      {"size below header", Frames({64, 63, 64}), 1, false, "announces 63 bytes, less than its 64-byte header"},
      {"size zero", Frames({0}), 0, false, "announces 0 bytes"},
      {"size over limit", Frames({64, 5000}), 1, false, "more than the limit of 4096"},
  };
  for (const auto& c : cases) {
    const auto scan = testkit::ScanRawFrames(c.bytes.data(), c.bytes.size(), 4096);
    EXPECT_EQ(scan.frames.size(), c.frames) << c.name;
    EXPECT_EQ(scan.truncated, c.truncated) << c.name;
    if (*c.problem == 0) {
      EXPECT_EQ(scan.problem, "") << c.name;
    } else {
      EXPECT_NE(scan.problem.find(c.problem), std::string::npos) << c.name << ": " << scan.problem;
    }
  }
}

TEST(RawFrames, FileReadsFramesByIndex) {
  const fs::path dir = TempDir("raw");
  fs::create_directories(dir);
  auto bytes = Frames({70, 130, 64});
  for (std::size_t i = 4; i < 70; ++i) bytes[i] = static_cast<std::uint8_t>(i);
  const fs::path file = dir / "frames.raw";
  std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), 230);  // cut the third
  testkit::RawFrameFile raw;
  std::string error;
  ASSERT_TRUE(raw.Open(file.string(), error)) << error;
  ASSERT_EQ(raw.Scan().frames.size(), 2u);
  EXPECT_TRUE(raw.Scan().truncated);
  EXPECT_EQ(raw.Scan().largest, 130u);
  std::vector<std::uint8_t> frame(130);
  ASSERT_TRUE(raw.ReadFrame(0, frame.data()));
  EXPECT_TRUE(std::equal(bytes.begin(), bytes.begin() + 70, frame.begin()));
  ASSERT_TRUE(raw.ReadFrame(1, frame.data()));
  EXPECT_EQ(U32(frame.data()), 130u);
  EXPECT_FALSE(raw.ReadFrame(2, frame.data()));
  EXPECT_FALSE(raw.Open((dir / "missing.raw").string(), error));
  EXPECT_NE(error.find("cannot open"), std::string::npos);
  fs::remove_all(dir);
}

// ---- dumps and PNG files ----

std::string Slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(Dump, WritesNumberedFilesAndAnIndexLinePerElement) {
  const fs::path dir = TempDir("dump") / "nested";
  testkit::DumpWriter dump;
  std::string error;
  ASSERT_TRUE(dump.Open(dir.string(), error)) << error;
  ASSERT_TRUE(dump.Write(1000, "abc", 3, error));
  ASSERT_TRUE(dump.Write(-5, "", 0, error));
  ASSERT_TRUE(dump.Write(7, "xyzw", 4, error));
  dump.Close();
  EXPECT_EQ(Slurp(dir / "index.txt"), "0 1000 3\n1 -5 0\n2 7 4\n");
  EXPECT_EQ(Slurp(dir / "000000.bin"), "abc");
  EXPECT_EQ(Slurp(dir / "000001.bin"), "");
  EXPECT_EQ(Slurp(dir / "000002.bin"), "xyzw");
  EXPECT_FALSE(dump.Open("/proc/no/such/folder", error));
  fs::remove_all(dir.parent_path());
}

#if VTRO_TESTKIT_PNG
TEST(Png, ImagesReadBackSampleForSample) {
  const fs::path dir = TempDir("png");
  fs::create_directories(dir);
  testkit::PngWriter writer;
  for (const auto& [channels, depth] : {std::pair{3, 8}, std::pair{1, 16}, std::pair{1, 8}, std::pair{3, 16}}) {
    const int w = 13, h = 5, bytes = depth / 8;
    const std::size_t step = static_cast<std::size_t>(w * channels * bytes + 8);
    std::vector<std::uint8_t> pixels(step * h);
    for (int y = 0; y < h; ++y) {
      for (int i = 0; i < w * channels; ++i) {
        const unsigned v = (y * 1000 + i * 37) & (depth == 16 ? 0xFFFF : 0xFF);
        if (depth == 16) {
          const std::uint16_t word = static_cast<std::uint16_t>(v);
          std::memcpy(&pixels[y * step + 2 * i], &word, 2);
        } else {
          pixels[y * step + i] = static_cast<std::uint8_t>(v);
        }
      }
    }
    const std::string path = (dir / ("image" + std::to_string(channels) + "_" + std::to_string(depth) + ".png")).string();
    std::string error;
    ASSERT_TRUE(writer.Write(path, {w, h, channels, depth, step, pixels.data()}, error)) << error;
    testkit_test::ReadImage image;
    ASSERT_TRUE(testkit_test::ReadPng(path, image, error)) << error;
    ASSERT_EQ(image.width, w);
    ASSERT_EQ(image.channels, channels);
    ASSERT_EQ(image.depth, depth);
    for (int y = 0; y < h; ++y) {
      for (int i = 0; i < w * channels; ++i) {
        ASSERT_EQ(image.samples[y * w * channels + i], (y * 1000 + i * 37) & (depth == 16 ? 0xFFFF : 0xFF));
      }
    }
  }
  std::string error;
  EXPECT_FALSE(writer.Write((dir / "x.png").string(), {4, 4, 2, 8, 8, nullptr}, error));
  EXPECT_EQ(error, "only 1 or 3 channels can be written (2)");
  fs::remove_all(dir);
}

#endif  // VTRO_TESTKIT_PNG

}  // namespace
