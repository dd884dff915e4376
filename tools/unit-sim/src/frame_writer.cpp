#include "frame_writer.h"

#include <png.h>

#include <cstdio>
#include <filesystem>
#include <memory>

#include "output_file.h"

namespace qtusim {

FrameWriter::FrameWriter(std::string folder, unsigned pngBits)
    : folder_(std::move(folder)), pngBits_(pngBits) {
  std::error_code ec;
  std::filesystem::create_directories(folder_, ec);
}

bool FrameWriter::write(int channel, uint64_t frameIndex, const uint8_t* data, size_t size,
                        uint16_t lineSize, uint16_t lineCount) {
  char name[64];
  std::snprintf(name, sizeof name, "ch%d_frame%06llu", channel,
                static_cast<unsigned long long>(frameIndex));
  const std::string base = folder_ + "/" + name;
  bool ok = false;
  const std::string raw = base + ".raw", part = raw + ".part";
  if (std::FILE* f = std::fopen(part.c_str(), "wb")) {
    ok = std::fwrite(data, 1, size, f) == size;
    ok = std::fclose(f) == 0 && ok;
    ok = commitPart(part, raw, ok);
  }
  const bool pngFits = (pngBits_ == 8 || pngBits_ == 16) && lineCount > 0 &&
                       size == static_cast<size_t>(lineSize) * lineCount &&
                       lineSize % (pngBits_ / 8) == 0 && lineSize > 0;
  if (ok && pngFits) ok = writePng(base + ".png", data, lineSize, lineCount);
  if (!ok && !warned_) {
    std::fprintf(stderr, "qtu-unit-sim: cannot write frames to %s\n", folder_.c_str());
    warned_ = true;
  }
  return ok;
}

bool FrameWriter::writePng(const std::string& path, const uint8_t* data, uint16_t lineSize,
                           uint16_t lineCount) {
  const std::string part = path + ".part";
  std::FILE* f = std::fopen(part.c_str(), "wb");
  if (f == nullptr) return false;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
  volatile bool ok = false;  // set between setjmp and a possible longjmp
  if (info != nullptr && setjmp(png_jmpbuf(png)) == 0) {
    png_init_io(png, f);
    const unsigned bytesPerSample = pngBits_ / 8;
    png_set_IHDR(png, info, lineSize / bytesPerSample, lineCount, static_cast<int>(pngBits_),
                 PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_set_compression_level(png, 1);
    png_write_info(png, info);
    if (pngBits_ == 16) png_set_swap(png);  // samples arrive little-endian
    for (unsigned row = 0; row < lineCount; ++row)
      png_write_row(png, const_cast<png_bytep>(data + static_cast<size_t>(row) * lineSize));
    png_write_end(png, nullptr);
    ok = true;
  }
  png_destroy_write_struct(&png, info != nullptr ? &info : nullptr);
  const bool complete = std::fclose(f) == 0 && ok;
  return commitPart(part, path, complete);
}

}  // namespace qtusim
