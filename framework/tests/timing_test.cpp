// Rest under the engine clock (real time, faster, paused, reversed, stopped,
// cancelled), VTROEvent waits and the timer trigger.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "fake_engine.h"
#include "test_components.h"
#include "test_support.h"

namespace vtro_test {
namespace {

using Clock = std::chrono::steady_clock;

std::int64_t MillisSince(Clock::time_point begin) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - begin).count();
}

class Timing : public ::testing::Test {
 protected:
  void SetUp() override {
    engine = &Engine();
    component.reset(static_cast<TestComponent*>(model.record.factory("timer", &model.record)));
    engine->Reset();
  }
  FakeEngine* engine = nullptr;
  TestDefinition model{"TimingModel"};
  std::unique_ptr<TestComponent> component;
};

TEST_F(Timing, RestFollowsTheClockSpeed) {
  auto begin = Clock::now();
  EXPECT_TRUE(component->Rest(250000));
  std::int64_t elapsed = MillisSince(begin);
  EXPECT_GE(elapsed, 240);
  EXPECT_LT(elapsed, 1000);

  // Twice as fast: half the real time, and clearly less than the real-time rest would take.
  engine->SetClockSpeed(2000);
  begin = Clock::now();
  const std::int64_t engineBegin = engine->CurrentTime();
  EXPECT_TRUE(component->Rest(1000000));
  elapsed = MillisSince(begin);
  EXPECT_GE(engine->CurrentTime() - engineBegin, 1000000 - 1000);
  // About 500 ms; a rest that ignored the speed would take 1000 ms. The wide
  // margin keeps the check meaningful on a loaded machine.
  EXPECT_GE(elapsed, 490);
  EXPECT_LT(elapsed, 900);

  engine->SetClockSpeed(-1000);  // reversed: the target lies in the past of engine time
  begin = Clock::now();
  EXPECT_TRUE(component->Rest(100000));
  elapsed = MillisSince(begin);
  EXPECT_GE(elapsed, 90);
  EXPECT_LT(elapsed, 600);
  EXPECT_EQ(engine->ArmedTimers(), 0);  // every timer was disarmed
}

TEST_F(Timing, ShortRestNeedsNoTimer) {
  const int before = engine->ArmCalls();
  EXPECT_TRUE(component->Rest(300));
  EXPECT_TRUE(component->Rest(0));
  EXPECT_EQ(engine->ArmCalls(), before);
}

TEST_F(Timing, PausedClockHoldsRestUntilItResumes) {
  engine->SetClockSpeed(0);
  std::atomic<bool> done{false};
  std::thread rester([&] {
    component->Rest(100000);
    done = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(done.load());
  const auto resumed = Clock::now();
  engine->SetClockSpeed(1000);
  rester.join();
  EXPECT_TRUE(done.load());
  const std::int64_t afterResume = MillisSince(resumed);
  EXPECT_GE(afterResume, 90);  // the whole duration still had to pass in engine time
  EXPECT_LT(afterResume, 600);
}

TEST_F(Timing, PauseInTheMiddleKeepsTheRemainingTime) {
  std::atomic<bool> done{false};
  const auto begin = Clock::now();
  std::thread rester([&] {
    component->Rest(200000);
    done = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  engine->SetClockSpeed(0);
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  EXPECT_FALSE(done.load());
  engine->SetClockSpeed(1000);
  rester.join();
  const std::int64_t total = MillisSince(begin);
  EXPECT_GE(total, 330);  // 100 running + 150 paused + about 100 more
  EXPECT_LT(total, 900);
}

// The engine time a rest takes is its duration, whatever pause lies inside.
// The rester reads its own start, and after the pause the clock crawls at a
// tenth of real time, so that a late start or a late wake-up under load adds
// little engine time: a rest that started again after the pause would add
// the 100 ms it rested before it.
TEST_F(Timing, RestAcrossAPauseEndsWhenTheEngineTimeRestedReachesTheDuration) {
  std::atomic<std::int64_t> engineBegin{0};
  std::atomic<std::int64_t> engineEnd{0};
  std::thread rester([&] {
    engineBegin = engine->CurrentTime();
    component->Rest(250000);
    engineEnd = engine->CurrentTime();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  engine->SetClockSpeed(0);
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  engine->SetClockSpeed(100);
  rester.join();
  const std::int64_t rested = engineEnd.load() - engineBegin.load();
  EXPECT_GE(rested, 249000);
  EXPECT_LT(rested, 300000);
}

TEST_F(Timing, StopRequestEndsAPausedRestWithTheStopException) {
  engine->SetClockSpeed(0);
  std::atomic<int> raised{0};
  std::thread rester([&] { raised = Raised([&] { component->Rest(100000); }); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const auto begin = Clock::now();
  component->EngineStop();  // sets the stop event
  rester.join();
  EXPECT_EQ(raised.load(), VTRO::StopException);
  EXPECT_LT(MillisSince(begin), 500);
}

TEST_F(Timing, CancelEventEndsRestWithFalse) {
  VTROEvent cancel(false);
  std::atomic<int> result{-1};
  // The largest duration neither wraps nor returns early.
  std::thread rester([&] { result = component->Rest(INT64_MAX, &cancel) ? 1 : 0; });
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  cancel.Set();
  rester.join();
  EXPECT_EQ(result.load(), 0);
}

TEST_F(Timing, RestWithoutTimersFails) {
  engine->SetTimerLimit(0);
  EXPECT_EQ(Raised([&] { component->Rest(50000); }), VTRO::ErrorException);
  EXPECT_TRUE(engine->FindReport("component timer: Rest function : Too many multimedia timers used. No more available. "
                                 "Contact technical support for help."));
}

TEST_F(Timing, ClockJumpWakesRestEarly) {
  const auto begin = Clock::now();
  std::thread rester([&] { component->Rest(30000000); });
  // Jumped only once the rest waits (its timer is armed): a jump before the
  // rest began would leave it the whole 30 s.
  while (engine->ArmedTimers() == 0 && MillisSince(begin) < 10000) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(engine->ArmedTimers(), 1);
  engine->AdvanceClock(30000000);
  rester.join();
  EXPECT_LT(MillisSince(begin), 15000);
}

TEST(Event, WaitsInMicrosecondsAndTellsTimeouts) {
  Engine();
  VTROEvent event(false, "named");
  EXPECT_STREQ(event.Name(), "named");
  auto begin = Clock::now();
  EXPECT_EQ(event.Wait(1500), VTROEvent::kTimeout);  // 1 ms after integer division
  EXPECT_LT(MillisSince(begin), 500);
  EXPECT_EQ(event.Wait(999), VTROEvent::kTimeout);  // 0 ms: returns at once
  event.Set();
  EXPECT_EQ(event.Wait(0), 0);
  EXPECT_EQ(event.Wait(-1), 0);
  EXPECT_TRUE(event.IsSet());  // manual reset
  event.Reset();
  EXPECT_FALSE(event.IsSet());

  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    event.Set();
  });
  EXPECT_EQ(event.Wait(-1), 0);
  setter.join();
  VTROEvent initiallySet(true);
  EXPECT_EQ(initiallySet.Wait(0), 0);
}

TEST(Event, SeveralEventsGiveTheFirstSetIndexAndAtMost256) {
  FakeEngine& engine = Engine();
  std::vector<std::unique_ptr<VTROEvent>> owned;
  std::vector<VTROEvent*> events;
  for (int i = 0; i < 257; ++i) {
    owned.emplace_back(new VTROEvent(false));
    events.push_back(owned.back().get());
  }
  EXPECT_EQ(VTROEvent::Wait(256, events.data(), 2000), VTROEvent::kTimeout);
  events[200]->Set();
  events[7]->Set();
  EXPECT_EQ(VTROEvent::Wait(256, events.data(), -1), 7);
  events[7]->Reset();
  EXPECT_EQ(VTROEvent::WaitWithMessages(256, events.data(), 0), 200);
  events[200]->Reset();

  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    events[99]->Set();
  });
  EXPECT_EQ(VTROEvent::Wait(256, events.data(), 5000000), 99);
  setter.join();

  EXPECT_EQ(Raised([&] { VTROEvent::Wait(257, events.data(), 0); }), VTRO::ErrorException);
  ReportRecord report;
  ASSERT_TRUE(engine.FindReport("VTROEvent::Wait can't wait for more than 256 events", &report));
  EXPECT_EQ(report.kind, 2);
  EXPECT_EQ(report.level, 1);
}

TEST(Event, TimeTriggerSetsTheEventAtEngineTime) {
  FakeEngine& engine = Engine();
  VTROEvent event(true);
  const auto begin = Clock::now();
  ASSERT_TRUE(event.TimeTrigger(30000));
  EXPECT_FALSE(event.IsSet());  // reset first
  EXPECT_TRUE(event.IsArmed());
  EXPECT_EQ(event.Wait(2000000), 0);
  EXPECT_GE(MillisSince(begin), 25);
  event.Disarm();
  EXPECT_FALSE(event.IsArmed());
  {
    VTROEvent armed(false);
    ASSERT_TRUE(armed.TimeTrigger(10000000));
    EXPECT_EQ(engine.ArmedTimers(), 1);
  }  // the destructor disarms
  EXPECT_EQ(engine.ArmedTimers(), 0);
}

TEST_F(Timing, ConditionWaitTimesOutOrEndsOnStop) {
  VTROEvent condition(false);
  EXPECT_EQ(Raised([&] { component->WaitCondition(condition, 20000); }), VTRO::TimeoutException);
  condition.Set();
  EXPECT_EQ(Raised([&] { component->WaitCondition(condition, 20000); }), 0);
  condition.Reset();
  std::atomic<int> raised{0};
  std::thread waiter([&] { raised = Raised([&] { component->WaitCondition(condition); }); });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  component->EngineStop();
  waiter.join();
  EXPECT_EQ(raised.load(), VTRO::StopException);
}

}  // namespace
}  // namespace vtro_test
