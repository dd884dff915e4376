#include "replay_status.h"

#include "channel_state.h"
#include "control_protocol.h"

namespace qtu {

namespace {

// A time getter: the reply must carry the command's own code and the 64-bit
// value at offset 12. Nothing is stored on failure.
QZQTU_Error getTime(ChannelState& ch, uint16_t command, uint64_t* value) {
    ReplayStatusMessage reply;
    const QZQTU_Error rc = requestExpect(ch, command, ctl::kReplyTime + 8, &reply);
    if (rc == QZQTU_OK) *value = get64(reply.bytes + ctl::kReplyTime);
    return rc;
}

}  // namespace

QZQTU_Error setReplayStartTime(ChannelState& ch, uint64_t startTime, uint64_t offset, uint64_t stopTime) {
    QZQTU_Error rc = requestU64(ch, cmd::kSetReplayStartTime, startTime);
    if (rc != QZQTU_OK) return rc;
    // 0 means "not given" for the offset and the stop time here.
    if (offset != 0 && (rc = requestU64(ch, cmd::kSetReplayOffset, offset)) != QZQTU_OK) return rc;
    if (stopTime != 0) {
        if (stopTime < startTime) return QZQTU_INVALID_TIMING;
        return requestU64(ch, cmd::kSetReplayStopTime, stopTime);
    }
    return QZQTU_OK;
}

QZQTU_Error getReplayStartTime(ChannelState& ch, uint64_t* startTime, uint64_t* offset, uint64_t* stopTime) {
    QZQTU_Error rc = getTime(ch, cmd::kGetReplayStartTime, startTime);
    if (rc != QZQTU_OK) return rc;
    if (offset != nullptr && (rc = getTime(ch, cmd::kGetReplayOffset, offset)) != QZQTU_OK) return rc;
    if (stopTime != nullptr && (rc = getTime(ch, cmd::kGetReplayStopTime, stopTime)) != QZQTU_OK) return rc;
    return QZQTU_OK;
}

QZQTU_Error setReplayStopTime(ChannelState& ch, uint64_t stopTime) {
    return requestU64(ch, cmd::kSetReplayStopTime, stopTime);
}

QZQTU_Error getReplayStopTime(ChannelState& ch, uint64_t* stopTime) {
    return getTime(ch, cmd::kGetReplayStopTime, stopTime);
}

QZQTU_Error setReplayOffset(ChannelState& ch, uint64_t offset) {
    return requestU64(ch, cmd::kSetReplayOffset, offset);
}

QZQTU_Error getReplayOffset(ChannelState& ch, uint64_t* offset) {
    return getTime(ch, cmd::kGetReplayOffset, offset);
}

QZQTU_Error resetChannel(ChannelState& ch) { return request(ch, cmd::kResetChannel); }

QZQTU_Error clearStatusFlags(ChannelState& ch) { return request(ch, cmd::kClearStatusFlags); }

QZQTU_Error isOutputChannelAvailable(ChannelState& ch) {
    ReplayStatusMessage reply;
    const QZQTU_Error rc = request(ch, cmd::kGetChannelState, nullptr, 0, &reply);
    if (rc != QZQTU_OK) return rc;
    switch (reply.command()) {
    case cmd::kGetChannelState:
        return QZQTU_OK;
    case cmd::kChannelNotAvailable:
        return QZQTU_CHANNEL_NOT_AVAILABLE;
    default:
        return QZQTU_INTERNAL_ERROR;
    }
}

QZQTU_Error getCurrentState(ChannelState& ch, QZQTU_ReplayState* state) {
    return ch.status.read(state) ? QZQTU_OK : QZQTU_DATA_NOT_AVAILABLE;
}

}  // namespace qtu
