#include "input_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vtro_engine {

std::optional<InputFile> InputFile::Open(const std::string& path, bool allowPipe, std::string& error) {
  // Non-blocking, so that opening a FIFO does not wait for a writer.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    error = errno == EISDIR ? path + " is a directory, not a file" : "cannot open " + path + ": " + std::strerror(errno);
    return std::nullopt;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    error = "cannot read " + path + ": " + std::strerror(errno);
    ::close(fd);
    return std::nullopt;
  }
  const bool pipe = S_ISFIFO(st.st_mode);
  if (!S_ISREG(st.st_mode) && !(pipe && allowPipe)) {
    error = S_ISDIR(st.st_mode) ? path + " is a directory, not a file"
            : allowPipe          ? path + " is not a regular file or a pipe"
                                 : path + " is not a regular file";
    ::close(fd);
    return std::nullopt;
  }
  // Reads block again from here on (a pipe waits for its writer's data).
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return InputFile(fd, pipe, pipe ? 0 : static_cast<uint64_t>(st.st_size));
}

InputFile::InputFile(InputFile&& other) noexcept : fd_(other.fd_), pipe_(other.pipe_), size_(other.size_) {
  other.fd_ = -1;
}

InputFile::~InputFile() {
  if (fd_ >= 0) ::close(fd_);
}

bool InputFile::ReadAt(uint64_t offset, void* buffer, size_t size) const {
  auto* out = static_cast<char*>(buffer);
  while (size > 0) {
    const ssize_t n = ::pread(fd_, out, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    out += n;
    offset += static_cast<uint64_t>(n);
    size -= static_cast<size_t>(n);
  }
  return true;
}

long InputFile::Read(void* buffer, size_t capacity) {
  while (true) {
    const ssize_t n = ::read(fd_, buffer, capacity);
    if (n >= 0 || errno != EINTR) return static_cast<long>(n);
  }
}

std::optional<std::string> ReadWholeFile(const std::string& path, uint64_t limit, std::string& error) {
  auto file = InputFile::Open(path, true, error);
  if (!file) return std::nullopt;
  const auto tooLarge = [&] {
    error = path + " is larger than the " + SizeText(limit) + " this engine reads";
    return std::nullopt;
  };
  if (file->Size() > limit) return tooLarge();
  std::string text;
  text.reserve(static_cast<size_t>(file->Size()));
  char buffer[65536];
  while (true) {
    const long n = file->Read(buffer, sizeof buffer);
    if (n < 0) {
      error = "cannot read " + path + ": " + std::strerror(errno);
      return std::nullopt;
    }
    if (n == 0) break;
    if (text.size() + static_cast<size_t>(n) > limit) return tooLarge();
    text.append(buffer, static_cast<size_t>(n));
  }
  return text;
}

std::string SizeText(uint64_t bytes) {
  static constexpr const char* kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
  if (bytes < 1024 || bytes % 1024 != 0) return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
  int unit = 0;
  bytes /= 1024;
  while (unit < 3 && bytes % 1024 == 0 && bytes >= 1024) {
    bytes /= 1024;
    ++unit;
  }
  return std::to_string(bytes) + " " + kUnits[unit];
}

}  // namespace vtro_engine
