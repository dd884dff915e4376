// Vectorised YUV422 kernel, compiled once per x86-64 instruction set by
// Highway and chosen at run time, so the package runs on any x86-64
// processor and uses the widest vectors it has.
//
// A pixel's two little-endian words are one 32-bit lane p = s0 | s1 << 16,
// and its 24-bit value ((s1 & 0x3FF) << 14) | ((s0 & 0x3FF) << 2) is
// ((p & 0x3FF) << 2) | ((p >> 2) & 0xFFC000). A byte shuffle packs the low
// three bytes of each lane to the front of each 16-byte block, and a lane
// permutation closes the gaps between blocks, so one store writes 3/4 of a
// vector of output. Stores are whole vectors and may only run as far as the
// output's end; the last pixels (less than one vector and a third) go one at
// a time, so nothing past the row or the image is read or written.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "convert_kernels_simd.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "convert_kernels.h"

HWY_BEFORE_NAMESPACE();
namespace image_converter {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

void PixelsOneByOne(const std::uint8_t* HWY_RESTRICT in, std::uint8_t* HWY_RESTRICT out, std::size_t count) {
  for (std::size_t x = 0; x < count; ++x, in += kYuv422BytesPerPixel, out += kYuyv24BytesPerPixel) {
    Yuv422Pixel(static_cast<std::uint16_t>(in[0] | (in[1] << 8)), static_cast<std::uint16_t>(in[2] | (in[3] << 8)),
                out);
  }
}

#if HWY_TARGET == HWY_SCALAR || HWY_TARGET == HWY_EMU128
// No vector unit worth the name: the processor runs the reference loop.
void PixelRun(const std::uint8_t* HWY_RESTRICT in, std::uint8_t* HWY_RESTRICT out, std::size_t count) {
  PixelsOneByOne(in, out, count);
}
#else
// Converts `count` consecutive pixels.
void PixelRun(const std::uint8_t* HWY_RESTRICT in, std::uint8_t* HWY_RESTRICT out, std::size_t count) {
  const hn::ScalableTag<std::uint32_t> d32;
  const hn::Repartition<std::uint8_t, decltype(d32)> d8;
  const std::size_t lanes = hn::Lanes(d32);   // pixels per step
  const std::size_t vectorBytes = lanes * 4;  // bytes one store writes
  // Bytes 0-2, 4-6, 8-10, 12-14 of each block to its front; the last four
  // become 0 (0x80 selects zero).
  alignas(16) static constexpr std::uint8_t kPack[16] = {0,  1,  2,  4,  5,    6,    8,    9,
                                                         10, 12, 13, 14, 0x80, 0x80, 0x80, 0x80};
  const auto pack = hn::LoadDup128(d8, kPack);
  // Lane j of the output takes the lane (j / 3) * 4 + j % 3: three lanes of
  // each block, blocks back to back.
#if HWY_MAX_BYTES > 16
  alignas(64) std::int32_t order[HWY_MAX_BYTES / 4];
  for (std::size_t j = 0; j < lanes; ++j) {
    order[j] = j < lanes / 4 * 3 ? static_cast<std::int32_t>((j / 3) * 4 + j % 3) : 0;
  }
  const auto close = hn::SetTableIndices(d32, order);
#endif
  const auto low10 = hn::Set(d32, 0x3FFu);
  const auto high10 = hn::Set(d32, 0x3FFu << 14);

  const auto convert = [&](std::size_t at) {
    const auto p = hn::LoadU(d32, reinterpret_cast<const std::uint32_t*>(in + 4 * at));
    const auto v = hn::Or(hn::ShiftLeft<2>(hn::And(p, low10)), hn::And(hn::ShiftRight<2>(p), high10));
    return hn::BitCast(d32, hn::TableLookupBytes(hn::BitCast(d8, v), pack));
  };

  std::size_t x = 0;
#if HWY_MAX_BYTES == 16
  // One block per vector: four packed vectors (12 bytes each) are joined
  // into three full ones, so 16 pixels take three stores that never overlap.
  for (; x + 16 <= count; x += 16) {
    const auto a = hn::BitCast(d8, convert(x));
    const auto b = hn::BitCast(d8, convert(x + 4));
    const auto c = hn::BitCast(d8, convert(x + 8));
    const auto e = hn::BitCast(d8, convert(x + 12));
    std::uint8_t* o = out + 3 * x;
    hn::StoreU(hn::Or(a, hn::ShiftLeftBytes<12>(d8, b)), d8, o);
    hn::StoreU(hn::Or(hn::ShiftRightBytes<4>(d8, b), hn::ShiftLeftBytes<8>(d8, c)), d8, o + 16);
    hn::StoreU(hn::Or(hn::ShiftRightBytes<8>(d8, c), hn::ShiftLeftBytes<4>(d8, e)), d8, o + 32);
  }
#endif
  // A step reads `lanes` pixels and stores a whole vector at 3x: it must end
  // within the run's 3 x count output bytes.
  for (; x + lanes <= count && 3 * x + vectorBytes <= 3 * count; x += lanes) {
    const auto packed = convert(x);
#if HWY_MAX_BYTES > 16
    hn::StoreU(hn::TableLookupLanes(packed, close), d32, reinterpret_cast<std::uint32_t*>(out + 3 * x));
#else
    // One block: the shuffle has packed it already.
    hn::StoreU(packed, d32, reinterpret_cast<std::uint32_t*>(out + 3 * x));
#endif
  }
  PixelsOneByOne(in + 4 * x, out + 3 * x, count - x);
}
#endif

void Yuv422Rows(const std::uint8_t* HWY_RESTRICT src, std::size_t srcStride, std::uint8_t* HWY_RESTRICT dst,
                std::size_t dstStride, std::size_t width, std::size_t rows) {
  if (rows == 0 || width == 0) return;
  // Rows without padding on either side form one run: the tail is paid once.
  if (srcStride == width * kYuv422BytesPerPixel && dstStride == width * kYuyv24BytesPerPixel) {
    PixelRun(src, dst, width * rows);
    return;
  }
  for (std::size_t y = 0; y < rows; ++y) PixelRun(src + y * srcStride, dst + y * dstStride, width);
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
// Targets this build compiled and this processor runs, best first.
std::vector<std::int64_t> Available() {
  std::vector<std::int64_t> out;
  const std::int64_t targets = hwy::SupportedTargets() & HWY_TARGETS;
  for (std::int64_t rest = targets; rest != 0; rest &= rest - 1) out.push_back(rest & ~(rest - 1));
  return out;
}
std::int64_t g_forced = 0;  // set by UseKernelTarget; 0 = the processor's best
}  // namespace

std::vector<std::string> KernelTargets() {
  // Listed with the restriction lifted, so it never hides the others.
  const std::int64_t forced = g_forced;
  if (forced != 0) hwy::SetSupportedTargetsForTest(0);
  std::vector<std::string> names;
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
