// Stream benchmark: goodput and sender CPU of QZQTU_ReplayStreamData into the
// emulated unit, next to its peers measured in the same run on the same
// machine: iperf3 UDP with the same datagram size, and the bare sender (the
// same datagrams with as little code as possible: the limit). Or the
// many-channel case: channels on several emulated units streaming at once,
// against one channel alone.
//
// Goodput counts only what arrived intact: for the library and the bare
// sender, the data bytes of frames the emulated unit reassembled complete;
// for iperf3, the datagrams its server received (sent less lost). CPU is
// user + system time of the sending thread (the library, the bare sender) or
// process (the iperf3 client, a single thread).
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <numeric>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "stream_measure.h"

namespace {

using qtubench::Figures;

void printHeader() {
    std::printf("%-30s %11s %11s %10s %9s\n", "sender", "goodput", "sent", "CPU s/GB", "lost");
    std::printf("%-30s %11s %11s %10s %9s\n", "", "(intact)", "", "sent", "datagrams");
}

void printRow(const std::string& name, const Figures& f) {
    std::printf("%-30s %6.2f GB/s %6.2f GB/s %10.3f %8.2f%%\n", name.c_str(), f.bytesIntact / 1e9 / f.seconds,
                f.bytesSent / 1e9 / f.seconds, f.cpuPerGbSent(),
                f.datagrams ? 100.0 * f.datagramsLost / f.datagrams : 0.0);
}

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

std::string placement(const qtubench::StreamShape& shape) {
    const auto cpu = [](int c) { return c < 0 ? std::string("unpinned") : "on CPU " + std::to_string(c); };
    return "senders " + cpu(shape.senderCpu) + ", units " + cpu(shape.unitCpu);
}

int runPeers(const qtubench::StreamShape& shape, unsigned rounds, bool withIperf, bool withBare, unsigned batch,
             const std::string& iperf) {
    std::printf("stream benchmark: %u-byte datagrams (maxPayloadSize %u), blocks of %u bytes, %u per frame, "
                "%g s per measurement, %u round(s); %s\n\n",
                shape.maxPayload + 24u, shape.maxPayload, shape.blockBytes, shape.lineCount, shape.seconds, rounds,
                placement(shape).c_str());
    printHeader();
    // The senders take turns, in the opposite order every other round, so
    // that a change in the machine's load touches all of them alike; the
    // totals add every round, and the ratio of each round to its own peers
    // is kept too (their median is what a load burst in one round moves least).
    // The bare sender runs twice: with the messages of `batch` blocks per
    // call (the limit), and with one block per call, as the library must
    // send (one block per QZQTU_ReplayStreamData): the two show whether
    // sending less often gains anything.
    Figures iperfTotal, bareTotal, bareOneTotal, libraryTotal;
    std::vector<double> toBare, toBareOne, toIperf;
    std::vector<std::string> notes;
    for (unsigned round = 1; round <= rounds; ++round) {
        const std::string suffix = rounds > 1 ? " #" + std::to_string(round) : "";
        Figures iperfRound, bareRound, bareOneRound, libraryRound;
        const auto runIperf = [&] {
            iperfRound = qtubench::measureIperf(iperf, shape);
            printRow("iperf3 -u (peer)" + suffix, iperfRound);
            iperfTotal.add(iperfRound);
        };
        const auto runBare = [&](unsigned blocks, Figures& f, Figures& total, const std::string& name) {
            f = qtubench::measureBare(shape, blocks);
            printRow(name + suffix, f);
            total.add(f);
            notes.push_back(name + suffix + ": " + f.note);
        };
        const auto runLibrary = [&] {
            libraryRound = qtubench::measureLibrary(shape);
            printRow("QZQTU_ReplayStreamData" + suffix, libraryRound);
            libraryTotal.add(libraryRound);
            notes.push_back("library" + suffix + ": " + libraryRound.note);
        };
        const std::string bareName = "bare, " + std::to_string(batch) + " blocks/call";
        const bool forward = round % 2 == 1;
        if (forward && withIperf) runIperf();
        if (forward && withBare) runBare(batch, bareRound, bareTotal, bareName);
        if (!forward) runLibrary();
        if (withBare && batch != 1) runBare(1, bareOneRound, bareOneTotal, "bare, 1 block/call");
        if (forward) runLibrary();
        if (!forward && withBare) runBare(batch, bareRound, bareTotal, bareName);
        if (!forward && withIperf) runIperf();
        if (withBare) toBare.push_back(libraryRound.goodput() / bareRound.goodput());
        if (withBare && batch != 1) toBareOne.push_back(libraryRound.goodput() / bareOneRound.goodput());
        if (withIperf) toIperf.push_back(libraryRound.goodput() / iperfRound.goodput());
    }
    if (rounds > 1) {
        if (withIperf) printRow("iperf3 -u (peer), all", iperfTotal);
        if (withBare) printRow("bare, " + std::to_string(batch) + " blocks/call, all", bareTotal);
        if (withBare && batch != 1) printRow("bare, 1 block/call, all", bareOneTotal);
        printRow("QZQTU_ReplayStreamData, all", libraryTotal);
    }
    std::printf("\n");
    for (const auto& n : notes) std::printf("%s\n", n.c_str());
    if (withBare) {
        std::printf("ratio library/bare sender (the limit, %u blocks/call): goodput %.3f over all rounds, median of "
                    "the rounds' ratios %.3f (at least 0.95 wanted); CPU per GB sent %.2f\n",
                    batch, libraryTotal.goodput() / bareTotal.goodput(), median(toBare),
                    libraryTotal.cpuPerGbSent() / bareTotal.cpuPerGbSent());
        if (batch != 1) {
            std::printf("ratio library/bare sender at 1 block/call: goodput %.3f over all rounds, median %.3f; "
                        "bare 1 block/call against %u blocks/call: goodput %.3f\n",
                        libraryTotal.goodput() / bareOneTotal.goodput(), median(toBareOne), batch,
                        bareOneTotal.goodput() / bareTotal.goodput());
        }
    }
    if (withIperf) {
        std::printf("ratio library/iperf3: goodput %.2f (median %.2f); CPU per GB sent %.2f (below 1 wanted)\n",
                    libraryTotal.goodput() / iperfTotal.goodput(), median(toIperf),
                    libraryTotal.cpuPerGbSent() / iperfTotal.cpuPerGbSent());
    }
    return 0;
}

int runMany(const qtubench::StreamShape& shape, unsigned rounds, int units, int perUnit) {
    std::printf("many channels: %d channels on %d emulated units (127.0.0.1..%d) at once, against one channel "
                "alone; %u-byte datagrams, blocks of %u bytes, %g s per measurement, %u round(s); %s\n\n",
                units * perUnit, units, units, shape.maxPayload + 24u, shape.blockBytes, shape.seconds, rounds,
                placement(shape).c_str());
    printHeader();
    Figures oneTotal, manyTotal;
    std::vector<uint64_t> frames(static_cast<size_t>(units * perUnit), 0);
    uint64_t gaps = 0, incomplete = 0;
    std::vector<std::string> notes;
    std::vector<double> ratios;
    for (unsigned round = 1; round <= rounds; ++round) {
        const std::string suffix = rounds > 1 ? " #" + std::to_string(round) : "";
        Figures one;
        const auto runOne = [&] {
            one = qtubench::measureLibrary(shape);
            printRow("one channel (peer)" + suffix, one);
            oneTotal.add(one);
        };
        if (round % 2 == 1) runOne();
        const auto many = qtubench::measureManyChannels(shape, units, perUnit);
        printRow(std::to_string(units * perUnit) + " channels" + suffix, many.total);
        manyTotal.add(many.total);
        if (round % 2 == 0) runOne();
        ratios.push_back(many.total.goodput() / one.goodput());
        for (size_t i = 0; i < frames.size(); ++i) frames[i] += many.framesPerChannel[i];
        gaps += many.gaps;
        incomplete += many.incomplete;
        if (!many.total.note.empty()) notes.push_back(many.total.note);
    }
    const auto [lo, hi] = std::minmax_element(frames.begin(), frames.end());
    const double mean = std::accumulate(frames.begin(), frames.end(), 0.0) / static_cast<double>(frames.size());
    // Jain's index: 1 when every channel got as many frames, 1/n when one got them all.
    double sum = 0, squares = 0;
    for (uint64_t f : frames) {
        sum += static_cast<double>(f);
        squares += static_cast<double>(f) * static_cast<double>(f);
    }
    const double jain = squares > 0 ? sum * sum / (static_cast<double>(frames.size()) * squares) : 0.0;
    std::printf("\nframes per channel (all rounds): min %llu, max %llu, mean %.1f; min/max %.2f, fairness index "
                "%.3f (1: all alike)\n",
                static_cast<unsigned long long>(*lo), static_cast<unsigned long long>(*hi), mean,
                *hi ? static_cast<double>(*lo) / static_cast<double>(*hi) : 0.0, jain);
    std::printf("per channel:");
    for (size_t i = 0; i < frames.size(); ++i)
        std::printf(" %zu.%zu=%llu", i / perUnit + 1, i % perUnit, static_cast<unsigned long long>(frames[i]));
    std::printf("\ncounter gaps %llu, frames incomplete %llu\n", static_cast<unsigned long long>(gaps),
                static_cast<unsigned long long>(incomplete));
    for (const auto& n : notes) std::printf("%s\n", n.c_str());
    // Each manyTotal round's seconds is the length of one run of all
    // channels; goodput is aggregate over that time.
    std::printf("ratio %d channels/one channel: aggregate goodput %.2f over all rounds, median of the rounds' "
                "ratios %.2f (at least 0.90 wanted)\n",
                units * perUnit, manyTotal.goodput() / oneTotal.goodput(), median(ratios));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"qtu-stream-bench: library goodput into the emulated unit against iperf3 and a bare sender"};
    qtubench::StreamShape shape;
    std::string iperf = "iperf3";
    bool skipIperf = false;
    bool skipBare = false;
    unsigned rounds = 1;
    unsigned batch = 16;
    std::string many;
    app.add_option("--seconds", shape.seconds, "length of each measurement")->check(CLI::Range(0.5, 30.0))
        ->capture_default_str();
    app.add_option("--max-payload", shape.maxPayload, "maxPayloadSize (8948: 8972-byte datagrams; 1448 for MTU 1500)")
        ->check(CLI::Range(8, 65483))->capture_default_str();
    app.add_option("--line-count", shape.lineCount, "blocks per frame")->check(CLI::Range(1, 4096))
        ->capture_default_str();
    app.add_option("--capacity", shape.capacity, "buffers of the emulated unit")->capture_default_str();
    app.add_option("--status-period-ms", shape.statusPeriodMs,
                   "status period of the emulated unit (0: a status whenever buffers come back)")
        ->capture_default_str();
    app.add_option("--iperf3", iperf, "iperf3 program")->capture_default_str();
    app.add_flag("--no-iperf3", skipIperf, "no iperf3 peer");
    app.add_flag("--no-bare", skipBare, "no bare sender");
    app.add_option("--bare-blocks-per-call", batch, "blocks whose messages the bare sender sends in one call")
        ->check(CLI::Range(1u, 256u))->capture_default_str();
    app.add_option("--rounds", rounds, "measurements of each sender, alternating")->check(CLI::Range(1u, 40u))
        ->capture_default_str();
    app.add_option("--sender-cpu", shape.senderCpu, "CPU of the senders and the library's threads (-1: unpinned)")
        ->capture_default_str();
    app.add_option("--unit-cpu", shape.unitCpu, "CPU of the emulated units and the iperf3 server (-1: unpinned)")
        ->capture_default_str();
    app.add_option("--many", many, "UNITSxCHANNELS: the many-channel case (e.g. 4x4) instead");
    CLI11_PARSE(app, argc, argv);
    signal(SIGPIPE, SIG_IGN);
    try {
        if (!many.empty()) {
            int units = 0, perUnit = 0;
            if (std::sscanf(many.c_str(), "%dx%d", &units, &perUnit) != 2 || units < 1 || units > 200 ||
                perUnit < 1 || perUnit > 256)
                throw std::invalid_argument("--many takes UNITSxCHANNELS, e.g. 4x4");
            return runMany(shape, rounds, units, perUnit);
        }
        return runPeers(shape, rounds, !skipIperf, !skipBare, batch, iperf);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "qtu-stream-bench: %s\n", e.what());
        return 1;
    }
}
