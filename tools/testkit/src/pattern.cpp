#include "pattern.h"

#include <algorithm>
#include <cstring>

namespace testkit {
namespace {

// 5x7 digits, one byte per row, bit 4 = leftmost column.
constexpr std::uint8_t kDigits[10][7] = {
    {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E},  // 0
    {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E},  // 1
    {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F},  // 2
    {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E},  // 3
    {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02},  // 4
    {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E},  // 5
    {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E},  // 6
    {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08},  // 7
    {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E},  // 8
    {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C},  // 9
};

constexpr int kGlyphWidth = 5;
constexpr int kGlyphHeight = 7;
constexpr int kAdvance = kGlyphWidth + 1;  // one blank column between digits

int DigitCount(std::uint64_t n) {
  int count = 1;
  while (n >= 10) {
    n /= 10;
    ++count;
  }
  return count;
}

void Store(std::uint8_t* row, int x, int channels, int depth, int c, std::uint8_t value) {
  if (depth == 16) {
    const std::uint16_t wide = static_cast<std::uint16_t>(value * 257);
    std::memcpy(row + (static_cast<std::size_t>(x) * channels + c) * 2, &wide, 2);
  } else {
    row[static_cast<std::size_t>(x) * channels + c] = value;
  }
}

}  // namespace

int BarWidth(int width) { return std::max(1, width / 16); }

int BarStart(std::uint64_t frame, int width) {
  return width <= 0 ? 0 : static_cast<int>((frame * 8) % static_cast<std::uint64_t>(width));
}

std::uint8_t BackgroundValue(int x, int y, int c, std::uint64_t frame, int width) {
  const int start = BarStart(frame, width);
  if (x >= start && x < start + BarWidth(width)) {
    return 255;
  }
  return static_cast<std::uint8_t>((static_cast<std::uint64_t>(x) + static_cast<std::uint64_t>(y) + 4 * frame +
                                    85 * static_cast<std::uint64_t>(c)) &
                                   0xFF);
}

int LabelScale(const ImageLayout& layout) { return std::max(1, layout.height / 100); }

Box LabelBox(const ImageLayout& layout, std::uint64_t frame) {
  const int s = LabelScale(layout);
  Box box;
  box.x = 2 * s;
  box.y = 2 * s;
  box.width = (DigitCount(frame) * kAdvance + 1) * s;
  box.height = (kGlyphHeight + 2) * s;
  box.width = std::max(0, std::min(box.width, layout.width - box.x));
  box.height = std::max(0, std::min(box.height, layout.height - box.y));
  return box;
}

bool GlyphPixel(int digit, int column, int row) {
  if (digit < 0 || digit > 9 || column < 0 || column >= kGlyphWidth || row < 0 || row >= kGlyphHeight) {
    return false;
  }
  return (kDigits[digit][row] >> (kGlyphWidth - 1 - column)) & 1;
}

void DrawCameraFrame(std::uint8_t* pixels, const ImageLayout& layout, std::uint64_t frame) {
  const int w = layout.width;
  const int channels = layout.channels;
  for (int y = 0; y < layout.height; ++y) {
    std::uint8_t* row = pixels + static_cast<std::size_t>(y) * layout.rowStep;
    for (int x = 0; x < w; ++x) {
      for (int c = 0; c < channels; ++c) {
        Store(row, x, channels, layout.depth, c, BackgroundValue(x, y, c, frame, w));
      }
    }
  }
  const Box box = LabelBox(layout, frame);
  const int s = LabelScale(layout);
  char digits[24];
  const int count = DigitCount(frame);
  std::uint64_t n = frame;
  for (int i = count - 1; i >= 0; --i) {
    digits[i] = static_cast<char>(n % 10);
    n /= 10;
  }
  for (int y = box.y; y < box.y + box.height; ++y) {
    std::uint8_t* row = pixels + static_cast<std::size_t>(y) * layout.rowStep;
    const int fy = (y - box.y) / s - 1;  // font row (one blank row of margin)
    for (int x = box.x; x < box.x + box.width; ++x) {
      const int fx = (x - box.x) / s - 1;  // font column across the digits
      bool on = false;
      if (fx >= 0 && fy >= 0) {
        const int digit = fx / kAdvance;
        if (digit < count) {
          on = GlyphPixel(digits[digit], fx % kAdvance, fy);
        }
      }
      for (int c = 0; c < channels; ++c) {
        Store(row, x, channels, layout.depth, c, on ? 255 : 0);
      }
    }
  }
}

}  // namespace testkit
