// Writes elements to a folder: DIRECTORY/NNNNNN.bin per element (numbered
// from 000000) and one line "index timestamp size" per element in
// DIRECTORY/index.txt. Paths are formatted into a fixed buffer and files are
// written with plain system calls, so a write allocates nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace testkit {

class DumpWriter {
 public:
  DumpWriter() = default;
  ~DumpWriter();
  DumpWriter(const DumpWriter&) = delete;
  DumpWriter& operator=(const DumpWriter&) = delete;

  // Creates the folder when missing and starts a new index.txt (element
  // files of an earlier run are overwritten as the numbers come round).
  bool Open(const std::string& directory, std::string& error);
  void Close();
  // Writes the next element; false with `error` set on a failed write.
  bool Write(std::int64_t timestamp, const void* data, std::size_t size, std::string& error);
  std::uint64_t Count() const { return count_; }

 private:
  std::string directory_;
  int index_ = -1;
  std::uint64_t count_ = 0;
  char path_[4096] = {};
  std::size_t stem_ = 0;  // length of "DIRECTORY/" in path_
};

// Writes all of `data` to `fd`; false on an error.
bool WriteAll(int fd, const void* data, std::size_t size);
// Creates `directory` and its parents; false with `error` set.
bool MakeDirectories(const std::string& directory, std::string& error);

}  // namespace testkit
