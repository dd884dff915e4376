// Control round trip: one request and its reply through the library
// (QZQTU_GetReplayOffset: send, receiver thread, hand-off to the caller)
// against a raw UDP ping-pong of the same 12-byte request and 20-byte reply
// with the same emulated unit (a plain socket, blocking receive), measured in
// one run with caller and unit pinned to given CPUs. Also the time of the
// first request after a registration that opens a new control endpoint.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "QZQTUApi.h"
#include "bench_util.h"

namespace {

using qtubench::Clock;

double microsecondsSince(Clock::time_point t0) {
    return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
}

// A plain UDP client of the unit's control port.
class RawClient {
public:
    explicit RawClient(uint16_t unitPort) {
        fd_ = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sockaddr_in unit = local;
        unit.sin_port = htons(unitPort);
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
            connect(fd_, reinterpret_cast<sockaddr*>(&unit), sizeof unit) != 0) {
            throw std::runtime_error("raw client socket failed");
        }
        timeval tv{1, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    ~RawClient() { close(fd_); }

    // One GetReplayOffset request and its reply; false when none came.
    bool roundTrip() {
        uint8_t request[12] = {'Q', 'T', 'U', '-', 0x43, 3, 12, 0, 0x21, 0, 0, 0};
        ++sequence_;
        request[10] = static_cast<uint8_t>(sequence_);
        request[11] = static_cast<uint8_t>(sequence_ >> 8);
        if (send(fd_, request, sizeof request, 0) != sizeof request) return false;
        uint8_t reply[64];
        for (;;) {
            const ssize_t n = recv(fd_, reply, sizeof reply, 0);
            if (n < 0) return false;
            if (n >= 12 && reply[10] == request[10] && reply[11] == request[11]) return true;
        }
    }

private:
    int fd_ = -1;
    uint16_t sequence_ = 0;
};

QZQTU_InputInterface unitInterface(uint16_t controlPort) {
    QZQTU_InputInterface input{};
    input.qtuControlIp = "127.0.0.1";
    input.qtuControlPort = controlPort;
    input.sensorDataIp = "127.0.0.1";
    input.sensorDataBasePort = 9;  // never sent to here
    input.localControlIp = "127.0.0.1";
    input.maxPayloadSize = 8948;
    input.timeoutGet = 1000;
    input.timeoutStream = 50;
    return input;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"qtu-roundtrip-bench: control round trip through the library against a raw UDP ping-pong"};
    std::string simPath = "build/bin/qtu-unit-sim";
    int hostCpu = 0;
    int unitCpu = 0;
    unsigned count = 20000;
    unsigned firstRequests = 40;
    app.add_option("--sim", simPath, "qtu-unit-sim program")->capture_default_str();
    app.add_option("--host-cpu", hostCpu, "CPU of the caller (and of the library's threads)")->capture_default_str();
    app.add_option("--unit-cpu", unitCpu, "CPU of the emulated unit")->capture_default_str();
    app.add_option("--count", count, "round trips of each kind")->check(CLI::Range(100u, 1000000u))
        ->capture_default_str();
    app.add_option("--first-requests", firstRequests, "registrations whose first request is timed")
        ->check(CLI::Range(0u, 1000u))->capture_default_str();
    CLI11_PARSE(app, argc, argv);

    qtubench::Child sim;
    try {
        sim = qtubench::spawn({simPath, "--bind", "127.0.0.1", "--status-period-ms", "0", "--quiet"}, unitCpu);
        const std::string banner = qtubench::readFrom(sim.out, std::chrono::seconds(5), "\n");
        const auto at = banner.find("control=127.0.0.1:");
        if (at == std::string::npos) throw std::runtime_error("qtu-unit-sim did not start: " + banner);
        const auto controlPort = static_cast<uint16_t>(std::stoul(banner.substr(at + 18)));
        // The library's receiver thread is started by the first call and
        // inherits this thread's CPU.
        if (!qtubench::pinThread(hostCpu)) throw std::runtime_error("cannot pin to CPU " + std::to_string(hostCpu));

        RawClient raw(controlPort);
        const QZQTU_InputInterface input = unitInterface(controlPort);
        int32_t handle = -1;
        if (QZQTU_Error e = QZQTU_RegisterOutputChannel(&input, 0, &handle))
            throw std::runtime_error(std::string("register: ") + QZQTU_ErrorToString(e));

        // Alternate in slices, so that a change in the machine's load touches both.
        std::vector<double> rawTimes;
        std::vector<double> libraryTimes;
        rawTimes.reserve(count);
        libraryTimes.reserve(count);
        constexpr unsigned kSlice = 500;
        for (unsigned warm = 0; warm < 200; ++warm) {
            uint64_t offset = 0;
            raw.roundTrip();
            QZQTU_GetReplayOffset(handle, &offset);
        }
        // Context switches of this process (the caller and, for the library,
        // its receiver thread) per round trip.
        double rawSwitches = 0;
        double librarySwitches = 0;
        const auto switches = [] {
            rusage u{};
            getrusage(RUSAGE_SELF, &u);
            return static_cast<double>(u.ru_nvcsw + u.ru_nivcsw);
        };
        while (rawTimes.size() < count) {
            double s0 = switches();
            for (unsigned i = 0; i < kSlice && rawTimes.size() < count; ++i) {
                const auto t0 = Clock::now();
                if (!raw.roundTrip()) throw std::runtime_error("raw round trip got no reply");
                rawTimes.push_back(microsecondsSince(t0));
            }
            rawSwitches += switches() - s0;
            s0 = switches();
            for (unsigned i = 0; i < kSlice && libraryTimes.size() < count; ++i) {
                uint64_t offset = 0;
                const auto t0 = Clock::now();
                if (QZQTU_Error e = QZQTU_GetReplayOffset(handle, &offset))
                    throw std::runtime_error(std::string("QZQTU_GetReplayOffset: ") + QZQTU_ErrorToString(e));
                libraryTimes.push_back(microsecondsSince(t0));
            }
            librarySwitches += switches() - s0;
        }
        QZQTU_UnregisterOutputChannel(handle);

        // The first request after a registration that opens a new endpoint.
        std::vector<double> firstTimes;
        for (unsigned i = 0; i < firstRequests; ++i) {
            int32_t h = -1;
            if (QZQTU_Error e = QZQTU_RegisterOutputChannel(&input, 0, &h))
                throw std::runtime_error(std::string("register: ") + QZQTU_ErrorToString(e));
            uint64_t offset = 0;
            const auto t0 = Clock::now();
            const QZQTU_Error e = QZQTU_GetReplayOffset(h, &offset);
            firstTimes.push_back(microsecondsSince(t0));
            QZQTU_UnregisterOutputChannel(h);
            if (e != QZQTU_OK) throw std::runtime_error(std::string("first request: ") + QZQTU_ErrorToString(e));
        }

        const auto r = qtubench::percentiles(rawTimes);
        const auto l = qtubench::percentiles(libraryTimes);
        const auto f = qtubench::percentiles(firstTimes);
        std::printf("%-34s median %7.1f us  p99 %7.1f us  (%.2f context switches here each)\n",
                    "raw UDP ping-pong (peer)", r.median, r.p99, rawSwitches / count);
        std::printf("%-34s median %7.1f us  p99 %7.1f us  (%.2f context switches here each)\n",
                    "QZQTU_GetReplayOffset", l.median, l.p99, librarySwitches / count);
        std::printf("%-34s median %7.2f     p99 %7.2f\n", "ratio library/raw", l.median / r.median, l.p99 / r.p99);
        if (!firstTimes.empty()) {
            std::printf("%-34s median %7.1f us  p99 %7.1f us (%u registrations)\n",
                        "first request after registration", f.median, f.p99, firstRequests);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "qtu-roundtrip-bench: %s\n", e.what());
        if (sim.pid > 0) qtubench::reap(sim.pid, std::chrono::milliseconds(0));
        return 1;
    }
    qtubench::reap(sim.pid, std::chrono::milliseconds(0));
    return 0;
}
