#include "dump_writer.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "file_compat.h"

namespace testkit {

bool WriteAll(int fd, const void* data, std::size_t size) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  while (size > 0) {
    const auto n = ::write(fd, p, static_cast<unsigned>(size > 0x40000000u ? 0x40000000u : size));
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool MakeDirectories(const std::string& directory, std::string& error) {
  std::error_code ec;
  std::filesystem::create_directories(directory, ec);
  if (ec || !std::filesystem::is_directory(directory, ec)) {
    error = "cannot create the folder " + directory + (ec ? ": " + ec.message() : "");
    return false;
  }
  return true;
}

DumpWriter::~DumpWriter() { Close(); }

void DumpWriter::Close() {
  if (index_ >= 0) ::close(index_);
  index_ = -1;
}

bool DumpWriter::Open(const std::string& directory, std::string& error) {
  Close();
  count_ = 0;
  if (directory.empty()) {
    error = "no folder given";
    return false;
  }
  if (!MakeDirectories(directory, error)) return false;
  directory_ = directory;
  const int n = std::snprintf(path_, sizeof path_, "%s/", directory.c_str());
  if (n < 0 || static_cast<std::size_t>(n) + 16 >= sizeof path_) {
    error = "the folder name is too long: " + directory;
    return false;
  }
  stem_ = static_cast<std::size_t>(n);
  std::snprintf(path_ + stem_, sizeof path_ - stem_, "index.txt");
  index_ = ::open(path_, file::kWriteFlags, 0644);
  if (index_ < 0) {
    error = std::string("cannot create ") + path_ + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

bool DumpWriter::Write(std::int64_t timestamp, const void* data, std::size_t size, std::string& error) {
  if (index_ < 0) {
    error = "the dump is not open";
    return false;
  }
  std::snprintf(path_ + stem_, sizeof path_ - stem_, "%06" PRIu64 ".bin", count_);
  const int fd = ::open(path_, file::kWriteFlags, 0644);
  if (fd < 0) {
    error = std::string("cannot create ") + path_ + ": " + std::strerror(errno);
    return false;
  }
  const bool written = WriteAll(fd, data, size);
  const int saved = errno;
  ::close(fd);
  if (!written) {
    error = std::string("cannot write ") + path_ + ": " + std::strerror(saved);
    return false;
  }
  char line[96];
  const int n = std::snprintf(line, sizeof line, "%" PRIu64 " %" PRId64 " %zu\n", count_, timestamp, size);
  if (!WriteAll(index_, line, static_cast<std::size_t>(n))) {
    error = "cannot write " + directory_ + "/index.txt: " + std::strerror(errno);
    return false;
  }
  ++count_;
  return true;
}

}  // namespace testkit
