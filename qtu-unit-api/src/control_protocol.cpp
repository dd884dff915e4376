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

ControlChannel::Entry* ControlChannel::findLocked(uint16_t seq) {
    for (Entry& e : pending_) {
        if (e.seq == seq) return &e;
    }
    return nullptr;
}

const ControlChannel::Entry* ControlChannel::findLocked(uint16_t seq) const {
    for (const Entry& e : pending_) {
        if (e.seq == seq) return &e;
    }
    return nullptr;
}

bool ControlChannel::answered(uint16_t seq) const {
    std::lock_guard lock(mutex_);
    const Entry* e = findLocked(seq);
    return e == nullptr || e->state != State::Waiting;
}

void ControlChannel::eraseLocked(uint16_t seq) {
    for (size_t i = 0; i < pending_.size(); ++i) {
        if (pending_[i].seq == seq) {
            pending_[i] = pending_.back();
            pending_.pop_back();
            return;
        }
    }
}

void ControlChannel::addPending(uint16_t seq) {
    std::lock_guard lock(mutex_);
    if (Entry* e = findLocked(seq)) {
        *e = Entry{seq, State::Waiting, {}};
        return;
    }
    pending_.push_back(Entry{seq, State::Waiting, {}});
}

void ControlChannel::failPending(uint16_t seq) {
    {
        std::lock_guard lock(mutex_);
        Entry* e = findLocked(seq);
        if (e == nullptr || e->state != State::Waiting) return;
        e->state = State::Failed;
    }
    answered_.notify_all();
}

bool ControlChannel::fulfil(uint16_t seq, const uint8_t* datagram, size_t len) {
    {
        std::lock_guard lock(mutex_);
        Entry* e = findLocked(seq);
        if (e == nullptr || e->state != State::Waiting) return false;
        const size_t n = std::min(len, kReplayStatusMessageSize);
        e->message = ReplayStatusMessage{};
        std::memcpy(e->message.bytes, datagram, n);
        e->message.length = static_cast<uint8_t>(std::min<size_t>(len, 255));
        e->state = State::Answered;
    }
    answered_.notify_all();
    return true;
}

QZQTU_Error ControlChannel::await(uint16_t seq, uint32_t timeoutMs, ReplayStatusMessage* out) {
    // The deadline is fixed before anything else, on the monotonic clock.
    return awaitUntil(seq, std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs), out);
}

QZQTU_Error ControlChannel::awaitUntil(uint16_t seq, std::chrono::steady_clock::time_point deadline,
                                       ReplayStatusMessage* out) {
    std::unique_lock lock(mutex_);
    if (findLocked(seq) == nullptr) return QZQTU_INTERNAL_ERROR;
    // The entry is looked up again after every wake-up: other requests add
    // and remove entries meanwhile.
    answered_.wait_until(lock, deadline, [&] { return findLocked(seq)->state != State::Waiting; });
    const Entry& e = *findLocked(seq);
    QZQTU_Error result = QZQTU_TIMEOUT;
    if (e.state == State::Failed) {
        result = QZQTU_CONTROL_SOCKET_ERROR;
    } else if (e.state == State::Answered) {
        if (out != nullptr) *out = e.message;
        result = QZQTU_OK;
    }
    eraseLocked(seq);
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
    // The deadline is fixed before anything else, on the monotonic clock.
    const uint32_t timeoutMs = ch.replyTimeoutMs.load();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    // With a timeout of 0 (teardown, which may run under M1) nobody reads.
    if (timeoutMs != 0 && ch.pump != nullptr) ch.pump->pump(ch.control, seq, deadline);
    return ch.control.awaitUntil(seq, deadline, out);
}

bool dispatch(ChannelState& ch, const uint8_t* datagram, size_t len, uint16_t* answered) {
    if (len < kControlHeaderSize) return false;
    if (datagram[ctl::kChannel] != static_cast<uint8_t>(ch.channel)) return false;
    const uint16_t command = get16(datagram + ctl::kCommand);
    if (command == cmd::kStatus) {
        // A status message too short for its fields would hand over bytes the
        // unit never sent; it is dropped like any other malformed datagram.
        if (len < ctl::kStatusSize) return false;
        applyStatusToCredit(ch.stream, datagram);
        ch.status.apply(datagram);
        return false;
    }
    const uint16_t seq = get16(datagram + ctl::kSequence);
    if (!ch.control.fulfil(seq, datagram, len)) return false;
    if (answered != nullptr) *answered = seq;
    return true;
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
