// The measurements of qtu-stream-bench: goodput and sender CPU of the
// library, of the bare sender and of iperf3, into the emulated unit (iperf3:
// into its own server), and the many-channel case.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qtubench {

struct StreamShape {
    uint16_t maxPayload = 8948;  // 8972-byte datagrams
    uint16_t blockBytes = 65535;
    uint16_t lineCount = 16;
    uint32_t capacity = 512;
    unsigned statusPeriodMs = 0;
    double seconds = 3;
    // CPUs of the sending side (sender, library threads) and of the unit
    // (emulated unit threads, iperf3 server); -1: where the scheduler puts
    // them. On loopback the receive work runs on the sender's CPU or the
    // unit's, wherever each thread happens to sit, and the same sender was
    // seen at 2 GB/s in one round and 6 in the next; pinning gives every
    // sender the same placement.
    int senderCpu = -1;
    int unitCpu = -1;
};

struct Figures {
    double seconds = 0;          // sending time
    double cpuSeconds = 0;       // user + system of the sender
    uint64_t bytesSent = 0;      // payload bytes handed to the network
    uint64_t bytesIntact = 0;    // payload bytes that arrived intact
    uint64_t datagrams = 0;
    uint64_t datagramsLost = 0;
    double otherCpuSeconds = 0;  // the library's receiver thread meanwhile
    std::string note;

    void add(const Figures& f);
    double goodput() const { return seconds > 0 ? bytesIntact / seconds : 0; }
    double cpuPerGbSent() const { return bytesSent ? cpuSeconds / (bytesSent / 1e9) : 0; }
};

// QZQTU_ReplayStreamData on one channel into an emulated unit on 127.0.0.1.
Figures measureLibrary(const StreamShape& shape);
// The bare sender (bare_sender.c) into an emulated unit on 127.0.0.1.
Figures measureBare(const StreamShape& shape, unsigned blocksPerCall);
// iperf3 UDP with datagrams of maxPayload + 24 bytes, client to server on 127.0.0.1.
Figures measureIperf(const std::string& iperf, const StreamShape& shape);

// `channels` channels on `units` emulated units (127.0.0.1, .2, ...), each
// channel streamed by its own thread at once.
struct ManyFigures {
    Figures total;
    std::vector<uint64_t> framesPerChannel;  // complete at the units
    uint64_t gaps = 0;                       // packet counter gaps at the units
    uint64_t incomplete = 0;                 // frames incomplete at the units
};
ManyFigures measureManyChannels(const StreamShape& shape, int units, int channelsPerUnit);

}  // namespace qtubench
