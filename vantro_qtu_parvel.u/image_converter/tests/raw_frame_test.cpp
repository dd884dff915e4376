// Output image layouts (row strides, the size limit at its boundary, refused
// values) and the frame header checks.
#include "raw_frame.h"

#include <gtest/gtest.h>

#include <string>

#include "frame_samples.h"

namespace image_converter {
namespace {

TEST(PlanImage, StridesLimitsAndRefusals) {
  constexpr std::int64_t kMax = 2147483647;
  struct Case {
    std::int64_t width, height, format;
    LayoutStatus status;
    std::int64_t stride, size;
  };
  const Case cases[] = {
      {1280, 800, kOutputYuyv24, LayoutStatus::kOk, 3840, 3072000},
      {1280, 800, kOutputMono16, LayoutStatus::kOk, 2560, 2048000},
      {7, 3, kOutputMono16, LayoutStatus::kOk, 16, 48},
      {7, 3, kOutputYuyv24, LayoutStatus::kOk, 24, 72},
      {1, 1, kOutputYuyv24, LayoutStatus::kOk, 8, 8},
      {5, 2, kOutputYuyv24, LayoutStatus::kOk, 16, 32},
      {0, 800, kOutputYuyv24, LayoutStatus::kOk, 0, 0},
      {1280, 0, kOutputMono16, LayoutStatus::kOk, 2560, 0},
      // The largest images: one more line is too much.
      {4, kMax / 8, kOutputMono16, LayoutStatus::kOk, 8, kMax / 8 * 8},
      {4, kMax / 8 + 1, kOutputMono16, LayoutStatus::kTooLarge, 0, 0},
      {8, kMax / 24, kOutputYuyv24, LayoutStatus::kOk, 24, kMax / 24 * 24},
      {8, kMax / 24 + 1, kOutputYuyv24, LayoutStatus::kTooLarge, 0, 0},
      {(kMax - 7) / 2, 1, kOutputMono16, LayoutStatus::kOk, kMax - 7, kMax - 7},
      {(kMax - 7) / 2 + 1, 1, kOutputMono16, LayoutStatus::kTooLarge, 0, 0},
      {0, kMax, kOutputMono16, LayoutStatus::kOk, 0, 0},
      {0, kMax + 1, kOutputMono16, LayoutStatus::kTooLarge, 0, 0},
      {std::int64_t{1} << 62, std::int64_t{1} << 62, kOutputYuyv24, LayoutStatus::kTooLarge, 0, 0},
      {-1, 800, kOutputYuyv24, LayoutStatus::kNegativeWidth, 0, 0},
      {1280, -800, kOutputMono16, LayoutStatus::kNegativeHeight, 0, 0},
      {-1, -1, 2, LayoutStatus::kUnsupportedFormat, 0, 0},
      {1280, 800, -1, LayoutStatus::kUnsupportedFormat, 0, 0},
  };
  for (const Case& c : cases) {
    const LayoutPlan plan = PlanImage(c.width, c.height, c.format);
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height) + " format " + std::to_string(c.format));
    ASSERT_EQ(plan.status, c.status);
    if (c.status != LayoutStatus::kOk) continue;
    EXPECT_EQ(plan.layout.rowStride, c.stride);
    EXPECT_EQ(plan.layout.imageSize, c.size);
    EXPECT_EQ(plan.layout.BitsPerPixel(), c.format == kOutputYuyv24 ? 24 : 16);
  }
  EXPECT_EQ(LayoutErrorText(PlanImage(-3, 800, 0), -3, 800), "Width must not be negative (Width=-3)");
  EXPECT_EQ(LayoutErrorText(PlanImage(8, -1, 0), 8, -1), "Height must not be negative (Height=-1)");
  EXPECT_EQ(LayoutErrorText(PlanImage(8, kMax, 0), 8, kMax),
            "Output image of Width=8, height=2147483647 is larger than the largest image of 2147483647 bytes");
}

TEST(CheckHeader, EachFieldIsTestedOnItsOwn) {
  ConverterSettings s;
  s.width = 1280;
  s.height = 800;
  s.bitsPerPixelIn = 16;
  const std::uint32_t exact = 64 + 16 * 1280 * 800 / 8;
  struct Case {
    std::uint32_t height;
    std::uint8_t bits;
    std::uint32_t frameSize;
    bool heightDiffers, bitsDiffer, tooSmall;
  };
  const Case cases[] = {
      {800, 16, exact, false, false, false},  {799, 16, exact, true, false, false},
      {800, 12, exact, false, true, false},   {800, 16, exact - 1, false, false, true},
      {801, 20, exact - 1, true, true, true}, {800, 16, 0xFFFFFFFF, false, false, false},
  };
  for (const Case& c : cases) {
    const auto frame = image_converter_test::MakeFrame(c.height, c.bits, 0, 1, c.frameSize);
    const HeaderChecks checks = CheckHeader(s, frame.data(), frame.size());
    SCOPED_TRACE("height " + std::to_string(c.height) + " bits " + std::to_string(c.bits) + " size " +
                 std::to_string(c.frameSize));
    EXPECT_TRUE(checks.headerPresent);
    EXPECT_EQ(checks.heightDiffers, c.heightDiffers);
    EXPECT_EQ(checks.bitsPerPixelDiffers, c.bitsDiffer);
    EXPECT_EQ(checks.frameSizeTooSmall, c.tooSmall);
  }
  // The needed size is formed in 64 bits: 32 x 40000 x 40000 / 8 does not wrap to a small number.
  s.width = 40000;
  s.height = 40000;
  s.bitsPerPixelIn = 32;
  const auto frame = image_converter_test::MakeFrame(40000 % 65536, 32, 0, 1, 0xFFFFFFFF);
  EXPECT_TRUE(CheckHeader(s, frame.data(), frame.size()).frameSizeTooSmall);
  // Fewer than 64 bytes: no header to check.
  EXPECT_FALSE(CheckHeader(s, frame.data(), 63).headerPresent);
  EXPECT_FALSE(CheckHeader(s, frame.data(), 63).heightDiffers);
}

}  // namespace
}  // namespace image_converter
