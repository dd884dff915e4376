#include "png_read.h"

#include <png.h>

#include <cstdio>

namespace testkit_test {

bool ReadPng(const std::string& path, ReadImage& image, std::string& error) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    error = "cannot open " + path;
    return false;
  }
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop pinfo = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, &pinfo, nullptr);
    std::fclose(file);
    error = "libpng failed to read " + path;
    return false;
  }
  png_init_io(png, file);
  png_read_info(png, pinfo);
  image.width = static_cast<int>(png_get_image_width(png, pinfo));
  image.height = static_cast<int>(png_get_image_height(png, pinfo));
  image.depth = png_get_bit_depth(png, pinfo);
  image.channels = png_get_channels(png, pinfo);
  if (image.depth == 16) png_set_swap(png);
  png_read_update_info(png, pinfo);
  const std::size_t rowBytes = png_get_rowbytes(png, pinfo);
  std::vector<std::uint8_t> rows(rowBytes * static_cast<std::size_t>(image.height));
  std::vector<png_bytep> pointers(static_cast<std::size_t>(image.height));
  for (int y = 0; y < image.height; ++y) pointers[static_cast<std::size_t>(y)] = rows.data() + rowBytes * y;
  png_read_image(png, pointers.data());
  png_destroy_read_struct(&png, &pinfo, nullptr);
  std::fclose(file);
  const std::size_t count = static_cast<std::size_t>(image.width) * image.height * image.channels;
  image.samples.resize(count);
  for (int y = 0; y < image.height; ++y) {
    const std::uint8_t* row = rows.data() + rowBytes * y;
    for (std::size_t i = 0; i < static_cast<std::size_t>(image.width) * image.channels; ++i) {
      image.samples[static_cast<std::size_t>(y) * image.width * image.channels + i] =
          image.depth == 16 ? static_cast<std::uint16_t>(row[2 * i] | (row[2 * i + 1] << 8)) : row[i];
    }
  }
  return true;
}

}  // namespace testkit_test
