#include "package_layout.h"

#include <cstring>
#include <vector>

namespace vtro_engine {
namespace {

// The fixed parts of a PE file as the Windows loader reads them (all fields
// little-endian, read in host order).
struct CoffHeader {
  uint16_t machine;
  uint16_t sectionCount;
  uint32_t timeDateStamp;
  uint32_t symbolTableOffset;
  uint32_t symbolCount;
  uint16_t optionalHeaderSize;
  uint16_t characteristics;
};
static_assert(sizeof(CoffHeader) == 20);

struct SectionHeader {
  char name[8];
  uint32_t virtualSize;
  uint32_t virtualAddress;
  uint32_t rawSize;
  uint32_t rawOffset;
  uint32_t relocationsOffset;
  uint32_t lineNumbersOffset;
  uint16_t relocationCount;
  uint16_t lineNumberCount;
  uint32_t characteristics;
};
static_assert(sizeof(SectionHeader) == 40);
static_assert(offsetof(SectionHeader, rawSize) == 16 && offsetof(SectionHeader, rawOffset) == 20);
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the fields are read in host order");

constexpr uint64_t kDosHeaderSize = 64;
constexpr uint64_t kPeHeaderPointerAt = 0x3C;
constexpr uint16_t kMachineAmd64 = 0x8664;
constexpr uint16_t kMachineArm64 = 0xAA64;
constexpr uint16_t kCharacteristicExecutable = 0x0002;
constexpr uint16_t kCharacteristicDll = 0x2000;
constexpr uint16_t kMagicPe32 = 0x10B;
constexpr uint16_t kMagicPe32Plus = 0x20B;
// PE32+ optional header up to and with the count of data directories.
constexpr uint16_t kOptionalHeaderMinimum = 112;
constexpr uint64_t kSymbolSize = 18;

#if defined(__x86_64__)
constexpr uint16_t kHostMachine = kMachineAmd64;
#elif defined(__aarch64__)
constexpr uint16_t kHostMachine = kMachineArm64;
#else
#error "add the PE machine of this processor"
#endif

bool Inside(uint64_t offset, uint64_t size, uint64_t fileSize) {
  return offset <= fileSize && size <= fileSize - offset;
}

std::string Cut(const std::string& what, uint64_t end, uint64_t fileSize) {
  return what + " ends at byte " + std::to_string(end) + ", past the end of the file (" + std::to_string(fileSize) +
         " bytes): the file is cut short or damaged";
}

std::string Hex(uint32_t value) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  do {
    text.insert(text.begin(), kDigits[value % 16]);
    value /= 16;
  } while (value != 0);
  return "0x" + text;
}

}  // namespace

std::string CheckPeLayout(uint64_t fileSize, const ReadAtFn& readAt) {
  if (fileSize == 0) return "the file is empty";
  unsigned char magic[2] = {};
  if (fileSize < 2 || !readAt(0, magic, 2) || magic[0] != 'M' || magic[1] != 'Z') {
    return "not a PE file (a package is a DLL)";
  }
  if (fileSize < kDosHeaderSize) {
    return "the DOS header is cut short: the file has " + std::to_string(fileSize) + " bytes";
  }
  uint32_t peAt = 0;
  if (!readAt(kPeHeaderPointerAt, &peAt, sizeof peAt)) return "the DOS header cannot be read";
  const uint64_t headersEnd = uint64_t{peAt} + 4 + sizeof(CoffHeader);
  if (!Inside(peAt, 4 + sizeof(CoffHeader), fileSize)) {
    return Cut("the PE header at offset " + std::to_string(peAt), headersEnd, fileSize);
  }
  unsigned char signature[4] = {};
  CoffHeader coff;
  if (!readAt(peAt, signature, 4) || !readAt(peAt + 4, &coff, sizeof coff)) return "the PE header cannot be read";
  if (std::memcmp(signature, "PE\0\0", 4) != 0) {
    return "not a PE file: no PE signature at offset " + std::to_string(peAt);
  }
  if (coff.machine != kHostMachine) {
    return "built for machine " + Hex(coff.machine) + ", not for this processor (" + Hex(kHostMachine) + ")";
  }
  if ((coff.characteristics & kCharacteristicDll) == 0) {
    return (coff.characteristics & kCharacteristicExecutable) != 0 ? "not a DLL but an executable"
                                                                   : "not a DLL but an object file";
  }
  if (coff.optionalHeaderSize < kOptionalHeaderMinimum) {
    return "an optional header of " + std::to_string(coff.optionalHeaderSize) + " bytes, fewer than the " +
           std::to_string(kOptionalHeaderMinimum) + " of a 64-bit DLL";
  }
  if (!Inside(headersEnd, coff.optionalHeaderSize, fileSize)) {
    return Cut("the optional header", headersEnd + coff.optionalHeaderSize, fileSize);
  }
  uint16_t optionalMagic = 0;
  if (!readAt(headersEnd, &optionalMagic, sizeof optionalMagic)) return "the optional header cannot be read";
  if (optionalMagic != kMagicPe32Plus) {
    return optionalMagic == kMagicPe32 ? "a 32-bit DLL; this engine loads 64-bit packages"
                                       : "an optional header of unknown kind " + Hex(optionalMagic);
  }
  if (coff.sectionCount == 0) return "no sections: nothing to load";
  const uint64_t tableAt = headersEnd + coff.optionalHeaderSize;
  const uint64_t tableSize = uint64_t{coff.sectionCount} * sizeof(SectionHeader);
  if (!Inside(tableAt, tableSize, fileSize)) {
    return Cut("the table of " + std::to_string(coff.sectionCount) + " section headers at offset " +
                   std::to_string(tableAt),
               tableAt + tableSize, fileSize);
  }
  std::vector<SectionHeader> sections(coff.sectionCount);
  if (!readAt(tableAt, sections.data(), tableSize)) return "the section headers cannot be read";
  for (size_t i = 0; i < sections.size(); ++i) {
    const SectionHeader& s = sections[i];
    if (s.rawSize == 0) continue;  // only in memory (.bss)
    if (!Inside(s.rawOffset, s.rawSize, fileSize)) {
      const std::string name(s.name, strnlen(s.name, sizeof s.name));
      return Cut("section #" + std::to_string(i) + " (" + name + ", " + std::to_string(s.rawSize) +
                     " bytes at offset " + std::to_string(s.rawOffset) + ")",
                 uint64_t{s.rawOffset} + s.rawSize, fileSize);
    }
  }
  if (coff.symbolTableOffset != 0) {
    // Debug symbols: not needed by the loader, but the last thing in an
    // unstripped file; where they are missing, the file was cut short.
    const uint64_t size = uint64_t{coff.symbolCount} * kSymbolSize;
    if (!Inside(coff.symbolTableOffset, size, fileSize)) {
      return Cut("the table of " + std::to_string(coff.symbolCount) + " symbols at offset " +
                     std::to_string(coff.symbolTableOffset),
                 uint64_t{coff.symbolTableOffset} + size, fileSize);
    }
  }
  return {};
}

}  // namespace vtro_engine
