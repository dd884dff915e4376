// The test camera's picture: a diagonal gradient and a bright bar that both
// move with the frame number, and the frame number written in white digits on
// a black box in the top-left corner, so a viewer sees motion and can tell
// frames apart.
#pragma once

#include <cstdint>

namespace testkit {

struct ImageLayout {
  int width = 0;
  int height = 0;
  int channels = 1;   // 1 (grey) or 3 (RGB)
  int depth = 8;      // bits per channel: 8 or 16 (host byte order)
  int rowStep = 0;    // bytes from one row to the next
};

struct Box {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  bool Contains(int px, int py) const { return px >= x && px < x + width && py >= y && py < y + height; }
};

// Value (0..255) of channel `c` at (x, y) of frame `frame` outside the label:
// (x + y + 4 frame + 85 c) mod 256, or 255 inside the moving bar.
std::uint8_t BackgroundValue(int x, int y, int c, std::uint64_t frame, int width);
// Columns of the bar: [BarStart, BarStart + BarWidth).
int BarStart(std::uint64_t frame, int width);
int BarWidth(int width);
// The black box that holds the frame number (clipped to the image).
Box LabelBox(const ImageLayout& layout, std::uint64_t frame);
// Size of one font pixel in image pixels.
int LabelScale(const ImageLayout& layout);
// True when the 5x7 glyph of `digit` has its pixel (column, row) set.
bool GlyphPixel(int digit, int column, int row);

// Draws frame `frame` into `pixels` (height rows of rowStep bytes; 16-bit
// samples are the 8-bit value times 257).
void DrawCameraFrame(std::uint8_t* pixels, const ImageLayout& layout, std::uint64_t frame);

}  // namespace testkit
