// Platform layer of the framework: threads, manual-reset events with a wait
// for several events, a recursive lock, sleeping, message boxes and the
// per-thread numeric locale. One implementation per system
// (posix/vtro_platform_posix.cpp, windows/vtro_platform_windows.cpp).
#pragma once

#include <cstdint>
#include <string>

namespace vtro::platform {

struct Event;
struct RecursiveMutex;

// Manual-reset event. Set wakes every waiter and stays set until Reset.
Event* EventCreate(bool initiallySet);
void EventDestroy(Event* event);
void EventSet(Event* event);
void EventReset(Event* event);
bool EventIsSet(Event* event);

constexpr int kWaitTimeout = -1;
constexpr int kWaitFailed = -2;
// Waits until one of the events is set; returns the index of the first set
// event (in array order), kWaitTimeout, or kWaitFailed (LastError tells why).
// timeoutMs < 0 waits forever.
int EventWaitAny(Event* const* events, int count, std::int64_t timeoutMs);

RecursiveMutex* MutexCreate();
void MutexDestroy(RecursiveMutex* mutex);
void MutexLock(RecursiveMutex* mutex);
void MutexUnlock(RecursiveMutex* mutex);
bool MutexTryLock(RecursiveMutex* mutex);

// Starts a detached thread with the default stack size running function(argument).
// The thread reports its own identifier (CurrentThreadId); threadId, when
// given, is set to 0. False on failure.
bool ThreadStart(void (*function)(void*), void* argument, std::uint32_t* threadId);
std::uint32_t CurrentThreadId();
// Maps a priority 0..255 (128 normal) to the system and applies it to a thread
// of this process. False when the system refused.
bool ThreadSetPriority(std::uint32_t threadId, int priority);
// Switches the calling thread's numeric formatting to the "C" locale; the
// returned token is released with ThreadRestoreLocale at thread end.
void* ThreadUseCNumericLocale();
void ThreadRestoreLocale(void* token);

void SleepMs(std::uint32_t ms);
// Gives up the rest of the time slice (sleep 0).
void Yield();

// Message box without owner window and with only an OK button. No window
// system here: printed on standard error as "[<title>] (<icon>) <text>".
// icon: 0 information, 1 warning, 2 error, kNoIcon none.
constexpr int kNoIcon = -1;
void MessageBox(const char* text, const char* title, int icon);
// Replaces the message box output (tests); null restores printing.
using MessageBoxSink = void (*)(const char* text, const char* title, int icon);
void SetMessageBoxSink(MessageBoxSink sink);

bool EnvironmentVariableIsSet(const char* name);

int LastError();
std::string ErrorText(int error);

// File checks for path properties.
bool FileIsReadable(const char* path);
bool IsDirectory(const char* path);

// Dynamic libraries.
void* LibraryOpen(const char* path);
void* LibrarySymbol(void* library, const char* name);
void LibraryClose(void* library);

}  // namespace vtro::platform
