// Compressed-image elements of the test source: the record that readers take
// from the element's data pointer (line count at offset 4, data size at 8,
// announced size at 12, data pointer at 32; 40 bytes) followed by the data.
// The data looks like a JPEG stream to a casual eye (FF D8 ... FF D9) and
// byte i of image n in between is CompressedByte(i, n).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace testkit {

inline constexpr std::size_t kCompressedRecordSize = 40;

enum CompressedRecordOffset : std::size_t {
  kCompressedLinesAt = 4,
  kCompressedDataSizeAt = 8,
  kCompressedSizeAt = 12,
  kCompressedFrameAt = 16,  // testkit: image number (u32)
  kCompressedDataAt = 32,
};

std::string CheckCompressedSettings(std::int64_t size, std::int64_t lines);
std::uint8_t CompressedByte(std::size_t index, std::uint64_t image);
// Fills the record and `size` data bytes right behind it at `element`.
void FillCompressedImage(std::uint8_t* element, std::int32_t size, std::int32_t lines, std::uint64_t image);

}  // namespace testkit
