// The engine clock: speeds, pause and resume, the waiting-event list.
#include "engine_clock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace vtro_engine {
namespace {

using namespace std::chrono_literals;

TEST(EngineClock, SpeedScalesEngineTimeAgainstRealTime) {
  EngineClock clock(1'000'000, 1000);
  const auto real0 = EngineClock::Steady::now();
  const int64_t at0 = clock.At(real0);
  EXPECT_EQ(clock.At(real0 + 100ms) - at0, 100'000);

  clock.SetSpeed(2000);
  const auto real1 = EngineClock::Steady::now();
  const int64_t at1 = clock.At(real1);
  EXPECT_EQ(clock.At(real1 + 100ms) - at1, 200'000);
  EXPECT_GE(at1, at0);  // a speed change never makes the time jump back

  clock.SetSpeed(-500);
  const auto real2 = EngineClock::Steady::now();
  EXPECT_EQ(clock.At(real2 + 100ms) - clock.At(real2), -50'000);
}

TEST(EngineClock, PauseHoldsTimeAndResumeRestoresTheSpeed) {
  EngineClock clock(0, 2000);
  clock.Pause();
  EXPECT_TRUE(clock.Paused());
  const int64_t held = clock.Now();
  std::this_thread::sleep_for(5ms);
  EXPECT_EQ(clock.Now(), held);
  clock.Pause();  // pausing again keeps the speed to resume at
  clock.Resume();
  EXPECT_EQ(clock.Speed(), 2000);
  clock.Resume();  // resuming a running clock changes nothing
  EXPECT_EQ(clock.Speed(), 2000);
}

TEST(EngineClock, RealTimeUntilATargetFollowsDirectionAndSpeed) {
  EngineClock clock(0, 1000);
  const int64_t now = clock.Now();
  EXPECT_EQ(clock.RealUntil(now - 1), EngineClock::Steady::duration::zero());
  const auto ahead = clock.RealUntil(now + 1'000'000);
  EXPECT_LE(ahead, 1s);
  EXPECT_GT(ahead, 900ms);

  clock.SetSpeed(4000);
  const auto fast = clock.RealUntil(clock.Now() + 1'000'000);
  EXPECT_LE(fast, 250ms);
  EXPECT_GT(fast, 200ms);

  clock.SetSpeed(-1000);
  EXPECT_EQ(clock.RealUntil(clock.Now() + 1000), EngineClock::Steady::duration::zero());
  EXPECT_GT(clock.RealUntil(clock.Now() - 100'000), 50ms);

  clock.Pause();
  EXPECT_EQ(clock.RealUntil(clock.Now() + 1), EngineClock::Steady::duration::max());
}

TEST(EngineClock, JumpMovesTimeAndKeepsSpeed) {
  EngineClock clock(0, 0);
  clock.Jump(42'000'000);
  EXPECT_EQ(clock.Now(), 42'000'000);
  EXPECT_EQ(clock.Speed(), 0);
}

TEST(EngineClock, EveryClockChangeWakesTheWaitingListOnce) {
  EngineClock clock;
  int a = 0;
  int b = 0;
  clock.AddWaiter(&a, [&a] { ++a; });
  clock.AddWaiter(&b, [&b] { ++b; });
  clock.AddWaiter(&a, [&a] { a += 10; });  // entering again replaces the entry
  EXPECT_EQ(clock.WaiterCount(), 2u);
  clock.SetSpeed(2000);
  clock.Pause();
  clock.Resume();
  clock.Jump(5);
  EXPECT_EQ(a, 40);
  EXPECT_EQ(b, 4);
  clock.RemoveWaiter(&b);
  clock.SetSpeed(1000);
  EXPECT_EQ(b, 4);
  EXPECT_EQ(clock.WaiterCount(), 1u);
}

// Waiters come and go while another thread changes the clock; RemoveWaiter
// returning means the wake-up is no longer called.
TEST(EngineClock, WaitersAndClockChangesRace) {
  EngineClock clock;
  std::atomic<bool> stop{false};
  std::thread changer([&] {
    for (int i = 0; i < 2000 && !stop; ++i) {
      clock.SetSpeed(1000 + (i % 3) * 1000);
    }
  });
  for (int i = 0; i < 2000; ++i) {
    auto alive = std::make_unique<std::atomic<int>>(0);
    clock.AddWaiter(alive.get(), [p = alive.get()] { p->fetch_add(1); });
    clock.RemoveWaiter(alive.get());
    alive.reset();
  }
  stop = true;
  changer.join();
  EXPECT_EQ(clock.WaiterCount(), 0u);
}

}  // namespace
}  // namespace vtro_engine
