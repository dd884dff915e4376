#include "timer_service.h"

#include <algorithm>

namespace vtro_engine {

TimerService::TimerService(EngineClock& clock) : clock_(clock) {
  listener_ = clock_.AddListener([this] {
    std::lock_guard<std::mutex> guard(lock_);
    ++generation_;
    wake_.notify_all();
  });
  thread_ = std::thread([this] { Run(); });
}

TimerService::~TimerService() {
  clock_.RemoveListener(listener_);
  {
    std::lock_guard<std::mutex> guard(lock_);
    stop_ = true;
    wake_.notify_all();
  }
  thread_.join();
}

void TimerService::Arm(const void* key, int64_t engineTime, std::function<void()> fire) {
  std::lock_guard<std::mutex> guard(lock_);
  entries_[key] = Entry{engineTime, std::move(fire)};
  ++generation_;
  wake_.notify_all();
}

void TimerService::Disarm(const void* key) {
  std::lock_guard<std::mutex> guard(lock_);
  if (entries_.erase(key) != 0) {
    ++generation_;
    wake_.notify_all();
  }
}

bool TimerService::Armed(const void* key) const {
  std::lock_guard<std::mutex> guard(lock_);
  return entries_.count(key) != 0;
}

size_t TimerService::Count() const {
  std::lock_guard<std::mutex> guard(lock_);
  return entries_.size();
}

void TimerService::Run() {
  std::unique_lock<std::mutex> guard(lock_);
  while (!stop_) {
    // Fire every entry that is due and find the nearest real deadline.
    auto next = EngineClock::Steady::duration::max();
    for (auto it = entries_.begin(); it != entries_.end();) {
      const auto left = clock_.RealUntil(it->second.time);
      if (left <= EngineClock::Steady::duration::zero()) {
        // Fired under the lock: Disarm waits for it, so the target stays alive.
        it->second.fire();
        it = entries_.erase(it);
      } else {
        next = std::min(next, left);
        ++it;
      }
    }
    const uint64_t seen = generation_;
    auto changed = [&] { return stop_ || generation_ != seen; };
    if (next == EngineClock::Steady::duration::max()) {
      wake_.wait(guard, changed);
    } else {
      wake_.wait_until(guard, EngineClock::Steady::now() + next, changed);
    }
  }
}

}  // namespace vtro_engine
