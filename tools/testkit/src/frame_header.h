// The 64-byte frame header in front of every frame-header stream element
// (type bit 0x1000) and of every frame of a raw frame file. Readers use:
// the frame size (offset 0), bits at offset 10 (alignment in bits of a CSI-2
// capture, bits per pixel of a raw image) and the 16-bit count at offset 12
// (packets of a CSI-2 capture, lines of a raw image). The testkit also fills
// a frame number, the first word count and a timestamp for people and tools
// that look at the bytes; no reader relies on them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace testkit {

inline constexpr std::size_t kFrameHeaderSize = 64;

enum FrameHeaderOffset : std::size_t {
  kFrameSizeAt = 0,      // u32 LE: bytes of the whole frame, header included
  kFrameNumberAt = 4,    // u32 LE: testkit frame number
  kFrameBitsAt = 10,     // u8: alignment in bits (CSI-2) or bits per pixel (image)
  kFrameCountAt = 12,    // u16 LE: packets (CSI-2) or lines (image)
  kFrameWordCountAt = 14,  // u16 LE: word count of the long packets (CSI-2)
  kFrameTimestampAt = 16,  // i64 LE: µs
};

}  // namespace testkit
