#include "control_protocol.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "channel_state.h"
#include "platform/platform.h"

namespace qtu {

size_t encodeRequest(uint8_t* out, uint8_t channel, uint16_t command, uint16_t sequence,
                     const void* payload, size_t payloadLen) {
    std::memset(out, 0, kMaxRequestSize);
    payloadLen = std::min(payloadLen, kMaxRequestSize - kControlHeaderSize);
    const size_t length = kControlHeaderSize + payloadLen;
    std::memcpy(out + ctl::kMagic, kMagic, sizeof kMagic);
    out[ctl::kDirection] = kDirectionRequest;
    out[ctl::kVersion] = kProtocolVersion;
    out[ctl::kLength] = static_cast<uint8_t>(length);
    out[ctl::kChannel] = channel;
    put16(out + ctl::kCommand, command);
    put16(out + ctl::kSequence, sequence);
    if (payloadLen != 0 && payload != nullptr) std::memcpy(out + ctl::kPayload, payload, payloadLen);
    return length;
}

// ---------------------------------------------------------------------------
// ControlChannel

void ControlChannel::addPending(uint16_t seq) {
    Entry entry;
    entry.future = entry.promise.get_future();
    std::lock_guard lock(mutex_);
    pending_.insert_or_assign(seq, std::move(entry));
}

void ControlChannel::failPending(uint16_t seq) {
    std::lock_guard lock(mutex_);
    auto it = pending_.find(seq);
    if (it == pending_.end() || it->second.fulfilled) return;
    it->second.fulfilled = true;
    Outcome outcome;
    outcome.failed = true;
    it->second.promise.set_value(outcome);
}

bool ControlChannel::fulfil(uint16_t seq, const uint8_t* datagram, size_t len) {
    Outcome outcome;
    const size_t n = std::min(len, kReplayStatusMessageSize);
    std::memcpy(outcome.message.bytes, datagram, n);
    outcome.message.length = static_cast<uint8_t>(std::min<size_t>(len, 255));
    std::lock_guard lock(mutex_);
    auto it = pending_.find(seq);
    if (it == pending_.end() || it->second.fulfilled) return false;
    it->second.fulfilled = true;
    it->second.promise.set_value(outcome);
    return true;
}

QZQTU_Error ControlChannel::await(uint16_t seq, uint32_t timeoutMs, ReplayStatusMessage* out) {
    // The deadline is fixed before anything else, on the monotonic clock.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::future<Outcome> future;
    {
        std::lock_guard lock(mutex_);
        auto it = pending_.find(seq);
        if (it == pending_.end() || !it->second.future.valid()) return QZQTU_INTERNAL_ERROR;
        future = std::move(it->second.future);
    }
    QZQTU_Error result = QZQTU_TIMEOUT;
    if (future.wait_until(deadline) == std::future_status::ready) {
        const Outcome outcome = future.get();
        if (outcome.failed) {
            result = QZQTU_CONTROL_SOCKET_ERROR;
        } else {
            if (out != nullptr) *out = outcome.message;
            result = QZQTU_OK;
        }
    }
    std::lock_guard lock(mutex_);
    pending_.erase(seq);
    return result;
}

size_t ControlChannel::pendingCount() const {
    std::lock_guard lock(mutex_);
    return pending_.size();
}

// ---------------------------------------------------------------------------
// StatusSnapshot

void StatusSnapshot::apply(const uint8_t* msg) {
    const uint8_t flags = msg[ctl::kStatusByte];
    std::lock_guard lock(mutex_);
    state_.statusBit0 = flags & 1;
    state_.statusBit1 = (flags >> 1) & 1;
    state_.statusBit2 = (flags >> 2) & 1;
    state_.statusBit3 = (flags >> 3) & 1;
    state_.freeBuffers = get32(msg + ctl::kStatusFreeBuffers);
    state_.statusTime = get64(msg + ctl::kStatusTime);
    received_ = true;
}

bool StatusSnapshot::read(QZQTU_ReplayState* out) const {
    std::lock_guard lock(mutex_);
    if (!received_) return false;
    *out = state_;
    return true;
}

// ---------------------------------------------------------------------------
// Requests of a channel

uint16_t sendRequest(ChannelState& ch, uint16_t command, const void* payload, size_t payloadLen) {
    uint8_t datagram[kMaxRequestSize];
    const uint16_t seq = ch.control.takeSequence();
    const size_t length =
        encodeRequest(datagram, static_cast<uint8_t>(ch.channel), command, seq, payload, payloadLen);
    ch.control.addPending(seq);
    const platform::SendOutcome sent =
        platform::sendTo(ch.controlSocket(), datagram, length, ch.controlIp.c_str(), ch.controlPort);
    if (sent != platform::SendOutcome::Sent) ch.control.failPending(seq);
    return seq;
}

QZQTU_Error awaitReply(ChannelState& ch, uint16_t seq, ReplayStatusMessage* out) {
    return ch.control.await(seq, ch.replyTimeoutMs.load(), out);
}

void dispatch(ChannelState& ch, const uint8_t* datagram, size_t len) {
    if (len < kControlHeaderSize) return;
    if (datagram[ctl::kChannel] != static_cast<uint8_t>(ch.channel)) return;
    const uint16_t command = get16(datagram + ctl::kCommand);
    if (command == cmd::kStatus) {
        // A status message too short for its fields would hand over bytes the
        // unit never sent; it is dropped like any other malformed datagram.
        if (len < ctl::kStatusSize) return;
        applyStatusToCredit(ch.stream, datagram);
        ch.status.apply(datagram);
        return;
    }
    ch.control.fulfil(get16(datagram + ctl::kSequence), datagram, len);
}

QZQTU_Error request(ChannelState& ch, uint16_t command, const void* payload, size_t payloadLen,
                    ReplayStatusMessage* reply) {
    const uint16_t seq = sendRequest(ch, command, payload, payloadLen);
    return awaitReply(ch, seq, reply);
}

QZQTU_Error requestU64(ChannelState& ch, uint16_t command, uint64_t value) {
    uint8_t payload[8];
    put64(payload, value);
    return request(ch, command, payload, sizeof payload);
}

QZQTU_Error requestExpect(ChannelState& ch, uint16_t command, size_t needed, ReplayStatusMessage* reply) {
    const QZQTU_Error rc = request(ch, command, nullptr, 0, reply);
    if (rc != QZQTU_OK) return rc;
    // A reply with another code, or one too short to carry the value asked
    // for, is not the answer to this request.
    if (reply->command() != command || !reply->carries(0, needed)) return QZQTU_INTERNAL_ERROR;
    return QZQTU_OK;
}

}  // namespace qtu
