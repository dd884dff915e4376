// Synchronisation objects of the framework: VTROEvent (an owned manual-reset
// event, waited on in microseconds) and VTROMutex (a recursive lock).
//
// Set, Reset, Wait and IsSet are virtual so that the engine (another binary)
// can set an event that a package created: the engine's timer service and its
// list of waiting events call Set() on events they were handed.
#pragma once

#include <cstdint>

#include "vtro/VTROStackedString.h"

class VTROEvent {
 public:
  static constexpr int kMaxWaitCount = 256;
  static constexpr int kTimeout = -3;
  static constexpr int kWindowMessage = -2;

  // A manual-reset event, initially set or clear; the name is kept (events are
  // process-local on this platform).
  explicit VTROEvent(bool initiallySet = false, const char* name = nullptr);
  VTROEvent(const VTROEvent&) = delete;
  VTROEvent& operator=(const VTROEvent&) = delete;
  // Disarms the engine timer service when it was armed, then closes the handle.
  virtual ~VTROEvent();

  virtual void Set();
  virtual void Reset();
  // Timeout in microseconds (-1: forever), converted to milliseconds by integer
  // division. Returns 0 when set, -3 on time-out, another value on failure.
  virtual int Wait(std::int64_t timeoutUs);
  virtual bool IsSet() const;

  // Waits for the first of `count` events (at most 256; more is reported and
  // raises -5). Returns its index, -3 on time-out. The events must stay alive
  // during the wait.
  static int Wait(int count, VTROEvent* const* events, std::int64_t timeoutUs);
  // As above; would return -2 for a window message. There is no window system
  // here, so it behaves like the plain form.
  static int WaitWithMessages(int count, VTROEvent* const* events, std::int64_t timeoutUs);

  // Resets the event and arms the engine timer service to set it at the
  // current engine time + delay. Returns false when the service refused.
  bool TimeTrigger(std::int64_t delayUs);
  // Arms the engine timer service at an absolute engine time (the event is not reset).
  bool ArmAt(std::int64_t engineTimeUs);
  // Unregisters the event from the engine timer service if it is armed.
  void Disarm();
  bool IsArmed() const { return m_armed; }

  const char* Name() const { return m_name.c_str(); }
  void* NativeHandle() const { return m_handle; }

 private:
  VTROStackedString m_name;
  void* m_handle = nullptr;
  bool m_ownsHandle = true;
  bool m_armed = false;
};

// A recursive lock. The same thread may take it several times; it is released
// when every Lock has its Unlock.
class VTROMutex {
 public:
  VTROMutex();
  VTROMutex(const VTROMutex&) = delete;
  VTROMutex& operator=(const VTROMutex&) = delete;
  virtual ~VTROMutex();
  virtual void Lock();
  virtual void Unlock();
  virtual bool TryLock();

 private:
  void* m_handle = nullptr;
};

// The component's dynamic lock: the same recursive lock under its own name.
class VTROMutex2 : public VTROMutex {};

// Scope guard for VTROMutex.
class VTROLock {
 public:
  explicit VTROLock(VTROMutex& mutex) : m_mutex(mutex) { m_mutex.Lock(); }
  ~VTROLock() { m_mutex.Unlock(); }
  VTROLock(const VTROLock&) = delete;
  VTROLock& operator=(const VTROLock&) = delete;

 private:
  VTROMutex& m_mutex;
};
