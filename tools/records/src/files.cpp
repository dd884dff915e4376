#include "files.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace qtu::records {

namespace {

namespace fs = std::filesystem;

std::string Reason() { return errno != 0 ? std::string(": ") + std::strerror(errno) : std::string(); }

// The temporary being written, for the signal handlers. The name is complete
// before the flag is set, and both change only while the signals are blocked.
char g_pending[PATH_MAX];
volatile sig_atomic_t g_hasPending = 0;

// Holds SIGINT and SIGTERM back while the temporary is created, renamed or
// removed, so the handler never sees a half-updated name.
class SignalsHeld {
 public:
  SignalsHeld() {
    sigset_t held;
    sigemptyset(&held);
    sigaddset(&held, SIGINT);
    sigaddset(&held, SIGTERM);
    sigprocmask(SIG_BLOCK, &held, &previous_);
  }
  ~SignalsHeld() { sigprocmask(SIG_SETMASK, &previous_, nullptr); }
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;

 private:
  sigset_t previous_;
};

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

InputFile::InputFile(const std::string& path) {
  // Look before opening: opening a device can block or have effects of its own.
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) throw std::runtime_error("cannot open " + path + Reason());
  if (S_ISDIR(st.st_mode)) throw std::runtime_error(path + " is a directory, not a file");
  if (!S_ISREG(st.st_mode) && !S_ISFIFO(st.st_mode)) {
    throw std::runtime_error(path + " is not a regular file or a pipe");
  }
  const Descriptor fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0 || fstat(fd.get(), &st) != 0) throw std::runtime_error("cannot open " + path + Reason());
  device_ = st.st_dev;
  inode_ = st.st_ino;
  if (S_ISREG(st.st_mode)) {
    if (st.st_size == 0) return;
    void* mapping = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_PRIVATE, fd.get(), 0);
    if (mapping == MAP_FAILED) throw std::runtime_error("cannot read " + path + Reason());
    madvise(mapping, static_cast<size_t>(st.st_size), MADV_SEQUENTIAL);
    mapping_ = mapping;
    data_ = static_cast<const uint8_t*>(mapping);
    size_ = static_cast<size_t>(st.st_size);
    return;
  }
  uint8_t chunk[65536];
  while (true) {
    const ssize_t n = read(fd.get(), chunk, sizeof chunk);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error("cannot read " + path + Reason());
    }
    read_.insert(read_.end(), chunk, chunk + n);
  }
  data_ = read_.data();
  size_ = read_.size();
}

InputFile::~InputFile() {
  if (mapping_ != nullptr) munmap(mapping_, size_);
}

OutputFile::OutputFile(const std::string& path, const InputFile& input) : path_(path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    // Replace the file the link points to, as a shell redirection would, not the link.
    std::error_code ignored;
    const fs::path target = fs::weakly_canonical(path, ignored);
    if (!target.empty()) path_ = target.string();
  }
  const bool exists = stat(path_.c_str(), &st) == 0;
  if (exists && st.st_dev == input.device() && st.st_ino == input.inode()) {
    throw UsageError(path + " is the input file itself; write the output to another file");
  }
  if (exists && S_ISDIR(st.st_mode)) throw std::runtime_error(path + " is a directory, not a file");
  if (exists && !S_ISREG(st.st_mode)) {
    // A pipe or a device keeps no partial file: write to it directly.
    errno = 0;
    out_.open(path_, std::ios::binary);
    if (!out_) throw std::runtime_error("cannot open " + path + Reason());
    return;
  }
  mode_t mode = 0;
  if (exists) {
    mode = st.st_mode & 07777;
  } else {
    const mode_t mask = umask(0);
    umask(mask);
    mode = 0666 & ~mask;
  }
  const fs::path final(path_);
  const fs::path folder = final.has_parent_path() ? final.parent_path() : fs::path(".");
  std::string name = (folder / ("." + final.filename().string() + ".XXXXXX")).string();
  if (name.size() >= sizeof g_pending) throw std::runtime_error("cannot create " + path + ": the path is too long");
  {
    const SignalsHeld held;
    const Descriptor fd(mkostemp(name.data(), O_CLOEXEC));
    if (fd.get() < 0) throw std::runtime_error("cannot create " + path + Reason());
    std::memcpy(g_pending, name.c_str(), name.size() + 1);
    g_hasPending = 1;
    fchmod(fd.get(), mode);
  }
  temporary_ = name;
  errno = 0;
  out_.open(temporary_, std::ios::binary | std::ios::trunc);
  if (!out_) {
    const std::string reason = Reason();
    const SignalsHeld held;
    unlink(temporary_.c_str());
    g_hasPending = 0;
    throw std::runtime_error("cannot create " + path + reason);
  }
}

OutputFile::~OutputFile() {
  if (committed_ || temporary_.empty()) return;
  out_.close();
  const SignalsHeld held;
  unlink(temporary_.c_str());
  g_hasPending = 0;
}

void OutputFile::Commit() {
  errno = 0;
  out_.close();
  if (out_.fail()) throw std::runtime_error("cannot write " + path_ + Reason());
  if (!temporary_.empty()) {
    const SignalsHeld held;
    if (rename(temporary_.c_str(), path_.c_str()) != 0) {
      throw std::runtime_error("cannot replace " + path_ + Reason());
    }
    g_hasPending = 0;
  }
  committed_ = true;
}

void RemovePendingOutput() noexcept {
  if (g_hasPending != 0) unlink(g_pending);
}

}  // namespace qtu::records
