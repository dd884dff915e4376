// Pixel kernels of the image converter: YUV422 samples into 3-byte pixels
// that carry the two 10-bit samples bit-packed ("YUYV in 24-bit RGB"), and
// monochrome 16-bit samples copied into a 16-bit grey image.
//
// Each kernel converts `rows` rows of `width` pixels. Source rows start
// `srcStride` bytes apart, destination rows `dstStride` bytes apart; a kernel
// reads exactly width x 4 (YUV422) or width x 2 (Mono) bytes of each source
// row and writes exactly width x 3 or width x 2 bytes of each destination row
// (row padding is left alone). Samples are little-endian 16-bit words.
//
// The plain forms dispatch at run time to the best instruction set the
// processor has (SSSE3 up to AVX-512 when built with Highway; the reference
// form otherwise). The reference forms convert one pixel at a time and are
// bit-exact with them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace image_converter {

inline constexpr std::size_t kYuv422BytesPerPixel = 4;
inline constexpr std::size_t kYuyv24BytesPerPixel = 3;
inline constexpr std::size_t kMonoBytesPerPixel = 2;

// One YUV422 pixel (two words s0, s1) into its three output bytes: the 24-bit
// value ((s1 & 0x3FF) << 14) | ((s0 & 0x3FF) << 2), least significant byte
// first.
inline void Yuv422Pixel(std::uint16_t s0, std::uint16_t s1, std::uint8_t out[3]) {
  const std::uint32_t v =
      (static_cast<std::uint32_t>(s1 & 0x3FFu) << 14) | (static_cast<std::uint32_t>(s0 & 0x3FFu) << 2);
  out[0] = static_cast<std::uint8_t>(v);
  out[1] = static_cast<std::uint8_t>(v >> 8);
  out[2] = static_cast<std::uint8_t>(v >> 16);
}

void ConvertYuv422(const std::uint8_t* src, std::size_t srcStride, std::uint8_t* dst, std::size_t dstStride,
                   std::size_t width, std::size_t rows);
void CopyMono16(const std::uint8_t* src, std::size_t srcStride, std::uint8_t* dst, std::size_t dstStride,
                std::size_t width, std::size_t rows);

namespace reference {
void ConvertYuv422(const std::uint8_t* src, std::size_t srcStride, std::uint8_t* dst, std::size_t dstStride,
                   std::size_t width, std::size_t rows);
void CopyMono16(const std::uint8_t* src, std::size_t srcStride, std::uint8_t* dst, std::size_t dstStride,
                std::size_t width, std::size_t rows);
}  // namespace reference

// Instruction sets the dispatching forms can use on this processor, best
// first (for example "AVX3", "AVX2", "SSE4", "SSSE3"); empty when the build
// has no vectorised forms.
std::vector<std::string> KernelTargets();
// The instruction set the dispatching forms use now.
std::string ActiveKernelTarget();
// Restricts dispatch to one entry of KernelTargets() (tests and benchmarks);
// an empty name gives the processor's best back. False for an unknown name.
bool UseKernelTarget(const std::string& name);

}  // namespace image_converter
