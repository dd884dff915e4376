#include "receiver_wake.h"

namespace qtu {

namespace {
constexpr const char* kLoopback = "127.0.0.1";
}  // namespace

WakeSocket::WakeSocket() {
    socket_ = platform::createUdpSocket();
    if (socket_ == platform::kInvalidSocket) return;
    if (!platform::bindSocket(socket_, kLoopback, 0)) return;  // closes and invalidates it
    port_ = platform::localPort(socket_);
    if (port_ == 0) platform::closeSocket(socket_);
}

WakeSocket::~WakeSocket() { platform::closeSocket(socket_); }

void WakeSocket::signal() {
    if (!valid() || pending_.exchange(true)) return;
    static const std::uint8_t kByte = 0;
    if (platform::sendTo(socket_, &kByte, 1, kLoopback, port_) == platform::SendOutcome::Sent) {
        sent_.fetch_add(1);
    } else {
        pending_.store(false);
    }
}

void WakeSocket::drain() {
    // Cleared first: a signal that comes while draining sends a new datagram,
    // which this drain or the next wait sees.
    pending_.store(false);
    std::uint8_t buffer[16];
    char sender[platform::kAddressTextSize];
    while (platform::receiveFrom(socket_, buffer, sizeof buffer, sender) > 0) {
    }
}

}  // namespace qtu
