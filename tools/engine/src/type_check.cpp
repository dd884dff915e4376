#include "type_check.h"

#include <cstdio>
#include <cstring>

namespace vtro_engine {
namespace {

constexpr std::uint64_t kVectorFlag = 0x8000000000000000ull;
constexpr std::uint64_t kStructureBits = 0x1 | 0x40000;

struct TypeName {
  std::uint64_t bit;
  const char* name;
};
constexpr TypeName kTypeNames[] = {
    {0x1, "custom structure"},  {0x2, "4-byte numbers"},     {0x4, "8-byte numbers"},
    {0x8, "text"},              {0x20, "IPL image"},         {0x40, "compressed image"},
    {0x80, "24-byte records"},  {0x200, "320-byte records"}, {0x400, "96-byte records"},
    {0x1000, "byte stream"},    {0x8000, "64-bit integers"}, {0x10000, "4-byte numbers"},
    {0x40000, "custom structure"},
};

std::string Hex(std::uint64_t mask) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(mask));
  return text;
}

// True when `names` ("|A|B") holds exactly `name`.
bool ListHolds(const char* names, const char* name) {
  const std::size_t length = std::strlen(name);
  for (const char* p = std::strchr(names, '|'); p != nullptr; p = std::strchr(p + 1, '|')) {
    const char* end = std::strchr(p + 1, '|');
    const std::size_t n = end != nullptr ? static_cast<std::size_t>(end - p - 1) : std::strlen(p + 1);
    if (n == length && std::strncmp(p + 1, name, n) == 0) return true;
  }
  return false;
}

}  // namespace

std::string TypeMaskText(std::uint64_t mask) {
  mask &= ~kVectorFlag;
  for (const auto& t : kTypeNames) {
    if (mask == t.bit) return std::string(t.name) + " (" + Hex(mask) + ")";
  }
  return Hex(mask);
}

std::string CheckConnectionTypes(std::uint64_t outputMask, const char* outputStructure, std::uint64_t filterMask,
                                 const char* filterNames) {
  const std::uint64_t bits = outputMask & ~kVectorFlag;
  if (bits == 0) return "the output declares no element type";
  // The two structure codes name one kind: a filter with either accepts both.
  std::uint64_t accepted = filterMask & ~kVectorFlag;
  if ((accepted & kStructureBits) != 0) accepted |= kStructureBits;
  if ((bits & ~accepted) != 0) {
    return "the output writes " + TypeMaskText(bits) + " but the input accepts " + Hex(filterMask & ~kVectorFlag);
  }
  if ((bits & kStructureBits) != 0 && filterNames != nullptr && std::strchr(filterNames, '|') != nullptr) {
    const char* name = outputStructure != nullptr ? outputStructure : "";
    if (!ListHolds(filterNames, name)) {
      return std::string("the output writes the structure \"") + name + "\" but the input accepts only \"" +
             filterNames + "\"";
    }
  }
  return {};
}

}  // namespace vtro_engine
