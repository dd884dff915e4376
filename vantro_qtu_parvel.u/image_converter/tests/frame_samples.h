// Raw frames for the converter tests, and the expected images computed here
// from the samples, byte by byte, without the converter's code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

namespace image_converter_test {

// A frame: 64-byte header (frame size, bits per pixel, height) and
// `pixels` x `bytesPerPixel` random sample bytes.
inline std::vector<std::uint8_t> MakeFrame(std::uint32_t height, std::uint8_t bitsPerPixel, std::size_t sampleBytes,
                                           std::uint32_t seed, std::uint32_t frameSize = 0) {
  std::vector<std::uint8_t> frame(64 + sampleBytes);
  if (frameSize == 0) frameSize = static_cast<std::uint32_t>(frame.size());
  for (int i = 0; i < 4; ++i) frame[i] = static_cast<std::uint8_t>(frameSize >> (8 * i));
  frame[10] = bitsPerPixel;
  frame[12] = static_cast<std::uint8_t>(height);
  frame[13] = static_cast<std::uint8_t>(height >> 8);
  std::mt19937 random(seed);
  for (std::size_t i = 64; i < frame.size(); ++i) frame[i] = static_cast<std::uint8_t>(random());
  return frame;
}

// The YUYV-in-24-bit-RGB image of `pixels` YUV422 pixels: byte 0 = s0 x 4,
// byte 1 = bits 6..9 of s0 and bits 0..1 of s1 in bits 6..7, byte 2 = bits
// 2..9 of s1. Pixels past `pixels` (a short frame) are 0; row padding keeps
// `padding`.
inline std::vector<std::uint8_t> ExpectedYuyv(const std::uint8_t* samples, std::size_t pixels, std::size_t width,
                                              std::size_t height, std::size_t stride, std::uint8_t padding) {
  std::vector<std::uint8_t> image(stride * height, padding);
  for (std::size_t i = 0; i < width * height; ++i) {
    std::uint8_t* out = &image[(i / width) * stride + (i % width) * 3];
    if (i >= pixels) {
      out[0] = out[1] = out[2] = 0;
      continue;
    }
    const unsigned s0 = samples[4 * i] + 256u * samples[4 * i + 1];
    const unsigned s1 = samples[4 * i + 2] + 256u * samples[4 * i + 3];
    out[0] = static_cast<std::uint8_t>((s0 * 4) & 0xFF);
    out[1] = static_cast<std::uint8_t>(((s0 & 0x3FF) >> 6) | ((s1 & 0x3) << 6));
    out[2] = static_cast<std::uint8_t>((s1 & 0x3FF) >> 2);
  }
  return image;
}

// The 16-bit grey image of `pixels` Mono pixels: each word as it came.
inline std::vector<std::uint8_t> ExpectedMono(const std::uint8_t* samples, std::size_t pixels, std::size_t width,
                                              std::size_t height, std::size_t stride, std::uint8_t padding) {
  std::vector<std::uint8_t> image(stride * height, padding);
  for (std::size_t i = 0; i < width * height; ++i) {
    std::uint8_t* out = &image[(i / width) * stride + (i % width) * 2];
    out[0] = i < pixels ? samples[2 * i] : 0;
    out[1] = i < pixels ? samples[2 * i + 1] : 0;
  }
  return image;
}

}  // namespace image_converter_test
