// The framework's string and containers, and renaming a component.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <utility>

#include "fake_engine.h"
#include "test_components.h"
#include "vtro/VTROList.h"
#include "vtro/VTROStackedString.h"

namespace vtro_test {
namespace {

TEST(StackedString, CrossesTheInlineBufferAndSurvivesSelfReference) {
  const std::string short39(39, 'a');
  const std::string long40(40, 'b');
  VTROStackedString text(short39.c_str());
  EXPECT_EQ(text.size(), 39u);
  EXPECT_STREQ(text.c_str(), short39.c_str());
  text.Append("c");  // now 40 characters: leaves the inline buffer
  EXPECT_EQ(std::string(text.c_str()), short39 + "c");
  text.Append(text.c_str());  // appending itself while it grows
  EXPECT_EQ(std::string(text.c_str()), short39 + "c" + short39 + "c");
  text.Assign(text.c_str() + 40);  // assigning a part of itself
  EXPECT_EQ(std::string(text.c_str()), short39 + "c");

  VTROStackedString moved(std::move(text));
  EXPECT_EQ(std::string(moved.c_str()), short39 + "c");
  EXPECT_STREQ(text.c_str(), "");  // NOLINT: moved-from is empty
  VTROStackedString copy = moved;
  copy = long40.c_str();
  EXPECT_EQ(copy.size(), 40u);
  EXPECT_TRUE(copy == long40.c_str());
  copy = static_cast<const char*>(nullptr);
  EXPECT_TRUE(copy.empty());
  EXPECT_TRUE(copy == static_cast<const char*>(nullptr));
}

TEST(List, AppendsRemovesAndCounts) {
  VTROList<int> list;
  for (int i = 0; i < 5; ++i) list.Append(i);
  EXPECT_EQ(list.Count(), 5);
  EXPECT_TRUE(list.RemoveValue(0));  // head
  EXPECT_TRUE(list.RemoveValue(4));  // tail
  EXPECT_TRUE(list.RemoveValue(2));  // middle
  EXPECT_FALSE(list.RemoveValue(9));
  std::string order;
  for (int value : list) order += std::to_string(value);
  EXPECT_EQ(order, "13");
  EXPECT_EQ(list.Head()->Value(), 1);
  EXPECT_EQ(list.Tail()->Value(), 3);
  EXPECT_EQ(list.Tail()->Previous(), list.Head());
  EXPECT_EQ(list.At(1)->Value(), 3);
  EXPECT_EQ(list.At(2), nullptr);
  EXPECT_EQ(list.At(-1), nullptr);
  list.Clear();
  EXPECT_EQ(list.Count(), 0);
  EXPECT_EQ(list.Head(), nullptr);
  EXPECT_EQ(list.Tail(), nullptr);
}

TEST(Array, CopiesItsValuesWhenItGrows) {
  VTROArray<VTROStackedString> values;
  const std::string longText(60, 'z');
  for (int i = 0; i < 20; ++i) values.Add(VTROStackedString((longText + std::to_string(i)).c_str()));
  VTROArray<VTROStackedString> copy(values);
  values.Clear();
  ASSERT_EQ(copy.Count(), 20);
  EXPECT_EQ(std::string(copy[19].c_str()), longText + "19");
}

TEST(Rename, MovesEveryFullNameAndTheEngineRegistration) {
  FakeEngine& engine = Engine();
  TestDefinition model("RenameModel");
  std::unique_ptr<TestComponent> component(
      static_cast<TestComponent*>(model.record.factory("before", &model.record)));
  EXPECT_TRUE(engine.IsRegistered("before.priority"));
  component->Rename("before", "after");
  EXPECT_STREQ(component->Name(), "after");
  EXPECT_STREQ(component->Property("priority")->FullName(), "after.priority");
  EXPECT_TRUE(engine.IsRegistered("after.priority"));
  EXPECT_FALSE(engine.IsRegistered("before.priority"));
  bool renamedSymbol = false;
  bool staleSymbol = false;
  for (VTROStackedString* symbol : component->Symbols()) {
    renamedSymbol = renamedSymbol || *symbol == "after.counter";
    staleSymbol = staleSymbol || std::string(symbol->c_str()).rfind("before", 0) == 0;
  }
  EXPECT_TRUE(renamedSymbol);
  EXPECT_FALSE(staleSymbol);
  component.reset();
  EXPECT_FALSE(engine.IsRegistered("after.priority"));
}

}  // namespace
}  // namespace vtro_test

namespace vtro_test {
namespace {

TEST(LocalFatalDisplay, SilentModesPrintOneLinePerKind) {
  ::unsetenv("VANTRO_SILENT");
  ::setenv("SILENT", "1", 1);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  VTRO::LocalFatalDisplay(false, "careful", 1);
  VTRO::LocalFatalDisplay(true, "note", 0);
  VTRO::LocalFatalDisplay(true, "broken", 2);
  const std::string out = testing::internal::GetCapturedStdout();
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(out, "Warning: Vantro: careful\r\nVantro Engine: note\r\n");
  EXPECT_EQ(err, "Error: Vantro Engine: broken\r\n");
  ::unsetenv("SILENT");
  ::setenv("VANTRO_SILENT", "", 1);  // set, even if empty
  testing::internal::CaptureStderr();
  VTRO::LocalFatalDisplay(false, "again", 2);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error: Vantro: again\r\n");
  ::unsetenv("VANTRO_SILENT");
}

}  // namespace
}  // namespace vtro_test
