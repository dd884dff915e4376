#include "raw_frame.h"

#include <algorithm>
#include <cstring>

#include "convert_kernels.h"

namespace image_converter {

namespace {
std::int64_t RoundUp(std::int64_t value, std::int64_t multiple) { return (value + multiple - 1) / multiple * multiple; }

std::size_t InputBytesPerPixel(const ConverterSettings& s) {
  return s.inputFormat == kInputYuv422 ? kYuv422BytesPerPixel : kMonoBytesPerPixel;
}
std::size_t OutputBytesPerPixel(const ConverterSettings& s) {
  return s.outputFormat == kOutputYuyv24 ? kYuyv24BytesPerPixel : kMonoBytesPerPixel;
}
}  // namespace

LayoutPlan PlanImage(std::int64_t width, std::int64_t height, std::int64_t outputFormat) {
  LayoutPlan plan;
  ImageLayout& l = plan.layout;
  if (outputFormat == kOutputYuyv24) {
    l.channels = 3;
    l.depth = 8;
  } else if (outputFormat == kOutputMono16) {
    l.channels = 1;
    l.depth = 16;
  } else {
    plan.status = LayoutStatus::kUnsupportedFormat;
    return plan;
  }
  if (width < 0) {
    plan.status = LayoutStatus::kNegativeWidth;
    return plan;
  }
  if (height < 0) {
    plan.status = LayoutStatus::kNegativeHeight;
    return plan;
  }
  // The image header holds width and height as 32-bit signed numbers too.
  if (width > kMaxImageSize || height > kMaxImageSize) {
    plan.status = LayoutStatus::kTooLarge;
    return plan;
  }
  const std::int64_t bytesPerPixel = l.channels * l.depth / 8;
  l.rowStride = RoundUp(width * bytesPerPixel, kRowAlignment);
  if (l.rowStride > kMaxImageSize || (l.rowStride != 0 && height > kMaxImageSize / l.rowStride)) {
    plan.status = LayoutStatus::kTooLarge;
    return plan;
  }
  l.imageSize = l.rowStride * height;
  return plan;
}

std::string LayoutErrorText(const LayoutPlan& plan, std::int64_t width, std::int64_t height) {
  switch (plan.status) {
    case LayoutStatus::kOk:
      return "";
    case LayoutStatus::kUnsupportedFormat:
      return "Output format not supported";
    case LayoutStatus::kNegativeWidth:
      return "Width must not be negative (Width=" + std::to_string(width) + ")";
    case LayoutStatus::kNegativeHeight:
      return "Height must not be negative (Height=" + std::to_string(height) + ")";
    case LayoutStatus::kTooLarge:
      return "Output image of Width=" + std::to_string(width) + ", height=" + std::to_string(height) +
             " is larger than the largest image of " + std::to_string(kMaxImageSize) + " bytes";
  }
  return "";
}

FrameHeader ReadFrameHeader(const std::uint8_t* data) {
  FrameHeader h;
  h.frameSize = static_cast<std::uint32_t>(data[0]) | (static_cast<std::uint32_t>(data[1]) << 8) |
                (static_cast<std::uint32_t>(data[2]) << 16) | (static_cast<std::uint32_t>(data[3]) << 24);
  h.bitsPerPixel = data[10];
  h.height = static_cast<std::uint16_t>(data[12] | (data[13] << 8));
  return h;
}

HeaderChecks CheckHeader(const ConverterSettings& s, const std::uint8_t* data, std::size_t size) {
  HeaderChecks c;
  if (data == nullptr || size < kFrameHeaderSize) return c;
  c.headerPresent = true;
  const FrameHeader h = ReadFrameHeader(data);
  c.heightDiffers = h.height != s.height;
  c.bitsPerPixelDiffers = static_cast<std::int32_t>(h.bitsPerPixel) != s.bitsPerPixelIn;
  // 64 bits: bits per pixel x width x height exceeds 32 bits for large images.
  const std::int64_t needed = static_cast<std::int64_t>(kFrameHeaderSize) +
                              static_cast<std::int64_t>(s.bitsPerPixelIn) * s.width * s.height / 8;
  c.frameSizeTooSmall = static_cast<std::int64_t>(h.frameSize) < needed;
  return c;
}

bool FormatsConvert(const ConverterSettings& s) {
  return (s.outputFormat == kOutputYuyv24 && s.inputFormat == kInputYuv422) ||
         (s.outputFormat == kOutputMono16 && s.inputFormat == kInputMono);
}

ConversionResult CountPixels(const ConverterSettings& s, std::size_t size) {
  ConversionResult r;
  r.pixelsExpected = static_cast<std::uint64_t>(s.width) * s.height;
  const std::size_t samples = size > kFrameHeaderSize ? size - kFrameHeaderSize : 0;
  r.pixelsConverted = std::min<std::uint64_t>(r.pixelsExpected, samples / InputBytesPerPixel(s));
  return r;
}

ConversionResult ConvertFrame(const ConverterSettings& s, const std::uint8_t* data, std::size_t size,
                              std::uint8_t* image) {
  const ConversionResult r = CountPixels(s, data == nullptr ? 0 : size);
  if (r.pixelsExpected == 0) return r;
  const std::size_t inBpp = InputBytesPerPixel(s);
  const std::size_t outBpp = OutputBytesPerPixel(s);
  const std::size_t width = s.width;
  const auto stride = static_cast<std::size_t>(s.rowStride);
  const std::size_t fullRows = r.pixelsConverted / width;
  const std::size_t lastRowPixels = r.pixelsConverted % width;
  const std::uint8_t* samples = data + kFrameHeaderSize;
  auto convert = s.inputFormat == kInputYuv422 ? &ConvertYuv422 : &CopyMono16;
  convert(samples, width * inBpp, image, stride, width, fullRows);
  if (r.pixelsConverted == r.pixelsExpected) return r;
  // A short frame: the part of the last row that is there, then zeros.
  std::uint8_t* row = image + fullRows * stride;
  convert(samples + fullRows * width * inBpp, 0, row, 0, lastRowPixels, 1);
  std::memset(row + lastRowPixels * outBpp, 0, (width - lastRowPixels) * outBpp);
  for (std::size_t y = fullRows + 1; y < s.height; ++y) std::memset(image + y * stride, 0, width * outBpp);
  return r;
}

}  // namespace image_converter
