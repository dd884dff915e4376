#include "channel_state.h"

#include <utility>

#include "control_endpoint.h"
#include "wire.h"

namespace qtu {

ChannelState::ChannelState(std::int32_t channelIndex, const QZQTU_InputInterface& config,
                           std::shared_ptr<ControlEndpoint> endpoint, ReplyPump* replyPump)
    : channel(channelIndex),
      dataIp(config.sensorDataIp),
      dataPort(static_cast<std::uint16_t>(config.sensorDataBasePort + channelIndex)),
      dataSocket(platform::kInvalidSocket),
      controlIp(config.qtuControlIp),
      controlPort(config.qtuControlPort),
      replyTimeoutMs(config.timeoutGet),
      pump(replyPump),
      maxPayloadSize(config.maxPayloadSize),
      stream(config.maxPayloadSize, config.timeoutStream),
      endpoint_(std::move(endpoint)) {
    // Created last: nothing above can fail after the socket exists.
    dataSocket = platform::createUdpSocket();
}

ChannelState::~ChannelState() {
    replyTimeoutMs.store(0);
    try {
        ReplayStatusMessage reply{};
        const std::uint16_t off = sendRequest(*this, cmd::kOutputEnableOff, nullptr, 0);
        (void)awaitReply(*this, off, &reply);
        const std::uint16_t replayOff = sendRequest(*this, cmd::kReplayEnableOff, nullptr, 0);
        (void)awaitReply(*this, replayOff, &reply);
    } catch (...) {
        // Teardown goes on: the unit stops on its own when the stream ends.
    }
    platform::closeSocket(dataSocket);
}

platform::SocketHandle ChannelState::controlSocket() const {
    return endpoint_ ? endpoint_->socket() : platform::kInvalidSocket;
}

}  // namespace qtu
