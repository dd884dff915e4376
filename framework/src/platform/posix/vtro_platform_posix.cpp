// POSIX implementation of the platform layer.
#include "platform/vtro_platform.h"

#include <dlfcn.h>
#include <locale.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

namespace vtro::platform {

namespace {

// One waiting thread. It is linked into every event it waits for through one
// node per event; Set signals the waiter under the waiter's own mutex.
struct Waiter {
  std::mutex mutex;
  std::condition_variable wake;
  bool signaled = false;
};

struct WaitNode {
  Waiter* waiter = nullptr;
  WaitNode* previous = nullptr;
  WaitNode* next = nullptr;
};

}  // namespace

// Lock order: Event::mutex, then Waiter::mutex. A waiter never holds its own
// mutex while it takes an event's.
struct Event {
  std::mutex mutex;
  bool set = false;
  WaitNode* waiters = nullptr;  // guarded by mutex
};

struct RecursiveMutex {
  std::recursive_mutex mutex;
};

namespace {

thread_local int t_lastError = 0;

void Link(Event* event, WaitNode* node) {
  node->previous = nullptr;
  node->next = event->waiters;
  if (event->waiters != nullptr) event->waiters->previous = node;
  event->waiters = node;
}

void Unlink(Event* event, WaitNode* node) {
  if (node->previous != nullptr) {
    node->previous->next = node->next;
  } else {
    event->waiters = node->next;
  }
  if (node->next != nullptr) node->next->previous = node->previous;
  node->previous = node->next = nullptr;
}

std::atomic<MessageBoxSink> g_messageBoxSink{nullptr};

}  // namespace

Event* EventCreate(bool initiallySet) {
  Event* event = new (std::nothrow) Event;
  if (event != nullptr) event->set = initiallySet;
  return event;
}

void EventDestroy(Event* event) { delete event; }

void EventSet(Event* event) {
  std::lock_guard<std::mutex> lock(event->mutex);
  event->set = true;
  for (WaitNode* node = event->waiters; node != nullptr; node = node->next) {
    std::lock_guard<std::mutex> waiterLock(node->waiter->mutex);
    node->waiter->signaled = true;
    node->waiter->wake.notify_all();
  }
}

void EventReset(Event* event) {
  std::lock_guard<std::mutex> lock(event->mutex);
  event->set = false;
}

bool EventIsSet(Event* event) {
  std::lock_guard<std::mutex> lock(event->mutex);
  return event->set;
}

int EventWaitAny(Event* const* events, int count, std::int64_t timeoutMs) {
  if (count <= 0 || count > 256 || events == nullptr) {
    t_lastError = EINVAL;
    return kWaitFailed;
  }
  for (int i = 0; i < count; ++i) {
    if (events[i] == nullptr) {
      t_lastError = EINVAL;
      return kWaitFailed;
    }
  }
  using Clock = std::chrono::steady_clock;
  const bool forever = timeoutMs < 0;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(forever ? 0 : timeoutMs);
  Waiter waiter;
  WaitNode nodes[256];
  for (;;) {
    // Register with each event, stopping at the first one already set.
    int registered = 0;
    int found = -1;
    for (int i = 0; i < count && found < 0; ++i) {
      std::lock_guard<std::mutex> lock(events[i]->mutex);
      if (events[i]->set) {
        found = i;
      } else {
        nodes[i].waiter = &waiter;
        Link(events[i], &nodes[i]);
        ++registered;
      }
    }
    bool timedOut = false;
    if (found < 0) {
      std::unique_lock<std::mutex> lock(waiter.mutex);
      if (forever) {
        waiter.wake.wait(lock, [&] { return waiter.signaled; });
      } else if (!waiter.wake.wait_until(lock, deadline, [&] { return waiter.signaled; })) {
        timedOut = true;
      }
      waiter.signaled = false;
    }
    for (int i = 0; i < registered; ++i) {
      std::lock_guard<std::mutex> lock(events[i]->mutex);
      Unlink(events[i], &nodes[i]);
    }
    if (found >= 0) return found;
    // The first event in array order that is set wins, as a multi-object wait does.
    for (int i = 0; i < count; ++i) {
      std::lock_guard<std::mutex> lock(events[i]->mutex);
      if (events[i]->set) return i;
    }
    if (timedOut || (!forever && Clock::now() >= deadline)) return kWaitTimeout;
    // Set and reset again before we looked: wait on.
  }
}

RecursiveMutex* MutexCreate() { return new (std::nothrow) RecursiveMutex; }
void MutexDestroy(RecursiveMutex* mutex) { delete mutex; }
void MutexLock(RecursiveMutex* mutex) { mutex->mutex.lock(); }
void MutexUnlock(RecursiveMutex* mutex) { mutex->mutex.unlock(); }
bool MutexTryLock(RecursiveMutex* mutex) { return mutex->mutex.try_lock(); }

namespace {
struct ThreadStartBlock {
  void (*function)(void*);
  void* argument;
};

void* ThreadTrampoline(void* raw) {
  ThreadStartBlock* block = static_cast<ThreadStartBlock*>(raw);
  void (*function)(void*) = block->function;
  void* argument = block->argument;
  delete block;
  function(argument);
  return nullptr;
}
}  // namespace

bool ThreadStart(void (*function)(void*), void* argument, std::uint32_t* threadId) {
  if (threadId != nullptr) *threadId = 0;
  ThreadStartBlock* block = new (std::nothrow) ThreadStartBlock{function, argument};
  if (block == nullptr) return false;
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  const int result = pthread_create(&thread, &attributes, ThreadTrampoline, block);
  pthread_attr_destroy(&attributes);
  if (result != 0) {
    t_lastError = result;
    delete block;
    return false;
  }
  return true;
}

std::uint32_t CurrentThreadId() { return static_cast<std::uint32_t>(::syscall(SYS_gettid)); }

bool ThreadSetPriority(std::uint32_t threadId, int priority) {
  // 128 is normal; 255 the highest (nice -19), 0 the lowest (nice 19).
  int nice = -((priority - 128) * 20) / 128;
  if (nice < -20) nice = -20;
  if (nice > 19) nice = 19;
  if (::setpriority(PRIO_PROCESS, static_cast<id_t>(threadId), nice) != 0) {
    t_lastError = errno;
    return false;
  }
  return true;
}

void* ThreadUseCNumericLocale() {
  locale_t base = duplocale(LC_GLOBAL_LOCALE);
  if (base == static_cast<locale_t>(0)) return nullptr;
  locale_t numericC = newlocale(LC_NUMERIC_MASK, "C", base);
  if (numericC == static_cast<locale_t>(0)) {
    freelocale(base);
    return nullptr;
  }
  uselocale(numericC);
  return numericC;
}

void ThreadRestoreLocale(void* token) {
  if (token == nullptr) return;
  uselocale(LC_GLOBAL_LOCALE);
  freelocale(static_cast<locale_t>(token));
}

void SleepMs(std::uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
void Yield() { sched_yield(); }

void MessageBox(const char* text, const char* title, int icon) {
  MessageBoxSink sink = g_messageBoxSink.load();
  if (sink != nullptr) {
    sink(text, title, icon);
    return;
  }
  static const char* const kIcons[] = {"information", "warning", "error"};
  const char* iconName = icon >= 0 && icon <= 2 ? kIcons[icon] : "message";
  std::fprintf(stderr, "[%s] (%s) %s\n", title != nullptr ? title : "", iconName, text != nullptr ? text : "");
  std::fflush(stderr);
}

void SetMessageBoxSink(MessageBoxSink sink) { g_messageBoxSink.store(sink); }

bool EnvironmentVariableIsSet(const char* name) { return std::getenv(name) != nullptr; }

int LastError() { return t_lastError; }
std::string ErrorText(int error) {
  char buffer[256];
  const char* text = strerror_r(error, buffer, sizeof buffer);
  return text != nullptr ? text : "";
}

bool FileIsReadable(const char* path) {
  struct stat info;
  return ::stat(path, &info) == 0 && S_ISREG(info.st_mode) && ::access(path, R_OK) == 0;
}

bool IsDirectory(const char* path) {
  struct stat info;
  return ::stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

void* LibraryOpen(const char* path) { return ::dlopen(path, RTLD_NOW | RTLD_LOCAL); }
void* LibrarySymbol(void* library, const char* name) { return ::dlsym(library, name); }
void LibraryClose(void* library) { ::dlclose(library); }

}  // namespace vtro::platform
