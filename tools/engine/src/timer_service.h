// Timer service of the engine: sets a registered event when the engine clock
// reaches an absolute engine time. One thread waits on a condition variable
// against the monotonic clock and re-plans whenever the engine clock changes
// speed, pauses, resumes or jumps.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "engine_clock.h"

namespace vtro_engine {

class TimerService {
 public:
  explicit TimerService(EngineClock& clock);
  ~TimerService();

  TimerService(const TimerService&) = delete;
  TimerService& operator=(const TimerService&) = delete;

  // Calls `fire` once when engine time reaches `engineTime` in the clock's
  // running direction (forward: now >= time; backwards: now <= time; paused:
  // not before the clock runs again). Arming a key again replaces its entry.
  void Arm(const void* key, int64_t engineTime, std::function<void()> fire);
  // Removes the entry. Once Disarm returns, `fire` of that key is not
  // running and will not run, so the caller may free what it refers to.
  void Disarm(const void* key);
  bool Armed(const void* key) const;
  size_t Count() const;

 private:
  void Run();

  EngineClock& clock_;
  int listener_ = 0;
  mutable std::mutex lock_;  // guards entries_, stop_, generation_
  std::condition_variable wake_;
  struct Entry {
    int64_t time;
    std::function<void()> fire;
  };
  std::map<const void*, Entry> entries_;
  uint64_t generation_ = 0;  // bumped by every change that needs a re-plan
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace vtro_engine
