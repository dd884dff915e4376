// The engine's platform layer: what loading packages, reading files, naming
// threads, the terminal and Ctrl-C need from the system. One implementation
// per system (posix/engine_platform_posix.cpp, windows/engine_platform_windows.cpp),
// chosen by CMake; nothing else in the engine includes a system header for these.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vtro_engine::platform {

// Loads a package library with local symbol binding and every symbol bound
// at once (dlopen RTLD_NOW | RTLD_LOCAL; LoadLibraryEx with the altered
// search path, so the libraries a package imports are found in the package's
// own folder first). Null with `error` set on failure. Libraries stay loaded.
void* LibraryLoad(const std::string& path, std::string& error);
// Address of an exported function, or null.
void* LibrarySymbol(void* library, const char* name);

// The running program's own file, empty when the system cannot tell.
std::string ExecutablePath();
// True for a path with a folder part ("a/b"; on Windows also "a\b" and "C:b").
bool HasFolder(const std::string& path);

// Names the calling thread after a component (cut to what the system keeps).
void SetThreadName(const std::string& name);

// Standard output is a terminal (the live progress line is shown only there),
// and its width in columns (100 when unknown).
bool StdoutIsTerminal();
std::size_t TerminalColumns();

// Calls `handler` on Ctrl-C (and SIGTERM, or a console close on Windows).
// The handler runs on a signal or console thread: it must only set atomics
// or end the process with ExitNow.
void InstallInterruptHandler(void (*handler)());
// Writes `text` to standard error and ends the process with `status` at
// once, without running destructors or waiting for threads.
[[noreturn]] void ExitNow(const char* text, int status);

// A file opened for reading, by handle. Kinds as the system tells them.
enum class FileKind { Regular, Pipe, Directory, Other };
struct OpenedFile {
  std::intptr_t handle = -1;  // -1: not open
  FileKind kind = FileKind::Other;
  std::uint64_t size = 0;  // regular files
};
// Opens `path` read-only without blocking on a FIFO that has no writer and
// without making a terminal the controlling one. False with `error`
// ("cannot open PATH: why", "PATH is a directory, not a file") on failure.
bool FileOpen(const std::string& path, OpenedFile& file, std::string& error);
// Reads from the current position: the count, 0 at the end, -1 on an error.
long FileRead(std::intptr_t handle, void* buffer, std::size_t capacity);
// Reads at `offset`; the count, 0 past the end, -1 on an error. A handle is
// read either in order or at offsets, never both (Windows moves the position).
long FileReadAt(std::intptr_t handle, std::uint64_t offset, void* buffer, std::size_t capacity);
void FileClose(std::intptr_t handle);
// The text of the system's last error of this thread (errno, GetLastError).
std::string LastErrorText();

}  // namespace vtro_engine::platform
