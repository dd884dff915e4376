// Lifecycles driven by the real engine: order and state flags of threaded
// and sequential components, failures with their texts, shutdown limits,
// component threads and Rest under clock speeds.
#include <gtest/gtest.h>

#include "engine_runner.h"

namespace vtro_engine_test {
namespace {

const std::string kEngine = VTRO_ENGINE_BIN;
const std::string kPackage = VTRO_FWTEST_PCK;

EngineRun Lifecycle(std::vector<std::string> extra, double seconds = 0.2) {
  std::vector<std::string> args{"start", kPackage, "FwTestLifecycle", "--name", "lc", "--for", std::to_string(seconds)};
  args.insert(args.end(), extra.begin(), extra.end());
  return RunEngine(kEngine, args);
}

EngineRun Rest(std::vector<std::string> extra) {
  std::vector<std::string> args{"start", kPackage, "FwTestRest", "--name", "rs"};
  args.insert(args.end(), extra.begin(), extra.end());
  return RunEngine(kEngine, args);
}

// Lines that must appear in this order.
void ExpectInOrder(const EngineRun& run, const std::vector<std::string>& texts) {
  int at = -1;
  for (const auto& t : texts) {
    const int found = run.Find(t, at + 1);
    ASSERT_NE(found, -1) << "missing after line " << at << ": " << t << "\n" << run.out;
    at = found;
  }
}

const char kDead[] = "info: Component lc is dead.";

TEST(Lifecycle, ThreadedOrderAndFlags) {
  const auto run = Lifecycle({});
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  ExpectInOrder(run, {"info: component lc: Birth state=0x4 threaded=1", "info: component lc: Core 1 state=0x4",
                      "info: component lc: Core 2 state=0x4", "info: component lc: BeforeDeath state=0x6",
                      "info: component lc: Death cores=", kDead});
  EXPECT_NE(run.Find("state=0x6 dying=1"), -1);
  EXPECT_EQ(run.Count("Birth"), 1);
  EXPECT_EQ(run.Count("is dead."), 1);
  EXPECT_EQ(run.Find("error: "), -1) << run.out;
}

TEST(Lifecycle, SequentialRunsBirthOnTheStartAndDeathOnTheStop) {
  const auto run = Lifecycle({"--set", "threaded=false"});
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  ExpectInOrder(run, {"info: component lc: Birth state=0x4 threaded=0", "info: component lc: BeforeDeath state=0x6",
                      "info: component lc: Death cores=0 state=0x6 dying=1", kDead});
  // No data arrives on its input, so Core never runs.
  EXPECT_EQ(run.Find("Core"), -1);
  const auto step = Lifecycle({"--set", "threaded=false", "--at", "0.05:step:0"});
  EXPECT_EQ(step.status, 0) << step.out;
  EXPECT_EQ(step.Find("Core"), -1);
}

TEST(Lifecycle, StartsAgainAfterAStop) {
  const auto run = Lifecycle({"--runs", "3"}, 0.1);
  ASSERT_EQ(run.status, 0) << run.out;
  EXPECT_EQ(run.Count("info: component lc: Birth state=0x4"), 3);
  EXPECT_EQ(run.Count("info: component lc: Core 1 state=0x4"), 3);
  EXPECT_EQ(run.Count(kDead), 3);
}

TEST(Lifecycle, InterruptStopsTheComponentCleanly) {
#if defined(_WIN32)
  GTEST_SKIP() << "Wine gives a test program started by CTest no console, so no Ctrl-C reaches the engine";
#endif
  const auto run = RunEngine(kEngine, {"start", kPackage, "FwTestLifecycle", "--name", "lc", "--for", "30"},
                             std::chrono::seconds(20), {}, std::chrono::milliseconds(300));
  EXPECT_EQ(run.status, 130) << run.out;  // interrupted, after the component stopped
  ExpectInOrder(run, {"Core 1 state=0x4", "BeforeDeath state=0x6", "Death cores=", kDead});
  EXPECT_LT(run.took, std::chrono::milliseconds(5000));
}

TEST(Lifecycle, ExceptionsFromCoreEndTheComponentWithTheirTexts) {
  struct Case {
    std::string fault;
    std::string text;
  };
  const std::vector<Case> cases = {
      {"coreError", "error: component lc: Core failed on request"},
      {"coreString",
       "error: component lc : Fatal error : Unhandled string thrown: core string Trying to catch up but the component "
       "might crash later."},
      {"coreStd",
       "error: component lc : Fatal error : Unhandled std::exception thrown: core runtime error Trying to catch up but "
       "the component might crash later."},
      {"coreUnknown",
       "error: component lc : Fatal error : Unhandled exception thrown. Trying to catch up but the component might "
       "crash later."},
  };
  for (const auto& c : cases) {
    const auto run = Lifecycle({"--set", "Fault=" + c.fault}, 5);
    EXPECT_EQ(run.status, 1) << c.fault << "\n" << run.out;
    ExpectInOrder(run, {"Core 2 state=0x4", c.text, "info: component lc: BeforeDeath", "Death cores=2", kDead});
    // The component ended by itself: the engine did not wait for the 5 s.
    EXPECT_LT(run.took, std::chrono::milliseconds(4000)) << c.fault;
  }
  const auto other = Lifecycle({"--set", "Fault=coreInt"}, 5);
  EXPECT_EQ(other.status, 1);
  ExpectInOrder(other, {"Core 2 state=0x4", "died due to an error.", "Death cores=2", kDead});
  const auto error = Lifecycle({"--set", "Fault=coreError"}, 5);
  EXPECT_NE(error.Find("died due to an error."), -1) << error.out;
  const auto timeout = Lifecycle({"--set", "Fault=coreTimeout"}, 5);
  EXPECT_NE(timeout.Find("error: Component lc : Time out (deadlock?) on an input"), -1) << timeout.out;
}

TEST(Lifecycle, ExceptionsFromBirth) {
  for (const std::string fault : {"birthError", "birthInt", "birthString", "birthStd", "birthUnknown"}) {
    const auto run = Lifecycle({"--set", "Fault=" + fault}, 5);
    EXPECT_EQ(run.status, 1) << fault << "\n" << run.out;
    EXPECT_EQ(run.Find("Core 1"), -1) << fault;
    EXPECT_NE(run.Find(kDead), -1) << fault << "\n" << run.out;
    EXPECT_LT(run.took, std::chrono::milliseconds(4000)) << fault;
  }
  const auto std = Lifecycle({"--set", "Fault=birthStd"});
  EXPECT_NE(std.Find("Unhandled std::exception thrown: birth runtime error"), -1) << std.out;
  const auto sequential = Lifecycle({"--set", "threaded=false", "--set", "Fault=birthStop"});
  EXPECT_NE(sequential.Find("Couldn't start. Birth didn't occur correctly (died at birth)."), -1) << sequential.out;
  EXPECT_NE(sequential.Find(kDead), -1);
}

TEST(Lifecycle, ExceptionsFromDeathNeverLeaveIt) {
  struct Case {
    std::string fault;
    std::string text;
  };
  const std::vector<Case> cases = {
      {"deathError", "error: lc: VTRO::ErrorException thrown from Death(). Trying to catch up. The component might crash later."},
      {"deathInt", "error: lc: unhandled integer exception thrown from Death(). Trying to catch up. The component might crash later."},
      {"deathStd",
       "error: lc: unhandled std::exception thrown from Death() (death runtime error). Trying to catch up. The "
       "component might crash later."},
      {"deathUnknown", "error: lc: unhandled exception thrown from Death(). Trying to catch up. The component might crash later."},
  };
  for (const auto& c : cases) {
    const auto run = Lifecycle({"--set", "Fault=" + c.fault});
    EXPECT_TRUE(run.HasLine(c.text)) << c.fault << "\n" << run.out;
    EXPECT_EQ(run.Count(c.text), 1);
    ExpectInOrder(run, {"Death cores=", c.text, kDead});
  }
  EXPECT_NE(Lifecycle({"--set", "Fault=deathError"}).Find("error: component lc: Death failed on request"), -1);
}

TEST(Lifecycle, ComponentThreadsEndBeforeDeath) {
  const auto run = Lifecycle({"--set", "Threads=2", "--set", "FreeThreads=1"}, 0.3);
  ASSERT_EQ(run.status, 0) << run.out;
  EXPECT_EQ(run.Count("info: component lc: thread runs"), 2);
  EXPECT_TRUE(run.HasLine("info: component lc: free thread started=1"));
  ExpectInOrder(run, {"thread stopped by 57005", "thread stopped by 57005", "Death cores=", kDead});
  ExpectInOrder(run, {"free thread runs", "free thread ends", "Death cores="});
  EXPECT_EQ(run.Find("Some threads are still running"), -1);
}

TEST(Lifecycle, FreeFunctionThreadsNeedTheEngineVersion) {
  const auto run = Lifecycle({"--set", "FreeThreads=1", "--unset", "Engine.version"});
  EXPECT_EQ(run.status, 1) << run.out;
  EXPECT_NE(run.Find("Your engine version does NOT support creating component threads that run non-member "
                     "functions. Either update your engine to Vantro >= 4.7.0"),
            -1)
      << run.out;
  EXPECT_EQ(run.Find("free thread runs"), -1);
}

TEST(Lifecycle, ShutdownTimeoutTexts) {
  const auto micro = Lifecycle({"--set", "Threads=1", "--set", "Fault=threadHang", "--set", "HangMs=1200",
                                "--setting", "Engine.shutdownTimeout=300000"});
  const std::string tail =
      ". The model must be bugged. If this is considered as normal however, consider increase the value of the "
      "Engine.shutdownTimeout property. I destroy the component anyway. This might result in a system crash.";
  EXPECT_TRUE(micro.HasLine("warning: Some threads are still running after 300000 microsecond(s)" + tail)) << micro.out;
  ExpectInOrder(micro, {"Some threads are still running", "Death cores=", kDead});

  const auto seconds = Lifecycle({"--set", "Threads=1", "--set", "Fault=threadHang", "--set", "HangMs=1300",
                                  "--setting", "Engine.shutdownTimeout=1000000"});
  EXPECT_TRUE(seconds.HasLine("warning: Some threads are still running after 1 second(s)" + tail)) << seconds.out;
  // The late thread still ends before the engine frees the component.
  EXPECT_NE(seconds.Find("thread returns late"), -1);
}

// A component thread that outlives every limit: the engine keeps the object
// rather than free it under the running thread.
TEST(Lifecycle, ObjectOfAComponentWithARunningThreadIsKept) {
  const auto run = Lifecycle({"--set", "Threads=1", "--set", "Fault=threadHang", "--set", "HangMs=6000", "--setting",
                              "Engine.shutdownTimeout=200000"},
                             0.1);
  ExpectInOrder(run, {"Some threads are still running after 200000 microsecond(s)", kDead,
                      "warning: component lc still has running threads; its object is kept to keep them safe"});
  EXPECT_EQ(run.Find("thread returns late"), -1);
  EXPECT_LT(run.took, std::chrono::milliseconds(5000));
}

TEST(Lifecycle, RefusesToDieAfterTheDeathLimit) {
  const std::string text =
      "warning: Component lc refuses to die after 10 seconds. The component model FwTestLifecycle must be bugged.";
  // The stop waits 10 s of engine time: at 40 times real time, 0.25 s.
  const auto core = Lifecycle({"--set", "Fault=coreIgnoresStop", "--set", "HangMs=1200", "--speed", "40000", "--at",
                               "0.1:stop"},
                              0.5);
  ExpectInOrder(core, {"Core ignores the stop", text, "Core returns late", kDead});
  EXPECT_LT(core.took, std::chrono::milliseconds(8000));

  const auto death = Lifecycle({"--set", "Fault=deathHang", "--set", "HangMs=1000", "--speed", "50000"});
  ExpectInOrder(death, {"Death cores=", text, "Death returns late"});
}

TEST(Rest, RealTimeClock) {
  const auto run = Rest({"--set", "RestUs=250000", "--for", "0.6"});
  ASSERT_EQ(run.status, 0) << run.out;
  const int at = run.Find("info: component rs: rest 250000 returned 1");
  ASSERT_NE(at, -1) << run.out;
  const auto line = run.Lines()[static_cast<size_t>(at)];
  EXPECT_GE(NumberAfter(line, "real_us="), 240000) << line;
  EXPECT_LT(NumberAfter(line, "real_us="), 450000) << line;
  EXPECT_GE(NumberAfter(line, "engine_us="), 249500) << line;
}

TEST(Rest, DoubleSpeedHalvesTheRealTime) {
  const auto run = Rest({"--set", "RestUs=250000", "--speed", "2000", "--for", "0.5"});
  const int at = run.Find("rest 250000 returned 1");
  ASSERT_NE(at, -1) << run.out;
  const auto line = run.Lines()[static_cast<size_t>(at)];
  EXPECT_GE(NumberAfter(line, "real_us="), 115000) << line;
  EXPECT_LT(NumberAfter(line, "real_us="), 230000) << line;
  EXPECT_GE(NumberAfter(line, "engine_us="), 249500) << line;
}

TEST(Rest, PausedClockWaitsForTheResume) {
  const auto run = Rest({"--set", "RestUs=100000", "--speed", "0", "--at", "0.3:resume", "--for", "0.8"});
  const int at = run.Find("rest 100000 returned 1");
  ASSERT_NE(at, -1) << run.out;
  const auto line = run.Lines()[static_cast<size_t>(at)];
  EXPECT_GE(NumberAfter(line, "real_us="), 350000) << line;
  EXPECT_GE(NumberAfter(line, "engine_us="), 99500) << line;
}

TEST(Rest, StopEndsARestOnAPausedClock) {
  const auto run = Rest({"--set", "RestUs=100000", "--speed", "0", "--for", "0.3"});
  ASSERT_EQ(run.status, 0) << run.out;
  EXPECT_EQ(run.Find("returned"), -1) << run.out;
  EXPECT_TRUE(run.HasLine("info: component rs: Death"));
  EXPECT_LT(run.took, std::chrono::milliseconds(3000));
}

TEST(Rest, StopEndsALongRestAtOnce) {
  const auto run = Rest({"--set", "RestUs=1000", "--for", "0.3"});
  ASSERT_EQ(run.status, 0) << run.out;
  ExpectInOrder(run, {"rests done", "info: component rs: long rest ended by 57005", "info: component rs: Death",
                      "info: Component rs is dead."});
  EXPECT_LT(run.took, std::chrono::milliseconds(3000));
}

TEST(Rest, StopEndsABlockedFrameworkWait) {
  const auto run = Rest({"--set", "WaitUs=-1", "--for", "0.2"});
  ASSERT_EQ(run.status, 0) << run.out;
  ExpectInOrder(run, {"info: component rs: wait ended by 57005", "info: component rs: Death"});
  EXPECT_EQ(run.Find("error: "), -1);
  EXPECT_LT(run.took, std::chrono::milliseconds(3000));

  // A wait that times out raises -3: the component ends with the time-out text.
  const auto timeout = Rest({"--set", "WaitUs=50000", "--for", "3"});
  EXPECT_EQ(timeout.status, 1) << timeout.out;
  ExpectInOrder(timeout, {"info: component rs: wait ended by -3", "Time out (deadlock?) on an input",
                          "info: component rs: Death"});
  EXPECT_LT(timeout.took, std::chrono::milliseconds(2500));
}

TEST(Rest, ShortRestAndReversedClock) {
  const auto shortRest = Rest({"--set", "RestUs=300", "--for", "0.1"});
  const int at = shortRest.Find("rest 300 returned 1");
  ASSERT_NE(at, -1) << shortRest.out;
  EXPECT_LT(NumberAfter(shortRest.Lines()[static_cast<size_t>(at)], "real_us="), 20000);

  const auto reversed = Rest({"--set", "RestUs=100000", "--speed", "-1000", "--for", "0.4"});
  const int r = reversed.Find("rest 100000 returned 1");
  ASSERT_NE(r, -1) << reversed.out;
  const auto line = reversed.Lines()[static_cast<size_t>(r)];
  EXPECT_GE(NumberAfter(line, "real_us="), 90000) << line;
  EXPECT_LT(NumberAfter(line, "real_us="), 250000) << line;
  EXPECT_LE(NumberAfter(line, "engine_us="), -99500) << line;
}

TEST(Rest, SpeedChangeDuringARest) {
  // 100 s of engine time at real-time speed; 0.1 s in, the clock runs a
  // thousand times faster, so the rest is over about 0.1 s later. Unless the
  // speed change re-plans the rest already waiting, it lasts 100 s and the
  // run's stop after 3 s ends it unreturned: the margin is far beyond any
  // load, and no bound on real time is needed.
  const auto run = Rest({"--set", "RestUs=100000000", "--at", "0.1:speed:1000000", "--for", "3"});
  const int at = run.Find("rest 100000000 returned 1");
  ASSERT_NE(at, -1) << run.out;
  EXPECT_GE(NumberAfter(run.Lines()[static_cast<size_t>(at)], "engine_us="), 99999500) << run.out;
}

}  // namespace
}  // namespace vtro_engine_test
