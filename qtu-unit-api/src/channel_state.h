// One registered output channel: its destinations, its sockets and the state
// of its control and data protocols. A ChannelState is created by
// registration and held under shared ownership (channel table, endpoint table,
// every call in flight on it); its destructor is the channel teardown.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "QZQTUApi.h"
#include "control_protocol.h"
#include "data_stream.h"
#include "platform/platform.h"

namespace qtu {

class ControlEndpoint;

struct ChannelState {
    // Copies what it keeps from `config`, creates the channel's own (unbound)
    // data socket and attaches to `endpoint`, whose socket carries the
    // channel's control requests. A data socket that can't be created leaves
    // dataSocket invalid (the socket layer has printed why); data sends then
    // fail. Throws only std::bad_alloc.
    // `pump`, when given, reads replies for a caller waiting on this channel
    // (it outlives the channel).
    ChannelState(std::int32_t channel, const QZQTU_InputInterface& config,
                 std::shared_ptr<ControlEndpoint> endpoint, ReplyPump* pump = nullptr);

    // Channel teardown: reply timeout to 0, OutputEnable off (0x00) and
    // ReplayEnable off (0x10) without waiting for replies, then the data
    // socket is closed. The endpoint is released last, so its socket is still
    // open for the two requests.
    ~ChannelState();

    ChannelState(const ChannelState&) = delete;
    ChannelState& operator=(const ChannelState&) = delete;

    const std::int32_t channel;    // 0..255
    const std::string dataIp;      // sensorDataIp
    const std::uint16_t dataPort;  // sensorDataBasePort + channel, in 16 bits
    platform::SocketHandle dataSocket;
    const std::string controlIp;   // qtuControlIp, also the routing key's text
    const std::uint16_t controlPort;

    // The shared endpoint's bound socket; valid for the channel's whole life.
    platform::SocketHandle controlSocket() const;
    const std::shared_ptr<ControlEndpoint>& endpoint() const { return endpoint_; }

    std::atomic<std::uint32_t> replyTimeoutMs;  // timeoutGet; 0 during teardown
    ReplyPump* const pump;
    const std::uint16_t maxPayloadSize;

    ControlChannel control;  // sequence counter and pending replies
    StreamState stream;      // packet buffer, counters, flow-control credit
    StatusSnapshot status;   // the unit's last status message

private:
    std::shared_ptr<ControlEndpoint> endpoint_;
};

}  // namespace qtu
