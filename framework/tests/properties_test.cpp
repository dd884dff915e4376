// Properties: standard properties, name rules, lookups, the getters' and
// setters' type rules and texts, enumerations, Dynamic, actions and engine
// property queries.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <thread>
#include <memory>
#include <string>
#include <vector>

#include "fake_engine.h"
#include "test_components.h"
#include "test_support.h"
#include "vtro/VTROComponent.h"

namespace vtro_test {
namespace {

// A component model with a property table, as a package would declare it.
struct PropertyModel {
  PropertyModel() {
    definition.record.properties = table;
    definition.record.inputs = inputs;
    definition.record.inputCount = 1;
    definition.record.actions = actions;
  }
  VTROPropertyValue width{std::int64_t{640}};
  VTROPropertyValue flag{false};
  VTROPropertyValue ratio{1.5};
  VTROPropertyValue address{"192.168.140.23"};
  VTROPropertyValue outputFormat{"YUV422|Mono", 0};
  VTROPropertyValue single{"Only", 0};
  VTROPropertyValue empty{VTROEnumStruct()};
  VTROPropertyValue path{""};
  VTROPropertyValue folder{""};
  VTROPropertyValue serialized{"2|1|a|b"};
  VTROPropertyValue required{std::int64_t{0}};
  VTROPropertyDefinition table[12] = {
      {"Width", &width, nullptr, VTRO_FLAG_ENUM_VALUES_FIXED, 0},
      {"Flag", &flag, nullptr, VTRO_FLAG_ENUM_VALUES_FIXED, 0},
      {"Ratio", &ratio, nullptr, VTRO_FLAG_ENUM_VALUES_FIXED, 0},
      {"Address", &address, nullptr, VTRO_FLAG_ENUM_VALUES_FIXED, 0},
      {"OutputFormat", &outputFormat, nullptr, VTRO_FLAG_ENUM_VALUES_FIXED, 0},
      {"Single", &single, nullptr, VTRO_FLAG_ENUM_VALUES_FIXED, 0},
      {"NoValues", &empty, nullptr, 0, 0},
      {"Path", &path, nullptr, VTRO_FLAG_ENUM_VALUES_FIXED, VTRO_HINT_FILE_PATH | VTRO_HINT_PATH_MUST_EXIST},
      {"Folder", &folder, nullptr, VTRO_FLAG_ENUM_VALUES_FIXED, VTRO_HINT_FILE_PATH | VTRO_HINT_PATH_IS_DIRECTORY},
      {"Loose", &serialized, nullptr, 0, 0},
      {"Later", &required, nullptr, VTRO_FLAG_ENUM_VALUES_FIXED, 0},
      {nullptr, nullptr, nullptr, 0, 0},
  };
  VTROTypeFilter filter{0, 0, VTRO_TYPE_INT64, nullptr, {0, 0, 0}};
  VTROInputDefinition inputs[4] = {{"Fixed", nullptr, &filter, SamplingReader, 1},
                                   {"ReplayStartTime", nullptr, &filter, SamplingReader, 1},
                                   {"ReplayStopTime", nullptr, &filter, SamplingReader, 1},
                                   {nullptr, nullptr, nullptr, 0, 0}};
  static inline int triggered = 0;
  struct Actor : TestComponent {
    using TestComponent::TestComponent;
    void Poke() { ++triggered; }
  };
  VTROActionCallback poke{static_cast<void (VTROComponent::*)()>(&Actor::Poke)};
  VTROActionDefinition actions[3] = {{"Poke", &poke, 0, {}}, {"Always", &poke, 1, {}}, {nullptr, nullptr, 0, {}}};
  TestDefinition definition{"PropertyModel"};

  std::unique_ptr<TestComponent> Make(const char* name) {
    return std::unique_ptr<TestComponent>(static_cast<TestComponent*>(new Actor(name, &definition.record)));
  }
};

class Properties : public ::testing::Test {
 protected:
  void SetUp() override {
    engine = &Engine();
    component = model.Make("cmp");
    engine->Reset();
  }
  void TearDown() override {
    if (component && component->IsStarted()) component->EngineStop();
  }
  std::string LastReport() {
    auto reports = engine->Reports();
    return reports.empty() ? std::string() : reports.back().text;
  }

  FakeEngine* engine = nullptr;
  PropertyModel model;
  std::unique_ptr<TestComponent> component;
};

TEST_F(Properties, StandardPropertiesComeFirstWithTheirDefaultsAndFlags) {
  const char* const expected[] = {"processor", "counter", "nbPeriods", "averagePeriod", "minPeriod",
                                  "maxPeriod", "contextSwitches", "CPULoad", "threaded", "priority",
                                  "autoStart", "componentModelVersion", "primaryThreadID", "Width"};
  for (int i = 0; i < 14; ++i) EXPECT_STREQ(component->Property(i)->ShortName(), expected[i]) << i;
  EXPECT_EQ(component->GetIntegerProperty("processor"), -1);
  EXPECT_EQ(component->GetIntegerProperty("nbPeriods"), 10);
  EXPECT_EQ(component->GetIntegerProperty("priority"), 128);
  EXPECT_EQ(component->GetIntegerProperty("primaryThreadID"), -1);
  EXPECT_TRUE(component->GetBoolProperty("threaded"));
  EXPECT_TRUE(component->GetBoolProperty("autoStart"));
  EXPECT_STREQ(component->GetStringProperty("componentModelVersion").c_str(), "9.8.7");
  EXPECT_NE(component->Property("counter")->Flags() & VTRO_FLAG_READ_ONLY, 0u);
  EXPECT_NE(component->Property("priority")->Flags() & VTRO_FLAG_CHANGEABLE_WHILE_RUNNING, 0u);
  EXPECT_STREQ(component->Property("Width")->FullName(), "cmp.Width");
  EXPECT_TRUE(engine->IsRegistered("cmp.Width"));
  EXPECT_TRUE(engine->IsRegistered("cmp.Fixed"));
  EXPECT_TRUE(engine->IsRegistered("cmp.Fixed.subsampling"));
  EXPECT_FALSE(engine->IsRegistered("cmp.ReplayStartTime"));  // beyond the input count of 1
  EXPECT_EQ(component->InputCount(), 1);
}

TEST_F(Properties, NamesMustStartWithALetterAndHoldOnlyLettersDigitsAndUnderscores) {
  const VTROPropertyDefinition* entry = &model.table[0];
  for (const char* bad : {"9lives", "a-b", "", "a b", "ab\n"}) {
    EXPECT_EQ(Raised([&] { component->NewProperty(entry, bad); }), VTRO::ErrorException) << bad;
    EXPECT_EQ(LastReport(), std::string("component cmp: Trying to create a property with an invalid name: ") + bad);
  }
  VTROProperty* accepted = component->NewProperty(entry, "a_9");
  EXPECT_STREQ(accepted->FullName(), "cmp.a_9");
  EXPECT_EQ(component->NewProperty(entry, "a_9"), accepted);  // the same full name finds the same property
  EXPECT_EQ(Raised([&] { component->NewProperty(static_cast<const VTROPropertyDefinition*>(nullptr)); }),
            VTRO::ErrorException);
  EXPECT_EQ(LastReport(), "component cmp: Call to NewProperty failed. Bad property definition.");
  EXPECT_EQ(engine->Reports().back().level, 2);
  EXPECT_EQ(Raised([&] { component->NewProperty("Nope", "x"); }), VTRO::ErrorException);
  EXPECT_EQ(LastReport(), "component cmp: Call to NewProperty(Nope, x) failed. The given model (Nope) does not exist.");
}

TEST_F(Properties, LookupIsCaseSensitiveAndUnknownNamesAreFatal) {
  EXPECT_STREQ(component->Property("Width")->ShortName(), "Width");
  EXPECT_EQ(Raised([&] { component->Property("width"); }), VTRO::ErrorException);
  ReportRecord report;
  ASSERT_TRUE(engine->FindReport("Trying to access unknown property width of component cmp", &report));
  EXPECT_EQ(report.kind, 2);
  EXPECT_EQ(report.level, 1);
  EXPECT_EQ(report.frameworkFlag, 1);
  EXPECT_EQ(Raised([&] { component->Property(999); }), VTRO::ErrorException);
  EXPECT_EQ(LastReport(), "Trying to access unknown property #999 of component cmp");
}

TEST_F(Properties, ASecondInstanceOfTheSameNameIsRefusedByTheEngine) {
  EXPECT_EQ(Raised([&] { model.Make("cmp"); }), VTRO::ErrorException);
  // The standard module properties are made while the object is still a plain module.
  EXPECT_EQ(LastReport(), "module cmp: Can't create property cmp.processor. The symbol already exists.");
}

TEST_F(Properties, GettersAcceptOnlyTheirTypes) {
  VTROProperty* flag = component->Property("Flag");
  VTROProperty* width = component->Property("Width");
  std::int64_t integer = 0;
  double number = 0;
  bool boolean = false;
  VTROStackedString text;
  VTROEnumStruct enumeration;
  EXPECT_EQ(Raised([&] { component->GetIntegerValue(flag, integer); }), VTRO::ErrorException);
  EXPECT_EQ(LastReport(), "component cmp: Can't get integer value from property cmp.Flag");
  EXPECT_EQ(Raised([&] { component->GetBoolValue(width, boolean); }), VTRO::ErrorException);
  EXPECT_EQ(LastReport(), "component cmp: Can't get boolean value from property cmp.Width");
  EXPECT_EQ(Raised([&] { component->GetFloatValue(width, number); }), VTRO::ErrorException);
  EXPECT_EQ(LastReport(), "component cmp: Can't get floating point value from property cmp.Width");
  EXPECT_EQ(Raised([&] { component->GetStringValue(width, text); }), VTRO::ErrorException);
  EXPECT_EQ(LastReport(), "component cmp: Can't get string value from property cmp.Width");
  EXPECT_EQ(Raised([&] { component->GetEnumValue(width, enumeration); }), VTRO::ErrorException);
  EXPECT_EQ(LastReport(), "component cmp: Can't get enum values from property cmp.Width");
  EXPECT_EQ(component->LastErrorCode(), 0);
  EXPECT_NE(component->State() & VTRO_STATE_ERROR, 0u);

  // Enumerations answer integer (index) and string (text) reads.
  EXPECT_EQ(component->GetIntegerProperty("OutputFormat"), 0);
  EXPECT_STREQ(component->GetStringProperty("OutputFormat").c_str(), "YUV422");
  EXPECT_DOUBLE_EQ(component->GetFloatProperty("Ratio"), 1.5);
  EXPECT_STREQ(component->GetStringProperty("Address").c_str(), "192.168.140.23");
}

TEST_F(Properties, SettersGateOnRunStateReadOnlyTypeAndMutability) {
  VTROProperty* counter = component->Property("counter");
  EXPECT_EQ(Raised([&] { component->SetIntegerValue(counter, 5); }), VTRO::ErrorException);
  EXPECT_EQ(LastReport(),
            "component cmp: Failure while trying to set value of property cmp.counter. This property is read only.");

  VTROProperty* width = component->Property("Width");
  const std::pair<std::function<void()>, std::string> mismatches[] = {
      {[&] { component->SetBoolValue(width, true); }, "Can't set boolean value for property cmp.Width"},
      {[&] { component->SetFloatValue(width, 2.0); }, "Can't set float value for property cmp.Width"},
      {[&] { component->SetStringValue(width, "7"); }, "Can't set string value for property cmp.Width"},
      {[&] { component->SetEnumValue(width, VTROEnumStruct()); }, "Can't set enum values for property cmp.Width"},
      {[&] { component->SetIntegerValue(component->Property("Flag"), 1); },
       "Can't set integer value for property cmp.Flag"},
  };
  for (const auto& [call, text] : mismatches) {
    EXPECT_EQ(Raised(call), VTRO::ErrorException);
    EXPECT_EQ(LastReport(), "component cmp: " + text);
  }

  width->SetMutable(false);
  EXPECT_EQ(Raised([&] { component->SetIntegerValue(width, 1); }), VTRO::ErrorException);
  EXPECT_EQ(LastReport(),
            "component cmp: Failure while trying to set value of property cmp.Width. This property is not mutable.");
  EXPECT_TRUE(width->SetMutable(true));

  component->core = [](TestComponent& self) { self.Rest(1000); };
  component->EngineStart();
  EXPECT_EQ(Raised([&] { component->SetBoolValue(component->Property("threaded"), false); }), VTRO::ErrorException);
  EXPECT_EQ(LastReport(), "component cmp: Failure while trying to set value of property cmp.threaded. This property "
                          "can't be modified after start.");
  EXPECT_EQ(Raised([&] { component->SetIntegerValue(component->Property("priority"), 200); }), 0);
  EXPECT_EQ(component->GetIntegerProperty("priority"), 200);
}

TEST_F(Properties, SuccessfulSetClearsMustBeSetRunsTheHandlerAndSignalsTheChange) {
  static VTROProperty* handled = nullptr;
  static std::int64_t seen = 0;
  VTROProperty* width = component->Property("Width");
  width->SetChangeHandler([](VTROProperty* property) {
    handled = property;
    property->GetInteger(seen);  // the value-lock is recursive
  });
  width->SetReadHook([](VTROProperty*, const VTROPropertyValue& value) { seen = -value.Integer(); });
  EXPECT_FALSE(width->HasChanged());
  EXPECT_EQ(width->ChangedEvent()->Wait(0), VTROEvent::kTimeout);
  component->SetIntegerValue(width, 800);
  EXPECT_EQ(handled, width);
  EXPECT_TRUE(width->HasChanged());
  EXPECT_EQ(width->ChangedEvent()->Wait(0), 0);
  width->ClearChanged();
  EXPECT_FALSE(width->HasChanged());
  EXPECT_EQ(width->ChangedEvent()->Wait(0), VTROEvent::kTimeout);
  EXPECT_EQ(component->GetIntegerProperty("Width"), 800);
  EXPECT_EQ(seen, -800);  // the read hook saw the value just read
  char text[16];
  EXPECT_EQ(width->FormatValue(text, sizeof text), 3u);
  EXPECT_STREQ(text, "800");
  EXPECT_TRUE(width->SetFromText("1024"));
  EXPECT_EQ(component->GetIntegerProperty("Width"), 1024);
  EXPECT_FALSE(width->SetFromText("12x"));
}

TEST_F(Properties, MustBeSetBlocksTheStartUntilTheFirstSet) {
  VTROPropertyDefinition entry{"Needed", &model.required, nullptr, VTRO_FLAG_MUST_BE_SET, 0};
  VTROProperty* needed = component->NewProperty(&entry);
  EXPECT_TRUE(needed->MustBeSet());
  EXPECT_EQ(Raised([&] { component->EngineStart(); }), VTRO::ErrorException);
  ReportRecord report;
  ASSERT_TRUE(engine->FindReport("Unable to start component cmp. Its property Needed needs to be initialized.", &report));
  EXPECT_EQ(report.kind, 2);
  EXPECT_EQ(report.frameworkFlag, 1);
  EXPECT_EQ(component->State() & (VTRO_STATE_STARTED | VTRO_STATE_ERROR), static_cast<std::uint32_t>(VTRO_STATE_ERROR));
  component->SetIntegerValue(needed, 3);
  EXPECT_FALSE(needed->MustBeSet());
  component->EngineStart();
  EXPECT_TRUE(component->IsStarted());
}

TEST_F(Properties, DynamicAndAFailedStartGiveTheDynamicLockBackBeforeTellingTheEngine) {
  std::vector<bool> freeAtState;
  engine->SetStateHook([&](const std::string& name, std::uint32_t) {
    if (name == "cmp") freeAtState.push_back(component->DynamicLockFreeForOthers());
  });
  component->SetIntegerValue(component->Property("Width"), 7);
  EXPECT_EQ(freeAtState, std::vector<bool>{true});  // the notification after Dynamic
  engine->SetStateHook(nullptr);

  VTROPropertyDefinition entry{"Needed", &model.required, nullptr, VTRO_FLAG_MUST_BE_SET, 0};
  component->NewProperty(&entry);
  std::vector<bool> freeAtReport;
  engine->SetReportHook([&](const ReportRecord& report) {
    if (report.text.find("Unable to start") == 0) freeAtReport.push_back(component->DynamicLockFreeForOthers());
  });
  EXPECT_EQ(Raised([&] { component->EngineStart(); }), VTRO::ErrorException);
  engine->SetReportHook(nullptr);
  EXPECT_EQ(freeAtReport, std::vector<bool>{true});
}

TEST_F(Properties, IntegerSetOnEnumerationSelectsOrReportsTheRange) {
  VTROProperty* format = component->Property("OutputFormat");
  component->SetIntegerValue(format, 1);
  EXPECT_EQ(component->GetIntegerProperty("OutputFormat"), 1);
  component->SetIntegerValue(format, 3);
  ReportRecord report;
  ASSERT_TRUE(engine->FindReport(
      "component cmp: Index 3 not among possible values for enum property cmp.OutputFormat [0..1]", &report));
  EXPECT_EQ(report.kind, 2);
  EXPECT_EQ(report.level, 0);
  EXPECT_EQ(component->GetIntegerProperty("OutputFormat"), 1);  // kept

  component->SetIntegerValue(component->Property("Single"), -2);
  EXPECT_EQ(LastReport(), "component cmp: Index -2 not among possible values for enum property cmp.Single [0]");

  VTROProperty* none = component->Property("NoValues");
  component->SetIntegerValue(none, 4);
  EXPECT_EQ(LastReport(), "component cmp: Index 4 not among possible values for enum property cmp.NoValues [-1]");
  EXPECT_EQ(component->GetIntegerProperty("NoValues"), -1);
  engine->Reset();
  component->SetIntegerValue(none, -1);
  EXPECT_EQ(engine->CountReportsContaining("not among"), 0);
}

TEST_F(Properties, StringSetOnEnumerationSelectsByValueOrReadsTheSerializedForm) {
  VTROProperty* format = component->Property("OutputFormat");
  component->SetStringValue(format, "Mono");
  EXPECT_EQ(component->GetIntegerProperty("OutputFormat"), 1);
  component->SetStringValue(format, "RGB");
  EXPECT_EQ(LastReport(),
            "component cmp: RGB does not match any of the possible properties for property cmp.OutputFormat");
  EXPECT_EQ(component->GetIntegerProperty("OutputFormat"), 1);

  component->SetStringValue(component->Property("NoValues"), "x");
  EXPECT_EQ(LastReport(), "component cmp: No possible value for property cmp.NoValues");

  // Fixed values: a serialized text only selects.
  component->SetStringValue(format, "3|0|p|q|r");
  VTROEnumStruct values;
  component->GetEnumValue(format, values);
  ASSERT_EQ(values.Count(), 2);
  EXPECT_STREQ(values.Value(0), "YUV422");
  EXPECT_EQ(values.Selected(), 0);
  // Loose values: it replaces them.
  VTROProperty* loose = component->Property("Loose");
  component->SetStringValue(loose, "3|2|p|q|r");
  component->GetEnumValue(loose, values);
  ASSERT_EQ(values.Count(), 3);
  EXPECT_STREQ(values.Value(2), "r");
  EXPECT_STREQ(component->GetStringProperty("Loose").c_str(), "r");
  // Whole replacement and the slot-17 shortcut.
  component->SetEnumValue(loose, VTROEnumStruct("x|y", 1));
  EXPECT_STREQ(component->GetStringProperty("Loose").c_str(), "y");
  EXPECT_TRUE(loose->SetEnumFromString("2|0|m|n", 1));
  EXPECT_STREQ(component->GetStringProperty("Loose").c_str(), "n");
  char text[32];
  loose->FormatValue(text, sizeof text);
  EXPECT_STREQ(text, "2|1|m|n");
}

TEST_F(Properties, PathHintsAreCheckedButTheTextIsKept) {
  component->SetStringValue(component->Property("Path"), "/no/such/file");
  ReportRecord report;
  ASSERT_TRUE(engine->FindReport("/no/such/file does not exist or is not readable.", &report));
  EXPECT_EQ(report.kind, 2);
  EXPECT_EQ(report.frameworkFlag, 0);
  EXPECT_STREQ(component->GetStringProperty("Path").c_str(), "/no/such/file");
  engine->Reset();
  component->SetStringValue(component->Property("Path"), "/proc/self/status");
  EXPECT_EQ(engine->CountReportsContaining("does not exist"), 0);
  component->SetStringValue(component->Property("Folder"), "/proc/self/status");
  EXPECT_EQ(LastReport(), "/proc/self/status is not a directory.");
  engine->Reset();
  component->SetStringValue(component->Property("Folder"), "/tmp");
  component->SetStringValue(component->Property("Folder"), "");
  EXPECT_EQ(engine->CountReportsContaining("is not a directory"), 0);
}

TEST(EnumStruct, BuildsFromValueTextsAndSerializedForms) {
  FakeEngine& engine = Engine();
  VTROEnumStruct formats("YUV422|Mono", 0);
  ASSERT_EQ(formats.Count(), 2);
  EXPECT_STREQ(formats.Value(1), "Mono");
  EXPECT_EQ(formats.Selected(), 0);
  VTROEnumStruct outside("a|b", 5);
  EXPECT_EQ(outside.Selected(), 0);
  EXPECT_EQ(engine.CountReports(
                "Selected value incompatible with enum values for property. Selected property is set to 0"),
            1);
  EXPECT_EQ(VTROEnumStruct("", 0).Selected(), -1);
  EXPECT_EQ(VTROEnumStruct(nullptr, 0).Count(), 0);

  VTROPropertyValue two("2|1|a|b");
  ASSERT_EQ(two.Type(), VTRO_PROPERTY_ENUM);
  EXPECT_EQ(two.Enum()->Count(), 2);
  EXPECT_EQ(two.Enum()->Selected(), 1);
  VTROPropertyValue short_("2|1|a");
  ASSERT_EQ(short_.Type(), VTRO_PROPERTY_ENUM);
  EXPECT_EQ(short_.Enum()->Count(), 0);
  EXPECT_EQ(short_.Enum()->Selected(), -1);
  EXPECT_EQ(engine.CountReports("VTROEnumStruct::FromString: Declared size of enum struct does not match the number "
                                "of given elements."),
            1);
  EXPECT_EQ(VTROPropertyValue("192.168.140.23").Type(), VTRO_PROPERTY_STRING);
  EXPECT_EQ(VTROPropertyValue(static_cast<const char*>(nullptr)).Type(), VTRO_PROPERTY_STRING);
  EXPECT_STREQ(VTROPropertyValue(static_cast<const char*>(nullptr)).String(), "");

  VTROEnumStruct value("x|y|z", 2);
  value.FromString("not an enum", false);
  EXPECT_EQ(engine.CountReports("VTROEnumStruct::FromString: Ill-formed enum string "
                                "[expected:nbVal|selected|val0|val1|val2...] [received:not an enum]"),
            1);
  EXPECT_EQ(value.Count(), 3);  // unchanged
  value.FromString("9|1|q", true);  // fixed: selects only
  EXPECT_EQ(value.Count(), 3);
  EXPECT_EQ(value.Selected(), 1);
  value.FromString("3|7|q|r|s", true);
  EXPECT_EQ(value.Selected(), 0);
  const std::string incompatible =
      "VTROEnumStruct::FromString: Selected value incompatible with enum values for property. Selected property is "
      "set to 0.";
  EXPECT_EQ(engine.CountReports(incompatible), 1);
  value.FromString("0|0", false);
  EXPECT_EQ(value.Count(), 0);
  EXPECT_EQ(value.Selected(), -1);
  value.FromString("2|4|a|b", false);
  EXPECT_EQ(value.Count(), 2);
  EXPECT_EQ(value.Selected(), 0);
  EXPECT_EQ(engine.CountReports(incompatible), 2);
  EXPECT_STREQ(value.ToString().c_str(), "2|0|a|b");
  value.FromString("2|1|a|b|", false);  // a trailing bar is a third, empty value
  EXPECT_EQ(value.Count(), 0);
}

TEST_F(Properties, DynamicRunsOnChangesBeforeStartOnlyAndKeepsOrDropsElements) {
  static bool wantTimes = false;
  component->dynamic = [](TestComponent& self) {
    wantTimes = self.GetBoolProperty("Flag");
    if (wantTimes) {
      self.NewInput("ReplayStartTime", nullptr);
      self.NewInput("ReplayStopTime", nullptr);
      self.NewProperty(&self.Definition()->properties[0], "Extra");
    }
  };
  VTROProperty* flag = component->Property("Flag");
  component->SetBoolValue(flag, true);
  EXPECT_EQ(engine->Traces(), std::vector<std::string>{"Calling Dynamic"});
  ASSERT_EQ(component->InputCount(), 3);
  EXPECT_STREQ(component->Input(1)->ShortName(), "ReplayStartTime");
  EXPECT_STREQ(component->Input(2)->ShortName(), "ReplayStopTime");
  EXPECT_TRUE(engine->IsRegistered("cmp.ReplayStopTime.readerType"));
  component->SetIntegerValue(component->Property("Extra"), 5);

  // Declared again: kept with its value.
  component->SetIntegerValue(component->Property("Width"), 1);
  EXPECT_EQ(component->GetIntegerProperty("Extra"), 5);
  EXPECT_EQ(component->InputCount(), 3);

  // Not declared: dropped and unregistered; the construction input stays.
  component->SetBoolValue(flag, false);
  EXPECT_EQ(component->InputCount(), 1);
  EXPECT_STREQ(component->Input(0)->ShortName(), "Fixed");
  EXPECT_EQ(component->FindProperty("Extra"), nullptr);
  EXPECT_FALSE(engine->IsRegistered("cmp.ReplayStartTime"));
  EXPECT_FALSE(engine->IsRegistered("cmp.ReplayStartTime.subsampling"));
  EXPECT_EQ(component->FindProperty("ReplayStartTime.subsampling"), nullptr);

  // Re-created when declared again.
  component->SetBoolValue(flag, true);
  EXPECT_EQ(component->InputCount(), 3);
  EXPECT_EQ(component->GetIntegerProperty("Extra"), 640);

  // The default Dynamic keeps every element.
  component->dynamic = nullptr;
  component->SetBoolValue(flag, false);
  EXPECT_EQ(component->InputCount(), 3);

  // No Dynamic while the component runs.
  const auto calls = component->LogEntries().size();
  component->EngineStart();
  ASSERT_EQ(component->EngineBirthEvent()->Wait(5000000), 0);
  component->SetIntegerValue(component->Property("priority"), 100);
  EXPECT_EQ(component->LogEntries().size(), calls + 1);  // only Birth was added
  EXPECT_EQ(component->LogEntries().back(), "Birth");
}

TEST_F(Properties, DynamicClearsTheErrorMark) {
  EXPECT_EQ(Raised([&] { component->Property("nope"); }), VTRO::ErrorException);
  EXPECT_EQ(Raised([&] { component->Error("broken", 1, 42); }), VTRO::ErrorException);
  EXPECT_EQ(component->LastErrorCode(), 42);
  EXPECT_STREQ(component->LastErrorText(), "broken");
  EXPECT_NE(component->State() & VTRO_STATE_ERROR, 0u);
  component->SetIntegerValue(component->Property("Width"), 2);
  EXPECT_EQ(component->State() & VTRO_STATE_ERROR, 0u);
}

TEST_F(Properties, ActionsRunOnlyWhenAllowed) {
  PropertyModel::triggered = 0;
  VTROAction* poke = component->Action("Poke");
  EXPECT_STREQ(poke->FullName(), "cmp.Poke");
  EXPECT_TRUE(engine->IsRegistered("cmp.Poke"));
  poke->Trigger();
  EXPECT_EQ(PropertyModel::triggered, 0);
  ReportRecord report;
  ASSERT_TRUE(
      engine->FindReport("component cmp: This action is not allowed when the component is not running.", &report));
  EXPECT_EQ(report.kind, 1);
  component->Action("Always")->Trigger();
  EXPECT_EQ(PropertyModel::triggered, 1);
  component->EngineStart();
  poke->Trigger();
  EXPECT_EQ(PropertyModel::triggered, 2);

  EXPECT_EQ(Raised([&] { component->Action("Missing"); }), VTRO::ErrorException);
  EXPECT_TRUE(engine->FindReport("Trying to access unknown action Missing of component cmp"));
  EXPECT_EQ(Raised([&] { component->Action(7); }), VTRO::ErrorException);
  EXPECT_TRUE(engine->FindReport("Trying to access unknown action #7 of component cmp"));
  EXPECT_EQ(Raised([&] { component->NewAction(&model.actions[0], "bad-name"); }), VTRO::ErrorException);
  EXPECT_TRUE(engine->FindReport("component cmp: Trying to create an action with an invalid name: bad-name"));
  EXPECT_EQ(Raised([&] { component->NewAction(static_cast<const VTROActionDefinition*>(nullptr)); }),
            VTRO::ErrorException);
  EXPECT_TRUE(engine->FindReport("component cmp: Call to NewAction failed. Bad action definition."));
  EXPECT_EQ(Raised([&] { component->NewAction("Absent", "x"); }), VTRO::ErrorException);
  EXPECT_TRUE(engine->FindReport(
      "component cmp: Call to NewAction(Absent, x) failed. The given model (Absent) does not exist."));
  // Another component may not take a full name that is already registered.
  auto other = model.Make("other");
  EXPECT_EQ(Raised([&] { other->NewAction(&model.actions[0], "Taken"); }), 0);
  other->Rename("other", "cmp2");
  EXPECT_TRUE(engine->IsRegistered("cmp2.Taken"));
  engine->Reset();
  VTROAction* existing = component->NewAction(&model.actions[0], "Taken");  // cmp.Taken: free
  EXPECT_STREQ(existing->FullName(), "cmp.Taken");
}

TEST_F(Properties, InputAndOutputLookupsReportUnknownNames) {
  EXPECT_EQ(Raised([&] { component->Input("Nope"); }), VTRO::ErrorException);
  EXPECT_TRUE(engine->FindReport("Trying to access unknown input Nope of component cmp"));
  EXPECT_EQ(Raised([&] { component->Output(0); }), VTRO::ErrorException);
  EXPECT_TRUE(engine->FindReport("Trying to access unknown output #0 of component cmp"));
  EXPECT_EQ(Raised([&] { component->NewInput(&model.inputs[0], "1st"); }), VTRO::ErrorException);
  EXPECT_TRUE(engine->FindReport("component cmp: Trying to create an input with an invalid name: 1st"));
  EXPECT_EQ(Raised([&] { component->NewInput("Absent", "x"); }), VTRO::ErrorException);
  EXPECT_TRUE(engine->FindReport(
      "component cmp: Call to NewInput(Absent, x) failed. The given model (Absent) does not exist."));
  EXPECT_EQ(Raised([&] { component->NewInput(static_cast<const VTROInputDefinition*>(nullptr)); }),
            VTRO::ErrorException);
  EXPECT_TRUE(engine->FindReport("component cmp: Call to NewInput failed. Bad input definition."));
  EXPECT_EQ(Raised([&] { component->NewOutput(static_cast<const VTROOutputDefinition*>(nullptr)); }),
            VTRO::ErrorException);
  EXPECT_TRUE(engine->FindReport("component cmp: Call to NewOutput failed. Bad output definition."));
  EXPECT_EQ(Raised([&] { component->NewOutput("Absent", "y"); }), VTRO::ErrorException);
  EXPECT_TRUE(engine->FindReport(
      "component cmp: Call to NewOutput(Absent, y) failed. The given model (Absent) does not exist."));
  VTROOutputDefinition vector{"Samples", nullptr, VTRO_TYPE_INT64, nullptr, nullptr, 16, 16, 1, 1};
  EXPECT_EQ(Raised([&] { component->NewOutput(&vector, "with-dash"); }), VTRO::ErrorException);
  EXPECT_TRUE(engine->FindReport("component cmp: Trying to create an output with an invalid name: with-dash"));
  VTROOutput* output = component->NewOutput(&vector);
  EXPECT_STREQ(output->FullName(), "cmp.Samples");
  EXPECT_NE(output->Definition()->typeMask & VTRO_TYPE_VECTOR_FLAG, 0u);  // buffer size other than 1
  EXPECT_EQ(component->GetIntegerProperty("Samples.fifosize"), 16);
  EXPECT_FALSE(component->GetBoolProperty("Samples.periodic"));
  EXPECT_EQ(component->Output("Samples"), output);
}

TEST_F(Properties, NewElementsDuringAStopRaiseTheStopException) {
  // Death runs while the stop is requested.
  int property = 0, input = 0, output = 0, action = 0;
  VTROOutputDefinition entry{"Out", nullptr, VTRO_TYPE_INT64, nullptr, nullptr, 1, 16, 1, 1};
  component->death = [&](TestComponent& self) {
    property = Raised([&] { self.NewProperty(&model.table[0], "Late"); });
    input = Raised([&] { self.NewInput(&model.inputs[1]); });
    output = Raised([&] { self.NewOutput(&entry); });
    action = Raised([&] { self.NewAction(&model.actions[0], "LateAction"); });
  };
  component->EngineStart();
  ASSERT_EQ(component->EngineBirthEvent()->Wait(5000000), 0);
  component->EngineStop();
  EXPECT_EQ(property, VTRO::StopException);
  EXPECT_EQ(input, VTRO::StopException);
  EXPECT_EQ(output, VTRO::StopException);
  EXPECT_EQ(action, VTRO::StopException);
  EXPECT_EQ(component->FindProperty("Late"), nullptr);
}

TEST_F(Properties, AFailedCreationRollsTheHalfMadeElementBackAndFreesTheLock) {
  // The engine refuses the input's second system property.
  engine->ReserveSymbol("cmp.Extra.readerType");
  const std::int32_t inputs = component->InputCount();
  const std::int32_t properties = component->PropertyCount();
  EXPECT_EQ(Raised([&] { component->NewInput(&model.inputs[1], "Extra"); }), VTRO::ErrorException);
  EXPECT_TRUE(engine->FindReport("component cmp: Can't create property cmp.Extra.readerType. The symbol already exists."));
  EXPECT_EQ(component->InputCount(), inputs);
  EXPECT_EQ(component->PropertyCount(), properties);
  EXPECT_FALSE(engine->IsRegistered("cmp.Extra"));
  EXPECT_FALSE(engine->IsRegistered("cmp.Extra.subsampling"));
  for (VTROStackedString* symbol : component->Symbols()) EXPECT_NE(std::string(symbol->c_str()).find("Extra"), 0u);
  EXPECT_TRUE(component->ModuleLockFreeForOthers());
  // Start and stop go through, and the name can be made once the engine takes it.
  component->EngineStart();
  ASSERT_EQ(component->EngineBirthEvent()->Wait(5000000), 0);
  component->EngineStop();
  engine->Reset();
  EXPECT_NE(component->NewInput(&model.inputs[1], "Extra"), nullptr);
  EXPECT_TRUE(engine->IsRegistered("cmp.Extra.readerType"));
}

TEST_F(Properties, EnginePropertyQueriesTellUnknownNamesAndWrongTypes) {
  engine->SetInteger("Engine.shutdownTimeout", 1234);
  engine->SetString("Engine.version", "4.7.0");
  bool found = true;
  EXPECT_EQ(VTRO::GetEngineIntegerProperty("Engine.shutdownTimeout"), 1234);
  EXPECT_STREQ(VTRO::GetEngineStringProperty("Engine.version").c_str(), "4.7.0");
  EXPECT_EQ(VTRO::GetEngineIntegerProperty("Engine.nothing", &found), 0);
  EXPECT_FALSE(found);
  EXPECT_EQ(Raised([] { VTRO::GetEngineIntegerProperty("Engine.nothing"); }), VTRO::ErrorException);
  EXPECT_TRUE(engine->FindReport("Can't get value of property Engine.nothing. The symbol is undefined."));
  EXPECT_EQ(Raised([] { VTRO::GetEngineStringProperty("Engine.shutdownTimeout"); }), VTRO::ErrorException);
  EXPECT_TRUE(engine->FindReport(
      "Can't get string value of property Engine.shutdownTimeout. It is not a string or an enum."));
  EXPECT_EQ(Raised([] { VTRO::GetEngineEnumProperty("Engine.version"); }), VTRO::ErrorException);
  EXPECT_TRUE(engine->FindReport("Can't get string value of property Engine.version. It is not an enum."));
  // Component properties are reachable by full name too.
  VTROEnumStruct format = VTRO::GetEngineEnumProperty("cmp.OutputFormat");
  EXPECT_EQ(format.Count(), 2);
  EXPECT_STREQ(VTRO::GetEngineStringProperty("cmp.OutputFormat").c_str(), "YUV422");
}

TEST_F(Properties, PriorityOutsideZeroTo255IsRefusedAndReset) {
  VTROProperty* priority = component->Property("priority");
  component->SetIntegerValue(priority, 255);
  EXPECT_EQ(component->GetIntegerProperty("priority"), 255);
  for (std::int64_t bad : {std::int64_t{256}, std::int64_t{-1}}) {
    EXPECT_EQ(Raised([&] { component->SetIntegerValue(priority, bad); }), VTRO::ErrorException);
    EXPECT_EQ(LastReport(),
              "component cmp: Invalid priority value. Component's priority should be set between 0 and 255.");
    EXPECT_EQ(component->GetIntegerProperty("priority"), 128);
  }
}

}  // namespace
}  // namespace vtro_test
