#include "compressed.h"

#include <cstring>

#include "le_bytes.h"

namespace testkit {

std::string CheckCompressedSettings(std::int64_t size, std::int64_t lines) {
  if (size < 4 || size > (64 << 20)) return "Size must be between 4 and 67108864 bytes";
  if (lines < 1 || lines > 65535) return "Lines must be between 1 and 65535";
  return {};
}

std::uint8_t CompressedByte(std::size_t index, std::uint64_t image) {
  return static_cast<std::uint8_t>(index * 131 + image * 7 + (index >> 8));
}

void FillCompressedImage(std::uint8_t* element, std::int32_t size, std::int32_t lines, std::uint64_t image) {
  std::memset(element, 0, kCompressedRecordSize);
  Put32(element + kCompressedLinesAt, static_cast<std::uint32_t>(lines));
  Put32(element + kCompressedDataSizeAt, static_cast<std::uint32_t>(size));
  Put32(element + kCompressedSizeAt, static_cast<std::uint32_t>(size));
  Put32(element + kCompressedFrameAt, static_cast<std::uint32_t>(image));
  std::uint8_t* data = element + kCompressedRecordSize;
  const std::uint8_t* pointer = data;
  std::memcpy(element + kCompressedDataAt, &pointer, sizeof pointer);
  const std::size_t n = static_cast<std::size_t>(size);
  for (std::size_t i = 2; i + 2 < n; ++i) data[i] = CompressedByte(i, image);
  data[0] = 0xFF;
  data[1] = 0xD8;
  data[n - 2] = 0xFF;
  data[n - 1] = 0xD9;
}

}  // namespace testkit
