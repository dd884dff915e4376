// libFuzzer target of RawFramePlayer's file reader: any bytes must scan
// without a fault, every playable frame must lie inside the data, back to
// back, with a size between the header and the limit, and the file reader
// (the same bytes as a file) must find the same frames and read each one
// back byte for byte.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "raw_frames.h"

namespace {

constexpr std::uint32_t kLimit = 1u << 16;

void check(bool ok) {
  if (!ok) std::abort();
}

// One in-memory file, rewritten for every input.
int file() {
  static const int fd = memfd_create("raw_frames_fuzz", 0);
  check(fd >= 0);
  return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto scan = testkit::ScanRawFrames(data, size, kLimit);
  std::uint64_t next = 0;
  for (const auto& frame : scan.frames) {
    check(frame.offset == next && frame.size >= 64 && frame.size <= kLimit && frame.offset + frame.size <= size);
    next = frame.offset + frame.size;
  }
  check(scan.problem.empty() == (next == size));

  const int fd = file();
  check(ftruncate(fd, 0) == 0 && pwrite(fd, data, size, 0) == static_cast<ssize_t>(size));
  testkit::RawFrameFile reader;
  std::string error;
  check(reader.Open("/proc/self/fd/" + std::to_string(fd), error, kLimit));
  const auto& read = reader.Scan();
  check(read.frames.size() == scan.frames.size() && read.largest == scan.largest &&
        read.problem == scan.problem && read.truncated == scan.truncated);
  std::vector<std::uint8_t> buffer(read.largest);
  for (std::size_t i = 0; i < read.frames.size(); ++i) {
    check(read.frames[i].offset == scan.frames[i].offset && read.frames[i].size == scan.frames[i].size);
    check(reader.ReadFrame(i, buffer.data()));
    check(std::memcmp(buffer.data(), data + read.frames[i].offset, read.frames[i].size) == 0);
  }
  check(!reader.ReadFrame(read.frames.size(), buffer.data()));
  return 0;
}
