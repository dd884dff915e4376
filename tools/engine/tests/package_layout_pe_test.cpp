// The PE check of a package file: a small sound 64-bit DLL image, then one
// damage at a time, each refused with its reason.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "package_layout.h"

namespace vtro_engine {
namespace {

using Bytes = std::vector<unsigned char>;

constexpr size_t kPeAt = 0x80;
constexpr size_t kCoffAt = kPeAt + 4;
constexpr size_t kOptionalAt = kCoffAt + 20;
constexpr size_t kOptionalSize = 240;
constexpr size_t kSectionsAt = kOptionalAt + kOptionalSize;

void Put16(Bytes& b, size_t at, uint16_t v) { std::memcpy(&b[at], &v, 2); }
void Put32(Bytes& b, size_t at, uint32_t v) { std::memcpy(&b[at], &v, 4); }

// DOS header, PE header, PE32+ optional header, .text (512 bytes at 0x400)
// and .bss (nothing in the file, placed far past its end).
Bytes SoundDll() {
  Bytes b(0x600, 0);
  b[0] = 'M';
  b[1] = 'Z';
  Put32(b, 0x3C, kPeAt);
  std::memcpy(&b[kPeAt], "PE\0\0", 4);
  Put16(b, kCoffAt, 0x8664);
  Put16(b, kCoffAt + 2, 2);
  Put16(b, kCoffAt + 16, kOptionalSize);
  Put16(b, kCoffAt + 18, 0x2022);  // DLL, executable image, large addresses
  Put16(b, kOptionalAt, 0x20B);
  std::memcpy(&b[kSectionsAt], ".text", 5);
  Put32(b, kSectionsAt + 16, 0x200);
  Put32(b, kSectionsAt + 20, 0x400);
  std::memcpy(&b[kSectionsAt + 40], ".bss", 4);
  Put32(b, kSectionsAt + 40 + 20, 0x7fffff00);
  return b;
}

std::string Check(const Bytes& b) {
  return CheckPeLayout(b.size(), [&b](uint64_t offset, void* out, size_t size) {
    if (offset > b.size() || size > b.size() - offset) return false;
    std::memcpy(out, b.data() + offset, size);
    return true;
  });
}

TEST(PeLayout, SoundDllPassesAndEachDamageIsRefusedWithItsReason) {
  ASSERT_EQ(Check(SoundDll()), "");
  struct Case {
    const char* what;
    std::function<void(Bytes&)> damage;
    const char* reason;
  };
  const std::vector<Case> cases = {
      {"empty", [](Bytes& b) { b.clear(); }, "the file is empty"},
      {"ELF", [](Bytes& b) { std::memcpy(b.data(), "\x7f" "ELF", 4); }, "not a PE file (a package is a DLL)"},
      {"cut DOS header", [](Bytes& b) { b.resize(40); }, "the DOS header is cut short: the file has 40 bytes"},
      {"PE header past the end", [](Bytes& b) { Put32(b, 0x3C, 0x5F0); }, "past the end of the file (1536 bytes)"},
      {"huge PE header pointer", [](Bytes& b) { Put32(b, 0x3C, 0xFFFFFFF0); }, "the PE header at offset 4294967280"},
      {"no signature", [](Bytes& b) { b[kPeAt] = 'X'; }, "not a PE file: no PE signature at offset 128"},
      {"32-bit x86", [](Bytes& b) { Put16(b, kCoffAt, 0x14C); }, "built for machine 0x14c, not for this processor"},
      {"executable", [](Bytes& b) { Put16(b, kCoffAt + 18, 0x0022); }, "not a DLL but an executable"},
      {"object file", [](Bytes& b) { Put16(b, kCoffAt + 18, 0); }, "not a DLL but an object file"},
      {"short optional header", [](Bytes& b) { Put16(b, kCoffAt + 16, 96); }, "an optional header of 96 bytes"},
      {"PE32", [](Bytes& b) { Put16(b, kOptionalAt, 0x10B); }, "a 32-bit DLL"},
      {"no sections", [](Bytes& b) { Put16(b, kCoffAt + 2, 0); }, "no sections: nothing to load"},
      {"section table past the end", [](Bytes& b) { Put16(b, kCoffAt + 2, 40); }, "the table of 40 section headers"},
      {"cut in .text", [](Bytes& b) { b.resize(0x500); }, "section #0 (.text, 512 bytes at offset 1024)"},
      {"section offset wraps", [](Bytes& b) { Put32(b, kSectionsAt + 20, 0xFFFFFF00); }, "section #0 (.text"},
      {"symbols past the end",
       [](Bytes& b) {
         Put32(b, kCoffAt + 8, 0x5F0);
         Put32(b, kCoffAt + 12, 10);
       },
       "the table of 10 symbols at offset 1520"},
  };
  for (const auto& c : cases) {
    Bytes b = SoundDll();
    c.damage(b);
    const std::string reason = Check(b);
    EXPECT_NE(reason.find(c.reason), std::string::npos) << c.what << ": " << reason;
  }
}

// Every prefix of a sound image is refused (a download cut short at any byte),
// and no read is made outside the file.
TEST(PeLayout, EveryCutIsRefused) {
  const Bytes whole = SoundDll();
  for (size_t size = 0; size < whole.size(); size += 7) {
    const Bytes cut(whole.begin(), whole.begin() + static_cast<long>(size));
    EXPECT_NE(Check(cut), "") << size;
  }
}

}  // namespace
}  // namespace vtro_engine
