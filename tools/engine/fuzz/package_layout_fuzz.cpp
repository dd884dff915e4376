// libFuzzer target: the package layout check over arbitrary file bytes. It
// never reads outside the bytes, and a file it accepts has an ELF header,
// program headers and loadable segments that all lie inside them.
#include <elf.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "package_layout.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const auto readAt = [data, size](uint64_t offset, void* buffer, size_t count) {
    if (offset > size || count > size - offset) return false;
    std::memcpy(buffer, data + offset, count);
    return true;
  };
  if (!vtro_engine::CheckElfLayout(size, readAt).empty()) return 0;
  Elf64_Ehdr header;
  if (size < sizeof header) std::abort();
  std::memcpy(&header, data, sizeof header);
  if (header.e_phoff > size || uint64_t{header.e_phnum} * sizeof(Elf64_Phdr) > size - header.e_phoff) std::abort();
  bool loadable = false;
  for (uint16_t i = 0; i < header.e_phnum; ++i) {
    Elf64_Phdr p;
    std::memcpy(&p, data + header.e_phoff + i * sizeof p, sizeof p);
    if (p.p_type != PT_LOAD) continue;
    loadable = true;
    if (p.p_offset > size || p.p_filesz > size - p.p_offset || p.p_filesz > p.p_memsz) std::abort();
  }
  if (!loadable) std::abort();
  return 0;
}
