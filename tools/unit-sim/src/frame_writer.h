// Writes complete frames to a folder: ch<N>_frame<K>.raw with the frame's bytes
// as received, and optionally ch<N>_frame<K>.png for mono 8- or 16-bit frames
// (16-bit samples taken as little-endian, width = lineSize / bytes per sample).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qtusim {

class FrameWriter {
 public:
  FrameWriter(std::string folder, unsigned pngBits);
  // Returns false when a file could not be written (reported once on stderr).
  bool write(int channel, uint64_t frameIndex, const uint8_t* data, size_t size, uint16_t lineSize,
             uint16_t lineCount);

 private:
  bool writePng(const std::string& path, const uint8_t* data, uint16_t lineSize, uint16_t lineCount);

  std::string folder_;
  unsigned pngBits_;
  bool warned_ = false;
};

}  // namespace qtusim
