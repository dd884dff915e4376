// Windows implementation of the engine's platform layer: LoadLibraryEx with
// the altered search path, GetModuleFileNameA, thread names (SetThreadDescription
// and the POSIX thread library's), the console (mode, width, Ctrl-C handler)
// and files through CreateFileA and ReadFile. Built by the windows preset and
// run under Wine.
#include "platform/engine_platform.h"

#include <windows.h>
#include <io.h>
#include <pthread.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

namespace vtro_engine::platform {
namespace {

void (*g_interruptHandler)() = nullptr;

BOOL WINAPI OnConsoleEvent(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
      if (g_interruptHandler != nullptr) g_interruptHandler();
      return TRUE;
    default:
      return FALSE;
  }
}

std::string ErrorText(DWORD code) {
  char* text = nullptr;
  const DWORD n = ::FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string result = n > 0 && text != nullptr ? std::string(text, n) : std::string("system error");
  if (text != nullptr) ::LocalFree(text);
  while (!result.empty() && (result.back() == '\n' || result.back() == '\r' || result.back() == ' ' ||
                             result.back() == '.')) {
    result.pop_back();
  }
  return result + " (error " + std::to_string(code) + ")";
}

HANDLE AsHandle(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

}  // namespace

void* LibraryLoad(const std::string& path, std::string& error) {
  // The altered search path looks for the libraries a package imports (the
  // unit client's QZQTUApi.dll) in the package's own folder first, as it
  // sits beside the engine. It takes an absolute path with backslashes.
  std::error_code ec;
  std::string absolute = std::filesystem::absolute(path, ec).string();
  if (ec) absolute = path;
  for (char& c : absolute) {
    if (c == '/') c = '\\';
  }
  // A missing import must come back as an error, not as a dialog box.
  DWORD oldMode = 0;
  ::SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &oldMode);
  HMODULE module = ::LoadLibraryExA(absolute.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  const DWORD code = ::GetLastError();
  ::SetThreadErrorMode(oldMode, nullptr);
  if (module == nullptr) error = ErrorText(code);
  return reinterpret_cast<void*>(module);
}

void* LibrarySymbol(void* library, const char* name) {
  return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(library), name));
}

std::string ExecutablePath() {
  std::vector<char> buffer(MAX_PATH);
  while (true) {
    const DWORD n = ::GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (n == 0) return {};
    // A full buffer means the name was cut: try a larger one.
    if (n < buffer.size()) return std::string(buffer.data(), n);
    if (buffer.size() >= 32768) return {};
    buffer.resize(buffer.size() * 2);
  }
}

bool HasFolder(const std::string& path) { return path.find_first_of("/\\:") != std::string::npos; }

void SetThreadName(const std::string& name) {
  // The POSIX thread library of this build keeps a name of its own, which
  // components read with pthread_getname_np.
  pthread_setname_np(pthread_self(), name.c_str());
  // SetThreadDescription came with Windows 10 1607: looked up, so the engine
  // still starts where it is missing.
  using SetDescriptionFn = HRESULT(WINAPI*)(HANDLE, PCWSTR);
  static const auto setDescription = reinterpret_cast<SetDescriptionFn>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleA("kernel32.dll"), "SetThreadDescription")));
  if (setDescription == nullptr) return;
  const int n = ::MultiByteToWideChar(CP_UTF8, 0, name.c_str(), -1, nullptr, 0);
  if (n <= 0) return;
  std::vector<wchar_t> wide(static_cast<size_t>(n));
  ::MultiByteToWideChar(CP_UTF8, 0, name.c_str(), -1, wide.data(), n);
  setDescription(::GetCurrentThread(), wide.data());
}

bool StdoutIsTerminal() {
  // _isatty is true for any character device, NUL included: the console is
  // the one that also has a console mode.
  if (::_isatty(::_fileno(stdout)) == 0) return false;
  DWORD mode = 0;
  return ::GetConsoleMode(::GetStdHandle(STD_OUTPUT_HANDLE), &mode) != FALSE;
}

std::size_t TerminalColumns() {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (::GetConsoleScreenBufferInfo(::GetStdHandle(STD_OUTPUT_HANDLE), &info) &&
      info.srWindow.Right >= info.srWindow.Left) {
    return static_cast<std::size_t>(info.srWindow.Right - info.srWindow.Left + 1);
  }
  return 100;
}

void InstallInterruptHandler(void (*handler)()) {
  g_interruptHandler = handler;
  ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

void ExitNow(const char* text, int status) {
  DWORD written = 0;
  ::WriteFile(::GetStdHandle(STD_ERROR_HANDLE), text, static_cast<DWORD>(std::strlen(text)), &written, nullptr);
  ::_exit(status);
}

bool FileOpen(const std::string& path, OpenedFile& file, std::string& error) {
  // Opening the client end of a named pipe without a server fails at once
  // (nothing waits for one), as a FIFO without a writer reads as empty.
  HANDLE handle = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD code = ::GetLastError();
    // A folder cannot be opened as a file: it fails as access denied.
    const DWORD attributes = ::GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      error = path + " is a directory, not a file";
    } else {
      error = "cannot open " + path + ": " + ErrorText(code);
    }
    return false;
  }
  file.handle = reinterpret_cast<std::intptr_t>(handle);
  file.size = 0;
  switch (::GetFileType(handle)) {
    case FILE_TYPE_DISK: {
      file.kind = FileKind::Regular;
      LARGE_INTEGER size;
      if (!::GetFileSizeEx(handle, &size)) {
        error = "cannot read " + path + ": " + ErrorText(::GetLastError());
        ::CloseHandle(handle);
        return false;
      }
      file.size = static_cast<std::uint64_t>(size.QuadPart);
      break;
    }
    case FILE_TYPE_PIPE:
      file.kind = FileKind::Pipe;
      break;
    default:
      file.kind = FileKind::Other;  // a console, NUL, a serial port
      break;
  }
  return true;
}

long FileRead(std::intptr_t handle, void* buffer, std::size_t capacity) {
  DWORD got = 0;
  const DWORD want = capacity > 0x40000000u ? 0x40000000u : static_cast<DWORD>(capacity);
  if (::ReadFile(AsHandle(handle), buffer, want, &got, nullptr)) return static_cast<long>(got);
  // The writer of a pipe closed its end: that is the end of the data.
  return ::GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
}

long FileReadAt(std::intptr_t handle, std::uint64_t offset, void* buffer, std::size_t capacity) {
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD got = 0;
  const DWORD want = capacity > 0x40000000u ? 0x40000000u : static_cast<DWORD>(capacity);
  if (::ReadFile(AsHandle(handle), buffer, want, &got, &at)) return static_cast<long>(got);
  return ::GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
}

void FileClose(std::intptr_t handle) {
  if (handle != -1) ::CloseHandle(AsHandle(handle));
}

std::string LastErrorText() { return ErrorText(::GetLastError()); }

}  // namespace vtro_engine::platform
