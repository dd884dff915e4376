// The engine clock: engine time in microseconds that runs at a speed given in
// per mille of real time (1000 real time, 2000 double speed, 0 paused,
// negative backwards), the clock lock that serialises a waiter's arithmetic
// with clock changes, and the list of waiting events that is woken whenever
// the clock changes.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <utility>
#include <vector>

namespace vtro_engine {

class EngineClock {
 public:
  using Steady = std::chrono::steady_clock;
  using Listener = std::function<void()>;

  // Starts at engine time `start` (µs) running at `speedPerMille`.
  explicit EngineClock(int64_t start = 0, int32_t speedPerMille = 1000);

  EngineClock(const EngineClock&) = delete;
  EngineClock& operator=(const EngineClock&) = delete;

  // Current engine time in µs; thread safe, takes no clock lock.
  int64_t Now() const;
  // Engine time at the given real instant at the current speed.
  int64_t At(Steady::time_point real) const;
  int32_t Speed() const;
  bool Paused() const { return Speed() == 0; }

  // Changes the speed without a jump of engine time, then wakes the waiting
  // list and the listeners. Takes the clock lock.
  void SetSpeed(int32_t perMille);
  // Pause keeps the speed to resume at; pausing twice keeps the first one.
  void Pause();
  void Resume();
  // Moves engine time to `time`, keeping the speed.
  void Jump(int64_t time);

  // Real time left until engine time `target` is reached in the clock's
  // running direction: zero when already reached, max() when it will not be
  // reached at the current speed (paused).
  Steady::duration RealUntil(int64_t target) const;

  // The clock lock: recursive, held only for short arithmetic by waiters.
  void Lock() { lock_.lock(); }
  void Unlock() { lock_.unlock(); }

  // Waiting-event list. A waiter enters its wake-up while it waits and
  // removes it afterwards; every clock change calls every entered wake-up.
  // `key` identifies the entry (normally the event's address).
  void AddWaiter(const void* key, std::function<void()> wake);
  void RemoveWaiter(const void* key);
  size_t WaiterCount() const;

  // Called after every clock change, outside the state lock (the timer
  // service re-plans here). Returns an id for RemoveListener.
  int AddListener(Listener listener);
  void RemoveListener(int id);

 private:
  struct Base {
    Steady::time_point real;
    int64_t engine;
    int32_t speed;
  };
  static int64_t Project(const Base& base, Steady::time_point real);
  void Changed();

  std::recursive_mutex lock_;  // the clock lock offered to waiters
  mutable std::mutex state_;   // guards base_ and resumeSpeed_
  Base base_;
  int32_t resumeSpeed_ = 1000;

  mutable std::mutex waitersLock_;  // guards waiters_ and listeners_
  struct Waiter {
    const void* key;
    std::function<void()> wake;
  };
  std::vector<Waiter> waiters_;
  std::vector<std::pair<int, Listener>> listeners_;
  int nextListener_ = 0;
};

}  // namespace vtro_engine
