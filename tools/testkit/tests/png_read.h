// Reads a PNG file back with libpng for the tests: samples in row order,
// 16-bit samples as host-order words.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testkit_test {

struct ReadImage {
  int width = 0;
  int height = 0;
  int channels = 0;
  int depth = 0;
  std::vector<std::uint16_t> samples;  // width * height * channels
  std::uint16_t At(int x, int y, int c) const {
    return samples[(static_cast<std::size_t>(y) * width + x) * channels + c];
  }
};

// False with `error` set when the file is not a PNG libpng reads.
bool ReadPng(const std::string& path, ReadImage& image, std::string& error);

}  // namespace testkit_test
