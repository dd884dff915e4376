// Raw frame files: frames laid back to back, each a 64-byte frame header
// whose first 4 bytes (unsigned, little-endian) give the frame's size in
// bytes, header included, followed by its data. The scan reads only the
// size fields and finds where each frame lies; it stops at the first frame
// that cannot be played (a size below the header, a size above the limit, or
// a frame cut short by the end of the file) and says why.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace testkit {

struct FrameSpan {
  std::uint64_t offset = 0;
  std::uint32_t size = 0;
};

struct FrameScan {
  std::vector<FrameSpan> frames;  // the playable frames, in file order
  std::uint32_t largest = 0;      // size of the largest playable frame
  std::string problem;            // why the scan stopped early ("" at a clean end)
  bool truncated = false;         // the last frame is cut short by the end of the file
};

// Frames larger than this are refused (a corrupt size field would otherwise
// ask for gigabytes of buffer).
inline constexpr std::uint32_t kMaxRawFrameSize = 256u << 20;

// Reads `size` bytes at `offset` into `out`; returns how many it got (fewer
// at the end of the data).
using ReadAt = std::function<std::size_t(std::uint64_t offset, std::uint8_t* out, std::size_t size)>;

// Scans data of `total` bytes through `read`.
FrameScan ScanRawFrames(std::uint64_t total, const ReadAt& read, std::uint32_t maxFrame = kMaxRawFrameSize);
// Scans bytes in memory.
FrameScan ScanRawFrames(const std::uint8_t* data, std::size_t size, std::uint32_t maxFrame = kMaxRawFrameSize);

// A raw frame file opened for playing: scanned once, then frames are read
// by index into a caller's buffer (no allocation per frame).
class RawFrameFile {
 public:
  RawFrameFile() = default;
  ~RawFrameFile();
  RawFrameFile(const RawFrameFile&) = delete;
  RawFrameFile& operator=(const RawFrameFile&) = delete;

  // Opens and scans; false with `error` set when the file cannot be read.
  bool Open(const std::string& path, std::string& error, std::uint32_t maxFrame = kMaxRawFrameSize);
  void Close();
  const FrameScan& Scan() const { return scan_; }
  // Reads frame `index` into `out` (at least its size); false on a read error.
  bool ReadFrame(std::size_t index, std::uint8_t* out) const;

 private:
  int fd_ = -1;
  FrameScan scan_;
};

}  // namespace testkit
