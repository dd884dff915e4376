// Engine settings and the symbol registry.
#include "definition_layout.h"
#include "engine_settings.h"
#include "session.h"

#include <gtest/gtest.h>

namespace vtro_engine {
namespace {

TEST(EngineSettings, DefaultsAndTypedTextSetting) {
  EngineSettings s;
  EXPECT_EQ(s.Integer("Engine.shutdownTimeout"), 10'000'000);
  EXPECT_EQ(s.Boolean("Engine.sequentialStart"), false);
  ASSERT_TRUE(s.String("Engine.version"));
  EXPECT_FALSE(s.Integer("Engine.none"));

  EXPECT_EQ(s.SetFromText("Engine.shutdownTimeout", "2500000"), "");
  EXPECT_EQ(s.Integer("Engine.shutdownTimeout"), 2'500'000);
  EXPECT_NE(s.SetFromText("Engine.shutdownTimeout", "2.5s"), "");  // keeps its integer type
  EXPECT_EQ(s.Integer("Engine.shutdownTimeout"), 2'500'000);
  EXPECT_NE(s.SetFromText("Engine.sequentialStart", "maybe"), "");
  EXPECT_EQ(s.SetFromText("Engine.sequentialStart", "true"), "");
  EXPECT_EQ(s.Boolean("Engine.sequentialStart"), true);

  // New settings take the first type their text parses as.
  EXPECT_EQ(s.SetFromText("Engine.a", "-7"), "");
  EXPECT_EQ(s.SetFromText("Engine.b", "false"), "");
  EXPECT_EQ(s.SetFromText("Engine.c", "08x"), "");
  EXPECT_TRUE(std::holds_alternative<int64_t>(*s.Get("Engine.a")));
  EXPECT_TRUE(std::holds_alternative<bool>(*s.Get("Engine.b")));
  EXPECT_EQ(s.String("Engine.c"), "08x");
  s.Remove("Engine.version");
  EXPECT_FALSE(s.Get("Engine.version"));
}

TEST(EngineSettings, StrictNumberParsing) {
  EXPECT_EQ(ParseInteger("010"), 10);  // decimal, not octal
  EXPECT_FALSE(ParseInteger(""));
  EXPECT_FALSE(ParseInteger("12 "));
  EXPECT_FALSE(ParseInteger("99999999999999999999"));
  EXPECT_EQ(ParseInteger("-9223372036854775808"), INT64_MIN);
  EXPECT_EQ(ParseFloat("2.5"), 2.5);
  EXPECT_FALSE(ParseFloat("2,5"));
  EXPECT_FALSE(ParseFloat("1e999"));
}

TEST(SymbolRegistry, FullNamesAreUniqueAndModulesUnregisterTogether) {
  SymbolRegistry r;
  int a = 0;
  int b = 0;
  EXPECT_TRUE(r.Register("cam", SymbolKind::Module, &a));
  EXPECT_TRUE(r.Register("cam.Width", SymbolKind::Property, &a));
  EXPECT_FALSE(r.Register("cam.Width", SymbolKind::Input, &b));
  EXPECT_TRUE(r.Register("cam.oImage", SymbolKind::Output, &b));
  EXPECT_TRUE(r.Register("camera.Width", SymbolKind::Property, &b));
  EXPECT_FALSE(r.Unregister("cam.oImage", &a));  // another object's name stays
  EXPECT_EQ(r.Find("cam.Width")->first, SymbolKind::Property);
  EXPECT_EQ(r.UnregisterModule("cam"), 3u);
  EXPECT_FALSE(r.Find("cam.Width"));
  EXPECT_TRUE(r.Find("camera.Width"));  // a longer module name is not a child
  EXPECT_EQ(r.Count(), 1u);
}

TEST(DefinitionTables, CountsResolveToEntryNumbers) {
  const RawActionEntry actions[] = {{"a", nullptr, 0, {0}}, {"b", nullptr, 0, {0}}, {nullptr, nullptr, 0, {0}}};
  const size_t n = CountEntries(actions, kActionEntrySize);
  EXPECT_EQ(n, 2u);
  EXPECT_EQ(CountEntries(nullptr, kActionEntrySize), 0u);
  EXPECT_EQ(ResolveCount(-1, n), 2);
  EXPECT_EQ(ResolveCount(-7, n), 2);
  EXPECT_EQ(ResolveCount(5, n), 2);  // never past the null entry
  EXPECT_EQ(ResolveCount(1, n), 1);
  EXPECT_EQ(ResolveCount(0, n), 0);
}

TEST(TimedEvents, ParsedForTheGivenInstance) {
  TimedEvent e;
  ASSERT_EQ(ParseTimedEvent("0.25:speed:-2000", "cam", e), "");
  EXPECT_EQ(e.kind, TimedEvent::Kind::Speed);
  EXPECT_DOUBLE_EQ(e.at, 0.25);
  EXPECT_EQ(e.number, -2000);
  EXPECT_EQ(e.instance, "cam");
  ASSERT_EQ(ParseTimedEvent("1:set:Label=a=b", "cam", e), "");
  EXPECT_EQ(e.kind, TimedEvent::Kind::Set);
  EXPECT_EQ(e.name, "Label");
  EXPECT_EQ(e.value, "a=b");  // the first "=" splits
  ASSERT_EQ(ParseTimedEvent("0:set:Label=", "cam", e), "");
  EXPECT_EQ(e.value, "");
  ASSERT_EQ(ParseTimedEvent("2:action:Reset", "cam", e), "");
  EXPECT_EQ(e.kind, TimedEvent::Kind::Action);
  ASSERT_EQ(ParseTimedEvent("0.1:pause", "cam", e), "");
  EXPECT_EQ(e.kind, TimedEvent::Kind::Pause);
  ASSERT_EQ(ParseTimedEvent("0.1:step:0", "cam", e), "");
  EXPECT_EQ(e.kind, TimedEvent::Kind::Step);

  for (const char* bad : {"pause", "-1:pause", "x:pause", "0.1:speed:fast", "0.1:speed", "0.1:set:=3", "0.1:set:A",
                          "0.1:action:", "0.1:jump"}) {
    EXPECT_NE(ParseTimedEvent(bad, "cam", e), "") << bad;
  }
}

}  // namespace
}  // namespace vtro_engine
