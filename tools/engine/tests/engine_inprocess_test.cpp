// The engine object in this process, driving the real test package: the
// engine-interface answers a package relies on (symbols, property queries by
// full name, settings) and the start/stop bookkeeping of its threads.
#include "engine.h"

#include <gtest/gtest.h>

#include <sstream>

namespace vtro_engine {
namespace {

using namespace std::chrono_literals;

// One engine for the whole process: a package keeps the first engine it was
// initialised with for as long as it is loaded.
Engine& TheEngine() {
  static std::ostringstream* out = new std::ostringstream;
  static Engine* engine = new Engine(*out);
  return *engine;
}

Package* Load() {
  std::string error;
  Package* p = TheEngine().LoadPackage(VTRO_FWTEST_PCK, error);
  EXPECT_NE(p, nullptr) << error;
  return p;
}

bool HasReport(const std::string& text) {
  for (const auto& r : TheEngine().Reports().Reports()) {
    if (r.text.find(text) != std::string::npos) {
      return true;
    }
  }
  return false;
}

TEST(EngineInProcess, PackageLoadsOnceWithCountsResolved) {
  Package* p = Load();
  ASSERT_NE(p, nullptr);
  std::string error;
  EXPECT_EQ(TheEngine().LoadPackage(VTRO_FWTEST_PCK, error), p);
  EXPECT_EQ(p->CountAnswer(), 3);
  const ComponentModel* props = p->Find("FwTestProperties");
  ASSERT_NE(props, nullptr);
  EXPECT_EQ(props->resolved->propertyCount, 11);  // as given: fewer than the table holds
  EXPECT_EQ(props->resolved->actionCount, 2);
  EXPECT_EQ(props->record->propertyCount, 11);
  const ComponentModel* lc = p->Find("FwTestLifecycle");
  ASSERT_NE(lc, nullptr);
  EXPECT_EQ(lc->record->inputCount, -1);  // the package's own record is left as it is
  EXPECT_EQ(lc->resolved->inputCount, 1);
  EXPECT_EQ(lc->resolved->outputCount, 1);
  EXPECT_EQ(lc->resolved->propertyCount, 5);
  EXPECT_EQ(lc->resolved->actionCount, 0);
}

TEST(EngineInProcess, InstancesAndTheirSymbols) {
  Load();
  Engine& e = TheEngine();
  std::string error;
  ASSERT_NE(e.Create("FwTestLifecycle", "ip1", error), nullptr) << error;
  EXPECT_EQ(e.Create("FwTestRest", "ip1", error), nullptr);
  EXPECT_EQ(error, "an instance named ip1 exists already");
  EXPECT_EQ(e.Create("FwTestRest", "ip-2", error), nullptr);
  EXPECT_EQ(e.Create("NoModel", "ip2", error), nullptr);
  EXPECT_EQ(e.Create("FwTestRest", "Engine", error), nullptr);
  EXPECT_EQ(error, "the instance name Engine is reserved for the engine's settings");

  const auto fault = e.Symbols().Find("ip1.Fault");
  ASSERT_TRUE(fault);
  EXPECT_EQ(fault->first, SymbolKind::Property);
  EXPECT_EQ(e.Symbols().Find("ip1.trigger")->first, SymbolKind::Input);
  EXPECT_EQ(e.Symbols().Find("ip1.count")->first, SymbolKind::Output);
  EXPECT_TRUE(e.Symbols().Find("ip1.priority"));  // standard properties too

  e.Destroy("ip1");
  EXPECT_FALSE(e.Symbols().Find("ip1.Fault"));
  EXPECT_FALSE(e.Symbols().Find("ip1"));
  ASSERT_NE(e.Create("FwTestLifecycle", "ip1", error), nullptr) << error;  // the name is free again
  e.Destroy("ip1");
}

TEST(EngineInProcess, PropertyQueriesByFullName) {
  Load();
  Engine& e = TheEngine();
  std::string error;
  ASSERT_NE(e.Create("FwTestLifecycle", "q", error), nullptr) << error;
  bool found = false;
  EXPECT_EQ(e.GetIntegerProperty("q.CorePeriod", &found), 20000);
  EXPECT_TRUE(found);
  EXPECT_EQ(e.GetPropertyType("q.Fault"), VTRO_PROPERTY_ENUM);
  EXPECT_EQ(e.GetPropertyType("q.threaded"), VTRO_PROPERTY_BOOL);
  EXPECT_EQ(e.GetPropertyType("q.none"), -1);
  EXPECT_EQ(e.GetPropertyType("Engine.version"), VTRO_PROPERTY_STRING);
  EXPECT_TRUE(e.GetBoolProperty("q.threaded", &found));
  EXPECT_TRUE(found);

  ASSERT_TRUE(e.SetProperty("q", "Fault", "coreStd", error)) << error;
  EXPECT_EQ(e.GetIntegerProperty("q.Fault", &found), 10);  // an enumeration answers its index
  char text[8];
  EXPECT_EQ(e.GetStringProperty("q.Fault", text, sizeof text, &found), 7u);
  EXPECT_STREQ(text, "coreStd");
  // Too small a buffer: cut and terminated, the full length returned.
  char small[4];
  EXPECT_EQ(e.GetStringProperty("q.Fault", small, sizeof small, &found), 7u);
  EXPECT_STREQ(small, "cor");
  std::string serialized(512, '\0');
  const size_t n = e.GetEnumProperty("q.Fault", serialized.data(), serialized.size(), &found);
  serialized.resize(n);
  EXPECT_TRUE(found);
  EXPECT_EQ(serialized.rfind("20|10|none|birthError|", 0), 0u) << serialized;
  e.GetEnumProperty("q.CorePeriod", nullptr, 0, &found);
  EXPECT_FALSE(found);

  e.GetIntegerProperty("q.nothing", &found);
  EXPECT_FALSE(found);
  // A query of another type answers "not found" and leaves the owner alone.
  e.GetIntegerProperty("q.threaded", &found);
  EXPECT_FALSE(found);
  e.GetBoolProperty("q.CorePeriod", &found);
  EXPECT_FALSE(found);
  e.GetStringProperty("q.CorePeriod", nullptr, 0, &found);
  EXPECT_FALSE(found);
  EXPECT_EQ(e.Find("q")->EngineState() & VTRO_STATE_ERROR, 0u);
  e.GetStringProperty("Engine.none", nullptr, 0, &found);
  EXPECT_FALSE(found);
  EXPECT_EQ(e.GetIntegerProperty("Engine.shutdownTimeout", &found), 10'000'000);
  EXPECT_TRUE(found);
  e.GetBoolProperty("Engine.sequentialStart", &found);
  EXPECT_TRUE(found);
  e.Destroy("q");
}

TEST(EngineInProcess, DynamicRegistersAndForgetsSymbols) {
  Load();
  Engine& e = TheEngine();
  std::string error;
  ASSERT_NE(e.Create("FwTestProperties", "dp", error), nullptr) << error;
  EXPECT_FALSE(e.Symbols().Find("dp.ExtraValue"));
  ASSERT_TRUE(e.SetProperty("dp", "Extra", "true", error)) << error;
  EXPECT_TRUE(e.Symbols().Find("dp.ExtraValue"));
  EXPECT_TRUE(e.Symbols().Find("dp.ExtraPing"));
  ASSERT_TRUE(e.SetProperty("dp", "Extra", "false", error)) << error;
  EXPECT_FALSE(e.Symbols().Find("dp.ExtraValue"));
  EXPECT_FALSE(e.Symbols().Find("dp.ExtraPing"));
  EXPECT_FALSE(e.SetProperty("dp", "ExtraValue", "3", error));
  EXPECT_EQ(error, "component dp has no property ExtraValue");
  e.Destroy("dp");
}

// Start and stop from this thread while the component's main thread and two
// component threads run; the engine counts them in and out.
TEST(EngineInProcess, StartStopCountsTheThreads) {
  Load();
  Engine& e = TheEngine();
  std::string error;
  ASSERT_NE(e.Create("FwTestLifecycle", "th", error), nullptr) << error;
  ASSERT_TRUE(e.SetProperty("th", "Threads", "2", error)) << error;
  ASSERT_TRUE(e.SetProperty("th", "CorePeriod", "1000", error)) << error;
  for (int run = 0; run < 3; ++run) {
    ASSERT_TRUE(e.Start("th"));
    // The birth happened and both component threads are in.
    const auto until = std::chrono::steady_clock::now() + 5s;
    while (e.RunningComponentThreads() < 2 && std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(e.RunningComponentThreads(), 2);
    EXPECT_EQ(e.RunningMainThreads(), 1);
    // A clock change while the threads rest wakes them without harm.
    e.Clock().SetSpeed(3000);
    e.Clock().SetSpeed(1000);
    e.Stop("th");
    EXPECT_NE(e.Find("th")->EngineState() & VTRO_STATE_DEAD, 0u);
    EXPECT_TRUE(e.WaitForMainThreads(5000ms));
    EXPECT_EQ(e.RunningComponentThreads(), 0);
  }
  e.Destroy("th");
  EXPECT_TRUE(HasReport("Component th is dead."));
}

// With "Engine.sequentialStart" the start returns only after Birth ran on
// the component's main thread.
TEST(EngineInProcess, SequentialStartWaitsForTheBirth) {
  Load();
  Engine& e = TheEngine();
  std::string error;
  ASSERT_NE(e.Create("FwTestLifecycle", "ss", error), nullptr) << error;
  e.Settings().Set("Engine.sequentialStart", true);
  for (int run = 0; run < 3; ++run) {
    const size_t before = e.Reports().Reports().size();
    ASSERT_TRUE(e.Start("ss"));
    bool born = false;
    const auto reports = e.Reports().Reports();
    for (size_t i = before; i < reports.size(); ++i) {
      born = born || reports[i].text == "component ss: Birth state=0x4 threaded=1";
    }
    EXPECT_TRUE(born) << "run " << run;
    e.Stop("ss");
  }
  e.Settings().Set("Engine.sequentialStart", false);
  e.Destroy("ss");
}

TEST(EngineInProcess, RefusedStartLeavesTheComponentDead) {
  Load();
  Engine& e = TheEngine();
  std::string error;
  ASSERT_NE(e.Create("FwTestProperties", "rq", error), nullptr) << error;
  EXPECT_FALSE(e.Start("rq"));
  EXPECT_TRUE(HasReport("Unable to start component rq. Its property Required needs to be initialized."));
  EXPECT_EQ(e.RunningMainThreads(), 0);
  e.Destroy("rq");
  EXPECT_FALSE(HasReport("The destructor of component rq was called though rq is still alive."));
}

}  // namespace
}  // namespace vtro_engine
