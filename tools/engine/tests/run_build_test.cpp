// Pieces of `vtro-engine run` that reach the engine's types: the JSON value
// of a property against its type, and the start order of a diagram.
#include <gtest/gtest.h>

#include <sstream>

#include "diagram_build.h"
#include "run_command.h"

namespace vtro_engine {
namespace {

TEST(RunBuild, PropertyValuesMustHaveTheirPropertysType) {
  using nlohmann::json;
  struct Case {
    json value;
    int32_t type;
    const char* text;   // the text set, when accepted
    const char* error;  // else the refusal
  };
  const Case cases[] = {
      {true, VTRO_PROPERTY_BOOL, "true", ""},
      {1, VTRO_PROPERTY_BOOL, "", "is of type boolean and takes true or false, not an integer"},
      {640, VTRO_PROPERTY_INTEGER, "640", ""},
      {-3, VTRO_PROPERTY_INTEGER, "-3", ""},
      {2.5, VTRO_PROPERTY_INTEGER, "", "is of type integer and takes an integer, not a number with a fraction"},
      {"640", VTRO_PROPERTY_INTEGER, "", "is of type integer and takes an integer, not a string"},
      {30, VTRO_PROPERTY_FLOAT, "30", ""},
      {0.25, VTRO_PROPERTY_FLOAT, "0.25", ""},
      {false, VTRO_PROPERTY_FLOAT, "", "is of type float and takes a number, not a boolean"},
      {"out/dir", VTRO_PROPERTY_STRING, "out/dir", ""},
      {7, VTRO_PROPERTY_STRING, "", "is of type string and takes a string, not an integer"},
  };
  for (const auto& c : cases) {
    std::string error;
    const std::string text = PropertyValueText(c.value, c.type, nullptr, error);
    EXPECT_EQ(error, c.error) << c.value.dump();
    if (*c.error == 0) {
      EXPECT_EQ(text, c.text) << c.value.dump();
    }
  }
}

TEST(RunBuild, ComponentsStartAfterWhatTheyFeed) {
  // cam -> conv -> dump, cam -> png; a cycle a <-> b is cut where it closes.
  EXPECT_EQ(StartOrder({"cam", "conv", "dump", "png"}, {{"cam", "conv"}, {"conv", "dump"}, {"cam", "png"}}),
            (std::vector<std::string>{"dump", "conv", "png", "cam"}));
  EXPECT_EQ(StartOrder({"a", "b", "lone"}, {{"a", "b"}, {"b", "a"}}), (std::vector<std::string>{"b", "a", "lone"}));
}

TEST(RunBuild, IoCheckLevelFollowsItsSetting) {
  std::ostringstream out;
  Engine engine(out);
  EXPECT_EQ(engine.IOCheckLevel(), 0) << "checks are off by default";
  engine.Settings().Set("Engine.ioCheckLevel", int64_t{2});
  EXPECT_EQ(engine.IOCheckLevel(), 2);
  engine.Settings().Remove("Engine.ioCheckLevel");
  EXPECT_EQ(engine.IOCheckLevel(), 0);
}

}  // namespace
}  // namespace vtro_engine
