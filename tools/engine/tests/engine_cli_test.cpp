// vtro-engine commands end to end: list and scan of real packages, refused
// libraries, and the property, Dynamic and action paths of the test package.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "engine_runner.h"

namespace vtro_engine_test {
namespace {

const std::string kEngine = VTRO_ENGINE_BIN;
const std::string kPackage = VTRO_FWTEST_PCK;

EngineRun Engine(const std::vector<std::string>& args) { return RunEngine(kEngine, args); }

// Starts FwTestProperties as "pr" with the given extra arguments.
EngineRun StartProperties(std::vector<std::string> extra, double seconds = 0.2) {
  std::vector<std::string> args{"start", kPackage, "FwTestProperties", "--name", "pr", "--for", std::to_string(seconds)};
  args.insert(args.end(), extra.begin(), extra.end());
  return Engine(args);
}

TEST(EngineList, ListsEveryComponentWithItsElements) {
  const auto run = Engine({"list", kPackage});
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_TRUE(run.HasLine("package " + kPackage + ": 3 components")) << run.out;
  EXPECT_TRUE(run.HasLine("component FwTestLifecycle 1.2.3"));
  EXPECT_TRUE(run.HasLine("  threading threaded/sequential, default threaded, priority 128"));
  EXPECT_TRUE(run.HasLine("    input trigger types 0x8000 reader FifoReader subsampling 1"));
  EXPECT_TRUE(run.HasLine("    output count type 0x8000 buffer 1 fifo 16 subsampling 1"));
  EXPECT_NE(run.Find("    property Fault enumeration default none|birthError|"), -1);
  EXPECT_TRUE(run.HasLine("    property CorePeriod integer default 20000 flags changeable-while-running,enum-values-fixed"));
  // Counts below the table length show what Dynamic makes later.
  EXPECT_TRUE(run.HasLine("  12 properties (11 created with the component)"));
  EXPECT_TRUE(run.HasLine("  3 actions (2 created with the component)"));
  EXPECT_TRUE(run.HasLine("    property Ratio float default 0.5 flags enum-values-fixed"));
  EXPECT_TRUE(run.HasLine("    property Label string default \"hello\" flags enum-values-fixed"));
  EXPECT_TRUE(run.HasLine("    property Format enumeration default YUV422|Mono [0] flags enum-values-fixed"));
  EXPECT_TRUE(run.HasLine("    property Fixed integer default 7 flags read-only,enum-values-fixed"));
  EXPECT_TRUE(run.HasLine("    property Required integer default 0 flags must-be-set,enum-values-fixed"));
  EXPECT_TRUE(run.HasLine("    property InFile string default \"\" flags enum-values-fixed hints 0x50"));
  EXPECT_TRUE(run.HasLine("    action Hello (also while stopped)"));
  EXPECT_TRUE(run.HasLine("    action Ping (while running)"));
  EXPECT_TRUE(run.HasLine("component FwTestRest 1.0.0"));
}

TEST(EngineList, BareNamesAreFoundBesideTheEngine) {
  const std::string bare = kPackage.substr(kPackage.rfind('/') + 1);
  const auto run = Engine({"list", bare});
  EXPECT_EQ(run.status, 0) << run.out;
  EXPECT_TRUE(run.HasLine("package " + bare + ": 3 components")) << run.out;
  // An installed engine finds them in the package folder of its prefix.
  const std::filesystem::path prefix = testing::TempDir() + "vtro_prefix";
  std::filesystem::remove_all(prefix);
  std::filesystem::create_directories(prefix / "bin");
  std::filesystem::create_directories(prefix / VTRO_INSTALLED_PACKAGE_DIR);
  std::filesystem::copy_file(kEngine, prefix / "bin" / "vtro-engine");
  std::filesystem::copy_file(kPackage, prefix / VTRO_INSTALLED_PACKAGE_DIR / bare);
  const auto installed = RunEngine((prefix / "bin" / "vtro-engine").string(), {"list", bare});
  EXPECT_EQ(installed.status, 0) << installed.out;
  EXPECT_TRUE(installed.HasLine("package " + bare + ": 3 components")) << installed.out;
  std::filesystem::remove_all(prefix);
}

TEST(EngineList, PackageWithoutComponentsSaysSo) {
  const auto run = Engine({"list", VTRO_FWEMPTY_PCK});
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_TRUE(run.HasLine("package " + std::string(VTRO_FWEMPTY_PCK) + ": no components (count query answered 0)"))
      << run.out;
}

TEST(EngineList, RefusesWhatIsNotAPackage) {
  const auto noEntry = Engine({"list", VTRO_NOENTRY_PCK});
  EXPECT_EQ(noEntry.status, 1);
  EXPECT_TRUE(noEntry.HasLine("error: package " + std::string(VTRO_NOENTRY_PCK) + " lacks the entry point VTROPckInit"))
      << noEntry.out;

  const std::string text = testing::TempDir() + "not_a_library.pck";
  std::ofstream(text) << "$!VTRO_MODULE!VTROComponent!Fake!$!0.1!$\n";
  const auto notElf = Engine({"list", text});
  EXPECT_EQ(notElf.status, 1);
  EXPECT_EQ(notElf.Find("error: cannot load package " + text), 0) << notElf.out;
  // A later good package is still listed.
  const auto mixed = Engine({"list", text, kPackage});
  EXPECT_EQ(mixed.status, 1);
  EXPECT_NE(mixed.Find("component FwTestRest 1.0.0"), -1);
}

TEST(EngineList, MisbehavingPackagesAreRefusedOrMended) {
  const std::string dir = VTRO_FAKE_DIR;
  const auto refuse = Engine({"list", dir + "/vtro_fake_refuse.pck"});
  EXPECT_EQ(refuse.status, 1);
  EXPECT_NE(refuse.Find("refused the engine interface (VTROPckInit answered 0)"), -1) << refuse.out;
  const auto overfill = Engine({"list", dir + "/vtro_fake_overfill.pck"});
  EXPECT_EQ(overfill.status, 1);
  EXPECT_NE(overfill.Find("answered 5 records to a fill of 1"), -1) << overfill.out;
  const auto null = Engine({"list", dir + "/vtro_fake_null_record.pck"});
  EXPECT_EQ(null.status, 1);
  EXPECT_NE(null.Find("handed out an empty definition record (#0)"), -1) << null.out;
  // Counts of -1, negative and above the table length all mean the whole table.
  const auto counts = Engine({"list", dir + "/vtro_fake_counts.pck"});
  EXPECT_EQ(counts.status, 0) << counts.out;
  EXPECT_TRUE(counts.HasLine("component FakeModel 0.0.1"));
  EXPECT_TRUE(counts.HasLine("  2 inputs"));
  EXPECT_TRUE(counts.HasLine("    input b reader SamplingReader subsampling 1"));
  EXPECT_TRUE(counts.HasLine("  1 output"));
  EXPECT_TRUE(counts.HasLine("  0 properties"));
  EXPECT_TRUE(counts.HasLine("  2 actions"));
}

TEST(EngineScan, FindsMarkersWithoutLoading) {
  const auto run = Engine({"scan", kPackage});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(run.HasLine(kPackage + ": 3 module markers")) << run.out;
  EXPECT_NE(run.Find("  VTROComponent FwTestLifecycle 1.2.3 at 0x"), -1);
  EXPECT_NE(run.Find("  VTROComponent FwTestProperties 2.0.0 at 0x"), -1);
  EXPECT_NE(run.Find("  VTROComponent FwTestRest 1.0.0 at 0x"), -1);

  // A file that cannot be loaded at all still shows its marker: scan never loads.
  const std::string text = testing::TempDir() + "marker_only.pck";
  std::ofstream(text) << "junk $!VTRO_MODULE!G!Only!$!9!$ junk";
  const auto fake = Engine({"scan", text, VTRO_FWEMPTY_PCK, "/nonexistent.pck"});
  EXPECT_EQ(fake.status, 1);
  EXPECT_TRUE(fake.HasLine("  G Only 9 at 0x5")) << fake.out;
  EXPECT_TRUE(fake.HasLine(std::string(VTRO_FWEMPTY_PCK) + ": no module markers"));
  EXPECT_NE(fake.Find("error: cannot open /nonexistent.pck"), -1);
}

TEST(EngineStart, CommandLineErrorsStopBeforeTheStart) {
  const auto model = Engine({"start", kPackage, "NoSuchModel", "--for", "0"});
  EXPECT_EQ(model.status, 64);
  EXPECT_TRUE(model.HasLine("error: no loaded package holds the component NoSuchModel")) << model.out;

  const auto name = Engine({"start", kPackage, "FwTestRest", "--name", "9lives", "--for", "0"});
  EXPECT_EQ(name.status, 64);
  EXPECT_NE(name.Find("error: invalid instance name '9lives'"), -1) << name.out;

  const auto setting = Engine({"start", kPackage, "FwTestRest", "--setting", "Engine.shutdownTimeout=soon"});
  EXPECT_EQ(setting.status, 64);
  EXPECT_NE(setting.Find("error: setting Engine.shutdownTimeout takes an integer"), -1) << setting.out;

  const auto at = Engine({"start", kPackage, "FwTestRest", "--at", "0.1:jump:5"});
  EXPECT_EQ(at.status, 64);
  EXPECT_NE(at.Find("unknown kind 'jump'"), -1) << at.out;
}

TEST(EngineProperties, TypedSetsReachTheComponent) {
  const auto run = StartProperties({"--set", "Required=1", "--set", "Flag=true", "--set", "pr.Count=-12", "--set",
                                    "Ratio=2.25", "--set", "Label=two words", "--set", "Format=Mono"});
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_TRUE(run.HasLine("info: component pr: Birth Flag=true Count=-12 Ratio=2.250000 Label=two words "
                          "Format=Mono/1 Fixed=7 Required=1"))
      << run.out;
}

TEST(EngineProperties, TextThatDoesNotFitTheTypeIsRefusedByTheEngine) {
  for (const auto& [set, type] : std::vector<std::pair<std::string, std::string>>{
           {"Count=12abc", "integer"}, {"Flag=yes", "boolean"}, {"Ratio=2,5", "float"}}) {
    const auto run = StartProperties({"--set", "Required=1", "--set", set});
    EXPECT_EQ(run.status, 64) << set;
    const std::string name = set.substr(0, set.find('='));
    EXPECT_NE(run.Find("error: property pr." + name + " is " + type + " and does not take '" +
                       set.substr(set.find('=') + 1) + "'"),
              -1)
        << run.out;
    EXPECT_EQ(run.Find("Birth"), -1);
  }
}

TEST(EngineProperties, ComponentRulesAreReported) {
  const auto required = StartProperties({});
  EXPECT_EQ(required.status, 1);
  EXPECT_TRUE(required.HasLine("error: Unable to start component pr. Its property Required needs to be initialized."))
      << required.out;
  EXPECT_EQ(required.Find("Birth"), -1);

  const auto readOnly = StartProperties({"--set", "Required=1", "--set", "Fixed=8"});
  EXPECT_EQ(readOnly.status, 64);
  EXPECT_NE(readOnly.Find("Failure while trying to set value of property pr.Fixed. This property is read only."), -1)
      << readOnly.out;

  const auto unknown = StartProperties({"--set", "Nothing=1"});
  EXPECT_EQ(unknown.status, 64);
  EXPECT_TRUE(unknown.HasLine("error: component pr has no property Nothing")) << unknown.out;
}

TEST(EngineProperties, WhileRunningOnlyChangeablePropertiesTakeNewValues) {
  const auto run = StartProperties(
      {"--set", "Required=1", "--at", "0.1:set:Live=3", "--at", "0.15:set:threaded=false", "--at", "0.2:set:Live=4"},
      0.4);
  EXPECT_TRUE(run.HasLine("info: component pr: Live=3")) << run.out;
  EXPECT_TRUE(run.HasLine("info: component pr: Live=4"));
  EXPECT_NE(run.Find("Failure while trying to set value of property pr.threaded. This property can't be modified "
                     "after start."),
            -1);
}

TEST(EngineProperties, PriorityHandlerAcceptsUpTo255) {
  const auto ok = StartProperties({"--set", "Required=1", "--set", "priority=255"});
  EXPECT_EQ(ok.status, 0) << ok.out;
  EXPECT_EQ(ok.Find("Invalid priority value"), -1);
  for (const std::string bad : {"256", "-1"}) {
    const auto run = StartProperties({"--set", "Required=1", "--set", "priority=" + bad});
    EXPECT_EQ(run.status, 64) << bad;
    EXPECT_NE(run.Find("Invalid priority value. Component's priority should be set between 0 and 255."), -1)
        << run.out;
  }
  const auto accepted = StartProperties({"--set", "Required=1", "--at", "0.1:set:priority=0"}, 0.3);
  EXPECT_EQ(accepted.status, 0) << accepted.out;
  EXPECT_EQ(accepted.Find("error: "), -1);
  // While running, the refused value leaves the component running.
  const auto live = StartProperties({"--set", "Required=1", "--at", "0.1:set:priority=300"}, 0.3);
  EXPECT_NE(live.Find("Invalid priority value."), -1) << live.out;
  EXPECT_NE(live.Find("is dead."), -1);
}

TEST(EngineDynamic, DynamicKeepsAndDropsElements) {
  const auto kept = StartProperties(
      {"--set", "Required=1", "--set", "Extra=true", "--set", "ExtraValue=9", "--at", "0.1:action:ExtraPing"}, 0.3);
  ASSERT_EQ(kept.status, 0) << kept.out;
  EXPECT_GE(kept.Count("info: component pr: Dynamic Extra=1"), 1);
  // The value set after Dynamic made the property survives the next Dynamic calls.
  EXPECT_NE(kept.Find("Required=1 ExtraValue=9"), -1) << kept.out;
  EXPECT_TRUE(kept.HasLine("info: component pr: ExtraPing"));

  const auto dropped = StartProperties({"--set", "Required=1", "--set", "Extra=true", "--set", "Extra=false", "--set",
                                        "ExtraValue=9"});
  EXPECT_EQ(dropped.status, 64);
  EXPECT_TRUE(dropped.HasLine("error: component pr has no property ExtraValue")) << dropped.out;
  EXPECT_TRUE(dropped.HasLine("info: component pr: Dynamic Extra=0"));
}

TEST(EngineActions, ActionsRunWhenAllowed) {
  const auto run = StartProperties({"--set", "Required=1", "--act", "Hello", "--act", "Ping", "--at", "0.1:action:Ping",
                                    "--at", "0.1:action:ExtraPing"},
                                   0.3);
  EXPECT_TRUE(run.HasLine("info: component pr: Hello")) << run.out;
  // Before the start only Hello may run; Ping is refused, then runs once started.
  const int refused = run.Find("This action is not allowed when the component is not running.");
  const int ping = run.Find("info: component pr: Ping");
  EXPECT_NE(refused, -1);
  EXPECT_GT(ping, refused);
  EXPECT_TRUE(run.HasLine("error: component pr has no action ExtraPing"));
}

}  // namespace
}  // namespace vtro_engine_test
