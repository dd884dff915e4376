// RunEngine with CreateProcess: the engine's output through two pipes, each
// drained by a thread of its own, TerminateProcess at the time limit.
#define NOMINMAX
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <thread>

#include "engine_runner.h"

namespace vtro_engine_test {
namespace {

// One argument quoted as the C runtime splits a command line: backslashes
// count only before a quote, where each is doubled.
std::string Quote(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) return arg;
  std::string quoted = "\"";
  size_t backslashes = 0;
  for (const char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, '\\');
  return quoted + '"';
}

// This process's environment with `extra` ("NAME=VALUE") added, as the
// block CreateProcess takes: NUL after each entry and after the last.
std::string EnvironmentBlock(const std::vector<std::string>& extra) {
  std::string block;
  if (char* own = ::GetEnvironmentStringsA(); own != nullptr) {
    for (const char* e = own; *e != '\0'; e += std::strlen(e) + 1) block.append(e).push_back('\0');
    ::FreeEnvironmentStringsA(own);
  }
  for (const auto& e : extra) block.append(e).push_back('\0');
  block.push_back('\0');
  return block;
}

// Reads a pipe to its end; the engine's text-mode "\r\n" become "\n", as
// the tests compare lines with those of the Linux engine.
void Drain(HANDLE pipe, std::string* into) {
  char buffer[4096];
  DWORD n = 0;
  while (::ReadFile(pipe, buffer, sizeof buffer, &n, nullptr) && n > 0) into->append(buffer, n);
  ::CloseHandle(pipe);
  size_t kept = 0;
  for (size_t i = 0; i < into->size(); ++i) {
    if ((*into)[i] == '\r' && i + 1 < into->size() && (*into)[i + 1] == '\n') continue;
    (*into)[kept++] = (*into)[i];
  }
  into->resize(kept);
}

}  // namespace

EngineRun RunEngine(const std::string& engine, const std::vector<std::string>& args,
                    std::chrono::milliseconds limit, const std::vector<std::string>& env,
                    std::chrono::milliseconds interruptAfter) {
  EngineRun run;
  // Console control events reach only processes that share the caller's
  // console; under Wine a test started by CTest has none, so the tests that
  // interrupt the engine are skipped on Windows.
  if (interruptAfter.count() >= 0) {
    ADD_FAILURE() << "an interrupt is not sent on Windows (skip the test there)";
    return run;
  }
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE outRead = nullptr, outWrite = nullptr, errRead = nullptr, errWrite = nullptr;
  if (!::CreatePipe(&outRead, &outWrite, &inherit, 0) || !::CreatePipe(&errRead, &errWrite, &inherit, 0)) {
    ADD_FAILURE() << "CreatePipe failed: " << ::GetLastError();
    return run;
  }
  // Only the write ends go to the engine.
  ::SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
  ::SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);
  HANDLE nul = ::CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0,
                             nullptr);

  std::string commandLine = Quote(engine);
  for (const auto& a : args) commandLine += ' ' + Quote(a);
  std::string environment = EnvironmentBlock(env);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = nul;
  startup.hStdOutput = outWrite;
  startup.hStdError = errWrite;
  PROCESS_INFORMATION process{};
  const auto start = std::chrono::steady_clock::now();
  const BOOL started = ::CreateProcessA(engine.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0,
                                        environment.data(), nullptr, &startup, &process);
  const DWORD startError = ::GetLastError();
  ::CloseHandle(outWrite);
  ::CloseHandle(errWrite);
  if (nul != INVALID_HANDLE_VALUE) ::CloseHandle(nul);
  std::thread outReader(Drain, outRead, &run.out);
  std::thread errReader(Drain, errRead, &run.err);
  if (!started) {
    outReader.join();
    errReader.join();
    ADD_FAILURE() << "cannot start " << engine << ": error " << startError;
    return run;
  }
  ::CloseHandle(process.hThread);

  const DWORD wait = static_cast<DWORD>(std::max<long long>(1, limit.count()));
  if (::WaitForSingleObject(process.hProcess, wait) != WAIT_OBJECT_0) {
    run.timedOut = true;
    ::TerminateProcess(process.hProcess, 137);
    ::WaitForSingleObject(process.hProcess, INFINITE);
  }
  outReader.join();
  errReader.join();
  run.took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  DWORD code = 0;
  if (!run.timedOut && ::GetExitCodeProcess(process.hProcess, &code)) run.status = static_cast<int>(code);
  ::CloseHandle(process.hProcess);
  EXPECT_FALSE(run.timedOut) << "vtro-engine did not end within the limit\n" << run.out;
  return run;
}

}  // namespace vtro_engine_test
