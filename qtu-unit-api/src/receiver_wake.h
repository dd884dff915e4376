// Wakes the receiver thread out of its wait for readable control sockets: a
// UDP socket on 127.0.0.1 that the receiver waits on beside the endpoints and
// that sends itself a one-byte datagram. Built on the socket layer alone, so
// it works wherever the receiver's wait does (poll or select).
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"

namespace qtu {

class WakeSocket {
public:
    // Opens and binds the socket. Where 127.0.0.1 can't be bound, socket()
    // stays invalid (the socket layer has printed why) and signal() does
    // nothing: the receiver then takes up changes at its next round.
    WakeSocket();
    ~WakeSocket();
    WakeSocket(const WakeSocket&) = delete;
    WakeSocket& operator=(const WakeSocket&) = delete;

    platform::SocketHandle socket() const { return socket_; }
    bool valid() const { return socket_ != platform::kInvalidSocket; }

    // Makes the socket readable; signals before the next drain() are merged
    // into one datagram. Any thread.
    void signal();
    // Takes every wake-up datagram off the socket (the receiver thread, after
    // its wait found the socket readable).
    void drain();

    // Datagrams sent so far (tests).
    std::uint64_t signalsSent() const { return sent_.load(); }

private:
    platform::SocketHandle socket_ = platform::kInvalidSocket;
    std::uint16_t port_ = 0;
    std::atomic<bool> pending_{false};
    std::atomic<std::uint64_t> sent_{0};
};

}  // namespace qtu
