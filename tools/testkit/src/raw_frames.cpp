#include "raw_frames.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "file_compat.h"
#include "frame_header.h"
#include "le_bytes.h"

namespace testkit {

FrameScan ScanRawFrames(std::uint64_t total, const ReadAt& read, std::uint32_t maxFrame) {
  FrameScan scan;
  std::uint64_t offset = 0;
  while (offset < total) {
    const std::uint64_t left = total - offset;
    std::uint8_t field[4];
    if (left < sizeof field || read(offset, field, sizeof field) < sizeof field) {
      scan.truncated = true;
      scan.problem = "the last frame at offset " + std::to_string(offset) + " is truncated: only " +
                     std::to_string(left) + " byte(s) left, not even its size field";
      break;
    }
    const std::uint32_t size = Get32(field);
    if (size < kFrameHeaderSize) {
      scan.problem = "the frame at offset " + std::to_string(offset) + " announces " + std::to_string(size) +
                     " bytes, less than its 64-byte header";
      break;
    }
    if (size > maxFrame) {
      scan.problem = "the frame at offset " + std::to_string(offset) + " announces " + std::to_string(size) +
                     " bytes, more than the limit of " + std::to_string(maxFrame);
      break;
    }
    if (size > left) {
      scan.truncated = true;
      scan.problem = "the last frame at offset " + std::to_string(offset) + " is truncated: it announces " +
                     std::to_string(size) + " bytes but the file holds only " + std::to_string(left);
      break;
    }
    scan.frames.push_back({offset, size});
    if (size > scan.largest) scan.largest = size;
    offset += size;
  }
  return scan;
}

FrameScan ScanRawFrames(const std::uint8_t* data, std::size_t size, std::uint32_t maxFrame) {
  return ScanRawFrames(
      size,
      [data, size](std::uint64_t offset, std::uint8_t* out, std::size_t n) -> std::size_t {
        if (offset >= size) return 0;
        const std::size_t got = static_cast<std::size_t>(std::min<std::uint64_t>(n, size - offset));
        std::memcpy(out, data + offset, got);
        return got;
      },
      maxFrame);
}

RawFrameFile::~RawFrameFile() { Close(); }

void RawFrameFile::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  scan_ = FrameScan{};
}

bool RawFrameFile::Open(const std::string& path, std::string& error, std::uint32_t maxFrame) {
  Close();
  fd_ = ::open(path.c_str(), file::kReadFlags);
  if (fd_ < 0) {
    error = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  std::uint64_t size = 0;
  if (!file::RegularFileSize(fd_, size)) {
    error = path + " is not a regular file";
    Close();
    return false;
  }
  const int fd = fd_;
  scan_ = ScanRawFrames(
      size,
      [fd](std::uint64_t offset, std::uint8_t* out, std::size_t n) -> std::size_t {
        const long got = file::PRead(fd, out, n, offset);
        return got < 0 ? 0 : static_cast<std::size_t>(got);
      },
      maxFrame);
  return true;
}

bool RawFrameFile::ReadFrame(std::size_t index, std::uint8_t* out) const {
  if (fd_ < 0 || index >= scan_.frames.size()) return false;
  const FrameSpan& span = scan_.frames[index];
  std::size_t done = 0;
  while (done < span.size) {
    const long got = file::PRead(fd_, out + done, span.size - done, span.offset + done);
    if (got <= 0) {
      if (got < 0 && errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(got);
  }
  return true;
}

}  // namespace testkit
