// Module registry: count and fill answers, duplicates, group adoption and
// subgroups.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_engine.h"
#include "platform/vtro_platform.h"
#include "vtro/VTROModuleDefinition.h"

namespace {

int g_first = 1;
int g_second = 2;

// Registered while the program loads, like the components of a package.
VTROModuleDefinition* const g_firstModule = new VTROModuleDefinition("First", "VTROComponent", nullptr, &g_first);
VTRO_REGISTER_COMPONENT(g_secondModule, "Second", g_second);

std::vector<std::string> g_boxes;
std::vector<int> g_icons;
void CaptureBox(const char* text, const char* title, int icon) {
  g_boxes.push_back(std::string(title) + "|" + text);
  g_icons.push_back(icon);
}

class Registry : public ::testing::Test {
 protected:
  void SetUp() override {
    g_boxes.clear();
    g_icons.clear();
    vtro::platform::SetMessageBoxSink(CaptureBox);
  }
  void TearDown() override { vtro::platform::SetMessageBoxSink(nullptr); }
};

TEST_F(Registry, CountQueryAnswersForAllGroupsANamedGroupAndAnUnknownOne) {
  ASSERT_NE(g_secondModule, nullptr);
  EXPECT_STREQ(g_secondModule->GroupName(), "VTROComponent");
  const int all = VTROGetModulesDefStruct(nullptr, nullptr, 0);
  EXPECT_GE(all, 2);
  EXPECT_EQ(VTROGetModulesDefStruct("VTROComponent", nullptr, 0), VTRO::CountModules("VTROComponent"));
  EXPECT_EQ(VTROGetModulesDefStruct("NoSuchGroup", nullptr, 0), -1);
}

TEST_F(Registry, FillWritesRecordsInRegistrationOrderUpToTheCapacity) {
  void* records[4] = {nullptr, nullptr, nullptr, nullptr};
  EXPECT_EQ(VTROGetModulesDefStruct("VTROComponent", records, 1), 1);
  EXPECT_EQ(records[0], &g_first);
  EXPECT_EQ(records[1], nullptr);

  EXPECT_EQ(VTROGetModulesDefStruct("VTROComponent", records, 2), 2);
  EXPECT_EQ(records[0], &g_first);
  EXPECT_EQ(records[1], &g_second);

  void* untouched[2] = {&g_boxes, &g_boxes};
  EXPECT_EQ(VTROGetModulesDefStruct(nullptr, untouched, 0), 0);
  EXPECT_EQ(VTROGetModulesDefStruct(nullptr, untouched, -3), 0);
  EXPECT_EQ(untouched[0], &g_boxes);
  EXPECT_EQ(VTROGetModulesDefStruct("NoSuchGroup", untouched, 2), 0);
  EXPECT_EQ(untouched[0], &g_boxes);
}

TEST_F(Registry, DuplicateNameIsReportedOnceAndBothStayListed) {
  const int before = VTROGetModulesDefStruct("DupGroup", nullptr, 0);
  EXPECT_EQ(before, -1);
  static int a = 0;
  static int b = 0;
  new VTROModuleDefinition("Twin", "DupGroup", nullptr, &a);
  EXPECT_TRUE(g_boxes.empty());
  new VTROModuleDefinition("Twin", "DupGroup", nullptr, &b);
  ASSERT_EQ(g_boxes.size(), 1u);
  EXPECT_EQ(g_boxes[0], ".\\src\\ModuleManagement|Module Twin already referenced in the category DupGroup\n");
  EXPECT_EQ(g_icons[0], vtro::platform::kNoIcon);  // a plain box: OK button, no icon
  EXPECT_EQ(VTROGetModulesDefStruct("DupGroup", nullptr, 0), 2);
  void* records[2];
  ASSERT_EQ(VTROGetModulesDefStruct("DupGroup", records, 2), 2);
  EXPECT_EQ(records[0], &a);
  EXPECT_EQ(records[1], &b);
}

int g_groupInits = 0;
int g_groupExits = 0;

TEST_F(Registry, ExplicitGroupAdoptsTheModulesOfAnImplicitOne) {
  static int x = 0;
  static int y = 0;
  VTROModuleDefinition* mx = new VTROModuleDefinition("X", "Adopted", nullptr, &x);
  VTROModuleDefinition* my = new VTROModuleDefinition("Y", "Adopted", nullptr, &y);
  const int groupsBefore = VTRO::ModuleGroups().Count();

  VTROModuleGroupDefinition* group =
      new VTROModuleGroupDefinition("Adopted", [] { ++g_groupInits; }, [] { ++g_groupExits; });
  EXPECT_EQ(g_groupInits, 1);
  EXPECT_EQ(g_groupExits, 0);  // the replaced implicit group had no exit callback
  EXPECT_EQ(VTRO::ModuleGroups().Count(), groupsBefore);
  EXPECT_EQ(VTRO::FindModuleGroup("Adopted"), group);
  int named = 0;
  for (VTROModuleGroupDefinition* each : VTRO::ModuleGroups()) named += std::string(each->Name()) == "Adopted";
  EXPECT_EQ(named, 1);

  void* records[2];
  ASSERT_EQ(VTROGetModulesDefStruct("Adopted", records, 2), 2);
  EXPECT_EQ(records[0], &x);
  EXPECT_EQ(records[1], &y);
  // The definitions now name the new group's own string.
  EXPECT_EQ(mx->GroupName(), group->Name());
  EXPECT_EQ(my->GroupName(), group->Name());
}

TEST_F(Registry, SubgroupsCountRecursivelyAndFillDepthFirst) {
  static int p1 = 0, c1 = 0, c2 = 0, g1 = 0;
  new VTROModuleGroupDefinition("Parent");
  new VTROModuleDefinition("P1", "Parent", nullptr, &p1);
  new VTROModuleGroupDefinition("Child", nullptr, nullptr, "Parent");
  new VTROModuleDefinition("C1", "Child", nullptr, &c1);
  new VTROModuleGroupDefinition("Grandchild", nullptr, nullptr, "Child");
  new VTROModuleDefinition("G1", "Grandchild", nullptr, &g1);
  new VTROModuleDefinition("C2", "Child", nullptr, &c2);

  EXPECT_EQ(VTROGetModulesDefStruct("Parent", nullptr, 0), 4);
  EXPECT_EQ(VTRO::CountModules("Parent", false), 1);
  void* records[4] = {};
  ASSERT_EQ(VTROGetModulesDefStruct("Parent", records, 4), 4);
  EXPECT_EQ(records[0], &p1);
  EXPECT_EQ(records[1], &c1);
  EXPECT_EQ(records[2], &c2);
  EXPECT_EQ(records[3], &g1);
  // The capacity stops the walk inside a subgroup.
  void* two[3] = {};
  ASSERT_EQ(VTROGetModulesDefStruct("Parent", two, 2), 2);
  EXPECT_EQ(two[1], &c1);
  EXPECT_EQ(two[2], nullptr);
}

TEST_F(Registry, NullGroupNameShowsItsMessageAndGoesOn) {
  VTROModuleGroupDefinition* group = new VTROModuleGroupDefinition(nullptr);
  ASSERT_EQ(g_boxes.size(), 1u);
  EXPECT_EQ(g_boxes[0], ".\\src\\ModuleManagement|VTROModuleGroupDefinition construction : the group name can't be NULL\n");
  EXPECT_EQ(g_icons[0], vtro::platform::kNoIcon);
  EXPECT_EQ(group->Name(), nullptr);
  EXPECT_EQ(VTRO::FindModuleGroup(nullptr), group);
}

TEST_F(Registry, DestroyingADefinitionUnlinksItAndCallsItsExitCallback) {
  static int record = 0;
  static void* exited = nullptr;
  VTROModuleDefinition* module =
      new VTROModuleDefinition("Gone", "Leaving", nullptr, &record, nullptr, [](void* r) { exited = r; });
  EXPECT_EQ(VTROGetModulesDefStruct("Leaving", nullptr, 0), 1);
  delete module;
  EXPECT_EQ(exited, &record);
  EXPECT_EQ(VTROGetModulesDefStruct("Leaving", nullptr, 0), 0);
}

}  // namespace
