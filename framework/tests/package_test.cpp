// The built package file: only the two entry points are visible, the count
// query answers, and a wrapping package can forward its initialisation.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <string>

#include "fake_engine.h"
#include "vtro/VTROModuleDefinition.h"

namespace {

#ifndef VTRO_PACKAGE_FILE
#error VTRO_PACKAGE_FILE must name the package to test
#endif

TEST(PackageFile, ExportsOnlyTheEntryPointsAndAnswersTheCountQuery) {
  void* library = dlopen(VTRO_PACKAGE_FILE, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();
  using Init = std::int32_t (*)(VTROEngineInterface*, std::int32_t);
  using Enumerate = std::int32_t (*)(const char*, void**, std::int32_t);
  auto init = reinterpret_cast<Init>(dlsym(library, "VTROPckInit"));
  auto enumerate = reinterpret_cast<Enumerate>(dlsym(library, "VTROGetModulesDefStruct"));
  ASSERT_NE(init, nullptr);
  ASSERT_NE(enumerate, nullptr);
  // Framework internals stay hidden, whatever their mangled names.
  EXPECT_EQ(dlsym(library, "_ZN4VTRO6EngineEv"), nullptr);
  EXPECT_EQ(dlsym(library, "_ZN9VTROEvent3SetEv"), nullptr);

  EXPECT_GE(enumerate(nullptr, nullptr, 0), 0);
  EXPECT_EQ(init(&vtro_test::Engine(), 0), 0);
  EXPECT_EQ(init(&vtro_test::Engine(), 0x804A8), 4);
  // Not closed: the registry is kept for the life of the process by design,
  // and an unload would leave it unreachable.
}

TEST(PackageFile, InitialisationIsForwardedToAWrappedLibrary) {
  vtro_test::FakeEngine& engine = vtro_test::Engine();
  // Kept loaded for the same reason as above.
  static VTRODynamicLibrary& library = *new VTRODynamicLibrary;
  std::int32_t result = 0;
  EXPECT_FALSE(VTRO::ForwardPckInitToLibrary(&library, &result));
  EXPECT_EQ(result, 0x7FFFFFFF);
  EXPECT_TRUE(engine.FindReport("VTRO::ForwardPckInitToLibrary: Dynamic library is not loaded"));

  ASSERT_TRUE(library.Load("libc.so.6"));
  EXPECT_FALSE(VTRO::ForwardPckInitToLibrary(&library, &result));
  EXPECT_TRUE(
      engine.FindReport("VTRO::ForwardPckInitToLibrary: Failed to load 'VTROPckInit' from the dynamic library"));

  ASSERT_TRUE(library.Load(VTRO_PACKAGE_FILE));
  EXPECT_TRUE(VTRO::ForwardPckInitToLibrary(&library, &result));
  EXPECT_EQ(result, 4);
}

}  // namespace
