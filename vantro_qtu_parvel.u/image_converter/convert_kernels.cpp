// Reference forms of the pixel kernels, the Mono copy, and the stand-ins of
// the dispatching forms for builds without Highway.
#include "convert_kernels.h"

#include <cstring>

namespace image_converter {

namespace reference {

void ConvertYuv422(const std::uint8_t* src, std::size_t srcStride, std::uint8_t* dst, std::size_t dstStride,
                   std::size_t width, std::size_t rows) {
  for (std::size_t y = 0; y < rows; ++y) {
    const std::uint8_t* in = src + y * srcStride;
    std::uint8_t* out = dst + y * dstStride;
    for (std::size_t x = 0; x < width; ++x, in += kYuv422BytesPerPixel, out += kYuyv24BytesPerPixel) {
      const auto s0 = static_cast<std::uint16_t>(in[0] | (in[1] << 8));
      const auto s1 = static_cast<std::uint16_t>(in[2] | (in[3] << 8));
      Yuv422Pixel(s0, s1, out);
    }
  }
}

void CopyMono16(const std::uint8_t* src, std::size_t srcStride, std::uint8_t* dst, std::size_t dstStride,
                std::size_t width, std::size_t rows) {
  for (std::size_t y = 0; y < rows; ++y) {
    const std::uint8_t* in = src + y * srcStride;
    std::uint8_t* out = dst + y * dstStride;
    for (std::size_t x = 0; x < width; ++x) {
      const auto word = static_cast<std::uint16_t>(in[2 * x] | (in[2 * x + 1] << 8));
      out[2 * x] = static_cast<std::uint8_t>(word);
      out[2 * x + 1] = static_cast<std::uint8_t>(word >> 8);
    }
  }
}

}  // namespace reference

// A little-endian word copied to a little-endian word is a byte copy: the C
// library's memcpy is already vectorised for every processor.
void CopyMono16(const std::uint8_t* src, std::size_t srcStride, std::uint8_t* dst, std::size_t dstStride,
                std::size_t width, std::size_t rows) {
  const std::size_t rowBytes = width * kMonoBytesPerPixel;
  if (rows == 0 || rowBytes == 0) return;
  if (srcStride == rowBytes && dstStride == rowBytes) {
    std::memcpy(dst, src, rowBytes * rows);
    return;
  }
  for (std::size_t y = 0; y < rows; ++y) std::memcpy(dst + y * dstStride, src + y * srcStride, rowBytes);
}

#if !defined(QTU_CONVERT_HAVE_HWY)
void ConvertYuv422(const std::uint8_t* src, std::size_t srcStride, std::uint8_t* dst, std::size_t dstStride,
                   std::size_t width, std::size_t rows) {
  reference::ConvertYuv422(src, srcStride, dst, dstStride, width, rows);
}
std::vector<std::string> KernelTargets() { return {}; }
std::string ActiveKernelTarget() { return "reference"; }
bool UseKernelTarget(const std::string& name) { return name.empty(); }
#endif

}  // namespace image_converter
