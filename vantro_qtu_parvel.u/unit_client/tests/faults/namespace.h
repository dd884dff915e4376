// A network namespace made by a test, and a way to run code inside it: the
// thread that runs the body joins the namespace, so the sockets it opens and
// the threads it starts (the engine's component threads, the emulated unit's)
// live there. Nothing leaves the namespace.
#pragma once

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

namespace unit_client_test {

class TestNamespace {
 public:
  // `script` is run after `ip netns add`, each "%" replaced by "ip -n NAME".
  // Empty Name() when it could not be made (no root, no ip command).
  TestNamespace(const std::string& tag, const std::string& script) {
    if (::geteuid() != 0 || std::system("ip -V >/dev/null 2>&1") != 0) return;
    const std::string name = "qtuf-" + tag + "-" + std::to_string(::getpid());
    std::string commands = "ip netns add " + name;
    for (char c : " && " + script) commands += c == '%' ? "ip -n " + name : std::string(1, c);
    Quiet("ip netns del " + name);
    if (Quiet(commands)) {
      name_ = name;
    } else {
      Quiet("ip netns del " + name);
    }
  }
  ~TestNamespace() {
    if (!name_.empty()) Quiet("ip netns del " + name_);
  }
  TestNamespace(const TestNamespace&) = delete;
  TestNamespace& operator=(const TestNamespace&) = delete;

  const std::string& Name() const { return name_; }

  // Runs `body` on a thread inside the namespace; false when it could not join.
  bool Run(const std::function<void()>& body) const {
    bool joined = false;
    std::thread inside([&] {
      const int fd = ::open(("/run/netns/" + name_).c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0) return;
      joined = ::setns(fd, CLONE_NEWNET) == 0;
      ::close(fd);
      if (joined) body();
    });
    inside.join();
    return joined;
  }

 private:
  static bool Quiet(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }
  std::string name_;
};

}  // namespace unit_client_test
