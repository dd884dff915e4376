// Control protocol of one channel: request datagrams, the pending-request
// table that hands each reply to its waiting caller, and the status snapshot
// kept from the unit's unsolicited status messages.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "QZQTUApi.h"
#include "wire.h"

namespace qtu {

struct ChannelState;

// Bytes 0 to 27 of a received control datagram. Bytes at or beyond `length`
// are zero; readers check `carries()` before they read a field.
struct ReplayStatusMessage {
    uint8_t bytes[kReplayStatusMessageSize] = {};
    uint8_t length = 0;  // received datagram length, at most 255 by its length byte

    uint16_t command() const { return get16(bytes + ctl::kCommand); }
    uint16_t sequence() const { return get16(bytes + ctl::kSequence); }
    // True when the datagram was long enough to hold `size` bytes at `offset`.
    bool carries(size_t offset, size_t size) const { return offset + size <= length; }
};

// Writes a request into `out` (kMaxRequestSize bytes, zero-filled first) and
// returns its length, 12 + payloadLen. payloadLen is 0, 4 or 8.
size_t encodeRequest(uint8_t* out, uint8_t channel, uint16_t command, uint16_t sequence,
                     const void* payload, size_t payloadLen);

// Per-channel request state: the sequence counter and the pending table.
class ControlChannel {
public:
    // Takes the current sequence number and advances the counter by one,
    // wrapping from 65535 to 0, in one atomic step.
    uint16_t takeSequence() { return nextSequence_.fetch_add(1, std::memory_order_relaxed); }
    uint16_t nextSequence() const { return nextSequence_.load(std::memory_order_relaxed); }

    // Enters a fresh, unfulfilled entry under `seq` (replacing any entry there).
    void addPending(uint16_t seq);
    // Fulfils the entry with a send failure, if it is still unfulfilled.
    void failPending(uint16_t seq);
    // Fulfils the entry with the datagram's first 28 bytes. Returns false and
    // changes nothing when there is no entry or it is fulfilled already.
    bool fulfil(uint16_t seq, const uint8_t* datagram, size_t len);
    // Waits for the entry until a monotonic deadline of now + timeoutMs and
    // removes it. 0 with the message, 1 when there is no entry, 9 on a send
    // failure, 11 when unfulfilled at the deadline. A timeout of 0 returns at
    // once unless the entry is fulfilled already.
    QZQTU_Error await(uint16_t seq, uint32_t timeoutMs, ReplayStatusMessage* out);
    QZQTU_Error awaitUntil(uint16_t seq, std::chrono::steady_clock::time_point deadline,
                           ReplayStatusMessage* out);
    // True when the entry is fulfilled (or gone).
    bool answered(uint16_t seq) const;

    size_t pendingCount() const;

private:
    enum class State : uint8_t { Waiting, Answered, Failed };
    struct Entry {
        uint16_t seq = 0;
        State state = State::Waiting;
        ReplayStatusMessage message;
    };
    // Under mutex_. Few entries (one per request in flight), searched
    // linearly; the vector keeps its room, so requests allocate nothing once
    // it has grown to the largest number in flight.
    Entry* findLocked(uint16_t seq);
    const Entry* findLocked(uint16_t seq) const;
    void eraseLocked(uint16_t seq);

    std::atomic<uint16_t> nextSequence_{1};
    mutable std::mutex mutex_;
    // Signalled after an entry is answered or failed, outside mutex_, so the
    // woken waiter does not run into the lock the dispatcher still holds.
    std::condition_variable answered_;
    std::vector<Entry> pending_;
};

// The channel's last status message, as QZQTU_GetCurrentState reports it.
class StatusSnapshot {
public:
    // Takes the status share of a status message (28 bytes at least).
    void apply(const uint8_t* statusMessage);
    // Copies the last status out; false before the first status message.
    bool read(QZQTU_ReplayState* out) const;

private:
    mutable std::mutex mutex_;
    QZQTU_ReplayState state_{};
    bool received_ = false;
};

// Reads replies on behalf of a waiting caller (UnitApi, where the platform
// lets a caller wait on the control sockets itself).
class ReplyPump {
public:
    virtual void pump(ControlChannel& channel, uint16_t seq, std::chrono::steady_clock::time_point deadline) = 0;

protected:
    ~ReplyPump() = default;
};

// Sends one request from the channel's control socket and returns the
// sequence number used. A send failure is stored in the pending entry.
uint16_t sendRequest(ChannelState& ch, uint16_t command, const void* payload, size_t payloadLen);

// Waits for the reply to `seq` for the channel's reply timeout: 0, 1, 9 or 11.
QZQTU_Error awaitReply(ChannelState& ch, uint16_t seq, ReplayStatusMessage* out);

// Hands one accepted datagram, routed to this channel, to its waiter or, for
// a status message, to flow control and the status snapshot. Receiver thread
// (or a caller reading for it). True when it answered a request; its
// sequence number goes to *answered.
bool dispatch(ChannelState& ch, const uint8_t* datagram, size_t len, uint16_t* answered = nullptr);

// sendRequest followed by awaitReply; the result of the wait.
QZQTU_Error request(ChannelState& ch, uint16_t command, const void* payload = nullptr,
                    size_t payloadLen = 0, ReplayStatusMessage* reply = nullptr);
// A request with a 64-bit payload.
QZQTU_Error requestU64(ChannelState& ch, uint16_t command, uint64_t value);
// A request whose reply must carry `command` as its code (else 1) and at least
// `needed` bytes; the reply lands in *reply.
QZQTU_Error requestExpect(ChannelState& ch, uint16_t command, size_t needed, ReplayStatusMessage* reply);

}  // namespace qtu
