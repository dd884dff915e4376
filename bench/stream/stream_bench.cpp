// Stream benchmark: goodput and sender CPU of QZQTU_ReplayStreamData into the
// emulated unit, against iperf3 UDP on loopback with the same datagram size,
// measured in one run on the same machine.
//
// Goodput counts only what arrived intact: for the library, the data bytes of
// frames the emulated unit reassembled complete; for iperf3, the datagrams its
// server received (sent less lost). CPU is user + system time of the sending
// thread (the library) or process (the iperf3 client, a single thread).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <cstdio>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "QZQTUApi.h"
#include "qtu_sim/unit_sim.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint16_t kMaxPayload = 8948;         // 8972-byte datagrams
constexpr uint16_t kDatagramBytes = kMaxPayload + 24;
constexpr uint16_t kBlockBytes = 65535;

struct Figures {
    double seconds = 0;       // sending time
    double cpuSeconds = 0;    // user + system of the sender
    uint64_t bytesSent = 0;   // payload bytes handed to the network
    uint64_t bytesIntact = 0; // payload bytes that arrived intact
    uint64_t datagrams = 0;
    uint64_t datagramsLost = 0;
    double otherCpuSeconds = 0;  // the library's other threads (receiver) meanwhile
    std::string note;
};

double cpuOf(const rusage& usage) {
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// ---- threads of this process ----

std::set<pid_t> threadIds() {
    std::set<pid_t> ids;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        ids.insert(static_cast<pid_t>(std::stol(entry.path().filename().string())));
    }
    return ids;
}

// User + system seconds of one thread of this process (clock-tick resolution).
double threadCpu(pid_t tid) {
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto close = text.rfind(')');
    if (close == std::string::npos) {
        return 0;
    }
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long long utime = 0;
    unsigned long long stime = 0;
    // After the name: state is field 3; utime and stime are fields 14 and 15.
    for (int index = 3; index <= 15 && fields >> field; ++index) {
        if (index == 14) {
            utime = std::stoull(field);
        } else if (index == 15) {
            stime = std::stoull(field);
        }
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double cpuOfThreads(const std::set<pid_t>& ids) {
    double total = 0;
    for (pid_t id : ids) {
        total += threadCpu(id);
    }
    return total;
}

// ---- the library into the emulated unit ----

Figures measureLibrary(double seconds, uint16_t lineCount, uint32_t capacity, unsigned statusPeriodMs) {
    qtusim::Config config;
    config.bind = "127.0.0.1";
    config.capacity = capacity;
    config.statusPeriodMs = statusPeriodMs;
    config.drainBlocksPerSecond = 0;  // buffers come back at once: the network path is what is measured
    // The emulated unit's threads are the ones its start adds; every other
    // thread but this one belongs to the library (its receiver thread).
    const std::set<pid_t> before = threadIds();
    qtusim::UnitSim sim(config);
    sim.start();
    std::set<pid_t> simThreads;
    for (pid_t id : threadIds()) {
        if (!before.contains(id)) {
            simThreads.insert(id);
        }
    }

    QZQTU_InputInterface input{};
    input.qtuControlIp = "127.0.0.1";
    input.qtuControlPort = sim.controlPort();
    input.sensorDataIp = "127.0.0.1";
    input.sensorDataBasePort = sim.dataBasePort();
    input.localControlIp = "127.0.0.1";
    input.maxPayloadSize = kMaxPayload;
    input.timeoutGet = 1000;
    input.timeoutStream = 50;
    int32_t handle = -1;
    if (QZQTU_Error e = QZQTU_RegisterOutputChannel(&input, 0, &handle)) {
        throw std::runtime_error(std::string("QZQTU_RegisterOutputChannel: ") + QZQTU_ErrorToString(e));
    }
    if (QZQTU_Error e = QZQTU_InitOutputChannel(handle, kBlockBytes, lineCount)) {
        throw std::runtime_error(std::string("QZQTU_InitOutputChannel: ") + QZQTU_ErrorToString(e));
    }
    std::set<pid_t> libraryThreads;
    for (pid_t id : threadIds()) {
        if (!simThreads.contains(id) && id != gettid()) {
            libraryThreads.insert(id);
        }
    }
    const double libraryCpuBefore = cpuOfThreads(libraryThreads);

    std::vector<uint8_t> frame(size_t{kBlockBytes} * lineCount);
    for (size_t i = 0; i < frame.size(); ++i) {
        frame[i] = static_cast<uint8_t>(i * 7);
    }
    // Packets per block: all but the last carry a multiple of 8 bytes.
    const uint64_t fullPacket = kMaxPayload / 8 * 8;
    const uint64_t packetsPerBlock = (kBlockBytes + fullPacket - 1) / fullPacket;

    Figures figures;
    QZQTU_Error failure = QZQTU_OK;
    uint64_t frames = 0;
    uint64_t creditWaits = 0;
    std::thread sender([&] {
        rusage before{};
        rusage after{};
        getrusage(RUSAGE_THREAD, &before);
        const auto start = Clock::now();
        const auto end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
        QZQTU_StreamDataInfo info{};
        while (failure == QZQTU_OK && Clock::now() < end) {
            info.frameCounter = static_cast<uint16_t>(frames);
            info.timestamp = static_cast<uint64_t>((Clock::now() - start).count());
            for (uint16_t line = 0; line < lineCount && failure == QZQTU_OK; ++line) {
                info.lineIndex = line;
                const uint8_t* block = frame.data() + size_t{line} * kBlockBytes;
                const auto giveUp = Clock::now() + std::chrono::seconds(5);
                QZQTU_Error result;
                while ((result = QZQTU_ReplayStreamData(handle, &info, block, kBlockBytes)) == QZQTU_TIMEOUT &&
                       Clock::now() < giveUp) {
                    ++creditWaits;
                }
                failure = result;
            }
            if (failure == QZQTU_OK) {
                ++frames;
            }
        }
        figures.seconds = std::chrono::duration<double>(Clock::now() - start).count();
        getrusage(RUSAGE_THREAD, &after);
        figures.cpuSeconds = cpuOf(after) - cpuOf(before);
    });
    sender.join();
    figures.otherCpuSeconds = cpuOfThreads(libraryThreads) - libraryCpuBefore;
    if (failure != QZQTU_OK) {
        figures.note = std::string("stopped by ") + QZQTU_ErrorToString(static_cast<uint32_t>(failure));
    }

    const uint64_t blocks = frames * lineCount;
    figures.datagrams = blocks * packetsPerBlock;
    figures.bytesSent = blocks * kBlockBytes;
    // Everything sent is queued at the unit already; let it take in the rest.
    sim.waitFor(0, [&](const qtusim::ChannelReport& c) { return c.packets >= figures.datagrams; },
                std::chrono::seconds(5));
    const qtusim::ChannelReport report = sim.channel(0);
    figures.bytesIntact = std::min(report.framesComplete, frames) * frame.size();
    figures.datagramsLost = figures.datagrams > report.packets ? figures.datagrams - report.packets : 0;
    QZQTU_UnregisterOutputChannel(handle);
    sim.stop();
    char extra[256];
    std::snprintf(extra, sizeof extra,
                  "%s%llu credit waits, %llu frames incomplete, %llu counter gaps; receiver thread %.2f CPU s "
                  "(%.3f s/GB sent)",
                  figures.note.empty() ? "" : "; ", static_cast<unsigned long long>(creditWaits),
                  static_cast<unsigned long long>(report.framesIncomplete),
                  static_cast<unsigned long long>(report.counterGaps), figures.otherCpuSeconds,
                  figures.bytesSent ? figures.otherCpuSeconds / (figures.bytesSent / 1e9) : 0.0);
    figures.note += extra;
    return figures;
}

// ---- iperf3 ----

struct Child {
    pid_t pid = -1;
    int out = -1;  // read end of its standard output
};

Child spawn(const std::vector<std::string>& args) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    const pid_t pid = fork();
    if (pid < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid == 0) {
        dup2(fds[1], STDOUT_FILENO);
        std::vector<char*> argv;
        for (const auto& a : args) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(fds[1]);
    return {pid, fds[0]};
}

// Reads what is available within `limit`; stops early once `until` appears.
std::string readFrom(int fd, std::chrono::milliseconds limit, const char* until = nullptr) {
    std::string text;
    const auto deadline = Clock::now() + limit;
    char buffer[4096];
    while (Clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (poll(&p, 1, static_cast<int>(std::max<long long>(left, 1))) <= 0) {
            continue;
        }
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        text.append(buffer, static_cast<size_t>(n));
        if (until != nullptr && text.find(until) != std::string::npos) {
            break;
        }
    }
    return text;
}

// Waits (bounded) for a child; ends it with SIGTERM, then SIGKILL, if it lingers.
std::optional<rusage> reap(pid_t pid, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    int status = 0;
    rusage usage{};
    for (int signal : {0, SIGTERM, SIGKILL}) {
        if (signal != 0) {
            kill(pid, signal);
        }
        while (Clock::now() < deadline + std::chrono::seconds(signal == 0 ? 0 : 2)) {
            if (wait4(pid, &status, WNOHANG, &usage) == pid) {
                return usage;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    return std::nullopt;
}

uint16_t freePort() {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
    close(s);
    return ntohs(address.sin_port);
}

Figures measureIperf(const std::string& iperf, double seconds) {
    const std::string port = std::to_string(freePort());
    Child server = spawn({iperf, "-s", "-1", "--forceflush", "-B", "127.0.0.1", "-p", port});
    const std::string banner = readFrom(server.out, std::chrono::seconds(5), "Server listening");
    if (banner.find("Server listening") == std::string::npos) {
        reap(server.pid, std::chrono::milliseconds(0));
        throw std::runtime_error("iperf3 server did not start: " + banner);
    }
    char duration[32];
    std::snprintf(duration, sizeof duration, "%g", seconds);
    Child client = spawn({iperf, "-c", "127.0.0.1", "-p", port, "-u", "-b", "0", "-l",
                          std::to_string(kDatagramBytes), "-t", duration, "--json"});
    const std::string output =
        readFrom(client.out, std::chrono::milliseconds(static_cast<long long>(seconds * 1000) + 15000));
    const auto clientUsage = reap(client.pid, std::chrono::seconds(5));
    reap(server.pid, std::chrono::seconds(5));
    close(client.out);
    close(server.out);
    if (!clientUsage) {
        throw std::runtime_error("iperf3 client did not end");
    }
    const auto json = nlohmann::json::parse(output, nullptr, false);
    if (json.is_discarded() || json.contains("error") || !json.contains("end")) {
        throw std::runtime_error("iperf3 failed: " + output.substr(0, 400));
    }
    const auto& sum = json["end"]["sum"];
    Figures figures;
    figures.seconds = sum["seconds"].get<double>();
    figures.cpuSeconds = cpuOf(*clientUsage);
    figures.datagrams = sum["packets"].get<uint64_t>();
    figures.datagramsLost = sum["lost_packets"].get<uint64_t>();
    figures.bytesSent = sum["bytes"].get<uint64_t>();
    figures.bytesIntact = (figures.datagrams - figures.datagramsLost) * kDatagramBytes;
    return figures;
}

// ---- report ----

void add(Figures& total, const Figures& f) {
    total.seconds += f.seconds;
    total.cpuSeconds += f.cpuSeconds;
    total.bytesSent += f.bytesSent;
    total.bytesIntact += f.bytesIntact;
    total.datagrams += f.datagrams;
    total.datagramsLost += f.datagramsLost;
    total.otherCpuSeconds += f.otherCpuSeconds;
}

void printRow(const char* name, const Figures& f) {
    const double gb = 1e9;
    std::printf("%-28s %9.2f GB/s %9.2f GB/s %10.3f %12.3f %8.2f %%\n", name, f.bytesIntact / gb / f.seconds,
                f.bytesSent / gb / f.seconds, f.cpuSeconds / (f.bytesSent / gb),
                f.bytesIntact ? f.cpuSeconds / (f.bytesIntact / gb) : 0.0,
                f.datagrams ? 100.0 * f.datagramsLost / f.datagrams : 0.0);
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"qtu-stream-bench: library goodput into the emulated unit against iperf3 UDP on loopback"};
    double seconds = 3;
    uint16_t lineCount = 16;
    uint32_t capacity = 512;
    unsigned statusPeriodMs = 0;
    std::string iperf = "iperf3";
    bool skipIperf = false;
    unsigned rounds = 1;
    app.add_option("--seconds", seconds, "length of each measurement")->check(CLI::Range(0.5, 30.0))
        ->capture_default_str();
    app.add_option("--line-count", lineCount, "blocks of 65535 bytes per frame")->check(CLI::Range(1, 4096))
        ->capture_default_str();
    app.add_option("--capacity", capacity, "buffers of the emulated unit")->capture_default_str();
    app.add_option("--status-period-ms", statusPeriodMs,
                   "status period of the emulated unit (0: a status whenever buffers come back)")
        ->capture_default_str();
    app.add_option("--iperf3", iperf, "iperf3 program")->capture_default_str();
    app.add_flag("--no-iperf3", skipIperf, "measure the library only");
    app.add_option("--rounds", rounds, "measurements of each sender, alternating")->check(CLI::Range(1u, 10u))
        ->capture_default_str();
    CLI11_PARSE(app, argc, argv);
    signal(SIGPIPE, SIG_IGN);

    try {
        std::printf("stream benchmark on 127.0.0.1: %u-byte datagrams (maxPayloadSize %u), blocks of %u bytes, "
                    "%g s per measurement, %u round(s)\n\n",
                    kDatagramBytes, kMaxPayload, kBlockBytes, seconds, rounds);
        std::printf("%-28s %14s %14s %10s %12s %10s\n", "sender", "goodput", "sent", "CPU s/GB", "CPU s/GB",
                    "lost");
        std::printf("%-28s %14s %14s %10s %12s %10s\n", "", "(intact)", "", "sent", "intact", "datagrams");
        // Rounds alternate the two senders, so a change in the machine's load
        // touches both; the totals add every round.
        Figures peerTotal;
        Figures libraryTotal;
        std::vector<std::string> notes;
        for (unsigned round = 1; round <= rounds; ++round) {
            const std::string suffix = rounds > 1 ? " #" + std::to_string(round) : "";
            if (!skipIperf) {
                const Figures peer = measureIperf(iperf, seconds);
                printRow(("iperf3 -u (peer)" + suffix).c_str(), peer);
                add(peerTotal, peer);
            }
            const Figures library = measureLibrary(seconds, lineCount, capacity, statusPeriodMs);
            printRow(("QZQTU_ReplayStreamData" + suffix).c_str(), library);
            add(libraryTotal, library);
            notes.push_back(library.note);
        }
        if (rounds > 1) {
            if (!skipIperf) {
                printRow("iperf3 -u (peer), all", peerTotal);
            }
            printRow("QZQTU_ReplayStreamData, all", libraryTotal);
        }
        std::printf("\n");
        for (size_t i = 0; i < notes.size(); ++i) {
            std::printf("library%s: %s\n", rounds > 1 ? (" #" + std::to_string(i + 1)).c_str() : "",
                        notes[i].c_str());
        }
        if (!skipIperf) {
            const double ratio = (libraryTotal.bytesIntact / libraryTotal.seconds) /
                                 (peerTotal.bytesIntact / peerTotal.seconds);
            const double cpuSent = (libraryTotal.cpuSeconds / libraryTotal.bytesSent) /
                                   (peerTotal.cpuSeconds / peerTotal.bytesSent);
            const double cpuIntact = (libraryTotal.cpuSeconds / libraryTotal.bytesIntact) /
                                     (peerTotal.cpuSeconds / peerTotal.bytesIntact);
            const double cpuWithReceiver =
                ((libraryTotal.cpuSeconds + libraryTotal.otherCpuSeconds) / libraryTotal.bytesIntact) /
                (peerTotal.cpuSeconds / peerTotal.bytesIntact);
            std::printf("ratio library/iperf3: goodput %.2f; CPU per GB sent %.2f; CPU per GB intact %.2f "
                        "(%.2f with the library's receiver thread)\n",
                        ratio, cpuSent, cpuIntact, cpuWithReceiver);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "qtu-stream-bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
