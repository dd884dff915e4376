#include "png_writer.h"

#include <png.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace testkit {

std::string CheckPngImage(int width, int height, int channels, int depth) {
  if (width <= 0 || height <= 0) return "the image has no pixels";
  if (channels != 1 && channels != 3) return "only 1 or 3 channels can be written (" + std::to_string(channels) + ")";
  if (depth != 8 && depth != 16) return "only 8- or 16-bit images can be written (" + std::to_string(depth) + ")";
  return {};
}

namespace {

struct ErrorText {
  char text[256] = {};
};

void OnError(png_structp png, png_const_charp message) {
  auto* error = static_cast<ErrorText*>(png_get_error_ptr(png));
  std::snprintf(error->text, sizeof error->text, "%s", message);
  png_longjmp(png, 1);
}

void OnWarning(png_structp, png_const_charp) {}

}  // namespace

bool PngWriter::Write(const std::string& path, const PngImage& image, std::string& error) {
  if (const std::string why = CheckPngImage(image.width, image.height, image.channels, image.depth); !why.empty()) {
    error = why;
    return false;
  }
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    error = "cannot create " + path + ": " + std::strerror(errno);
    return false;
  }
  ErrorText failure;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &failure, OnError, OnWarning);
  png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
  if (png == nullptr || info == nullptr) {
    png_destroy_write_struct(&png, nullptr);
    std::fclose(file);
    error = "libpng could not start a write";
    return false;
  }
  rows_.resize(static_cast<std::size_t>(image.height));
  for (int y = 0; y < image.height; ++y) {
    rows_[static_cast<std::size_t>(y)] = image.pixels + static_cast<std::size_t>(y) * image.rowStep;
  }
  volatile bool ok = false;  // read after a longjmp
  if (setjmp(png_jmpbuf(png)) == 0) {
    png_init_io(png, file);
    // Camera pictures: fast compression is plenty.
    png_set_compression_level(png, 1);
    png_set_IHDR(png, info, static_cast<png_uint_32>(image.width), static_cast<png_uint_32>(image.height), image.depth,
                 image.channels == 3 ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    if (image.depth == 16) {
      const std::uint16_t probe = 1;
      std::uint8_t first = 0;
      std::memcpy(&first, &probe, 1);
      if (first == 1) png_set_swap(png);  // little-endian host
    }
    png_write_image(png, const_cast<png_bytepp>(rows_.data()));
    png_write_end(png, nullptr);
    ok = true;
  } else {
    error = "libpng failed to write " + path + ": " + failure.text;
  }
  png_destroy_write_struct(&png, &info);
  if (std::fclose(file) != 0 && ok) {
    error = "cannot finish " + path + ": " + std::strerror(errno);
    ok = false;
  }
  return ok;
}

}  // namespace testkit
