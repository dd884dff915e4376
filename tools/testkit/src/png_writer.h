// PNG files of 8- or 16-bit grey or RGB images with libpng. 16-bit samples
// are given in host order (as IPL images hold them) and stored big-endian,
// as PNG requires.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace testkit {

struct PngImage {
  int width = 0;
  int height = 0;
  int channels = 1;  // 1 grey, 3 RGB
  int depth = 8;     // 8 or 16
  std::size_t rowStep = 0;
  const std::uint8_t* pixels = nullptr;
};

// Empty when the image can be written, else why not.
std::string CheckPngImage(int width, int height, int channels, int depth);

class PngWriter {
 public:
  // Writes `image` to `path`; false with `error` set. The row table is kept
  // between calls, so images of one size cost no allocation of ours.
  bool Write(const std::string& path, const PngImage& image, std::string& error);

 private:
  std::vector<const std::uint8_t*> rows_;
};

}  // namespace testkit
