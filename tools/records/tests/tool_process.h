// Runs a built tool as a child process, its standard output and error kept
// apart, for a bounded time: a child still running at the limit is killed and
// the run marked as timed out. Standard error can be a terminal (a pseudo
// terminal read by the test) instead of a pipe. Shared by the tests of
// qtu-records and qtu-cli.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <vector>

namespace qtu::tooltest {

struct ToolResult {
  int status = -1;  // exit status; -1 when the child did not exit by itself
  int signal = 0;   // the signal that ended it, if one did
  bool timedOut = false;
  std::string out, err;
  // Ended by itself with this status: no signal, no time-out.
  bool Exited(int expected) const { return !timedOut && signal == 0 && status == expected; }
};

class ToolProcess {
 public:
  explicit ToolProcess(const std::vector<std::string>& argv, bool stderrTerminal = false) {
    int out[2] = {-1, -1};
    int err[2] = {-1, -1};
    if (pipe2(out, O_CLOEXEC) != 0) return;
    if (stderrTerminal) {
      // The test holds the terminal's far end open too, so that reading it
      // never sees a hang-up before the child has opened it.
      err[0] = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
      if (err[0] < 0 || grantpt(err[0]) != 0 || unlockpt(err[0]) != 0) return;
      err[1] = open(ptsname(err[0]), O_RDWR | O_NOCTTY | O_CLOEXEC);
      if (err[1] < 0) return;
      terminal_ = true;
    } else if (pipe2(err, O_CLOEXEC) != 0) {
      return;
    }
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      const int nullFd = open("/dev/null", O_RDONLY);
      if (nullFd < 0 || dup2(nullFd, 0) < 0 || dup2(out[1], 1) < 0 || dup2(err[1], 2) < 0) _exit(127);
      execv(args[0], args.data());
      _exit(127);
    }
    close(out[1]);
    if (terminal_) {
      terminalEnd_ = err[1];
    } else {
      close(err[1]);
    }
    outFd_ = out[0];
    errFd_ = err[0];
  }
  ~ToolProcess() {
    if (pid_ > 0 && !reaped_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    for (int fd : {outFd_, errFd_, terminalEnd_}) {
      if (fd >= 0) close(fd);
    }
  }
  ToolProcess(const ToolProcess&) = delete;
  ToolProcess& operator=(const ToolProcess&) = delete;

  pid_t pid() const { return pid_; }

  // Collects the output until the child has closed both streams or `limit`
  // has passed, then reaps it (killing it at the limit).
  ToolResult Wait(std::chrono::milliseconds limit) {
    ToolResult result;
    if (pid_ <= 0) return result;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int* fds[] = {&outFd_, &errFd_};
    std::string* sinks[] = {&result.out, &result.err};
    // A terminal never ends while the test holds it: there the end of
    // standard output marks the end of the run.
    while (outFd_ >= 0 || (errFd_ >= 0 && !terminal_)) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                              std::chrono::steady_clock::now());
      if (left.count() <= 0) {
        result.timedOut = true;
        break;
      }
      pollfd polls[2];
      for (int i = 0; i < 2; ++i) polls[i] = {*fds[i], POLLIN, 0};
      if (poll(polls, 2, static_cast<int>(left.count())) < 0 && errno != EINTR) break;
      for (int i = 0; i < 2; ++i) {
        if (*fds[i] < 0 || polls[i].revents == 0) continue;
        char buffer[8192];
        const ssize_t n = read(*fds[i], buffer, sizeof buffer);
        if (n > 0) {
          sinks[i]->append(buffer, static_cast<size_t>(n));
        } else if (n == 0 || errno != EINTR) {  // a pseudo terminal ends with EIO
          close(*fds[i]);
          *fds[i] = -1;
        }
      }
    }
    if (result.timedOut) kill(pid_, SIGKILL);
    int raw = 0;
    waitpid(pid_, &raw, 0);
    reaped_ = true;
    if (terminal_ && errFd_ >= 0) {  // what the child left in the terminal
      fcntl(errFd_, F_SETFL, O_NONBLOCK);
      char buffer[8192];
      for (ssize_t n; (n = read(errFd_, buffer, sizeof buffer)) > 0;) result.err.append(buffer, static_cast<size_t>(n));
    }
    if (WIFEXITED(raw) && !result.timedOut) result.status = WEXITSTATUS(raw);
    if (WIFSIGNALED(raw) && !result.timedOut) result.signal = WTERMSIG(raw);
    return result;
  }

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  bool terminal_ = false;
  int terminalEnd_ = -1;  // the terminal's far end, held by the test
  int outFd_ = -1;
  int errFd_ = -1;
};

inline ToolResult RunTool(const std::vector<std::string>& argv,
                          std::chrono::milliseconds limit = std::chrono::seconds(20), bool stderrTerminal = false) {
  ToolProcess process(argv, stderrTerminal);
  return process.Wait(limit);
}

}  // namespace qtu::tooltest
