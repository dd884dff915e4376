// The Windows package files loaded the way the engine loads them
// (LoadLibrary): every DLL they import resolves, the two entry points are
// found by their plain names and answer, nothing else is exported, and a
// wrapping package can forward its initialisation through the framework's
// own library object.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "../fake_engine.h"
#include "vtro/VTROModuleDefinition.h"

namespace {

using Init = std::int32_t (*)(VTROEngineInterface*, std::int32_t);
using Enumerate = std::int32_t (*)(const char*, void**, std::int32_t);

// The component names of the module markers in a package file, sorted.
std::vector<std::string> MarkedComponents(const char* file) {
  std::ifstream in(file, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::string head = "$!VTRO_MODULE!VTROComponent!";
  std::vector<std::string> names;
  for (std::size_t at = bytes.find(head); at != std::string::npos; at = bytes.find(head, at + 1)) {
    const std::size_t start = at + head.size();
    const std::size_t end = bytes.find("!$!", start);
    if (end != std::string::npos) names.push_back(bytes.substr(start, end - start));
  }
  // Debug information may hold a second copy of a marker.
  std::sort(names.begin(), names.end());
  names.erase(std::unique(names.begin(), names.end()), names.end());
  return names;
}

struct PackageCase {
  const char* file;
  std::size_t atLeast;  // records the package must hold
};

class WindowsPackage : public testing::TestWithParam<PackageCase> {};

TEST_P(WindowsPackage, LoadsAndAnswersThroughItsTwoEntryPoints) {
  const PackageCase& c = GetParam();
  // Kept loaded: the registry lives as long as the process by design.
  HMODULE library = ::LoadLibraryA(c.file);
  ASSERT_NE(library, nullptr) << c.file << ": error " << ::GetLastError();
  auto init = reinterpret_cast<Init>(reinterpret_cast<void*>(::GetProcAddress(library, "VTROPckInit")));
  auto enumerate =
      reinterpret_cast<Enumerate>(reinterpret_cast<void*>(::GetProcAddress(library, "VTROGetModulesDefStruct")));
  ASSERT_NE(init, nullptr);
  ASSERT_NE(enumerate, nullptr);
  // Framework internals stay hidden, under any name.
  for (const char* hidden : {"_ZN4VTRO6EngineEv", "_ZN9VTROEvent3SetEv", "VTROPckInit@8"}) {
    EXPECT_EQ(::GetProcAddress(library, hidden), nullptr) << hidden;
  }

  // The records handed out are those of the components whose markers the
  // file holds.
  const std::int32_t count = enumerate(nullptr, nullptr, 0);
  ASSERT_GE(count, static_cast<std::int32_t>(c.atLeast));
  std::vector<void*> records(static_cast<std::size_t>(count) + 1, nullptr);
  ASSERT_EQ(enumerate(nullptr, records.data(), static_cast<std::int32_t>(records.size())), count);
  std::vector<std::string> names;
  for (std::int32_t i = 0; i < count; ++i) {
    // Offset 0 of a definition record: the component name.
    names.push_back(*static_cast<const char* const*>(records[static_cast<std::size_t>(i)]));
  }
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, MarkedComponents(c.file));
  EXPECT_EQ(init(&vtro_test::Engine(), 0), 0);
  EXPECT_EQ(init(&vtro_test::Engine(), 0x804A8), 4);
}

INSTANTIATE_TEST_SUITE_P(
    Files, WindowsPackage,
    testing::Values(PackageCase{VTRO_PACKAGE_FILE, 0}, PackageCase{VTRO_FWTEST_PACKAGE_FILE, 3}),
    [](const testing::TestParamInfo<PackageCase>& info) { return info.index == 0 ? "Product" : "FrameworkTest"; });

TEST(WindowsPackageForwarding, InitialisationIsForwardedToAWrappedLibrary) {
  vtro_test::FakeEngine& engine = vtro_test::Engine();
  static VTRODynamicLibrary& library = *new VTRODynamicLibrary;
  std::int32_t result = 0;
  ASSERT_TRUE(library.Load("kernel32.dll"));
  EXPECT_FALSE(VTRO::ForwardPckInitToLibrary(&library, &result));
  EXPECT_TRUE(
      engine.FindReport("VTRO::ForwardPckInitToLibrary: Failed to load 'VTROPckInit' from the dynamic library"));
  ASSERT_TRUE(library.Load(VTRO_PACKAGE_FILE));
  EXPECT_TRUE(VTRO::ForwardPckInitToLibrary(&library, &result));
  EXPECT_EQ(result, 4);
}

}  // namespace
