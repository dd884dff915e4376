#include "engine_clock.h"

#include <algorithm>

namespace vtro_engine {

EngineClock::EngineClock(int64_t start, int32_t speedPerMille)
    : base_{Steady::now(), start, speedPerMille} {
  if (speedPerMille != 0) {
    resumeSpeed_ = speedPerMille;
  }
}

int64_t EngineClock::Project(const Base& base, Steady::time_point real) {
  const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(real - base.real).count();
  // 128-bit product: a long run at a high speed must not overflow.
  const __int128 scaled = static_cast<__int128>(elapsed) * base.speed / 1000;
  return base.engine + static_cast<int64_t>(scaled);
}

int64_t EngineClock::Now() const { return At(Steady::now()); }

int64_t EngineClock::At(Steady::time_point real) const {
  std::lock_guard<std::mutex> guard(state_);
  return Project(base_, real);
}

int32_t EngineClock::Speed() const {
  std::lock_guard<std::mutex> guard(state_);
  return base_.speed;
}

void EngineClock::SetSpeed(int32_t perMille) {
  {
    std::lock_guard<std::recursive_mutex> clockLock(lock_);
    std::lock_guard<std::mutex> guard(state_);
    const auto now = Steady::now();
    base_ = Base{now, Project(base_, now), perMille};
    if (perMille != 0) {
      resumeSpeed_ = perMille;
    }
  }
  Changed();
}

void EngineClock::Pause() { SetSpeed(0); }

void EngineClock::Resume() {
  int32_t speed;
  {
    std::lock_guard<std::mutex> guard(state_);
    if (base_.speed != 0) {
      return;
    }
    speed = resumeSpeed_;
  }
  SetSpeed(speed);
}

void EngineClock::Jump(int64_t time) {
  {
    std::lock_guard<std::recursive_mutex> clockLock(lock_);
    std::lock_guard<std::mutex> guard(state_);
    base_ = Base{Steady::now(), time, base_.speed};
  }
  Changed();
}

EngineClock::Steady::duration EngineClock::RealUntil(int64_t target) const {
  Base base;
  {
    std::lock_guard<std::mutex> guard(state_);
    base = base_;
  }
  const auto now = Steady::now();
  const int64_t engineNow = Project(base, now);
  // 128-bit: a target far away (a rest of INT64_MAX saturates there) must
  // neither overflow the difference nor its scaling.
  const __int128 left = static_cast<__int128>(target) - engineNow;
  if (base.speed == 0) {
    return Steady::duration::max();
  }
  if ((base.speed > 0 && left <= 0) || (base.speed < 0 && left >= 0)) {
    return Steady::duration::zero();
  }
  // Rounded up so that waking at the returned instant finds the target reached.
  const __int128 num = left * 1000;
  __int128 real = num / base.speed;
  if (num % base.speed != 0) {
    ++real;
  }
  const __int128 limit = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::hours(24 * 365)).count();
  return std::chrono::microseconds(static_cast<int64_t>(std::min(real, limit)));
}

void EngineClock::AddWaiter(const void* key, std::function<void()> wake) {
  std::lock_guard<std::mutex> guard(waitersLock_);
  for (auto& w : waiters_) {
    if (w.key == key) {
      w.wake = std::move(wake);
      return;
    }
  }
  waiters_.push_back(Waiter{key, std::move(wake)});
}

void EngineClock::RemoveWaiter(const void* key) {
  std::lock_guard<std::mutex> guard(waitersLock_);
  waiters_.erase(std::remove_if(waiters_.begin(), waiters_.end(), [key](const Waiter& w) { return w.key == key; }),
                 waiters_.end());
}

size_t EngineClock::WaiterCount() const {
  std::lock_guard<std::mutex> guard(waitersLock_);
  return waiters_.size();
}

int EngineClock::AddListener(Listener listener) {
  std::lock_guard<std::mutex> guard(waitersLock_);
  listeners_.emplace_back(++nextListener_, std::move(listener));
  return nextListener_;
}

void EngineClock::RemoveListener(int id) {
  std::lock_guard<std::mutex> guard(waitersLock_);
  listeners_.erase(
      std::remove_if(listeners_.begin(), listeners_.end(), [id](const auto& l) { return l.first == id; }),
      listeners_.end());
}

void EngineClock::Changed() {
  // Wake-ups run under the list lock: RemoveWaiter cannot return while its
  // entry is being called, so a waiter may free its event right after.
  std::lock_guard<std::mutex> guard(waitersLock_);
  for (auto& l : listeners_) {
    l.second();
  }
  for (auto& w : waiters_) {
    w.wake();
  }
}

}  // namespace vtro_engine
