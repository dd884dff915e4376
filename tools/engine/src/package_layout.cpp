#include "package_layout.h"

#include <elf.h>

#include <cstdio>
#include <vector>

#include "input_file.h"

namespace vtro_engine {
namespace {

#if defined(__x86_64__)
constexpr uint16_t kHostMachine = EM_X86_64;
#elif defined(__aarch64__)
constexpr uint16_t kHostMachine = EM_AARCH64;
#else
#error "add the ELF machine of this processor"
#endif

static_assert(sizeof(Elf64_Ehdr) == 64 && sizeof(Elf64_Phdr) == 56 && sizeof(Elf64_Shdr) == 64);
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the fields are read in host order");

std::string Cut(const std::string& what, uint64_t end, uint64_t fileSize) {
  return what + " ends at byte " + std::to_string(end) + ", past the end of the file (" + std::to_string(fileSize) +
         " bytes): the file is cut short or damaged";
}

// [offset, offset + size) inside [0, fileSize), without overflow.
bool Inside(uint64_t offset, uint64_t size, uint64_t fileSize) {
  return offset <= fileSize && size <= fileSize - offset;
}

const char* TypeName(uint16_t type) {
  switch (type) {
    case ET_REL:
      return "a relocatable object";
    case ET_EXEC:
      return "an executable";
    case ET_CORE:
      return "a core dump";
    default:
      return "of an unknown ELF type";
  }
}

// Segments whose bytes the loader reads from the mapped image: they must lie
// inside what a loadable segment maps.
bool ReadFromImage(uint32_t type) {
  switch (type) {
    case PT_DYNAMIC:
    case PT_INTERP:
    case PT_NOTE:
    case PT_PHDR:
    case PT_TLS:
    case PT_GNU_EH_FRAME:
    case PT_GNU_RELRO:
    case PT_GNU_PROPERTY:
      return true;
    default:
      return false;
  }
}

std::string SegmentName(size_t index, const Elf64_Phdr& p) {
  char kind[24];
  std::snprintf(kind, sizeof kind, "type 0x%x", p.p_type);
  const char* name = p.p_type == PT_LOAD ? "loadable" : p.p_type == PT_DYNAMIC ? "dynamic" : kind;
  return "segment #" + std::to_string(index) + " (" + name + ", " + std::to_string(p.p_filesz) + " bytes at offset " +
         std::to_string(p.p_offset) + ")";
}

}  // namespace

std::string CheckElfLayout(uint64_t fileSize, const ReadAtFn& readAt) {
  if (fileSize == 0) return "the file is empty";
  unsigned char ident[EI_NIDENT] = {};
  const size_t identSize = fileSize < EI_NIDENT ? static_cast<size_t>(fileSize) : EI_NIDENT;
  if (!readAt(0, ident, identSize)) return "the file cannot be read";
  if (identSize < SELFMAG || ident[EI_MAG0] != ELFMAG0 || ident[EI_MAG1] != ELFMAG1 || ident[EI_MAG2] != ELFMAG2 ||
      ident[EI_MAG3] != ELFMAG3) {
    return "not an ELF file (a package is a shared library)";
  }
  if (fileSize < sizeof(Elf64_Ehdr)) {
    return "the ELF header is cut short: the file has " + std::to_string(fileSize) + " bytes";
  }
  if (ident[EI_CLASS] != ELFCLASS64) {
    return ident[EI_CLASS] == ELFCLASS32 ? "a 32-bit ELF file; this engine loads 64-bit packages"
                                         : "an ELF file of unknown class " + std::to_string(ident[EI_CLASS]);
  }
  if (ident[EI_DATA] != ELFDATA2LSB) return "a big-endian ELF file; this engine loads little-endian packages";
  Elf64_Ehdr header;
  if (!readAt(0, &header, sizeof header)) return "the ELF header cannot be read";
  if (header.e_machine != kHostMachine) {
    return "built for ELF machine " + std::to_string(header.e_machine) + ", not for this processor (" +
           std::to_string(kHostMachine) + ")";
  }
  if (header.e_type != ET_DYN) {
    return std::string("not a shared library but ") + TypeName(header.e_type) + " (ELF type " +
           std::to_string(header.e_type) + ")";
  }
  if (header.e_phnum == 0) return "no program headers: nothing to load";
  if (header.e_phentsize != sizeof(Elf64_Phdr)) {
    return "program header entries of " + std::to_string(header.e_phentsize) + " bytes, not " +
           std::to_string(sizeof(Elf64_Phdr));
  }
  const uint64_t tableSize = uint64_t{header.e_phnum} * sizeof(Elf64_Phdr);
  if (!Inside(header.e_phoff, tableSize, fileSize)) {
    return Cut("the table of " + std::to_string(header.e_phnum) + " program headers at offset " +
                   std::to_string(header.e_phoff),
               header.e_phoff > UINT64_MAX - tableSize ? UINT64_MAX : header.e_phoff + tableSize, fileSize);
  }
  std::vector<Elf64_Phdr> segments(header.e_phnum);
  if (!readAt(header.e_phoff, segments.data(), tableSize)) return "the program headers cannot be read";

  std::vector<const Elf64_Phdr*> loads;
  for (size_t i = 0; i < segments.size(); ++i) {
    const Elf64_Phdr& p = segments[i];
    if (p.p_type != PT_LOAD && !ReadFromImage(p.p_type)) continue;
    if (!Inside(p.p_offset, p.p_filesz, fileSize)) {
      return Cut(SegmentName(i, p), p.p_offset > UINT64_MAX - p.p_filesz ? UINT64_MAX : p.p_offset + p.p_filesz,
                 fileSize);
    }
    if (p.p_filesz > p.p_memsz) return SegmentName(i, p) + " holds more bytes in the file than in memory";
    if (p.p_vaddr > UINT64_MAX - p.p_memsz) return SegmentName(i, p) + " ends past the address space";
    if (p.p_type == PT_LOAD) loads.push_back(&p);
  }
  if (loads.empty()) return "no loadable segment";
  bool dynamic = false;
  for (size_t i = 0; i < segments.size(); ++i) {
    const Elf64_Phdr& p = segments[i];
    // What the loader reads is the part backed by the file (a TLS segment's
    // zeroed tail takes no room in the image).
    if (!ReadFromImage(p.p_type) || p.p_filesz == 0) continue;
    dynamic = dynamic || p.p_type == PT_DYNAMIC;
    bool mapped = false;
    for (const Elf64_Phdr* load : loads) {
      mapped = mapped || (p.p_vaddr >= load->p_vaddr && p.p_vaddr - load->p_vaddr <= load->p_memsz &&
                          p.p_filesz <= load->p_memsz - (p.p_vaddr - load->p_vaddr));
    }
    if (!mapped) return SegmentName(i, p) + " lies outside every loadable segment";
  }
  if (!dynamic) return "no dynamic section: not a shared library";
  if (header.e_shoff != 0) {
    // Not needed by the loader, but the last thing in the file: where it is
    // missing, the file was cut short.
    const uint64_t count = header.e_shnum == 0 ? 1 : header.e_shnum;
    const uint64_t size = count * header.e_shentsize;
    if (!Inside(header.e_shoff, size, fileSize)) {
      return Cut("the table of " + std::to_string(count) + " section headers at offset " +
                     std::to_string(header.e_shoff),
                 header.e_shoff > UINT64_MAX - size ? UINT64_MAX : header.e_shoff + size, fileSize);
    }
  }
  return {};
}

std::string CheckPackageFile(const std::string& path) {
  std::string error;
  auto file = InputFile::Open(path, false, error);
  if (!file) return error;
  return CheckElfLayout(file->Size(), [&file](uint64_t offset, void* buffer, size_t size) {
    return file->ReadAt(offset, buffer, size);
  });
}

}  // namespace vtro_engine
