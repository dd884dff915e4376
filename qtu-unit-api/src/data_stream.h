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
    static constexpr int kMaxPacketsAhead = 16000;

    explicit StreamCredit(uint32_t timeoutMs) : timeoutMs_(timeoutMs) {}

    // The credit condition for a block starting at host packet counter P with
    // the unit at U: capacity and free buffers non-zero, at least a fifth of
    // the buffers free, and P no more than 16000 packets ahead of U, counted
    // modulo 65536 so that it holds across the counters' wrap.
    static bool condition(uint32_t capacity, uint32_t freeBuffers, uint16_t hostCounter,
                          uint16_t unitCounter);
    bool holds(uint16_t hostCounter) const;

    // Returns at once when the condition holds; otherwise waits for status
    // messages until it holds or timeoutMs have passed (monotonic). False on
    // time-out.
    bool waitFor(uint16_t hostCounter);

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
    uint16_t packetCounter() const { return packetCounter_.load(std::memory_order_relaxed); }
    void setPacketCounter(uint16_t v) { packetCounter_.store(v, std::memory_order_relaxed); }

    // Packet size of every packet of a block but the last: maxPayloadSize
    // rounded down to a multiple of 8.
    size_t stride() const { return stride_; }

    platform::StreamSender& sender() { return sender_; }
    // Room for the headers of one run of packets, reused for every run.
    uint8_t* headerArea() { return headers_; }

private:
    const uint16_t maxPayloadSize_;
    const size_t stride_;
    std::atomic<uint16_t> packetCounter_{0};
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
