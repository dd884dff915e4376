// qtu-records: the input file read in place, and the output written under a
// temporary name beside its final name, so that a failed or interrupted run
// leaves the final name as it was.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <fstream>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace qtu::records {

// A command line whose files cannot work together (OUT is IN).
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The bytes of an input file. A regular file is mapped read-only, so its size
// costs no memory; a pipe is read to its end. Anything else (a directory, a
// device) is refused. Errors are std::runtime_error texts naming the path.
class InputFile {
 public:
  explicit InputFile(const std::string& path);
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  std::span<const uint8_t> bytes() const { return {data_, size_}; }
  dev_t device() const { return device_; }
  ino_t inode() const { return inode_; }

 private:
  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
  void* mapping_ = nullptr;
  std::vector<uint8_t> read_;  // what a pipe gave
  dev_t device_ = 0;
  ino_t inode_ = 0;
};

// An output file. A regular (or new) file is written under a hidden
// temporary name in the same folder and renamed over the final name by
// Commit(); until then the final name keeps what it held, and the destructor
// (or RemovePendingOutput() from a signal handler) removes the temporary. An
// existing pipe or device is written directly. Refuses, with UsageError, an
// output that is the input file (same device and inode, whatever the path).
class OutputFile {
 public:
  OutputFile(const std::string& path, const InputFile& input);
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  std::ostream& stream() { return out_; }
  // Flushes and closes the stream, then gives the data its final name.
  // Throws std::runtime_error naming the path when either fails.
  void Commit();

 private:
  std::string path_;       // final name (a symbolic link's target)
  std::string temporary_;  // empty when writing directly
  std::ofstream out_;
  bool committed_ = false;
};

// Removes the temporary of the output being written, if any. Async-signal-safe:
// the program's SIGINT and SIGTERM handlers call it before they exit.
void RemovePendingOutput() noexcept;

}  // namespace qtu::records
