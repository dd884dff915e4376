// RunEngine with fork and execve: the engine's output through two pipes read
// with poll, SIGINT for an interrupt, SIGKILL at the time limit.
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "engine_runner.h"

extern char** environ;

namespace vtro_engine_test {

EngineRun RunEngine(const std::string& engine, const std::vector<std::string>& args,
                    std::chrono::milliseconds limit, const std::vector<std::string>& env,
                    std::chrono::milliseconds interruptAfter) {
  EngineRun run;
  int outPipe[2];
  int errPipe[2];
  if (pipe(outPipe) != 0 || pipe(errPipe) != 0) {
    return run;
  }
  std::vector<std::string> envStrings;
  for (char** e = environ; *e != nullptr; ++e) {
    envStrings.emplace_back(*e);
  }
  envStrings.insert(envStrings.end(), env.begin(), env.end());
  std::vector<char*> envp;
  for (auto& e : envStrings) {
    envp.push_back(e.data());
  }
  envp.push_back(nullptr);
  std::vector<std::string> argStrings{engine};
  argStrings.insert(argStrings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argStrings) {
    argv.push_back(a.data());
  }
  argv.push_back(nullptr);

  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(outPipe[1], 1);
    dup2(errPipe[1], 2);
    close(outPipe[0]);
    close(errPipe[0]);
    close(outPipe[1]);
    close(errPipe[1]);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close(outPipe[1]);
  close(errPipe[1]);
  if (pid < 0) {
    close(outPipe[0]);
    close(errPipe[0]);
    return run;
  }
  pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  int open = 2;
  char buffer[4096];
  bool interrupted = interruptAfter.count() < 0;
  while (open > 0) {
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    const auto left = limit - elapsed;
    if (left.count() <= 0) {
      run.timedOut = true;
      kill(pid, SIGKILL);
      break;
    }
    if (!interrupted && elapsed >= interruptAfter) {
      kill(pid, SIGINT);
      interrupted = true;
    }
    auto wait = left;
    if (!interrupted) {
      wait = std::min(wait, interruptAfter - elapsed);
    }
    if (poll(fds, 2, static_cast<int>(std::max<long long>(1, wait.count()))) < 0) {
      continue;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd >= 0 && (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
        const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
        if (n <= 0) {
          close(fds[i].fd);
          fds[i].fd = -1;
          --open;
        } else {
          (i == 0 ? run.out : run.err).append(buffer, static_cast<size_t>(n));
        }
      }
    }
  }
  for (auto& fd : fds) {
    if (fd.fd >= 0) {
      close(fd.fd);
    }
  }
  int status = 0;
  waitpid(pid, &status, 0);
  run.took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  if (!run.timedOut && WIFEXITED(status)) {
    run.status = WEXITSTATUS(status);
  }
  // Sanitizer builds: a report in the engine process fails the test that ran it.
  EXPECT_EQ(run.err.find("Sanitizer"), std::string::npos) << run.err;
  EXPECT_FALSE(run.timedOut) << "vtro-engine did not end within the limit\n" << run.out;
  return run;
}

}  // namespace vtro_engine_test
