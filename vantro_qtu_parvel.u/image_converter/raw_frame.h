// The image converter's view of a raw frame: the 64-byte frame header it
// checks, the output image its settings give, and the conversion of one
// frame's samples into that image. No framework here: the component, the
// tests, the fuzz target and the benchmark all drive these on bytes alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>

namespace image_converter {

inline constexpr std::size_t kFrameHeaderSize = 64;

// Selected indexes of "InputFormat" and "OutputFormat".
enum : std::uint8_t { kInputYuv422 = 0, kInputMono = 1 };
enum : std::uint8_t { kOutputYuyv24 = 0, kOutputMono16 = 1 };

// Row alignment of the output images.
inline constexpr std::int64_t kRowAlignment = 8;
// The largest output image: its size, row stride and the element's buffer
// size are 32-bit signed numbers in the framework's image header.
inline constexpr std::int64_t kMaxImageSize = std::numeric_limits<std::int32_t>::max();

// The output image of a width, height and output format.
struct ImageLayout {
  std::int32_t channels = 0;
  std::int32_t depth = 0;      // bits per channel
  std::int64_t rowStride = 0;  // bytes, a multiple of kRowAlignment
  std::int64_t imageSize = 0;  // rowStride x height
  std::int32_t BitsPerPixel() const { return channels * depth; }
};

enum class LayoutStatus { kOk, kUnsupportedFormat, kNegativeWidth, kNegativeHeight, kTooLarge };

struct LayoutPlan {
  LayoutStatus status = LayoutStatus::kOk;
  ImageLayout layout;
};

// Checks the values of "Width", "Height" and "OutputFormat" (in that order
// of precedence: format, width, height, size) and gives the image layout.
// Every product is formed in 64 bits, so no value wraps.
LayoutPlan PlanImage(std::int64_t width, std::int64_t height, std::int64_t outputFormat);

// The error text of a plan that is not kOk.
std::string LayoutErrorText(const LayoutPlan& plan, std::int64_t width, std::int64_t height);

// What the converter was set up with at Birth.
struct ConverterSettings {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::int64_t rowStride = 0;
  std::int32_t bitsPerPixelIn = 16;
  std::uint8_t inputFormat = kInputYuv422;
  std::uint8_t outputFormat = kOutputYuyv24;
};

// Fields of the frame header that the converter reads (little-endian).
struct FrameHeader {
  std::uint32_t frameSize = 0;    // offset 0: bytes of the whole frame, header included
  std::uint8_t bitsPerPixel = 0;  // offset 10
  std::uint16_t height = 0;       // offset 12
};
FrameHeader ReadFrameHeader(const std::uint8_t* data);

// Results of the header checks of one frame; each is tested independently.
struct HeaderChecks {
  bool headerPresent = false;  // the element holds at least the 64 header bytes
  bool heightDiffers = false;
  bool bitsPerPixelDiffers = false;
  bool frameSizeTooSmall = false;
};
HeaderChecks CheckHeader(const ConverterSettings& settings, const std::uint8_t* data, std::size_t size);

// True when the formats form a pair that converts (YUV422 into YUYV in 24-bit
// RGB, Mono into 16-bit grey); other pairs publish the image unconverted.
bool FormatsConvert(const ConverterSettings& settings);

struct ConversionResult {
  std::uint64_t pixelsExpected = 0;   // width x height
  std::uint64_t pixelsConverted = 0;  // whole pixels the element held, at most pixelsExpected
};

// Pixels a frame of `size` bytes holds, at most width x height.
ConversionResult CountPixels(const ConverterSettings& settings, std::size_t size);

// Converts the frame's samples (from byte 64 of `data`, `size` bytes in all)
// into the image at `image` (rows settings.rowStride apart). Reads no byte at
// or past data + size: when the samples end early, the whole pixels present
// are converted and the rest of the image's pixels are set to 0, so no pixel
// of an earlier frame is left behind. Row padding is never written. Only for
// pairs that FormatsConvert.
ConversionResult ConvertFrame(const ConverterSettings& settings, const std::uint8_t* data, std::size_t size,
                              std::uint8_t* image);

}  // namespace image_converter
