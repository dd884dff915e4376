// POSIX implementation of the engine's platform layer: dlopen, /proc/self/exe,
// pthread names, isatty and TIOCGWINSZ, sigaction, open/pread.
#include "platform/engine_platform.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace vtro_engine::platform {
namespace {
void (*g_interruptHandler)() = nullptr;
extern "C" void OnSignal(int) {
  if (g_interruptHandler != nullptr) g_interruptHandler();
}
}  // namespace

void* LibraryLoad(const std::string& path, std::string& error) {
  dlerror();
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = dlerror();
    error = why != nullptr ? why : "unknown error";
  }
  return handle;
}

void* LibrarySymbol(void* library, const char* name) { return dlsym(library, name); }

std::string ExecutablePath() {
  std::error_code ec;
  const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : exe.string();
}

bool HasFolder(const std::string& path) { return path.find('/') != std::string::npos; }

void SetThreadName(const std::string& name) {
  // Linux keeps 15 characters and refuses longer names.
  pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
}

bool StdoutIsTerminal() { return ::isatty(STDOUT_FILENO) == 1; }

std::size_t TerminalColumns() {
  winsize size{};
  if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 100;
}

void InstallInterruptHandler(void (*handler)()) {
  g_interruptHandler = handler;
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

void ExitNow(const char* text, int status) {
  [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, text, std::strlen(text));
  ::_exit(status);
}

bool FileOpen(const std::string& path, OpenedFile& file, std::string& error) {
  // Non-blocking, so that opening a FIFO does not wait for a writer.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    error = errno == EISDIR ? path + " is a directory, not a file"
                            : "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    error = "cannot read " + path + ": " + std::strerror(errno);
    ::close(fd);
    return false;
  }
  file.handle = fd;
  file.kind = S_ISREG(st.st_mode)    ? FileKind::Regular
              : S_ISFIFO(st.st_mode) ? FileKind::Pipe
              : S_ISDIR(st.st_mode)  ? FileKind::Directory
                                     : FileKind::Other;
  file.size = file.kind == FileKind::Regular ? static_cast<std::uint64_t>(st.st_size) : 0;
  // Reads block again from here on (a pipe waits for its writer's data).
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return true;
}

long FileRead(std::intptr_t handle, void* buffer, std::size_t capacity) {
  while (true) {
    const ssize_t n = ::read(static_cast<int>(handle), buffer, capacity);
    if (n >= 0 || errno != EINTR) return static_cast<long>(n);
  }
}

long FileReadAt(std::intptr_t handle, std::uint64_t offset, void* buffer, std::size_t capacity) {
  while (true) {
    const ssize_t n = ::pread(static_cast<int>(handle), buffer, capacity, static_cast<off_t>(offset));
    if (n >= 0 || errno != EINTR) return static_cast<long>(n);
  }
}

void FileClose(std::intptr_t handle) {
  if (handle >= 0) ::close(static_cast<int>(handle));
}

std::string LastErrorText() { return std::strerror(errno); }

}  // namespace vtro_engine::platform
