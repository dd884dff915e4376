// Package initialisation: runs in its own process so that the first
// VTROPckInit is the one under test.
#include <gtest/gtest.h>

#if defined(_WIN32)
#include <windows.h>
#endif

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "fake_engine.h"
#include "vtro/VTROModuleDefinition.h"

namespace {

int g_initCalls = 0;
void* g_initRecord = nullptr;
int g_lateInitCalls = 0;
int g_record = 0;
int g_lateRecord = 0;

VTROModuleDefinition* const g_module = new VTROModuleDefinition(
    "EntryModule", "EntryGroup", nullptr, &g_record,
    [](void* record) {
      ++g_initCalls;
      g_initRecord = record;
    });

VTRO_MODULE_MARKER(g_marker, "VTROComponent", "EntryMarkerComponent", "4.5.6");

TEST(PackageEntry, InitialisesOnceWithTheRightCodeAndKeepsTheFirstEngine) {
  vtro_test::FakeEngine first;
  vtro_test::FakeEngine second;
  ASSERT_NE(g_module, nullptr);

  // Refused codes change nothing.
  EXPECT_EQ(VTROPckInit(&first, 0), 0);
  EXPECT_EQ(VTROPckInit(&first, 0x804A8 + 1), 0);
  EXPECT_EQ(VTRO::Engine(), nullptr);
  EXPECT_EQ(g_initCalls, 0);

  EXPECT_EQ(VTROPckInit(&first, 0x804A8), 4);
  EXPECT_EQ(VTRO::Engine(), &first);
  EXPECT_EQ(g_initCalls, 1);
  EXPECT_EQ(g_initRecord, &g_record);

  // A second call with another engine answers 4 and keeps the first.
  EXPECT_EQ(VTROPckInit(&second, 525480), 4);
  EXPECT_EQ(VTRO::Engine(), &first);
  EXPECT_EQ(g_initCalls, 1);

  // A module registered after initialisation is initialised on arrival.
  VTROModuleDefinition* late =
      new VTROModuleDefinition("LateModule", "EntryGroup", nullptr, &g_lateRecord, [](void*) { ++g_lateInitCalls; });
  EXPECT_EQ(g_lateInitCalls, 1);
  EXPECT_EQ(VTROGetModulesDefStruct("EntryGroup", nullptr, 0), 2);
  (void)late;
}

TEST(PackageEntry, ModuleMarkerIsStoredInReadOnlyDataOfTheFile) {
#if defined(_WIN32)
  char self[MAX_PATH] = {};
  ::GetModuleFileNameA(nullptr, self, MAX_PATH);
  std::ifstream file(self, std::ios::binary);
#else
  std::ifstream file("/proc/self/exe", std::ios::binary);
#endif
  ASSERT_TRUE(file.good());
  const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  EXPECT_NE(bytes.find("$!VTRO_MODULE!VTROComponent!EntryMarkerComponent!$!4.5.6!$"), std::string::npos);
  EXPECT_STREQ(g_marker, "$!VTRO_MODULE!VTROComponent!EntryMarkerComponent!$!4.5.6!$");
}

}  // namespace
