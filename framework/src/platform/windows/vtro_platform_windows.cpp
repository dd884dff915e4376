// Windows implementation of the platform layer: the system's manual-reset
// events and critical sections, threads started with _beginthreadex, Sleep
// and MessageBoxA. Built by the windows preset and tested under Wine.
#include "platform/vtro_platform.h"

#include <windows.h>
#include <process.h>
#include <sys/stat.h>

#include <atomic>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <io.h>
#include <new>

#undef MessageBox
#undef Yield

namespace vtro::platform {

// Events and mutexes are the system's objects behind opaque pointers.
struct Event {
  HANDLE handle;
};
struct RecursiveMutex {
  CRITICAL_SECTION section;
};

namespace {
thread_local int t_lastError = 0;
std::atomic<MessageBoxSink> g_messageBoxSink{nullptr};

struct ThreadStartBlock {
  void (*function)(void*);
  void* argument;
};

unsigned __stdcall ThreadTrampoline(void* raw) {
  ThreadStartBlock* block = static_cast<ThreadStartBlock*>(raw);
  void (*function)(void*) = block->function;
  void* argument = block->argument;
  delete block;
  function(argument);
  return 0;
}
}  // namespace

Event* EventCreate(bool initiallySet) {
  HANDLE handle = ::CreateEventA(nullptr, TRUE, initiallySet ? TRUE : FALSE, nullptr);
  if (handle == nullptr) return nullptr;
  return new (std::nothrow) Event{handle};
}
void EventDestroy(Event* event) {
  if (event == nullptr) return;
  ::CloseHandle(event->handle);
  delete event;
}
void EventSet(Event* event) { ::SetEvent(event->handle); }
void EventReset(Event* event) { ::ResetEvent(event->handle); }
bool EventIsSet(Event* event) { return ::WaitForSingleObject(event->handle, 0) == WAIT_OBJECT_0; }

int EventWaitAny(Event* const* events, int count, std::int64_t timeoutMs) {
  if (count <= 0 || count > MAXIMUM_WAIT_OBJECTS * 4) return kWaitFailed;
  HANDLE handles[256];
  for (int i = 0; i < count; ++i) handles[i] = events[i]->handle;
  const DWORD timeout = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
  // WaitForMultipleObjects takes at most 64 handles; larger sets are polled in
  // slices (a rare case: the framework itself waits on three at most).
  if (count <= MAXIMUM_WAIT_OBJECTS) {
    const DWORD result = ::WaitForMultipleObjects(static_cast<DWORD>(count), handles, FALSE, timeout);
    if (result < WAIT_OBJECT_0 + static_cast<DWORD>(count)) return static_cast<int>(result - WAIT_OBJECT_0);
    if (result == WAIT_TIMEOUT) return kWaitTimeout;
    t_lastError = static_cast<int>(::GetLastError());
    return kWaitFailed;
  }
  const ULONGLONG start = ::GetTickCount64();
  for (;;) {
    for (int i = 0; i < count; ++i) {
      if (::WaitForSingleObject(handles[i], 0) == WAIT_OBJECT_0) return i;
    }
    if (timeout != INFINITE && ::GetTickCount64() - start >= timeout) return kWaitTimeout;
    ::Sleep(1);
  }
}

RecursiveMutex* MutexCreate() {
  RecursiveMutex* mutex = new (std::nothrow) RecursiveMutex;
  if (mutex != nullptr) ::InitializeCriticalSection(&mutex->section);
  return mutex;
}
void MutexDestroy(RecursiveMutex* mutex) {
  if (mutex == nullptr) return;
  ::DeleteCriticalSection(&mutex->section);
  delete mutex;
}
void MutexLock(RecursiveMutex* mutex) { ::EnterCriticalSection(&mutex->section); }
void MutexUnlock(RecursiveMutex* mutex) { ::LeaveCriticalSection(&mutex->section); }
bool MutexTryLock(RecursiveMutex* mutex) { return ::TryEnterCriticalSection(&mutex->section) != FALSE; }

bool ThreadStart(void (*function)(void*), void* argument, std::uint32_t* threadId) {
  if (threadId != nullptr) *threadId = 0;
  ThreadStartBlock* block = new (std::nothrow) ThreadStartBlock{function, argument};
  if (block == nullptr) return false;
  const uintptr_t handle = ::_beginthreadex(nullptr, 0, ThreadTrampoline, block, 0, nullptr);
  if (handle == 0) {
    t_lastError = errno;
    delete block;
    return false;
  }
  ::CloseHandle(reinterpret_cast<HANDLE>(handle));  // not joined through the handle
  return true;
}

std::uint32_t CurrentThreadId() { return static_cast<std::uint32_t>(::GetCurrentThreadId()); }

bool ThreadSetPriority(std::uint32_t threadId, int priority) {
  HANDLE thread = ::OpenThread(THREAD_SET_INFORMATION, FALSE, threadId);
  if (thread == nullptr) return false;
  int level = THREAD_PRIORITY_NORMAL;
  if (priority >= 224) level = THREAD_PRIORITY_HIGHEST;
  else if (priority >= 160) level = THREAD_PRIORITY_ABOVE_NORMAL;
  else if (priority < 32) level = THREAD_PRIORITY_LOWEST;
  else if (priority < 96) level = THREAD_PRIORITY_BELOW_NORMAL;
  const bool ok = ::SetThreadPriority(thread, level) != FALSE;
  ::CloseHandle(thread);
  return ok;
}

void* ThreadUseCNumericLocale() {
  ::_configthreadlocale(_ENABLE_PER_THREAD_LOCALE);
  std::setlocale(LC_NUMERIC, "C");
  return nullptr;
}
void ThreadRestoreLocale(void*) {}

void SleepMs(std::uint32_t ms) { ::Sleep(ms); }
void Yield() { ::Sleep(0); }

void MessageBox(const char* text, const char* title, int icon) {
  MessageBoxSink sink = g_messageBoxSink.load();
  if (sink != nullptr) {
    sink(text, title, icon);
    return;
  }
  const UINT type = icon == 2 ? MB_ICONERROR : icon == 1 ? MB_ICONWARNING : icon == 0 ? MB_ICONINFORMATION : 0;
  // Without a desktop (a service, a headless machine) the box can't be
  // shown and MessageBoxA fails at once; the text then goes to standard
  // error in the form the other systems use, so it is never lost.
  if (::MessageBoxA(nullptr, text, title, MB_OK | type) <= 0) {
    static const char* const kIcons[] = {"information", "warning", "error"};
    const char* iconName = icon >= 0 && icon <= 2 ? kIcons[icon] : "message";
    std::fprintf(stderr, "[%s] (%s) %s\n", title != nullptr ? title : "", iconName, text != nullptr ? text : "");
    std::fflush(stderr);
  }
}
void SetMessageBoxSink(MessageBoxSink sink) { g_messageBoxSink.store(sink); }

// The process environment itself, not the C runtime's copy: a variable set
// to an empty value counts as set, and the runtime's copy can't hold one.
bool EnvironmentVariableIsSet(const char* name) {
  char value[1];
  ::SetLastError(ERROR_SUCCESS);
  const DWORD length = ::GetEnvironmentVariableA(name, value, sizeof value);
  return length > 0 || ::GetLastError() != ERROR_ENVVAR_NOT_FOUND;
}

int LastError() { return t_lastError; }
std::string ErrorText(int error) {
  char buffer[512] = {};
  ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, static_cast<DWORD>(error), 0,
                   buffer, sizeof buffer, nullptr);
  return buffer;
}

bool FileIsReadable(const char* path) {
  struct _stat64 info;
  return ::_stat64(path, &info) == 0 && (info.st_mode & _S_IFREG) != 0 && ::_access(path, 4) == 0;
}
bool IsDirectory(const char* path) {
  struct _stat64 info;
  return ::_stat64(path, &info) == 0 && (info.st_mode & _S_IFDIR) != 0;
}

void* LibraryOpen(const char* path) { return ::LoadLibraryA(path); }
void* LibrarySymbol(void* library, const char* name) {
  return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(library), name));
}
void LibraryClose(void* library) { ::FreeLibrary(static_cast<HMODULE>(library)); }

}  // namespace vtro::platform
