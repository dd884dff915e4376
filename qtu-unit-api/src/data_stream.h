// Flow-controlled data streaming of one channel: the unit's credit as its
// status messages report it, and the cutting of blocks into data packets.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

#include "QZQTUApi.h"
#include "platform/stream_send.h"
#include "wire.h"

namespace qtu {

struct ChannelState;

// Free buffers, capacity and the unit's packet counter, as the unit reports
// them, with the wait for enough of them.
class StreamCredit {
public:
    // Largest distance the host's packet counter may run ahead of the unit's.
    static constexpr uint64_t kMaxPacketsAhead = 16000;

    explicit StreamCredit(uint32_t timeoutMs) : timeoutMs_(timeoutMs) {}

    // How far the host is ahead of the unit when it has sent `packetsSent`
    // packets on this channel (its packet counter P is their count modulo
    // 65536) and the unit reports U as the last counter it took in: P - U
    // modulo 65536, so that it stays exact across the counters' wrap, but
    // never more than the packets sent. A U that would put the host further
    // ahead than that is not one of this channel's packets (the unit's counter
    // from an earlier stream); until the unit reports one of this stream's
    // packets, every packet sent counts as not yet taken in.
    static uint64_t packetsAhead(uint64_t packetsSent, uint16_t unitCounter);

    // The credit condition for a block about to be sent: capacity and free
    // buffers non-zero, at least a fifth of the buffers free, and the host no
    // more than 16000 packets ahead of the unit.
    static bool condition(uint32_t capacity, uint32_t freeBuffers, uint64_t packetsSent,
                          uint16_t unitCounter);
    bool holds(uint64_t packetsSent) const;

    // Returns at once when the condition holds; otherwise waits for status
    // messages until it holds or timeoutMs have passed (monotonic). False on
    // time-out.
    bool waitFor(uint64_t packetsSent);

    // Flow-control share of a status message (receiver thread).
    void applyStatus(uint32_t freeBuffers, uint16_t unitCounter);
    void setCapacity(uint32_t capacity);
    // One block went out: one buffer less, never below 0.
    void takeBlock();

    uint32_t freeBuffers() const { return free_.load(); }
    uint32_t capacity() const { return capacity_.load(); }
    uint16_t unitCounter() const { return unitCounter_.load(); }
    uint32_t timeoutMs() const { return timeoutMs_; }

private:
    std::atomic<uint32_t> free_{0};
    std::atomic<uint32_t> capacity_{0};
    std::atomic<uint16_t> unitCounter_{0};
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    const uint32_t timeoutMs_;
};

// Streaming state of one channel. Packets are not assembled in a buffer: the
// headers of a run of packets are written to one fixed area and sent together
// with the caller's data in place. Nothing is allocated per block or packet.
class StreamState {
public:
    StreamState(uint16_t maxPayloadSize, uint32_t timeoutStream);

    StreamCredit credit;
    std::atomic<uint16_t> lineCount{0};

    uint16_t maxPayloadSize() const { return maxPayloadSize_; }
    // Data packets sent on this channel since registration. The packet
    // counter of the next packet is this count modulo 65536.
    uint64_t packetsSent() const { return packetsSent_.load(std::memory_order_relaxed); }
    uint16_t packetCounter() const { return static_cast<uint16_t>(packetsSent()); }
    // Written by the streaming thread only (and by tests, to jump ahead).
    void setPacketsSent(uint64_t n) { packetsSent_.store(n, std::memory_order_relaxed); }

    // Packet size of every packet of a block but the last: maxPayloadSize
    // rounded down to a multiple of 8.
    size_t stride() const { return stride_; }

    platform::StreamSender& sender() { return sender_; }
    // Room for the headers of one run of packets, reused for every run.
    uint8_t* headerArea() { return headers_; }

private:
    const uint16_t maxPayloadSize_;
    const size_t stride_;
    std::atomic<uint64_t> packetsSent_{0};
    platform::StreamSender sender_;
    alignas(8) uint8_t headers_[platform::StreamSender::kMaxRun * kDataHeaderSize] = {};
};

// QZQTU_InitOutputChannel, QZQTU_GetFrameSize and QZQTU_ReplayStreamData on a
// channel that has been looked up and whose pointers have been checked.
QZQTU_Error initOutputChannel(ChannelState& ch, uint16_t lineSize, uint16_t lineCount);
QZQTU_Error getFrameSize(ChannelState& ch, uint16_t* lineSize, uint16_t* lineCount);
QZQTU_Error replayStreamData(ChannelState& ch, const QZQTU_StreamDataInfo& info, const uint8_t* data,
                             uint16_t length);

// Flow-control share of a status message (at least 28 bytes).
void applyStatusToCredit(StreamState& stream, const uint8_t* statusMessage);

}  // namespace qtu
