// Lifecycle: start, Core loop or sequential steps, stop, end sequence, is
// dead, exceptions and their texts, shutdown and death time-outs.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "fake_engine.h"
#include "test_components.h"
#include "test_support.h"

namespace vtro_test {
namespace {

// An input whose data the test supplies: `pending` elements wait to be read.
class FakeInput final : public VTROInput {
 public:
  FakeInput(TestComponent* component, std::int32_t readerType, std::int32_t subsampling)
      : m_component(component), m_readerType(readerType), m_subsampling(subsampling) {}
  std::atomic<int> pending{0};
  std::atomic<int> taken{0};

  bool IsConnected() const override { return true; }
  void ResetReadingState() override {
    m_reading = false;
    m_counter = 0;
  }
  void DataType(std::uint64_t& mask, const char*& name) const override {
    mask = VTRO_TYPE_INT64;
    name = nullptr;
  }
  void ReleaseReading() override { StopReading(); }
  void WakeReader() override {}
  bool HasUnreadData() const override { return pending.load() > 0; }
  VTROComponent* Component() const override { return m_component; }
  const char* FullName() const override { return "seq.in"; }
  const char* ShortName() const override { return "in"; }
  const VTROInputDefinition* Definition() const override { return nullptr; }
  bool IsReading() const override { return m_reading; }
  std::int32_t ReaderType() const override { return m_readerType; }
  std::int32_t Subsampling() const override { return m_subsampling; }
  std::int32_t& SubsamplingCounter() override { return m_counter; }
  void SetModuleName(const char*) override {}
  VTROIOElt* StartReading() override {
    if (pending.load() == 0) return nullptr;
    --pending;
    ++taken;
    m_reading = true;
    return reinterpret_cast<VTROIOElt*>(&m_element);
  }
  void StopReading() override { m_reading = false; }
  bool DataAvailable() const override { return pending.load() > 0; }
  bool SetReaderType(std::int32_t) override { return false; }
  std::uint64_t ReadCount() const override { return static_cast<std::uint64_t>(taken.load()); }
  VTROIOElt* CurrentElement() const override { return nullptr; }
  bool Connect(VTROOutput*) override { return false; }
  void Disconnect() override {}
  VTROOutput* ConnectedOutput() const override { return nullptr; }
  void DataPublished() override {}
  void OutputGone(VTROOutput*) override {}

 private:
  TestComponent* m_component;
  std::int32_t m_readerType;
  std::int32_t m_subsampling;
  std::int32_t m_counter = 0;
  bool m_reading = false;
  int m_element = 0;
};

class Lifecycle : public ::testing::Test {
 protected:
  void SetUp() override {
    engine = &Engine();
    ::unsetenv("SILENT");
    ::setenv("VANTRO_SILENT", "1", 1);
  }
  void TearDown() override {
    for (auto& component : components) {
      if ((component->State() & VTRO_STATE_DEAD) == 0) component->EngineStop();
    }
    components.clear();
    ::unsetenv("VANTRO_SILENT");
  }
  TestComponent* Make(const char* name, TestDefinition& definition) {
    components.emplace_back(static_cast<TestComponent*>(definition.record.factory(name, &definition.record)));
    return components.back().get();
  }
  // Waits (bounded) until the component is dead.
  bool WaitDead(TestComponent* component, int timeoutMs = 5000) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while ((component->State() & VTRO_STATE_DEAD) == 0) {
      if (std::chrono::steady_clock::now() > until) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
  }

  FakeEngine* engine = nullptr;
  TestDefinition threadedModel{"ThreadedModel"};
  TestDefinition sequentialModel{"SequentialModel", VTRO_THREADING_SEQUENTIAL, 0};
  std::vector<std::unique_ptr<TestComponent>> components;
};

TEST_F(Lifecycle, ThreadedComponentRunsBirthCoreThenEndsOnStop) {
  TestComponent* component = Make("thr", threadedModel);
  EXPECT_EQ(component->State(), static_cast<std::uint32_t>(VTRO_STATE_DEAD));
  std::atomic<std::uint32_t> coreThread{0};
  std::uint32_t birthThread = 0;
  component->birth = [&](TestComponent& self) {
    birthThread = static_cast<std::uint32_t>(self.GetIntegerProperty("primaryThreadID"));
  };
  component->core = [&](TestComponent& self) {
    coreThread = static_cast<std::uint32_t>(self.GetIntegerProperty("primaryThreadID"));
    self.Rest(2000);
  };
  component->EngineStart();
  EXPECT_TRUE(component->IsStarted());
  ASSERT_EQ(component->EngineBirthEvent()->Wait(5000000), 0);
  while (component->coreCalls.load() < 3) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(component->State() & (VTRO_STATE_DEAD | VTRO_STATE_STARTED), static_cast<std::uint32_t>(VTRO_STATE_STARTED));
  EXPECT_NE(birthThread, 0u);
  EXPECT_EQ(coreThread.load(), birthThread);
  EXPECT_GE(component->GetIntegerProperty("counter"), 3);

  component->EngineStop();
  EXPECT_EQ(component->State(), static_cast<std::uint32_t>(VTRO_STATE_DEAD));
  EXPECT_EQ(component->LogEntries(), (std::vector<std::string>{"Birth", "BeforeDeath", "Death"}));
  ReportRecord report;
  ASSERT_TRUE(engine->FindReport("Component thr is dead.", &report));
  EXPECT_EQ(report.kind, 0);
  EXPECT_EQ(report.frameworkFlag, 1);
  EXPECT_EQ(component->GetIntegerProperty("counter"), 0);
  EXPECT_EQ(component->RunningThreads(), 0);
  EXPECT_EQ(engine->CountReportsContaining("died"), 0);  // a stop is a quiet end
  const auto states = engine->StatesOf("thr");
  ASSERT_FALSE(states.empty());
  EXPECT_EQ(states.back(), static_cast<std::uint32_t>(VTRO_STATE_DEAD));

  // It starts again with fresh per-run state.
  component->EngineStart();
  ASSERT_EQ(component->EngineBirthEvent()->Wait(5000000), 0);
  component->EngineStop();
  EXPECT_EQ(engine->CountReports("Component thr is dead."), 2);
}

TEST_F(Lifecycle, SequentialComponentRunsBirthOnTheStarterAndCoreOnData) {
  TestComponent* component = Make("seq", sequentialModel);
  EXPECT_FALSE(component->EngineIsThreaded());
  FakeInput input(component, FifoReader, 1);
  component->core = [&](TestComponent& self) { self.StartReading(&input); };
  component->EngineStart();
  EXPECT_EQ(component->LogEntries(), std::vector<std::string>{"Birth"});
  EXPECT_EQ(component->GetIntegerProperty("primaryThreadID"), 0);
  EXPECT_EQ(component->State() & (VTRO_STATE_DEAD | VTRO_STATE_STARTED), static_cast<std::uint32_t>(VTRO_STATE_STARTED));

  input.pending = 4;
  component->SequentialStep(&input);
  EXPECT_EQ(component->coreCalls.load(), 4);
  EXPECT_EQ(component->GetIntegerProperty("counter"), 4);
  EXPECT_FALSE(input.IsReading());  // released after each Core

  component->EngineStop();
  EXPECT_EQ(component->State(), static_cast<std::uint32_t>(VTRO_STATE_DEAD));
  EXPECT_EQ(component->GetIntegerProperty("primaryThreadID"), -1);
  EXPECT_EQ(component->LogEntries(), (std::vector<std::string>{"Birth", "BeforeDeath", "Death"}));
  input.pending = 2;
  component->SequentialStep(&input);  // dead: nothing runs
  EXPECT_EQ(component->coreCalls.load(), 4);
}

TEST_F(Lifecycle, SubsamplingSkipsFifoElementsButNotSamplingOnes) {
  TestComponent* component = Make("seq", sequentialModel);
  FakeInput fifo(component, FifoReader, 3);
  FakeInput sampling(component, SamplingReader, 3);
  FakeInput* current = &fifo;
  component->core = [&](TestComponent& self) { self.StartReading(current); };
  component->EngineStart();
  fifo.pending = 9;
  component->SequentialStep(&fifo);
  EXPECT_EQ(component->coreCalls.load(), 3);  // every third element
  EXPECT_EQ(fifo.taken.load(), 9);

  current = &sampling;
  sampling.pending = 5;
  component->SequentialStep(&sampling);
  EXPECT_EQ(component->coreCalls.load(), 8);  // every element
}

TEST_F(Lifecycle, CoreThatLeavesDataUnreadDoesNotLoopForEver) {
  TestComponent* component = Make("seq", sequentialModel);
  FakeInput input(component, SamplingReader, 1);
  component->core = [](TestComponent&) {};
  component->EngineStart();
  input.pending = 1;
  component->SequentialStep(&input);
  EXPECT_EQ(component->coreCalls.load(), 1);
}

TEST_F(Lifecycle, ThreadingModelOverridesTheThreadedProperty) {
  TestComponent* sequentialOnly = Make("seq", sequentialModel);
  sequentialOnly->SetBoolValue(sequentialOnly->Property("threaded"), true);
  sequentialOnly->EngineStart();
  EXPECT_TRUE(engine->FindReport("component seq: Threaded behaviour is not allowed anymore for this component (its "
                                 "threading model may have changed since last save operation)."));
  EXPECT_FALSE(sequentialOnly->GetBoolProperty("threaded"));
  EXPECT_EQ(sequentialOnly->LogEntries().back(), "Birth");  // ran on this thread

  TestComponent* threadedOnly = Make("thr", threadedModel);
  threadedOnly->SetBoolValue(threadedOnly->Property("threaded"), false);
  threadedOnly->EngineStart();
  EXPECT_TRUE(engine->FindReport("component thr: Sequential behaviour is not allowed anymore for this component (its "
                                 "threading model may have changed since last save operation)."));
  EXPECT_TRUE(threadedOnly->GetBoolProperty("threaded"));
}

TEST_F(Lifecycle, ErrorInBirthEndsTheComponentWithItsReports) {
  TestComponent* component = Make("thr", threadedModel);
  component->birth = [](TestComponent& self) { self.Error("cannot open", 1, 0); };
  component->EngineStart();
  ASSERT_TRUE(WaitDead(component));
  ASSERT_TRUE(engine->WaitForReport("Component thr is dead.", 5000));
  EXPECT_TRUE(engine->FindReport("component thr: cannot open"));
  ReportRecord report;
  ASSERT_TRUE(engine->FindReport("component thr (threaded) died due to an error.", &report));
  EXPECT_EQ(report.kind, 1);
  EXPECT_EQ(report.level, 1);
  EXPECT_EQ(component->LogEntries(), (std::vector<std::string>{"Birth", "BeforeDeath", "Death"}));
  EXPECT_EQ(component->State(), static_cast<std::uint32_t>(VTRO_STATE_DEAD | VTRO_STATE_ERROR));
  EXPECT_EQ(component->coreCalls.load(), 0);
  component->EngineStop();  // harmless on a dead component

  TestComponent* sequential = Make("seq", sequentialModel);
  sequential->birth = [](TestComponent& self) { self.Error("bad setup", 1, 0); };
  component->birth = nullptr;
  component->EngineStart();  // the threaded one again, now fine
  sequential->EngineStart();
  EXPECT_TRUE(engine->FindReport("component seq (sequential) died due to an error."));
  EXPECT_EQ(sequential->State(), static_cast<std::uint32_t>(VTRO_STATE_DEAD | VTRO_STATE_ERROR));
}

TEST_F(Lifecycle, StopDuringBirthIsReportedAsDiedAtBirth) {
  TestComponent* component = Make("seq", sequentialModel);
  component->birth = [](TestComponent&) { throw VTRO::StopException; };
  component->EngineStart();
  EXPECT_TRUE(engine->FindReport("component seq: Couldn't start. Birth didn't occur correctly (died at birth)."));
}

TEST_F(Lifecycle, UnhandledExceptionsFromCoreAreShownAndEndTheComponent) {
  struct Case {
    std::function<void()> raise;
    std::string text;
  };
  const Case cases[] = {
      {[] { throw std::runtime_error("disk full"); },
       "component thr : Fatal error : Unhandled std::exception thrown: disk full Trying to catch up but the component "
       "might crash later."},
      {[] { throw "plain text"; },
       "component thr : Fatal error : Unhandled string thrown: plain text Trying to catch up but the component might "
       "crash later."},
      {[] { throw 2.5; },
       "component thr : Fatal error : Unhandled exception thrown. Trying to catch up but the component might crash "
       "later."},
  };
  for (const Case& each : cases) {
    engine->Reset();
    TestComponent* component = Make("thr", threadedModel);
    component->core = [&](TestComponent&) { each.raise(); };
    testing::internal::CaptureStderr();
    component->EngineStart();
    ASSERT_TRUE(WaitDead(component));
    ASSERT_TRUE(engine->WaitForReport("Component thr is dead.", 5000));
    const std::string printed = testing::internal::GetCapturedStderr();
    EXPECT_NE(printed.find("Error: Vantro Engine: " + each.text + "\r\n"), std::string::npos) << printed;
    ReportRecord report;
    ASSERT_TRUE(engine->FindReport(each.text, &report));
    EXPECT_EQ(report.kind, 2);
    EXPECT_EQ(report.level, 0);
    EXPECT_NE(component->State() & VTRO_STATE_ERROR, 0u);
    EXPECT_EQ(component->LogEntries(), (std::vector<std::string>{"Birth", "BeforeDeath", "Death"}));
    components.clear();
  }
}

TEST_F(Lifecycle, WithoutSilentTheFatalTextGoesToAMessageBox) {
  ::unsetenv("VANTRO_SILENT");
  TestComponent* component = Make("seq", sequentialModel);
  FakeInput input(component, FifoReader, 1);
  component->core = [](TestComponent&) { throw std::logic_error("oops"); };
  component->EngineStart();
  input.pending = 1;
  testing::internal::CaptureStderr();
  component->SequentialStep(&input);
  const std::string printed = testing::internal::GetCapturedStderr();
  EXPECT_EQ(printed.find("Error: Vantro Engine:"), std::string::npos);
  EXPECT_NE(printed.find("[Vantro Engine] (error) component seq : Fatal error : Unhandled std::exception thrown: oops"),
            std::string::npos)
      << printed;
  EXPECT_EQ(component->State() & VTRO_STATE_DEAD, static_cast<std::uint32_t>(VTRO_STATE_DEAD));
}

TEST_F(Lifecycle, SequentialStepRaisesTimeoutsAndOtherIntegersToTheEngine) {
  TestComponent* component = Make("seq", sequentialModel);
  FakeInput input(component, FifoReader, 1);
  int toRaise = VTRO::TimeoutException;
  component->core = [&](TestComponent& self) {
    self.StartReading(&input);
    throw toRaise;
  };
  component->EngineStart();
  input.pending = 1;
  // The run lock is given back before the time-out is reported.
  std::vector<bool> runLockFree;
  engine->SetReportHook([&](const ReportRecord& report) {
    if (report.text.find("Time out") != std::string::npos) runLockFree.push_back(component->RunLockFreeForOthers());
  });
  EXPECT_EQ(Raised([&] { component->SequentialStep(&input); }), VTRO::ErrorException);
  engine->SetReportHook(nullptr);
  EXPECT_EQ(runLockFree, std::vector<bool>{true});
  ReportRecord report;
  ASSERT_TRUE(engine->FindReport("Component seq : Time out (deadlock?) on an input", &report));
  EXPECT_EQ(report.kind, 2);
  EXPECT_EQ(report.frameworkFlag, 1);
  EXPECT_NE(component->State() & VTRO_STATE_ERROR, 0u);

  toRaise = 77;
  input.pending = 1;
  EXPECT_EQ(Raised([&] { component->SequentialStep(&input); }), 77);
  // The run lock was released: a stop goes through.
  component->EngineStop();
  EXPECT_NE(component->State() & VTRO_STATE_DEAD, 0u);
}

TEST_F(Lifecycle, ExceptionsFromDeathAreReportedAndGoNoFurther) {
  struct Case {
    std::function<void()> raise;
    std::string text;
    int level;
  };
  const Case cases[] = {
      {[] { throw VTRO::ErrorException; },
       "thr: VTRO::ErrorException thrown from Death(). Trying to catch up. The component might crash later.", 0},
      {[] { throw 12; },
       "thr: unhandled integer exception thrown from Death(). Trying to catch up. The component might crash later.", 2},
      {[] { throw std::out_of_range("index 9"); },
       "thr: unhandled std::exception thrown from Death() (index 9). Trying to catch up. The component might crash "
       "later.",
       2},
      {[] { throw 'c'; },
       "thr: unhandled exception thrown from Death(). Trying to catch up. The component might crash later.", 2},
  };
  for (const Case& each : cases) {
    engine->Reset();
    TestComponent* component = Make("thr", threadedModel);
    component->death = [&](TestComponent&) { each.raise(); };
    component->EngineStart();
    ASSERT_EQ(component->EngineBirthEvent()->Wait(5000000), 0);
    component->EngineStop();
    ReportRecord report;
    ASSERT_TRUE(engine->FindReport(each.text, &report)) << each.text;
    EXPECT_EQ(report.kind, 2);
    EXPECT_EQ(report.level, each.level);
    EXPECT_EQ(report.frameworkFlag, 1);
    EXPECT_EQ(engine->CountReportsContaining("Death()"), 1);
    EXPECT_TRUE(engine->FindReport("Component thr is dead."));
    components.clear();
  }
}

TEST_F(Lifecycle, StopDuringRestOrABlockedWaitEndsAtOnce) {
  TestComponent* resting = Make("rest", threadedModel);
  resting->core = [](TestComponent& self) { self.Rest(60000000); };
  TestComponent* waiting = Make("wait", threadedModel);
  VTROEvent never(false);
  waiting->core = [&](TestComponent& self) { self.WaitCondition(never); };
  resting->EngineStart();
  waiting->EngineStart();
  while (resting->coreCalls.load() == 0 || waiting->coreCalls.load() == 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const auto begin = std::chrono::steady_clock::now();
  resting->EngineStop();
  waiting->EngineStop();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(2));
  EXPECT_EQ(resting->LogEntries().back(), "Death");
  EXPECT_EQ(waiting->LogEntries().back(), "Death");
  EXPECT_EQ(engine->CountReportsContaining("died"), 0);
}

TEST_F(Lifecycle, RefusingToDieIsReportedAfterTheLimitAndTheStopStaysRequested) {
  engine->SetClockSpeed(100000);  // the 10 s of engine time pass in 0.1 s
  TestComponent* component = Make("stuck", threadedModel);
  std::atomic<bool> release{false};
  component->core = [&](TestComponent&) {
    while (!release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  };
  component->EngineStart();
  while (component->coreCalls.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const auto begin = std::chrono::steady_clock::now();
  component->EngineStop();
  // 10 s of engine time, not of real time.
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(3));
  ReportRecord report;
  ASSERT_TRUE(engine->FindReport(
      "Component stuck refuses to die after 10 seconds. The component model ThreadedModel must be bugged.", &report));
  EXPECT_EQ(report.kind, 1);
  EXPECT_EQ(report.frameworkFlag, 1);
  EXPECT_TRUE(component->IsDying());
  release = true;
  ASSERT_TRUE(WaitDead(component));
  EXPECT_EQ(component->coreCalls.load(), 1);
}

// The engine destroys a component that refused to die: one stop, one
// warning, and no wait for the thread that never comes back.
TEST_F(Lifecycle, DestroyingAComponentThatRefusedToDieStopsItOnlyOnce) {
  static std::atomic<bool> never{false};
  static std::atomic<bool> entered{false};
  engine->SetClockSpeed(100000);
  TestComponent* component = Make("stuck", threadedModel);
  // Ignores the stop for ever; touches nothing of the component once it
  // said so (what it read before happens before the destruction).
  component->core = [](TestComponent&) {
    entered.store(true, std::memory_order_release);
    while (!never.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  };
  component->EngineStart();
  while (!entered.load(std::memory_order_acquire)) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  component->EngineStop();
  const auto begin = std::chrono::steady_clock::now();
  components.clear();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(1));
  EXPECT_EQ(engine->CountReportsContaining("refuses to die"), 1);
  EXPECT_EQ(engine->CountReports("The destructor of component stuck was called though stuck is still alive."), 1);
}

TEST_F(Lifecycle, ShutdownTimeoutTextUsesSecondsFromOneSecondOn) {
  const std::pair<std::int64_t, std::string> cases[] = {
      {500000, "500000 microsecond(s)"},
      {2500000, "2 second(s)"},
  };
  for (const auto& each : cases) {
    const std::int64_t timeout = each.first;
    const std::string amount = each.second;
    engine->Reset();
    engine->SetInteger("Engine.shutdownTimeout", timeout);
    TestComponent* component = Make("slow", threadedModel);
    std::atomic<bool> release{false};
    // The worker thread ignores the stop until released.
    component->birth = [&](TestComponent& self) {
      static std::atomic<bool>* flag;
      flag = &release;
      struct Runner {
        static void Run(void* raw) {
          while (!static_cast<std::atomic<bool>*>(raw)->load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
      };
      engine->SetString("Engine.version", "4.7.0");
      self.CreateThread(&Runner::Run, flag);
    };
    component->EngineStart();
    ASSERT_EQ(component->EngineBirthEvent()->Wait(5000000), 0);
    std::thread releaser([&] {
      const std::string text = "Some threads are still running after " + amount +
                               ". The model must be bugged. If this is considered as normal however, consider increase "
                               "the value of the Engine.shutdownTimeout property. I destroy the component anyway. This "
                               "might result in a system crash.";
      engine->WaitForReport(text, 10000);
      release = true;
    });
    component->EngineStop();
    releaser.join();
    const std::string text = "Some threads are still running after " + amount +
                             ". The model must be bugged. If this is considered as normal however, consider increase "
                             "the value of the Engine.shutdownTimeout property. I destroy the component anyway. This "
                             "might result in a system crash.";
    ReportRecord report;
    ASSERT_TRUE(engine->FindReport(text, &report)) << amount;
    EXPECT_EQ(report.kind, 1);
    EXPECT_EQ(report.level, 2);
    EXPECT_EQ(component->LogEntries().back(), "Death");  // Death runs anyway
    // Let the worker leave before the component goes.
    while (component->RunningThreads() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    components.clear();
  }
}

TEST_F(Lifecycle, SequentialStartWaitsForBirth) {
  engine->SetBool("Engine.sequentialStart", true);
  TestComponent* component = Make("thr", threadedModel);
  component->birth = [](TestComponent& self) {
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    // A setter in Birth must not wait for the start, which waits for Birth.
    self.SetIntegerValue(self.Property("nbPeriods"), 4);
  };
  const auto begin = std::chrono::steady_clock::now();
  component->EngineStart();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(2500));
  EXPECT_EQ(component->EngineBirthEvent()->Wait(0), 0);
  EXPECT_EQ(engine->CountReportsContaining("3s timeout"), 0);
}

TEST_F(Lifecycle, PeriodStatisticsFollowTheEngineClock) {
  engine->SetClockSpeed(0);  // engine time moves only when the test moves it
  TestComponent* component = Make("seq", sequentialModel);
  FakeInput input(component, FifoReader, 1);
  component->core = [&](TestComponent& self) { self.StartReading(&input); };
  component->EngineStart();
  auto step = [&](std::int64_t advanceUs) {
    engine->AdvanceClock(advanceUs);
    input.pending = 1;
    component->SequentialStep(&input);
  };
  step(0);
  step(1000);
  step(3000);
  step(2000);
  EXPECT_EQ(component->GetIntegerProperty("counter"), 4);
  EXPECT_EQ(component->GetIntegerProperty("averagePeriod"), 2000);
  EXPECT_EQ(component->GetIntegerProperty("maxPeriod"), 3000);
  EXPECT_EQ(component->GetIntegerProperty("minPeriod"), 1000);

  // A window of two: the oldest periods fall out.
  component->SetIntegerValue(component->Property("nbPeriods"), 2);
  step(5000);  // first call after the window change only records the time
  step(700);
  EXPECT_EQ(component->GetIntegerProperty("averagePeriod"), 700);
  EXPECT_EQ(component->GetIntegerProperty("maxPeriod"), 700);
  EXPECT_EQ(component->GetIntegerProperty("minPeriod"), 700);
  step(500);
  step(900);
  EXPECT_EQ(component->GetIntegerProperty("averagePeriod"), 700);
  EXPECT_EQ(component->GetIntegerProperty("maxPeriod"), 900);
  EXPECT_EQ(component->GetIntegerProperty("minPeriod"), 500);

  component->EngineStop();
  EXPECT_EQ(component->GetIntegerProperty("counter"), 0);
  EXPECT_EQ(component->GetIntegerProperty("averagePeriod"), 0);
  EXPECT_EQ(component->GetIntegerProperty("maxPeriod"), 0);
}

TEST_F(Lifecycle, DestroyingANeverStartedComponentReportsNothing) {
  {
    TestComponent* component = Make("quiet", threadedModel);
    (void)component;
    components.clear();
  }
  EXPECT_EQ(engine->CountReportsContaining("destructor"), 0);
  EXPECT_FALSE(engine->IsRegistered("quiet.counter"));  // unregistered with the component
}

// Sequential, so that no thread of the component is inside its code while the
// derived part of the object is already gone.
TEST_F(Lifecycle, DestroyingARunningComponentReportsItAndStopsItFirst) {
  TestComponent* component = Make("alive", sequentialModel);
  component->EngineStart();
  ASSERT_TRUE(component->IsStarted());
  components.clear();
  ReportRecord report;
  ASSERT_TRUE(engine->FindReport("The destructor of component alive was called though alive is still alive.", &report));
  EXPECT_EQ(report.kind, 2);
  EXPECT_EQ(report.level, 1);
  EXPECT_TRUE(engine->FindReport("Component alive is dead."));
}

}  // namespace
}  // namespace vtro_test
