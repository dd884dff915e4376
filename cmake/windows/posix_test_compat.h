/* Force-included into the test programs of the MinGW build: the few POSIX
 * calls that tests use to set up their environment, on top of the C runtime's
 * own functions. Nothing of the deliverables sees this header. */
#ifndef QTU_POSIX_TEST_COMPAT_H
#define QTU_POSIX_TEST_COMPAT_H
#if defined(_WIN32)
#include <stdlib.h>

/* The two kernel32 calls, declared as <windows.h> does, without pulling in
 * its macros (MessageBox, Yield, min, max) for every test. */
#ifdef __cplusplus
extern "C" {
#endif
__declspec(dllimport) int __stdcall SetEnvironmentVariableA(const char* name, const char* value);
__declspec(dllimport) unsigned long __stdcall GetEnvironmentVariableA(const char* name, char* buffer,
                                                                      unsigned long size);
#ifdef __cplusplus
}
#endif

/* Both the process environment and the C runtime's copy: a variable may be
 * set to an empty value in the first only (_putenv_s with "" removes it). */
static inline int setenv(const char* name, const char* value, int overwrite) {
    if (!overwrite && GetEnvironmentVariableA(name, NULL, 0) > 0) return 0;
    if (!SetEnvironmentVariableA(name, value)) return -1;
    if (value[0] != '\0') _putenv_s(name, value);
    return 0;
}
static inline int unsetenv(const char* name) {
    _putenv_s(name, "");
    return SetEnvironmentVariableA(name, NULL) ? 0 : -1;
}
#endif
#endif
