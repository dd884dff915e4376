// Opening the files the engine reads (packages, diagrams, files to scan):
// a directory, a device or a socket is refused with a reason before a byte is
// read, so that /dev/zero cannot feed the engine for ever and a FIFO without a
// writer cannot block it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace vtro_engine {

class InputFile {
 public:
  // Opens `path` for reading: a regular file, or a pipe when `allowPipe`.
  // nullopt with `error` set ("cannot open PATH: why", "PATH is a
  // directory", ...) otherwise. A FIFO without a writer reads as empty.
  static std::optional<InputFile> Open(const std::string& path, bool allowPipe, std::string& error);

  InputFile(InputFile&& other) noexcept;
  InputFile& operator=(InputFile&&) = delete;
  InputFile(const InputFile&) = delete;
  ~InputFile();

  bool IsPipe() const { return pipe_; }
  // Size of a regular file at the time it was opened (0 for a pipe).
  uint64_t Size() const { return size_; }
  // Reads exactly `size` bytes at `offset` of a regular file; false when the
  // file holds fewer or cannot be read.
  bool ReadAt(uint64_t offset, void* buffer, size_t size) const;
  // Reads the next bytes in order: the count, 0 at the end, -1 on an error.
  long Read(void* buffer, size_t capacity);

 private:
  InputFile(int fd, bool pipe, uint64_t size) : fd_(fd), pipe_(pipe), size_(size) {}
  int fd_ = -1;
  bool pipe_ = false;
  uint64_t size_ = 0;
};

// The whole content of a file (regular or pipe) of at most `limit` bytes;
// nullopt with `error` naming the path otherwise.
std::optional<std::string> ReadWholeFile(const std::string& path, uint64_t limit, std::string& error);

// "1.5 GiB", "16 MiB", "640 KiB", "12 bytes": sizes in messages.
std::string SizeText(uint64_t bytes);

}  // namespace vtro_engine
