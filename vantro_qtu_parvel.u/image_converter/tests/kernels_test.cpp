// Pixel kernels: the byte examples, every instruction set against an
// independent reference, row tails and padding, and frames cut anywhere
// converted without reading a byte past their end.
#include <gtest/gtest.h>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <cstring>
#include <string>
#include <vector>

#include "convert_kernels.h"
#include "frame_samples.h"
#include "raw_frame.h"

namespace image_converter {
namespace {

using image_converter_test::ExpectedMono;
using image_converter_test::ExpectedYuyv;
using image_converter_test::MakeFrame;

// Runs `body` once per kernel: the reference and every instruction set.
template <class Body>
void ForEachKernel(Body body) {
  body("reference", &reference::ConvertYuv422, &reference::CopyMono16);
  for (const std::string& target : KernelTargets()) {
    ASSERT_TRUE(UseKernelTarget(target));
    ASSERT_EQ(ActiveKernelTarget(), target);
    body(target, &ConvertYuv422, &CopyMono16);
  }
  ASSERT_TRUE(UseKernelTarget(""));
}
using Kernel = void (*)(const std::uint8_t*, std::size_t, std::uint8_t*, std::size_t, std::size_t, std::size_t);

TEST(ConvertKernels, ByteExamples) {
  struct Case {
    std::uint16_t s0, s1;
    std::uint8_t b0, b1, b2;
  };
  const Case cases[] = {
      {0x3FF, 0x3FF, 0xFC, 0xCF, 0xFF},  {0x001, 0x000, 0x04, 0x00, 0x00},  {0x000, 0x001, 0x00, 0x40, 0x00},
      {0xFC00, 0x000, 0x00, 0x00, 0x00}, {0x000, 0xFC00, 0x00, 0x00, 0x00}, {0xFFFF, 0xFFFF, 0xFC, 0xCF, 0xFF},
  };
  ForEachKernel([&](const std::string& name, Kernel yuv, Kernel mono) {
    // 70 copies of the pixel, so vector bodies and the scalar tail both see it.
    for (const Case& c : cases) {
      std::vector<std::uint8_t> in, out(70 * 3, 0xEE);
      for (int i = 0; i < 70; ++i)
        in.insert(in.end(), {std::uint8_t(c.s0), std::uint8_t(c.s0 >> 8), std::uint8_t(c.s1), std::uint8_t(c.s1 >> 8)});
      yuv(in.data(), in.size(), out.data(), out.size(), 70, 1);
      for (int i = 0; i < 70; ++i) {
        ASSERT_EQ(out[3 * i], c.b0) << name << " s0=" << c.s0 << " s1=" << c.s1 << " pixel " << i;
        ASSERT_EQ(out[3 * i + 1], c.b1) << name << " s0=" << c.s0 << " s1=" << c.s1 << " pixel " << i;
        ASSERT_EQ(out[3 * i + 2], c.b2) << name << " s0=" << c.s0 << " s1=" << c.s1 << " pixel " << i;
      }
    }
    const std::uint8_t word[2] = {0xCD, 0xAB};
    std::uint8_t copied[2] = {0, 0};
    mono(word, 2, copied, 2, 1, 1);
    EXPECT_EQ(copied[0], 0xCD) << name;
    EXPECT_EQ(copied[1], 0xAB) << name;
  });
}

// Whole frames of many widths (vector bodies, tails, odd strides) against
// the reference computed in the test; padding bytes stay as they were.
TEST(ConvertKernels, WholeFramesMatchIndependentReference) {
  const std::uint32_t widths[] = {1, 2, 3, 7, 15, 16, 17, 31, 33, 63, 64, 65, 129, 1280};
  ForEachKernel([&](const std::string& name, Kernel yuv, Kernel mono) {
    for (std::uint32_t w : widths) {
      const std::uint32_t h = 5;
      for (int format : {0, 1}) {
        const std::size_t inBpp = format == 0 ? 4 : 2;
        const std::size_t outBpp = format == 0 ? 3 : 2;
        const std::size_t stride = (w * outBpp + 7) / 8 * 8;
        const auto frame = MakeFrame(h, 16, std::size_t{w} * h * inBpp, w * 31 + format);
        std::vector<std::uint8_t> image(stride * h, 0x5A);
        (format == 0 ? yuv : mono)(frame.data() + 64, w * inBpp, image.data(), stride, w, h);
        const auto expected = format == 0 ? ExpectedYuyv(frame.data() + 64, w * h, w, h, stride, 0x5A)
                                          : ExpectedMono(frame.data() + 64, w * h, w, h, stride, 0x5A);
        ASSERT_EQ(image, expected) << name << " format " << format << " width " << w;
      }
    }
  });
}

// A frame whose end is the end of readable memory: the next page is
// inaccessible, so a single byte read past the data ends the test process.
class GuardedBuffer {
 public:
  explicit GuardedBuffer(std::size_t bytes) {
#if defined(_WIN32)
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    m_page = info.dwPageSize;
    m_span = (bytes + m_page - 1) / m_page * m_page + m_page;
    m_base = static_cast<std::uint8_t*>(VirtualAlloc(nullptr, m_span, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    DWORD old;
    VirtualProtect(m_base + m_span - m_page, m_page, PAGE_NOACCESS, &old);
#else
    m_page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    m_span = (bytes + m_page - 1) / m_page * m_page + m_page;
    m_base =
        static_cast<std::uint8_t*>(mmap(nullptr, m_span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    mprotect(m_base + m_span - m_page, m_page, PROT_NONE);
#endif
  }
  ~GuardedBuffer() {
#if defined(_WIN32)
    VirtualFree(m_base, 0, MEM_RELEASE);
#else
    munmap(m_base, m_span);
#endif
  }
  // `bytes` bytes that end where the inaccessible page begins.
  std::uint8_t* Place(const std::uint8_t* data, std::size_t bytes) {
    std::uint8_t* at = m_base + m_span - m_page - bytes;
    std::memcpy(at, data, bytes);
    return at;
  }

 private:
  std::uint8_t* m_base;
  std::size_t m_page, m_span;
};

TEST(ConvertFrame, ShortFramesConvertTheWholePixelsPresentAndZeroTheRest) {
  const std::uint32_t w = 37, h = 9;
  std::vector<std::string> targets = KernelTargets();
  targets.push_back("");
  for (const std::string& target : targets) {
    ASSERT_TRUE(UseKernelTarget(target));
    for (std::uint8_t format : {kInputYuv422, kInputMono}) {
      ConverterSettings s;
      s.width = w;
      s.height = h;
      s.inputFormat = format;
      s.outputFormat = format == kInputYuv422 ? kOutputYuyv24 : kOutputMono16;
      const std::size_t inBpp = format == kInputYuv422 ? 4 : 2;
      s.rowStride = PlanImage(w, h, s.outputFormat).layout.rowStride;
      const auto full = MakeFrame(h, 16, std::size_t{w} * h * inBpp, 7 + format);
      GuardedBuffer guard(full.size());
      // Cut inside the header, at its end, inside a pixel, at a row's end, one
      // byte short, complete, and with bytes to spare.
      for (std::size_t size : {std::size_t{0}, std::size_t{10}, std::size_t{64}, std::size_t{64 + 5},
                               std::size_t{64} + w * inBpp, full.size() - 1, full.size()}) {
        const std::uint8_t* data = guard.Place(full.data(), size);
        std::vector<std::uint8_t> image(s.rowStride * h, 0x77);
        const ConversionResult r = ConvertFrame(s, data, size, image.data());
        const std::size_t pixels = size > 64 ? (size - 64) / inBpp : 0;
        EXPECT_EQ(r.pixelsExpected, w * h);
        EXPECT_EQ(r.pixelsConverted, std::min<std::size_t>(pixels, w * h)) << "size " << size;
        const auto expected = format == kInputYuv422 ? ExpectedYuyv(full.data() + 64, pixels, w, h, s.rowStride, 0x77)
                                                     : ExpectedMono(full.data() + 64, pixels, w, h, s.rowStride, 0x77);
        EXPECT_EQ(image, expected) << target << " format " << int(format) << " size " << size;
      }
    }
  }
}

}  // namespace
}  // namespace image_converter
