#include "input_file.h"

#include "platform/engine_platform.h"

namespace vtro_engine {

std::optional<InputFile> InputFile::Open(const std::string& path, bool allowPipe, std::string& error) {
  platform::OpenedFile opened;
  if (!platform::FileOpen(path, opened, error)) return std::nullopt;
  const bool pipe = opened.kind == platform::FileKind::Pipe;
  if (opened.kind != platform::FileKind::Regular && !(pipe && allowPipe)) {
    error = opened.kind == platform::FileKind::Directory ? path + " is a directory, not a file"
            : allowPipe                                   ? path + " is not a regular file or a pipe"
                                                          : path + " is not a regular file";
    platform::FileClose(opened.handle);
    return std::nullopt;
  }
  return InputFile(opened.handle, pipe, opened.size);
}

InputFile::InputFile(InputFile&& other) noexcept : handle_(other.handle_), pipe_(other.pipe_), size_(other.size_) {
  other.handle_ = -1;
}

InputFile::~InputFile() { platform::FileClose(handle_); }

bool InputFile::ReadAt(uint64_t offset, void* buffer, size_t size) const {
  auto* out = static_cast<char*>(buffer);
  while (size > 0) {
    const long n = platform::FileReadAt(handle_, offset, out, size);
    if (n <= 0) return false;
    out += n;
    offset += static_cast<uint64_t>(n);
    size -= static_cast<size_t>(n);
  }
  return true;
}

long InputFile::Read(void* buffer, size_t capacity) { return platform::FileRead(handle_, buffer, capacity); }

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
      error = "cannot read " + path + ": " + platform::LastErrorText();
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
