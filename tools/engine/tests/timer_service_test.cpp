// The timer service: events set at absolute engine times under changing
// clock speeds.
#include "timer_service.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

namespace vtro_engine {
namespace {

using namespace std::chrono_literals;
using Steady = EngineClock::Steady;

// A latch the timer sets; waits are bounded.
class Flag {
 public:
  void Set() {
    std::lock_guard<std::mutex> guard(lock_);
    set_ = true;
    ++count_;
    cv_.notify_all();
  }
  bool WaitFor(Steady::duration limit) {
    std::unique_lock<std::mutex> guard(lock_);
    return cv_.wait_for(guard, limit, [this] { return set_; });
  }
  int Count() {
    std::lock_guard<std::mutex> guard(lock_);
    return count_;
  }

 private:
  std::mutex lock_;
  std::condition_variable cv_;
  bool set_ = false;
  int count_ = 0;
};

TEST(TimerService, FiresAtTheEngineTimeAtRealSpeed) {
  EngineClock clock(0, 1000);
  TimerService timers(clock);
  Flag flag;
  const auto start = Steady::now();
  const int64_t target = clock.At(start) + 60'000;
  timers.Arm(&flag, target, [&flag] { flag.Set(); });
  ASSERT_TRUE(flag.WaitFor(5s));
  EXPECT_GE(clock.Now(), target);
  EXPECT_GE(Steady::now() - start, 60ms);
  EXPECT_FALSE(timers.Armed(&flag));
  EXPECT_EQ(flag.Count(), 1);
}

TEST(TimerService, DoubleSpeedHalvesTheRealWait) {
  EngineClock clock(0, 2000);
  TimerService timers(clock);
  Flag flag;
  const auto start = Steady::now();
  timers.Arm(&flag, clock.At(start) + 600'000, [&flag] { flag.Set(); });
  ASSERT_TRUE(flag.WaitFor(5s));
  const auto took = Steady::now() - start;
  EXPECT_GE(took, 300ms);
  EXPECT_LT(took, 560ms);  // not the 600 ms of real time; wide enough for a loaded machine
}

TEST(TimerService, PausedClockHoldsTheTimerUntilResume) {
  EngineClock clock(0, 1000);
  TimerService timers(clock);
  Flag flag;
  clock.Pause();
  timers.Arm(&flag, clock.Now() + 1000, [&flag] { flag.Set(); });
  EXPECT_FALSE(flag.WaitFor(30ms));
  clock.Resume();
  EXPECT_TRUE(flag.WaitFor(5s));
}

TEST(TimerService, ReversedClockFiresWhenTimeFallsToTheTarget) {
  EngineClock clock(1'000'000, -1000);
  TimerService timers(clock);
  Flag late;
  Flag early;
  timers.Arm(&early, clock.Now() - 20'000, [&early] { early.Set(); });
  timers.Arm(&late, clock.Now() + 20'000, [&late] { late.Set(); });  // already passed going backwards
  EXPECT_TRUE(late.WaitFor(5s));
  EXPECT_TRUE(early.WaitFor(5s));
  EXPECT_LE(clock.Now(), 980'000);
}

TEST(TimerService, SpeedChangeReplansAPendingTimer) {
  EngineClock clock(0, 1000);
  TimerService timers(clock);
  Flag flag;
  const auto start = Steady::now();
  timers.Arm(&flag, clock.Now() + 10'000'000, [&flag] { flag.Set(); });  // 10 s at real time
  clock.SetSpeed(1'000'000);  // now 10 ms
  ASSERT_TRUE(flag.WaitFor(5s));
  EXPECT_LT(Steady::now() - start, 2s);
}

TEST(TimerService, TargetsAtTheEndsOfTimeDoNotOverflow) {
  EngineClock clock(-5'000'000, 1000);
  EXPECT_GT(clock.RealUntil(INT64_MAX), std::chrono::hours(24));
  TimerService timers(clock);
  Flag far;
  timers.Arm(&far, INT64_MAX, [&far] { far.Set(); });
  EXPECT_FALSE(far.WaitFor(30ms));
  clock.SetSpeed(-1000);
  EXPECT_TRUE(far.WaitFor(5s));  // now behind a reversed clock: reached at once
  EXPECT_GT(clock.RealUntil(INT64_MIN), std::chrono::hours(24));
  Flag farBack;
  timers.Arm(&farBack, INT64_MIN, [&farBack] { farBack.Set(); });
  EXPECT_FALSE(farBack.WaitFor(30ms));
}

TEST(TimerService, DisarmAndRearm) {
  EngineClock clock(0, 1000);
  TimerService timers(clock);
  Flag flag;
  timers.Arm(&flag, clock.Now() + 20'000, [&flag] { flag.Set(); });
  EXPECT_TRUE(timers.Armed(&flag));
  timers.Disarm(&flag);
  timers.Disarm(&flag);  // disarming twice is harmless
  EXPECT_FALSE(timers.Armed(&flag));
  EXPECT_FALSE(flag.WaitFor(60ms));
  timers.Arm(&flag, clock.Now() + 500'000, [&flag] { flag.Set(); });
  timers.Arm(&flag, clock.Now() + 1'000, [&flag] { flag.Set(); });  // re-arm replaces
  EXPECT_EQ(timers.Count(), 1u);
  EXPECT_TRUE(flag.WaitFor(5s));
}

// Many short timers armed and disarmed from several threads while the clock
// changes: every target stays alive until its Disarm returned.
TEST(TimerService, ArmDisarmRaceWithClockChanges) {
  EngineClock clock(0, 1000);
  TimerService timers(clock);
  std::atomic<int> fired{0};
  auto worker = [&](int seed) {
    for (int i = 0; i < 300; ++i) {
      auto target = std::make_unique<std::atomic<int>>(0);
      timers.Arm(target.get(), clock.Now() + (i + seed) % 3 * 100, [&fired, p = target.get()] {
        p->fetch_add(1);
        fired.fetch_add(1);
      });
      if (i % 2 == 0) {
        std::this_thread::yield();
      }
      timers.Disarm(target.get());
      EXPECT_LE(target->load(), 1);
    }
  };
  std::thread a(worker, 0);
  std::thread b(worker, 1);
  for (int i = 0; i < 200; ++i) {
    clock.SetSpeed(i % 2 ? 1000 : 3000);
  }
  a.join();
  b.join();
  EXPECT_EQ(timers.Count(), 0u);
}

}  // namespace
}  // namespace vtro_engine
