// Vectorised YUV422 kernel, compiled once per x86-64 instruction set by
// Highway and chosen at run time, so the package runs on any x86-64
// processor and uses the widest vectors it has.
//
// Per pixel the four source bytes are a0 a1 (word s0) and b0 b1 (word s1);
// the three output bytes of ((s1 & 0x3FF) << 14) | ((s0 & 0x3FF) << 2) are
//   o0 = a0 << 2
//   o1 = (a0 >> 6) | ((a1 & 3) << 2) | (b0 << 6)
//   o2 = (b0 >> 2) | (b1 << 6)
// (8-bit lanes, so every shift drops what leaves the byte). Deinterleaving
// loads and interleaving stores move N pixels at a time.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "convert_kernels_simd.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "convert_kernels.h"

HWY_BEFORE_NAMESPACE();
namespace image_converter {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

void Yuv422Rows(const std::uint8_t* HWY_RESTRICT src, std::size_t srcStride, std::uint8_t* HWY_RESTRICT dst,
                std::size_t dstStride, std::size_t width, std::size_t rows) {
  const hn::ScalableTag<std::uint8_t> d;
  const std::size_t lanes = hn::Lanes(d);
  const auto low2 = hn::Set(d, std::uint8_t{3});
  for (std::size_t y = 0; y < rows; ++y) {
    const std::uint8_t* in = src + y * srcStride;
    std::uint8_t* out = dst + y * dstStride;
    std::size_t x = 0;
    for (; x + lanes <= width; x += lanes) {
      hn::Vec<decltype(d)> a0, a1, b0, b1;
      hn::LoadInterleaved4(d, in + x * kYuv422BytesPerPixel, a0, a1, b0, b1);
      const auto o0 = hn::ShiftLeft<2>(a0);
      const auto o1 = hn::Or(hn::Or(hn::ShiftRight<6>(a0), hn::ShiftLeft<2>(hn::And(a1, low2))), hn::ShiftLeft<6>(b0));
      const auto o2 = hn::Or(hn::ShiftRight<2>(b0), hn::ShiftLeft<6>(b1));
      hn::StoreInterleaved3(o0, o1, o2, d, out + x * kYuyv24BytesPerPixel);
    }
    // The last pixels of the row, fewer than one vector: one at a time, so
    // nothing past the row is read or written.
    for (; x < width; ++x) {
      const std::uint8_t* p = in + x * kYuv422BytesPerPixel;
      Yuv422Pixel(static_cast<std::uint16_t>(p[0] | (p[1] << 8)), static_cast<std::uint16_t>(p[2] | (p[3] << 8)),
                  out + x * kYuyv24BytesPerPixel);
    }
  }
}

}  // namespace HWY_NAMESPACE
}  // namespace image_converter
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace image_converter {

HWY_EXPORT(Yuv422Rows);

void ConvertYuv422(const std::uint8_t* src, std::size_t srcStride, std::uint8_t* dst, std::size_t dstStride,
                   std::size_t width, std::size_t rows) {
  HWY_DYNAMIC_DISPATCH(Yuv422Rows)(src, srcStride, dst, dstStride, width, rows);
}

namespace {
// Targets this build compiled and this processor runs, best first. Read with
// the test mock off, so a restriction never hides the others.
std::vector<std::int64_t> Available() {
  std::vector<std::int64_t> out;
  const std::int64_t targets = hwy::SupportedTargets() & HWY_TARGETS;
  for (std::int64_t rest = targets; rest != 0; rest &= rest - 1) out.push_back(rest & ~(rest - 1));
  return out;
}
std::int64_t g_forced = 0;  // set by UseKernelTarget; 0 = the processor's best
}  // namespace

std::vector<std::string> KernelTargets() {
  std::vector<std::string> names;
  const std::int64_t forced = g_forced;
  if (forced != 0) hwy::SetSupportedTargetsForTest(0);
  for (std::int64_t t : Available()) {
    if (t != HWY_SCALAR && t != HWY_EMU128) names.emplace_back(hwy::TargetName(t));
  }
  if (forced != 0) hwy::SetSupportedTargetsForTest(forced);
  return names;
}

std::string ActiveKernelTarget() {
  const std::vector<std::int64_t> targets = Available();
  return targets.empty() ? "reference" : hwy::TargetName(targets.front());
}

bool UseKernelTarget(const std::string& name) {
  hwy::SetSupportedTargetsForTest(0);
  g_forced = 0;
  if (name.empty()) return true;
  for (std::int64_t t : Available()) {
    if (name == hwy::TargetName(t)) {
      hwy::SetSupportedTargetsForTest(t);
      g_forced = t;
      return true;
    }
  }
  return false;
}

}  // namespace image_converter
#endif  // HWY_ONCE
