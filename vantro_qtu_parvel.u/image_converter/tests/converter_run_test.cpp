// QzQtuImageConverter run by vtro-engine: raw frames played from a file (or
// made by the testkit's CSI-2 source) through the converter into
// ElementDump, every converted image compared byte for byte with the image
// computed here from the samples, timestamps with the source's, and the
// reports of each frame and each start counted.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "../../../tools/engine/tests/engine_runner.h"
#include "frame_samples.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using image_converter_test::ExpectedMono;
using image_converter_test::ExpectedYuyv;
using image_converter_test::MakeFrame;
using vtro_engine_test::EngineRun;
using Bytes = std::vector<std::uint8_t>;

class ConverterRun : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("converter_run_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "_" +
            std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string Dir(const char* name) const { return (dir_ / name).generic_string(); }

  // source -> converter -> ElementDump "out"; source -> ElementDump "in".
  EngineRun Run(const std::string& source, const std::string& converterProperties,
                const std::vector<std::string>& extra = {}) {
    const std::string text = R"({"packages": ["vantro_qtu_parvel.pck", "vtro_testkit.pck"], "components": [)" + source +
                             R"(, {"model": "QzQtuImageConverter", "name": "converter", "properties": {)" +
                             converterProperties + R"(}},
        {"model": "ElementDump", "name": "in", "properties": {"Directory": ")" +
                             Dir("in") + R"("}},
        {"model": "ElementDump", "name": "out", "properties": {"Directory": ")" +
                             Dir("out") + R"("}}],
      "connections": [{"from": "src.oFrame", "to": "converter.frame_in"}, {"from": "src.oFrame", "to": "in.iData"},
                      {"from": "converter.QTU_IPLImage", "to": "out.iData"}], "run": {"for_s": 30}})";
    std::ofstream(dir_ / "diagram.json") << text;
    std::vector<std::string> args = {"run", (dir_ / "diagram.json").string()};
    args.insert(args.end(), extra.begin(), extra.end());
    return vtro_engine_test::RunEngine(VTRO_ENGINE_BIN, args, 60s);
  }
  std::string Player() const {
    return R"({"model": "RawFramePlayer", "name": "src", "properties": {"File": ")" + Dir("frames.raw") +
           R"(", "Rate": 0}})";
  }
  void WriteFrames(const std::vector<Bytes>& frames) const {
    std::ofstream file(dir_ / "frames.raw", std::ios::binary);
    for (const Bytes& f : frames) file.write(reinterpret_cast<const char*>(f.data()), std::streamsize(f.size()));
  }

  Bytes Bin(const char* sink, int n) const {
    char name[16];
    std::snprintf(name, sizeof name, "%06d.bin", n);
    std::ifstream in(dir_ / sink / name, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    const std::string text = s.str();
    return Bytes(text.begin(), text.end());
  }
  // Timestamps of index.txt ("index timestamp size" lines).
  std::vector<long long> Timestamps(const char* sink) const {
    std::vector<long long> out;
    std::ifstream in(dir_ / sink / "index.txt");
    long long index, timestamp, size;
    while (in >> index >> timestamp >> size) out.push_back(timestamp);
    return out;
  }

  fs::path dir_;
};

// The pixel bytes of each row (padding left out: the converter never writes it).
Bytes PixelRows(const Bytes& image, std::size_t rowBytes, std::size_t stride, std::size_t rows) {
  Bytes out;
  for (std::size_t y = 0; y < rows && (y + 1) * stride <= image.size(); ++y) {
    out.insert(out.end(), image.begin() + std::ptrdiff_t(y * stride),
               image.begin() + std::ptrdiff_t(y * stride + rowBytes));
  }
  return out;
}

// Frames with header faults and a short one, in both formats; each frame's
// warnings, the start's messages, every image and every timestamp.
TEST_F(ConverterRun, FramesFromAFileAreCheckedConvertedAndStamped) {
  struct Case {
    const char* name;
    bool yuv;
    std::uint32_t width, height;
    int bits;
    int runs;
  };
  const Case cases[] = {{"yuv422 odd width", true, 37, 9, 16, 1}, {"mono, 20 bits, two starts", false, 7, 5, 20, 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(dir_ / "in");
    fs::remove_all(dir_ / "out");
    const std::size_t inBpp = c.yuv ? 4 : 2, outBpp = c.yuv ? 3 : 2;
    const std::size_t stride = (c.width * outBpp + 7) / 8 * 8;
    const std::size_t sampleBytes = std::size_t{c.width} * c.height * inBpp;
    const auto bits = static_cast<std::uint8_t>(c.bits);
    // full; header height one less; other bits per pixel; a short frame
    // (three rows and half a pixel, its frame size saying so); full.
    Bytes shortFrame = MakeFrame(c.height, bits, sampleBytes, 4, 64 + 3 * c.width * inBpp + 1);
    shortFrame.resize(64 + 3 * c.width * inBpp + 1);
    const std::vector<Bytes> frames = {
        MakeFrame(c.height, bits, sampleBytes, 1), MakeFrame(c.height - 1, bits, sampleBytes, 2),
        MakeFrame(c.height, bits - 4, sampleBytes, 3), shortFrame, MakeFrame(c.height, bits, sampleBytes, 5)};
    WriteFrames(frames);
    const std::string props = std::string(R"("Width": )") + std::to_string(c.width) + R"(, "Height": )" +
                              std::to_string(c.height) + R"(, "BitPx_In": )" + std::to_string(c.bits) +
                              (c.yuv ? R"(, "InputFormat": "YUV422", "OutputFormat": "YUYV_in_24bitRGB")"
                                     : R"(, "InputFormat": "Mono", "OutputFormat": "Mono16Bit")");
    const EngineRun run = Run(Player(), props, {"--runs", std::to_string(c.runs)});
    ASSERT_EQ(run.status, 0) << run.out << run.err;

    const int starts = c.runs;
    const std::uint64_t pixels = std::uint64_t{c.width} * c.height;
    const bool sizeShort = 64 + std::uint64_t(c.bits) * pixels / 8 > 64 + sampleBytes;  // every frame then
    EXPECT_EQ(run.Count("Height in Frame Header does not match user selection!"), starts);
    EXPECT_EQ(run.Count("BitPerPixel in Frame Header does not match user selection!"), starts);
    EXPECT_EQ(run.Count("Framesize in Frame Header is too small for image"), starts * (sizeShort ? 5 : 1));
    const std::uint64_t present = 3 * c.width;
    EXPECT_EQ(run.Count("Frame data ends before the image: converted " + std::to_string(present) + " of " +
                        std::to_string(pixels) + " pixels, the rest set to 0"),
              starts);
    const std::string allocated = "Output Image allocated: Width=" + std::to_string(c.width) +
                                  ", height=" + std::to_string(c.height) + ", BitsPerPixel=" + (c.yuv ? "24" : "16");
    EXPECT_EQ(run.Count(allocated), starts);
    EXPECT_EQ(run.Count(c.yuv ? "Transforming YUV422 (10 Bits per Pixel) to YUVU, saved in RGB24"
                              : "Transforming Mono (10 Bits per Pixel) to Mono 16 Bit"),
              starts);
    // More than 16 bits in Mono: one warning per pixel converted.
    const std::uint64_t converted = 4 * pixels + present;
    EXPECT_EQ(run.Count("Incoming data has more than 16 Bit per Px. Data loss may occure!"),
              c.bits > 16 && !c.yuv ? static_cast<int>(starts * converted) : 0);

    // The sinks keep the last start's elements.
    const std::vector<long long> in = Timestamps("in"), out = Timestamps("out");
    ASSERT_EQ(out.size(), frames.size()) << run.out;
    EXPECT_EQ(out, in);
    for (std::size_t n = 0; n < frames.size(); ++n) {
      const std::size_t present = n == 3 ? 3 * c.width : pixels;
      const Bytes image = Bin("out", int(n));
      ASSERT_EQ(image.size(), stride * c.height) << "frame " << n;
      const Bytes expected = c.yuv ? ExpectedYuyv(frames[n].data() + 64, present, c.width, c.height, stride, 0)
                                   : ExpectedMono(frames[n].data() + 64, present, c.width, c.height, stride, 0);
      EXPECT_EQ(PixelRows(image, c.width * outBpp, stride, c.height),
                PixelRows(expected, c.width * outBpp, stride, c.height))
          << "frame " << n;
    }
  }
}

// Images published without a conversion: mismatched format pairs (no
// conversion message) and empty images (the conversion runs on no pixel).
// Each frame still gives one image with its timestamp.
TEST_F(ConverterRun, UnconvertedFramesAreStillPublished) {
  WriteFrames({MakeFrame(4, 16, 6 * 4 * 4, 1), MakeFrame(4, 16, 6 * 4 * 4, 2), MakeFrame(4, 16, 6 * 4 * 4, 3)});
  struct Case {
    const char* props;
    int announced;
  };
  const Case cases[] = {
      {R"("Width": 6, "Height": 4, "InputFormat": "YUV422", "OutputFormat": "Mono16Bit")", 0},
      {R"("Width": 6, "Height": 4, "InputFormat": "Mono", "OutputFormat": "YUYV_in_24bitRGB")", 0},
      {R"("Width": 0, "Height": 4)", 1},
      {R"("Width": 6, "Height": 0)", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.props);
    fs::remove_all(dir_ / "in");
    fs::remove_all(dir_ / "out");
    const EngineRun run = Run(Player(), c.props);
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(run.Count("Transforming"), c.announced);
    EXPECT_EQ(run.Count("Frame data ends before the image"), 0);
    const std::vector<long long> in = Timestamps("in"), out = Timestamps("out");
    EXPECT_EQ(out.size(), 3u) << run.out;
    EXPECT_EQ(out, in);
  }
}

// Values refused at start, each with its error; nothing is published.
TEST_F(ConverterRun, ImpossibleImagesAreRefusedAtStart) {
  WriteFrames({MakeFrame(4, 16, 64, 1)});
  struct Case {
    const char* props;
    const char* error;
  };
  const Case cases[] = {
      {R"("Width": -1)", "Width must not be negative (Width=-1)"},
      {R"("Height": -800)", "Height must not be negative (Height=-800)"},
      {R"("Width": 1000000, "Height": 1000)",
       "Output image of Width=1000000, height=1000 is larger than the largest image of 2147483647 bytes"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.props);
    const EngineRun run = Run(Player(), c.props);
    EXPECT_NE(run.status, 0) << run.out;
    EXPECT_GE(run.Find(std::string("error: component converter: ") + c.error), 0) << run.out;
    EXPECT_EQ(run.Count("Output Image allocated"), 0);
  }
}

// Frames of the testkit's CSI-2 source in its frame-header form: the header
// holds the alignment in bits and the packet count, so with one image row
// per packet the checks pass and each row shows one packet.
TEST_F(ConverterRun, Csi2SourceFramesConvertPacketByPacket) {
  struct Case {
    bool yuv;
    int wordCount, alignment;
  };
  const Case cases[] = {{false, 100, 16}, {true, 100, 32}};
  for (const Case& c : cases) {
    fs::remove_all(dir_ / "in");
    fs::remove_all(dir_ / "out");
    const std::size_t packet = (4 + 4 + c.wordCount + 2 + c.alignment / 8 - 1) / (c.alignment / 8) * (c.alignment / 8);
    const std::size_t inBpp = c.yuv ? 4 : 2, outBpp = c.yuv ? 3 : 2;
    const std::uint32_t width = static_cast<std::uint32_t>(packet / inBpp), height = 20;
    const std::string source = R"({"model": "TestCsi2Source", "name": "src", "properties": {"Form": "FrameHeaderStream",
        "Lines": 20, "WordCount": )" +
                               std::to_string(c.wordCount) + R"(, "Alignment": )" + std::to_string(c.alignment) +
                               R"(, "Rate": 0, "Count": 3}})";
    const std::string props = R"("Width": )" + std::to_string(width) + R"(, "Height": 20, "BitPx_In": )" +
                              std::to_string(c.alignment) +
                              (c.yuv ? R"(, "InputFormat": "YUV422", "OutputFormat": "YUYV_in_24bitRGB")"
                                     : R"(, "InputFormat": "Mono", "OutputFormat": "Mono16Bit")");
    SCOPED_TRACE(props);
    const EngineRun run = Run(source, props);
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    EXPECT_EQ(run.Count("Height in Frame Header"), 0) << run.out;
    EXPECT_EQ(run.Count("BitPerPixel in Frame Header"), 0) << run.out;
    EXPECT_EQ(run.Count("Framesize in Frame Header"), 0) << run.out;
    EXPECT_EQ(Timestamps("out"), Timestamps("in"));
    ASSERT_EQ(Timestamps("out").size(), 3u);
    const std::size_t stride = (width * outBpp + 7) / 8 * 8;
    for (int n = 0; n < 3; ++n) {
      const Bytes frame = Bin("in", n);
      ASSERT_EQ(frame.size(), 64 + height * packet);
      const Bytes expected = c.yuv ? ExpectedYuyv(frame.data() + 64, width * height, width, height, stride, 0)
                                   : ExpectedMono(frame.data() + 64, width * height, width, height, stride, 0);
      EXPECT_EQ(PixelRows(Bin("out", n), width * outBpp, stride, height),
                PixelRows(expected, width * outBpp, stride, height))
          << "frame " << n;
    }
  }
}

}  // namespace
