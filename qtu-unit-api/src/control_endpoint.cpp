#include "control_endpoint.h"

#include <utility>

#include "channel_state.h"

namespace qtu {

std::shared_ptr<ControlEndpoint> ControlEndpoint::open(std::string localIp, std::uint16_t localPort) {
    platform::SocketHandle socket = platform::createUdpSocket();
    if (!platform::bindSocket(socket, localIp.c_str(), localPort)) return nullptr;
    try {
        return std::shared_ptr<ControlEndpoint>(
            new ControlEndpoint(std::move(localIp), localPort, socket));
    } catch (...) {
        platform::closeSocket(socket);
        throw;
    }
}

ControlEndpoint::ControlEndpoint(std::string localIp, std::uint16_t localPort,
                                 platform::SocketHandle socket)
    : localIp_(std::move(localIp)), localPort_(localPort), socket_(socket) {
    try {
        receiveBuffer_.resize(kReceiveBufferSize);
    } catch (...) {
        platform::closeSocket(socket_);
        throw;
    }
}

ControlEndpoint::~ControlEndpoint() {
    // Channels hold their endpoint, so by now no channel is left to route to.
    channels_.clear();
    platform::closeSocket(socket_);
}

}  // namespace qtu
