// libFuzzer target of the raw frame file scan: any bytes must scan without a
// fault, and every playable frame must lie inside the data, back to back,
// with a size between the header and the limit.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "raw_frames.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto scan = testkit::ScanRawFrames(data, size, 1u << 16);
  std::uint64_t next = 0;
  for (const auto& frame : scan.frames) {
    if (frame.offset != next || frame.size < 64 || frame.size > (1u << 16) || frame.offset + frame.size > size) {
      std::abort();
    }
    next = frame.offset + frame.size;
  }
  if (scan.problem.empty() != (next == size)) {
    std::abort();
  }
  return 0;
}
