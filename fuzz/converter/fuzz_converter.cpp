// libFuzzer target of the image converter on arbitrary elements. The first
// 8 bytes choose the settings (width and height up to 255, formats, bits per
// pixel, instruction set); the rest is the element's data, copied into a
// buffer of exactly its size so that any read past it is caught. The image
// buffer is exactly the image's size. Every frame must convert without a
// fault, count no more pixels than the element holds, and give the image
// that the reference kernels give.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "convert_kernels.h"
#include "raw_frame.h"

using namespace image_converter;

namespace {
// The reference image of a frame: whole pixels present converted one at a
// time, the rest 0, padding as it was.
void ReferenceImage(const ConverterSettings& s, const std::uint8_t* data, std::size_t size, std::uint8_t* image) {
  const ConversionResult r = CountPixels(s, size);
  const bool yuv = s.inputFormat == kInputYuv422;
  const std::size_t inBpp = yuv ? 4 : 2, outBpp = yuv ? 3 : 2;
  for (std::uint64_t i = 0; i < r.pixelsExpected; ++i) {
    std::uint8_t* out = image + (i / s.width) * s.rowStride + (i % s.width) * outBpp;
    if (i >= r.pixelsConverted) {
      std::memset(out, 0, outBpp);
      continue;
    }
    const std::uint8_t* in = data + kFrameHeaderSize + i * inBpp;
    if (yuv) {
      reference::ConvertYuv422(in, 0, out, 0, 1, 1);
    } else {
      reference::CopyMono16(in, 0, out, 0, 1, 1);
    }
  }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 8) return 0;
  ConverterSettings s;
  s.width = data[0];
  s.height = data[1];
  s.inputFormat = data[2] & 1;
  s.outputFormat = (data[2] >> 1) & 1;
  s.bitsPerPixelIn = static_cast<std::int8_t>(data[3]);
  const LayoutPlan plan = PlanImage(s.width, s.height, s.outputFormat);
  if (plan.status != LayoutStatus::kOk) std::abort();
  s.rowStride = plan.layout.rowStride;
  static const std::vector<std::string> targets = KernelTargets();
  const std::size_t pick = data[4] % (targets.size() + 1);
  UseKernelTarget(pick < targets.size() ? targets[pick] : std::string());

  const std::size_t elementSize = size - 8;
  std::unique_ptr<std::uint8_t[]> element(new std::uint8_t[elementSize == 0 ? 1 : elementSize]);
  std::memcpy(element.get(), data + 8, elementSize);
  const HeaderChecks checks = CheckHeader(s, element.get(), elementSize);
  if (checks.headerPresent != (elementSize >= kFrameHeaderSize)) std::abort();
  if (!FormatsConvert(s)) return 0;

  const auto imageSize = static_cast<std::size_t>(plan.layout.imageSize);
  std::unique_ptr<std::uint8_t[]> image(new std::uint8_t[imageSize == 0 ? 1 : imageSize]);
  std::unique_ptr<std::uint8_t[]> expected(new std::uint8_t[imageSize == 0 ? 1 : imageSize]);
  std::memset(image.get(), 0xA5, imageSize);
  std::memset(expected.get(), 0xA5, imageSize);
  const ConversionResult r = ConvertFrame(s, element.get(), elementSize, image.get());
  const std::size_t inBpp = s.inputFormat == kInputYuv422 ? 4 : 2;
  if (r.pixelsConverted > r.pixelsExpected) std::abort();
  if (elementSize < kFrameHeaderSize ? r.pixelsConverted != 0
                                     : r.pixelsConverted * inBpp > elementSize - kFrameHeaderSize) {
    std::abort();
  }
  ReferenceImage(s, element.get(), elementSize, expected.get());
  if (std::memcmp(image.get(), expected.get(), imageSize) != 0) std::abort();
  return 0;
}
