// qtu-unit-sim: the emulated QTU Unit on a local address.
//
// Prints "listening control=IP:PORT data=IP:BASE channels=N" as its first line,
// runs until SIGINT/SIGTERM or --for SECONDS, then writes the JSON report and
// a summary, and exits 0.
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>

#include "qtu_sim/unit_sim.h"

namespace {

uint16_t parseCode(const std::string& text) {
  size_t used = 0;
  const unsigned long v = std::stoul(text, &used, 0);
  if (used != text.size() || v > 0xFFFF) throw std::invalid_argument("not a 16-bit code: " + text);
  return static_cast<uint16_t>(v);
}

// One line for all channels: frames complete (+incomplete), data received and
// its rate since the last line, and free/total buffers.
class LiveLine {
 public:
  std::string next(const qtusim::UnitSim& sim) {
    const auto now = std::chrono::steady_clock::now();
    const double seconds = std::chrono::duration<double>(now - last_).count();
    last_ = now;
    bytes_.resize(static_cast<size_t>(sim.channelCount()), 0);
    std::string line;
    char part[200];
    for (int i = 0; i < sim.channelCount(); ++i) {
      const auto r = sim.channel(i);
      const double rate = seconds > 0 ? (r.bytes - bytes_[i]) / seconds / 1e6 : 0;
      bytes_[i] = r.bytes;
      std::snprintf(part, sizeof part, "%sch%d frames %llu (+%llu incomplete) %.1f MB %.0f MB/s credit %u/%u",
                    i ? " | " : "", i, static_cast<unsigned long long>(r.framesComplete),
                    static_cast<unsigned long long>(r.framesIncomplete), r.bytes / 1e6, rate, r.freeBuffers,
                    r.capacity);
      line += part;
    }
    return line;
  }

 private:
  std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
  std::vector<uint64_t> bytes_;
};

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"qtu-unit-sim: the emulated QTU Unit (control and data protocols over UDP)"};
  qtusim::Config config;
  std::string drain = "inf";
  std::string reportPath;
  double forSeconds = 0;
  std::vector<std::string> answerWith;
  bool quiet = false;
  app.add_option("--bind", config.bind, "local IPv4 address of both interfaces")->capture_default_str();
  app.add_option("--control-port", config.controlPort, "control port (0: any free port)")->capture_default_str();
  app.add_option("--data-base-port", config.dataBasePort, "data port of channel 0; channel n uses base+n (0: free ports)")
      ->capture_default_str();
  app.add_option("--channels", config.channels, "number of output channels offered")
      ->check(CLI::Range(1, 256))
      ->capture_default_str();
  app.add_option("--capacity", config.capacity, "buffers per channel, one per block")
      ->check(CLI::Range(1u, 0x7FFFFFFFu))
      ->capture_default_str();
  app.add_option("--status-period-ms", config.statusPeriodMs, "period of status messages (0: only when buffers come back)")
      ->capture_default_str();
  app.add_option("--drain", drain, "buffers given back per second, or inf (at once)")->capture_default_str();
  app.add_option("--save-frames", config.saveFramesDir, "write each complete frame to DIR/ch<N>_frame<K>.raw");
  app.add_option("--save-png", config.savePngBits, "with --save-frames: also a mono PNG of 8 or 16 bits per sample")
      ->check(CLI::IsMember({8u, 16u}));
  app.add_option("--report-json", reportPath, "write the JSON report to FILE at the end");
  app.add_option("--capture", config.capturePath, "write every datagram received and sent to FILE (pcap, raw IPv4)");
  app.add_option("--for", forSeconds, "stop after SECONDS")->check(CLI::NonNegativeNumber);
  app.add_option("--drop-replies", config.faults.dropReplyShare, "fault: share of replies not sent (0..1)")
      ->check(CLI::Range(0.0, 1.0));
  app.add_option("--reply-delay-ms", config.faults.replyDelayMs, "fault: send every reply this late");
  app.add_option("--answer-with", answerWith, "fault: CMD=CODE answers command CMD with reply code CODE (e.g. 0x03=0x8004)");
  app.add_flag("--no-status", config.faults.stopStatus, "fault: send no status messages");
  app.add_option("--seed", config.seed, "seed of the reply-drop choice")->capture_default_str();
  app.add_flag("--quiet", quiet, "no live status line");
  bool noCoalesce = false;
  app.add_flag("--no-coalesce", noCoalesce, "receive one datagram per buffer (no UDP_GRO)");
  CLI11_PARSE(app, argc, argv);

  config.coalesceReceives = !noCoalesce;
  try {
    config.drainBlocksPerSecond = qtusim::parseDrain(drain);
    for (const auto& a : answerWith) {
      const auto eq = a.find('=');
      if (eq == std::string::npos) throw std::invalid_argument("--answer-with needs CMD=CODE: " + a);
      config.faults.answerWith[parseCode(a.substr(0, eq))] = parseCode(a.substr(eq + 1));
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qtu-unit-sim: %s\n", e.what());
    return 2;
  }

  // The threads inherit the blocked signals; this thread takes them with sigtimedwait.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  qtusim::UnitSim sim(config);
  try {
    sim.start();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qtu-unit-sim: %s\n", e.what());
    return 1;
  }
  std::printf("listening control=%s:%u data=%s:%u channels=%d\n", config.bind.c_str(), sim.controlPort(),
              config.bind.c_str(), sim.dataBasePort(), config.channels);
  std::fflush(stdout);
  if (sim.dataReceiveBufferBytes() < (8 << 20))
    std::fprintf(stderr, "qtu-unit-sim: data receive buffers are only %d bytes; raise net.core.rmem_max for full rate\n",
                 sim.dataReceiveBufferBytes());

  const bool live = !quiet && isatty(STDERR_FILENO);
  LiveLine liveLine;
  const auto begin = std::chrono::steady_clock::now();
  while (true) {
    timespec tick{0, 250'000'000};
    if (forSeconds > 0) {
      const double left =
          forSeconds - std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
      if (left <= 0) break;
      if (left < 0.25) tick = {0, static_cast<long>(left * 1e9)};
    }
    if (sigtimedwait(&signals, nullptr, &tick) > 0) break;
    if (live) std::fprintf(stderr, "\r%s\x1b[K", liveLine.next(sim).c_str());
  }
  sim.stop();
  if (live) std::fprintf(stderr, "\r%s\x1b[K\n", liveLine.next(sim).c_str());

  const auto report = sim.reportJson();
  int status = 0;
  if (!reportPath.empty()) {
    std::ofstream out(reportPath);
    out << report.dump(2) << "\n";
    if (!out) {
      std::fprintf(stderr, "qtu-unit-sim: cannot write %s\n", reportPath.c_str());
      status = 1;
    }
  }
  for (const auto& ch : report["channels"]) {
    std::printf("channel %d: frames %llu complete %llu incomplete, blocks %llu, packets %llu, gaps %llu, "
                "header errors %llu, bytes %llu\n",
                ch["channel"].get<int>(), ch["framesComplete"].get<unsigned long long>(),
                ch["framesIncomplete"].get<unsigned long long>(), ch["blocks"].get<unsigned long long>(),
                ch["packets"].get<unsigned long long>(), ch["counterGaps"].get<unsigned long long>(),
                ch["headerErrors"].get<unsigned long long>(), ch["bytes"].get<unsigned long long>());
  }
  return status;
}
