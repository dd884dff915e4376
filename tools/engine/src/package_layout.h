// The check of a package file before the loader maps it: an ELF shared
// library for this processor whose headers and segments lie inside the file.
// A library cut short would otherwise be mapped past its end, and the first
// touch of a missing page kills the process with SIGBUS, before any message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace vtro_engine {

// Reads exactly `size` bytes at `offset`; false when they are not there.
using ReadAtFn = std::function<bool(uint64_t offset, void* buffer, size_t size)>;

// Checks the ELF header, the program headers, every segment the loader maps
// or reads (loadable segments; the dynamic section, notes, TLS image and the
// like must lie inside a loadable one) and the section header table of a
// file of `fileSize` bytes. Returns why the file cannot be loaded, empty when
// its layout is sound.
std::string CheckElfLayout(uint64_t fileSize, const ReadAtFn& readAt);

// Opens `path` (a regular file) and checks its layout; empty when sound.
std::string CheckPackageFile(const std::string& path);

}  // namespace vtro_engine
