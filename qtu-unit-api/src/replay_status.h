// Replay times, channel reset, status flags and availability of one channel:
// each one or more control requests. The status snapshot itself is kept by
// StatusSnapshot (control_protocol.h) and needs no request.
#pragma once

#include <cstdint>

#include "QZQTUApi.h"

namespace qtu {

struct ChannelState;

// Each takes a channel that has been looked up and pointers that have been
// checked (startTime is required; offset and stopTime may be null).
QZQTU_Error setReplayStartTime(ChannelState& ch, uint64_t startTime, uint64_t offset, uint64_t stopTime);
QZQTU_Error getReplayStartTime(ChannelState& ch, uint64_t* startTime, uint64_t* offset, uint64_t* stopTime);
QZQTU_Error setReplayStopTime(ChannelState& ch, uint64_t stopTime);
QZQTU_Error getReplayStopTime(ChannelState& ch, uint64_t* stopTime);
QZQTU_Error setReplayOffset(ChannelState& ch, uint64_t offset);
QZQTU_Error getReplayOffset(ChannelState& ch, uint64_t* offset);
QZQTU_Error resetChannel(ChannelState& ch);
QZQTU_Error clearStatusFlags(ChannelState& ch);
// 0 when the unit answers GetChannelState with 0x03, 4 for 0x8004, 1 for any
// other code, or the request's failure.
QZQTU_Error isOutputChannelAvailable(ChannelState& ch);
// 0 with the last status, 14 before the first status message.
QZQTU_Error getCurrentState(ChannelState& ch, QZQTU_ReplayState* state);

}  // namespace qtu
