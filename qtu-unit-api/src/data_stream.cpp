#include "data_stream.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "channel_state.h"
#include "control_protocol.h"

namespace qtu {

// ---------------------------------------------------------------------------
// StreamCredit

uint64_t StreamCredit::packetsAhead(uint64_t packetsSent, uint16_t unitCounter) {
    const auto hostCounter = static_cast<uint16_t>(packetsSent);
    const uint64_t modular = static_cast<uint16_t>(hostCounter - unitCounter);
    return std::min(modular, packetsSent);
}

bool StreamCredit::condition(uint32_t capacity, uint32_t freeBuffers, uint64_t packetsSent,
                             uint16_t unitCounter) {
    if (capacity == 0 || freeBuffers == 0) return false;
    if (static_cast<double>(freeBuffers) / static_cast<double>(capacity) < 0.2) return false;
    return packetsAhead(packetsSent, unitCounter) <= kMaxPacketsAhead;
}

bool StreamCredit::holds(uint64_t packetsSent) const {
    return condition(capacity_.load(), free_.load(), packetsSent, unitCounter_.load());
}

bool StreamCredit::waitFor(uint64_t packetsSent) {
    if (holds(packetsSent)) return true;
    std::unique_lock lock(mutex_);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs_);
    // wait_until re-tests after every wake-up and once more at the deadline.
    return cv_.wait_until(lock, deadline, [&] { return holds(packetsSent); });
}

void StreamCredit::applyStatus(uint32_t freeBuffers, uint16_t unitCounter) {
    {
        std::lock_guard lock(mutex_);
        free_.store(freeBuffers);
        unitCounter_.store(unitCounter);
    }
    cv_.notify_all();
}

void StreamCredit::setCapacity(uint32_t capacity) {
    {
        std::lock_guard lock(mutex_);
        capacity_.store(capacity);
    }
    cv_.notify_all();
}

void StreamCredit::takeBlock() {
    // A status message may have set the count to 0 while the block was going
    // out; the count then stays 0 instead of wrapping to 2^32 - 1.
    uint32_t current = free_.load();
    while (current != 0 && !free_.compare_exchange_weak(current, current - 1)) {
    }
}

void applyStatusToCredit(StreamState& stream, const uint8_t* msg) {
    stream.credit.applyStatus(get32(msg + ctl::kStatusFreeBuffers), get16(msg + ctl::kStatusUnitCounter));
}

// ---------------------------------------------------------------------------
// StreamState

StreamState::StreamState(uint16_t maxPayloadSize, uint32_t timeoutStream)
    : credit(timeoutStream), maxPayloadSize_(maxPayloadSize), stride_(maxPayloadSize & ~size_t{7}) {}

// ---------------------------------------------------------------------------
// Exported operations

QZQTU_Error initOutputChannel(ChannelState& ch, uint16_t lineSize, uint16_t lineCount) {
    uint8_t geometry[4];
    put16(geometry, lineSize);
    put16(geometry + 2, lineCount);
    QZQTU_Error rc = request(ch, cmd::kInitOutputChannel, geometry, sizeof geometry);
    if (rc != QZQTU_OK) return rc;
    ch.stream.lineCount.store(lineCount);
    if ((rc = request(ch, cmd::kOutputEnableOn)) != QZQTU_OK) return rc;
    if ((rc = request(ch, cmd::kReplayEnableOn)) != QZQTU_OK) return rc;
    ReplayStatusMessage reply;
    rc = requestExpect(ch, cmd::kGetChannelState, ctl::kReplyCapacity + 4, &reply);
    if (rc != QZQTU_OK) return rc;
    ch.stream.credit.setCapacity(get32(reply.bytes + ctl::kReplyCapacity));
    return QZQTU_OK;
}

QZQTU_Error getFrameSize(ChannelState& ch, uint16_t* lineSize, uint16_t* lineCount) {
    ReplayStatusMessage reply;
    const QZQTU_Error rc = requestExpect(ch, cmd::kGetFrameSize, ctl::kReplyLineCount + 2, &reply);
    if (rc != QZQTU_OK) return rc;
    *lineSize = get16(reply.bytes + ctl::kReplyLineSize);
    *lineCount = get16(reply.bytes + ctl::kReplyLineCount);
    return QZQTU_OK;
}

QZQTU_Error replayStreamData(ChannelState& ch, const QZQTU_StreamDataInfo& info, const uint8_t* data,
                             uint16_t length) {
    StreamState& stream = ch.stream;
    const size_t maxPayload = stream.maxPayloadSize();
    const size_t stride = stream.stride();
    // Below 8 bytes per packet a block longer than one packet can't advance
    // (registration refuses such a size; this keeps the loop finite anyway).
    if (length > maxPayload && stride == 0) return QZQTU_INVALID_INPUT_INTERFACE;

    const uint64_t sentBefore = stream.packetsSent();
    if (!stream.credit.waitFor(sentBefore)) return QZQTU_TIMEOUT;
    const auto first = static_cast<uint16_t>(sentBefore);

    // Every packet but the last carries `stride` bytes; the last carries what
    // is left, between 1 and maxPayloadSize bytes.
    const size_t fullPackets = length > maxPayload ? (length - maxPayload + stride - 1) / stride : 0;
    const size_t total = length == 0 ? 0 : fullPackets + 1;
    const size_t lastSize = length - fullPackets * stride;
    const bool endOfFrame = static_cast<int>(info.lineIndex) == static_cast<int>(stream.lineCount.load()) - 1;

    uint8_t header[kDataHeaderSize] = {};
    put16(header + dat::kFrameCounter, info.frameCounter);
    put16(header + dat::kLineIndex, info.lineIndex);
    header[dat::kVersion] = kProtocolVersion;
    header[dat::kTag] = info.tag;
    put64(header + dat::kTimestamp, info.timestamp);

    uint8_t* headers = stream.headerArea();
    for (size_t done = 0; done < total;) {
        const size_t count = std::min(platform::StreamSender::kMaxRun, total - done);
        const bool holdsLast = done + count == total;
        for (size_t i = 0; i < count; ++i) {
            uint8_t* h = headers + i * kDataHeaderSize;
            std::memcpy(h, header, kDataHeaderSize);
            const bool last = holdsLast && i + 1 == count;
            put16(h + dat::kPayloadLength, static_cast<uint16_t>(last ? lastSize : stride));
            h[dat::kFlags] = last ? (endOfFrame ? kFlagLastOfFrame | kFlagLastOfBlock : kFlagLastOfBlock) : 0;
            put16(h + dat::kPacketCounter, static_cast<uint16_t>(first + done + i));
        }
        const platform::PacketRun run{headers, data + done * stride, stride, holdsLast ? lastSize : stride,
                                      count};
        size_t sent = 0;
        const platform::SendOutcome outcome =
            stream.sender().send(ch.dataSocket, ch.dataIp.c_str(), ch.dataPort, run, &sent);
        stream.setPacketsSent(sentBefore + done + sent);
        if (outcome == platform::SendOutcome::TooLong) return QZQTU_PACKET_FRAGMENTATION;
        if (outcome != platform::SendOutcome::Sent) return QZQTU_DATA_SOCKET_ERROR;
        done += count;
    }
    stream.credit.takeBlock();
    return QZQTU_OK;
}

}  // namespace qtu
