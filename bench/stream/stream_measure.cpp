#include "stream_measure.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <set>
#include <stdexcept>
#include <thread>

#include "QZQTUApi.h"
#include "bare_sender.h"
#include "bench_util.h"
#include "qtu_sim/unit_sim.h"

namespace qtubench {

namespace {

void requirePinned(bool pinned, const char* what, int cpu) {
    if (!pinned) throw std::runtime_error(std::string("cannot pin ") + what + " to CPU " + std::to_string(cpu));
}

struct StartedUnit {
    std::unique_ptr<qtusim::UnitSim> sim;
    std::set<pid_t> threads;  // the ones its start added
};

StartedUnit startUnit(const StreamShape& shape, const std::string& ip, int channels) {
    qtusim::Config config;
    config.bind = ip;
    config.channels = channels;
    config.capacity = shape.capacity;
    config.statusPeriodMs = shape.statusPeriodMs;
    config.drainBlocksPerSecond = 0;  // buffers come back at once: the network path is what is measured
    const std::set<pid_t> before = threadIds();
    StartedUnit unit{std::make_unique<qtusim::UnitSim>(config), {}};
    unit.sim->start();
    for (pid_t id : threadIds())
        if (!before.contains(id)) unit.threads.insert(id);
    requirePinned(pinThreads(unit.threads, shape.unitCpu), "the emulated unit", shape.unitCpu);
    return unit;
}

uint64_t packetsPerBlock(const StreamShape& shape) {
    const uint64_t stride = shape.maxPayload / 8 * 8;
    const uint64_t length = shape.blockBytes;
    return length > shape.maxPayload ? (length - shape.maxPayload + stride - 1) / stride + 1 : 1;
}

double threadCpuNow() {
    rusage u{};
    getrusage(RUSAGE_THREAD, &u);
    return cpuOf(u);
}

// One channel streamed by the calling thread until `end`.
struct ChannelRun {
    uint64_t frames = 0;
    uint64_t creditWaits = 0;
    QZQTU_Error failure = QZQTU_OK;
};

ChannelRun streamFrames(int32_t handle, const StreamShape& shape, const std::vector<uint8_t>& frame,
                        Clock::time_point end) {
    ChannelRun run;
    QZQTU_StreamDataInfo info{};
    const auto start = Clock::now();
    while (run.failure == QZQTU_OK && Clock::now() < end) {
        info.frameCounter = static_cast<uint16_t>(run.frames);
        info.timestamp = static_cast<uint64_t>((Clock::now() - start).count());
        for (uint16_t line = 0; line < shape.lineCount && run.failure == QZQTU_OK; ++line) {
            info.lineIndex = line;
            const uint8_t* block = frame.data() + size_t{line} * shape.blockBytes;
            const auto giveUp = Clock::now() + std::chrono::seconds(5);
            QZQTU_Error result;
            while ((result = QZQTU_ReplayStreamData(handle, &info, block, shape.blockBytes)) == QZQTU_TIMEOUT &&
                   Clock::now() < giveUp) {
                ++run.creditWaits;
            }
            run.failure = result;
        }
        if (run.failure == QZQTU_OK) ++run.frames;
    }
    return run;
}

int32_t openChannel(const qtusim::UnitSim& sim, const std::string& ip, int channel, const StreamShape& shape) {
    QZQTU_InputInterface input{};
    input.qtuControlIp = ip.c_str();
    input.qtuControlPort = sim.controlPort();
    input.sensorDataIp = ip.c_str();
    input.sensorDataBasePort = sim.dataBasePort();
    input.localControlIp = "127.0.0.1";
    input.maxPayloadSize = shape.maxPayload;
    input.timeoutGet = 1000;
    input.timeoutStream = 50;
    int32_t handle = -1;
    if (QZQTU_Error e = QZQTU_RegisterOutputChannel(&input, channel, &handle))
        throw std::runtime_error(std::string("QZQTU_RegisterOutputChannel: ") + QZQTU_ErrorToString(e));
    if (QZQTU_Error e = QZQTU_InitOutputChannel(handle, shape.blockBytes, shape.lineCount))
        throw std::runtime_error(std::string("QZQTU_InitOutputChannel: ") + QZQTU_ErrorToString(e));
    return handle;
}

std::vector<uint8_t> patternFrame(const StreamShape& shape) {
    std::vector<uint8_t> frame(size_t{shape.blockBytes} * shape.lineCount);
    for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(i * 7);
    return frame;
}

// Everything sent is queued at the unit already; lets it take in the rest.
qtusim::ChannelReport settle(const qtusim::UnitSim& sim, int channel, uint64_t datagrams) {
    sim.waitFor(channel, [&](const qtusim::ChannelReport& c) { return c.packets >= datagrams; },
                std::chrono::seconds(5));
    return sim.channel(channel);
}

}  // namespace

void Figures::add(const Figures& f) {
    seconds += f.seconds;
    cpuSeconds += f.cpuSeconds;
    bytesSent += f.bytesSent;
    bytesIntact += f.bytesIntact;
    datagrams += f.datagrams;
    datagramsLost += f.datagramsLost;
    otherCpuSeconds += f.otherCpuSeconds;
}

Figures measureLibrary(const StreamShape& shape) {
    // The emulated unit's threads are the ones its start adds; every other
    // thread but this one belongs to the library (its receiver thread).
    auto [sim, simThreads] = startUnit(shape, "127.0.0.1", 1);
    const int32_t handle = openChannel(*sim, "127.0.0.1", 0, shape);
    std::set<pid_t> libraryThreads;
    for (pid_t id : threadIds())
        if (!simThreads.contains(id) && id != gettid()) libraryThreads.insert(id);
    requirePinned(pinThreads(libraryThreads, shape.senderCpu), "the library's threads", shape.senderCpu);
    const double libraryCpuBefore = cpuOfThreads(libraryThreads);
    const std::vector<uint8_t> frame = patternFrame(shape);

    Figures figures;
    ChannelRun run;
    bool pinned = false;
    std::thread sender([&] {
        if (!(pinned = pinThread(shape.senderCpu))) return;
        const double cpu0 = threadCpuNow();
        const auto start = Clock::now();
        run = streamFrames(handle, shape, frame,
                           start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(shape.seconds)));
        figures.seconds = std::chrono::duration<double>(Clock::now() - start).count();
        figures.cpuSeconds = threadCpuNow() - cpu0;
    });
    sender.join();
    requirePinned(pinned, "the sender", shape.senderCpu);
    figures.otherCpuSeconds = cpuOfThreads(libraryThreads) - libraryCpuBefore;
    const uint64_t blocks = run.frames * shape.lineCount;
    figures.datagrams = blocks * packetsPerBlock(shape);
    figures.bytesSent = blocks * shape.blockBytes;
    const qtusim::ChannelReport report = settle(*sim, 0, figures.datagrams);
    figures.bytesIntact = std::min(report.framesComplete, run.frames) * frame.size();
    figures.datagramsLost = figures.datagrams > report.packets ? figures.datagrams - report.packets : 0;
    QZQTU_UnregisterOutputChannel(handle);
    sim->stop();
    char note[320];
    std::snprintf(note, sizeof note,
                  "%s%llu credit waits, %llu frames incomplete, %llu counter gaps, %.1f datagrams per receive; "
                  "receiver thread %.2f CPU s",
                  run.failure ? (std::string("stopped by ") + QZQTU_ErrorToString(run.failure) + "; ").c_str() : "",
                  static_cast<unsigned long long>(run.creditWaits),
                  static_cast<unsigned long long>(report.framesIncomplete),
                  static_cast<unsigned long long>(report.counterGaps),
                  report.receiveBuffers ? static_cast<double>(report.packets) / report.receiveBuffers : 0.0,
                  figures.otherCpuSeconds);
    figures.note = note;
    return figures;
}

Figures measureBare(const StreamShape& shape, unsigned blocksPerCall) {
    auto sim = startUnit(shape, "127.0.0.1", 1).sim;
    qtu_bare_stream stream{};
    stream.ip = "127.0.0.1";
    stream.control_port = sim->controlPort();
    stream.data_port = sim->dataBasePort();
    stream.max_payload = shape.maxPayload;
    stream.block_bytes = shape.blockBytes;
    stream.line_count = shape.lineCount;
    stream.seconds = shape.seconds;
    stream.blocks_per_call = blocksPerCall;
    qtu_bare_result result{};
    int rc = 0;
    bool pinned = false;
    std::thread sender([&] {
        if ((pinned = pinThread(shape.senderCpu))) rc = qtu_bare_send(&stream, &result);
    });
    sender.join();
    requirePinned(pinned, "the sender", shape.senderCpu);
    if (rc != 0) throw std::runtime_error(std::string("bare sender: ") + result.error);
    Figures figures;
    figures.seconds = result.seconds;
    figures.cpuSeconds = result.cpu_seconds;
    figures.datagrams = result.datagrams;
    figures.bytesSent = result.blocks * shape.blockBytes;
    const qtusim::ChannelReport report = settle(*sim, 0, figures.datagrams);
    figures.bytesIntact = std::min(report.framesComplete, result.frames) * shape.blockBytes * shape.lineCount;
    figures.datagramsLost = figures.datagrams > report.packets ? figures.datagrams - report.packets : 0;
    sim->stop();
    char note[200];
    std::snprintf(note, sizeof note, "%llu waits for the unit, %llu frames incomplete, %llu counter gaps",
                  static_cast<unsigned long long>(result.waits),
                  static_cast<unsigned long long>(report.framesIncomplete),
                  static_cast<unsigned long long>(report.counterGaps));
    figures.note = note;
    return figures;
}

ManyFigures measureManyChannels(const StreamShape& shape, int units, int channelsPerUnit) {
    std::vector<std::unique_ptr<qtusim::UnitSim>> sims;
    std::vector<std::string> ips;
    for (int u = 0; u < units; ++u) {
        ips.push_back("127.0.0." + std::to_string(u + 1));
        sims.push_back(startUnit(shape, ips.back(), channelsPerUnit).sim);
    }
    struct Channel {
        int unit, channel;
        int32_t handle;
        ChannelRun run;
        double cpu = 0;
    };
    std::vector<Channel> channels;
    for (int u = 0; u < units; ++u)
        for (int c = 0; c < channelsPerUnit; ++c)
            channels.push_back({u, c, openChannel(*sims[u], ips[u], c, shape), {}});
    const std::vector<uint8_t> frame = patternFrame(shape);

    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::atomic<bool> unpinned{false};
    Clock::time_point start{}, end{};
    std::vector<std::thread> threads;
    for (auto& ch : channels) {
        threads.emplace_back([&, c = &ch] {
            if (!pinThread(shape.senderCpu)) unpinned.store(true);
            ready.fetch_add(1);
            while (!go.load()) std::this_thread::yield();
            const double cpu0 = threadCpuNow();
            c->run = streamFrames(c->handle, shape, frame, end);
            c->cpu = threadCpuNow() - cpu0;
        });
    }
    while (ready.load() < static_cast<int>(channels.size())) std::this_thread::yield();
    start = Clock::now();
    end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(shape.seconds));
    go.store(true);
    for (auto& t : threads) t.join();
    requirePinned(!unpinned.load(), "a sender", shape.senderCpu);

    ManyFigures many;
    many.total.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    QZQTU_Error failure = QZQTU_OK;
    for (auto& ch : channels) {
        const uint64_t blocks = ch.run.frames * shape.lineCount;
        const uint64_t datagrams = blocks * packetsPerBlock(shape);
        const auto report = settle(*sims[ch.unit], ch.channel, datagrams);
        many.total.datagrams += datagrams;
        many.total.bytesSent += blocks * shape.blockBytes;
        many.total.bytesIntact += std::min(report.framesComplete, ch.run.frames) * frame.size();
        many.total.datagramsLost += datagrams > report.packets ? datagrams - report.packets : 0;
        many.total.cpuSeconds += ch.cpu;
        many.framesPerChannel.push_back(report.framesComplete);
        many.gaps += report.counterGaps;
        many.incomplete += report.framesIncomplete;
        if (ch.run.failure != QZQTU_OK) failure = ch.run.failure;
        QZQTU_UnregisterOutputChannel(ch.handle);
    }
    for (auto& sim : sims) sim->stop();
    if (failure != QZQTU_OK) many.total.note = std::string("a channel stopped by ") + QZQTU_ErrorToString(failure);
    return many;
}

}  // namespace qtubench
