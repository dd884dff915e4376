// Exported functions that act on one registered channel. Each looks the
// handle up (5), checks its pointers (8), holds its own reference to the
// channel for the whole call, and never lets an exception out.
#include <exception>
#include <memory>

#include "QZQTUApi.h"
#include "channel_state.h"
#include "data_stream.h"
#include "replay_status.h"
#include "unit_api.h"

namespace {

using qtu::ChannelState;

// Runs `body` on the channel of `handle`; anything thrown becomes 1.
template <typename Body>
QZQTU_Error onChannel(int32_t handle, Body&& body) noexcept {
    try {
        const std::shared_ptr<ChannelState> channel = qtu::UnitApi::instance().find(handle);
        if (!channel) return QZQTU_INVALID_HANDLE;
        return body(*channel);
    } catch (...) {
        return QZQTU_INTERNAL_ERROR;
    }
}

}  // namespace

extern "C" {

QZQTU_API QZQTU_Error QZQTU_CALL QZQTU_InitOutputChannel(int32_t handle, uint16_t lineSize, uint16_t lineCount) {
    return onChannel(handle, [&](ChannelState& ch) -> QZQTU_Error { return qtu::initOutputChannel(ch, lineSize, lineCount); });
}

QZQTU_API QZQTU_Error QZQTU_CALL QZQTU_GetFrameSize(int32_t handle, uint16_t* lineSize, uint16_t* lineCount) {
    return onChannel(handle, [&](ChannelState& ch) -> QZQTU_Error {
        if (lineSize == nullptr || lineCount == nullptr) return QZQTU_INVALID_POINTER;
        return qtu::getFrameSize(ch, lineSize, lineCount);
    });
}

QZQTU_API QZQTU_Error QZQTU_CALL QZQTU_ReplayStreamData(int32_t handle, const QZQTU_StreamDataInfo* info,
                                                        const void* data, uint16_t length) {
    return onChannel(handle, [&](ChannelState& ch) -> QZQTU_Error {
        if (data == nullptr || info == nullptr) return QZQTU_INVALID_POINTER;
        return qtu::replayStreamData(ch, *info, static_cast<const uint8_t*>(data), length);
    });
}

QZQTU_API QZQTU_Error QZQTU_CALL QZQTU_IsOutputChannelAvailable(int32_t handle) {
    return onChannel(handle, [](ChannelState& ch) -> QZQTU_Error { return qtu::isOutputChannelAvailable(ch); });
}

QZQTU_API QZQTU_Error QZQTU_CALL QZQTU_ResetChannel(int32_t handle) {
    return onChannel(handle, [](ChannelState& ch) -> QZQTU_Error { return qtu::resetChannel(ch); });
}

QZQTU_API QZQTU_Error QZQTU_CALL QZQTU_ClearStatusFlags(int32_t handle) {
    return onChannel(handle, [](ChannelState& ch) -> QZQTU_Error { return qtu::clearStatusFlags(ch); });
}

QZQTU_API QZQTU_Error QZQTU_CALL QZQTU_SetReplayStartTime(int32_t handle, uint64_t startTime, uint64_t offset,
                                                          uint64_t stopTime) {
    return onChannel(handle,
                     [&](ChannelState& ch) -> QZQTU_Error { return qtu::setReplayStartTime(ch, startTime, offset, stopTime); });
}

QZQTU_API QZQTU_Error QZQTU_CALL QZQTU_GetReplayStartTime(int32_t handle, uint64_t* startTime, uint64_t* offset,
                                                          uint64_t* stopTime) {
    return onChannel(handle, [&](ChannelState& ch) -> QZQTU_Error {
        if (startTime == nullptr) return QZQTU_INVALID_POINTER;
        return qtu::getReplayStartTime(ch, startTime, offset, stopTime);
    });
}

QZQTU_API QZQTU_Error QZQTU_CALL QZQTU_SetReplayStopTime(int32_t handle, uint64_t stopTime) {
    return onChannel(handle, [&](ChannelState& ch) -> QZQTU_Error { return qtu::setReplayStopTime(ch, stopTime); });
}

QZQTU_API QZQTU_Error QZQTU_CALL QZQTU_GetReplayStopTime(int32_t handle, uint64_t* stopTime) {
    return onChannel(handle, [&](ChannelState& ch) -> QZQTU_Error {
        if (stopTime == nullptr) return QZQTU_INVALID_POINTER;
        return qtu::getReplayStopTime(ch, stopTime);
    });
}

QZQTU_API QZQTU_Error QZQTU_CALL QZQTU_SetReplayOffset(int32_t handle, uint64_t offset) {
    return onChannel(handle, [&](ChannelState& ch) -> QZQTU_Error { return qtu::setReplayOffset(ch, offset); });
}

QZQTU_API QZQTU_Error QZQTU_CALL QZQTU_GetReplayOffset(int32_t handle, uint64_t* offset) {
    return onChannel(handle, [&](ChannelState& ch) -> QZQTU_Error {
        if (offset == nullptr) return QZQTU_INVALID_POINTER;
        return qtu::getReplayOffset(ch, offset);
    });
}

QZQTU_API QZQTU_Error QZQTU_CALL QZQTU_GetCurrentState(int32_t handle, QZQTU_ReplayState* state) {
    return onChannel(handle, [&](ChannelState& ch) -> QZQTU_Error {
        if (state == nullptr) return QZQTU_INVALID_POINTER;
        return qtu::getCurrentState(ch, state);
    });
}

}  // extern "C"
