// The few file calls of the testkit, the same on every system: POSIX open and
// pread, and on Windows the C runtime's _open in binary mode (text mode would
// turn every 0x0A written into 0x0D 0x0A) with a seek and a read, since it has
// no pread. A file is read by one thread at a time.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#include <io.h>
#include <stdio.h>
#else
#include <unistd.h>
#endif

namespace testkit::file {

#if defined(_WIN32)
inline constexpr int kReadFlags = O_RDONLY | O_BINARY | O_NOINHERIT;
inline constexpr int kWriteFlags = O_WRONLY | O_CREAT | O_TRUNC | O_BINARY | O_NOINHERIT;

inline long PRead(int fd, void* out, std::size_t size, std::uint64_t offset) {
  if (::_lseeki64(fd, static_cast<__int64>(offset), SEEK_SET) < 0) return -1;
  return ::_read(fd, out, size > 0x40000000u ? 0x40000000u : static_cast<unsigned>(size));
}

// The size of an open regular file; false for anything else.
inline bool RegularFileSize(int fd, std::uint64_t& size) {
  struct _stat64 st;
  if (::_fstat64(fd, &st) != 0 || (st.st_mode & _S_IFMT) != _S_IFREG) return false;
  size = static_cast<std::uint64_t>(st.st_size);
  return true;
}
#else
inline constexpr int kReadFlags = O_RDONLY | O_CLOEXEC;
inline constexpr int kWriteFlags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;

inline long PRead(int fd, void* out, std::size_t size, std::uint64_t offset) {
  return static_cast<long>(::pread(fd, out, size, static_cast<off_t>(offset)));
}

inline bool RegularFileSize(int fd, std::uint64_t& size) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  size = static_cast<std::uint64_t>(st.st_size);
  return true;
}
#endif

}  // namespace testkit::file
