// qtu-client-bench: frames per second and goodput of 1920x1080 16-bit IPL
// images through vtro-engine -> QzQtuUnitClient -> the emulated unit, against
// `qtu-cli stream` of frames of the same geometry straight through the
// library, in one run. The engine runs the client twice: fed by StillCamera
// (the same image again and again, as qtu-cli sends one synthetic frame: the
// client's own overhead) and by TestCamera (which draws every frame: the
// whole pipeline on this machine's cores). Each contender runs as its own process against a fresh
// emulated unit in this process; the rate is what the unit received complete
// over the same measuring window, after a warm-up that starts with the first
// complete frame. Contenders alternate round by round so that a change in the
// machine's load touches both; the medians and their ratio are printed.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <CLI/CLI.hpp>

#include "qtu_sim/unit_sim.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Sample {
  double seconds = 0;
  double frames = 0;
  double bytes = 0;
};

struct Rate {
  double framesPerSecond = 0;
  double megabytesPerSecond = 0;
  bool ok = false;
  std::string note;
};

pid_t Spawn(const std::vector<std::string>& args, const std::string& log) {
  const pid_t pid = fork();
  if (pid == 0) {
    std::FILE* out = std::fopen(log.c_str(), "w");
    if (out != nullptr) {
      dup2(fileno(out), STDOUT_FILENO);
      dup2(fileno(out), STDERR_FILENO);
    }
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

// Waits for the process, interrupting it (then killing it) after `limit`.
int Reap(pid_t pid, std::chrono::seconds limit) {
  const auto end = Clock::now() + limit;
  int status = 0;
  bool interrupted = false;
  for (;;) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (Clock::now() > end) {
      kill(pid, interrupted ? SIGKILL : SIGINT);
      interrupted = true;
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

Sample Take(const qtusim::UnitSim& unit, Clock::time_point start) {
  const qtusim::ChannelReport channel = unit.channel(0);
  return {std::chrono::duration<double>(Clock::now() - start).count(), static_cast<double>(channel.framesComplete),
          static_cast<double>(channel.bytes)};
}

// Runs one contender against a fresh unit and measures it over the window.
Rate Measure(const std::vector<std::string>& command, qtusim::UnitSim& unit, double warmup, double window,
             const std::string& log) {
  const pid_t pid = Spawn(command, log);
  const auto start = Clock::now();
  Rate rate;
  if (!unit.waitFor(0, [](const qtusim::ChannelReport& c) { return c.framesComplete > 0; },
                    std::chrono::seconds(15))) {
    rate.note = "no complete frame within 15 s (see " + log + ")";
  } else {
    std::this_thread::sleep_for(std::chrono::duration<double>(warmup));
    const Sample a = Take(unit, start);
    std::this_thread::sleep_for(std::chrono::duration<double>(window));
    const Sample b = Take(unit, start);
    const double dt = b.seconds - a.seconds;
    rate.framesPerSecond = (b.frames - a.frames) / dt;
    rate.megabytesPerSecond = (b.bytes - a.bytes) / dt / 1e6;
    rate.ok = rate.framesPerSecond > 0;
  }
  const int status = Reap(pid, std::chrono::seconds(static_cast<int>(warmup + window) + 20));
  const qtusim::ChannelReport end = unit.channel(0);
  if (end.framesIncomplete != 0 || end.counterGaps != 0 || end.headerErrors != 0) {
    rate.note += " damaged: " + std::to_string(end.framesIncomplete) + " incomplete, " +
                 std::to_string(end.counterGaps) + " gaps, " + std::to_string(end.headerErrors) + " header errors";
  }
  if (status != 0) rate.note += " exit status " + std::to_string(status) + " (see " + log + ")";
  return rate;
}

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v.size() % 2 == 1 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"QzQtuUnitClient against qtu-cli stream, 1920x1080 16-bit frames, into the emulated unit"};
  std::string build = "build";
  std::string still = "bench/client/client_bench_still.json";
  std::string camera = "bench/client/client_bench.json";
  double warmup = 1.0, window = 3.0;
  int rounds = 2;
  unsigned capacity = 64;
  app.add_option("--build", build, "build folder with bin/ and lib/");
  app.add_option("--still-diagram", still, "the engine's diagram with the still-image source");
  app.add_option("--camera-diagram", camera, "the engine's diagram with TestCamera");
  app.add_option("--warmup", warmup, "seconds after the first complete frame before measuring");
  app.add_option("--seconds", window, "measuring window in seconds")->check(CLI::PositiveNumber);
  app.add_option("--rounds", rounds, "rounds, each measuring every contender")->check(CLI::PositiveNumber);
  app.add_option("--capacity", capacity, "buffers of the emulated unit");
  CLI11_PARSE(app, argc, argv);

  const int runFor = static_cast<int>(warmup + window) + 4;
  const char* const names[] = {"engine+client (still)", "engine+client (camera)", "qtu-cli stream"};
  std::vector<double> fps[3], mb[3];
  bool failed = false;
  for (int round = 0; round < rounds; ++round) {
    for (int turn = 0; turn < 3; ++turn) {
      // The order turns every round.
      const int contender = (turn + round) % 3;
      qtusim::Config config;
      config.bind = "127.0.0.1";
      config.capacity = capacity;
      qtusim::UnitSim unit(config);
      unit.start();
      const std::string control = std::to_string(unit.controlPort());
      const std::string data = std::to_string(unit.dataBasePort());
      std::vector<std::string> command;
      if (contender < 2) {
        command = {build + "/bin/vtro-engine", "run", contender == 0 ? still : camera, "--for",
                   std::to_string(runFor), "--set", "client.QtuControlPort=" + control,
                   "--set", "client.SensorDataBasePort=" + data};
      } else {
        command = {build + "/bin/qtu-cli", "--control", "127.0.0.1:" + control, "--data", "127.0.0.1:" + data,
                   "stream", "--width", "1920", "--height", "1080", "--bpp", "16", "--seconds",
                   std::to_string(runFor)};
      }
      const std::string log = "/tmp/qtu-client-bench-" + std::to_string(contender) + ".log";
      const Rate rate = Measure(command, unit, warmup, window, log);
      unit.stop();
      std::printf("round %d %-24s %8.1f frames/s %9.1f MB/s%s\n", round + 1, names[contender],
                  rate.framesPerSecond, rate.megabytesPerSecond, rate.note.c_str());
      std::fflush(stdout);
      failed = failed || !rate.ok || !rate.note.empty();
      fps[contender].push_back(rate.framesPerSecond);
      mb[contender].push_back(rate.megabytesPerSecond);
    }
  }
  for (int c = 0; c < 3; ++c) {
    std::printf("median %-24s %8.1f frames/s %9.1f MB/s\n", names[c], Median(fps[c]), Median(mb[c]));
  }
  const double peer = Median(fps[2]);
  if (peer > 0) {
    for (int c = 0; c < 2; ++c) {
      const double ratio = Median(fps[c]) / peer;
      std::printf("ratio %s / qtu-cli stream %.3f (overhead %.1f %%)\n", names[c], ratio, (1 - ratio) * 100);
    }
  }
  return failed ? 1 : 0;
}
