// Helpers of the library's core tests: a plain UDP socket on loopback that
// plays the unit, datagram builders, and a bounded wait for a condition.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "QZQTUApi.h"
#include "reachability.h"

namespace qtu::test {

// A UDP socket bound to `ip`:0 on loopback.
class UdpPeer {
public:
    explicit UdpPeer(const char* ip = "127.0.0.1") : ip_(ip) {
        fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        ::inet_pton(AF_INET, ip, &a.sin_addr);
        ok_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        socklen_t len = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    ~UdpPeer() {
        if (fd_ >= 0) ::close(fd_);
    }
    UdpPeer(const UdpPeer&) = delete;
    UdpPeer& operator=(const UdpPeer&) = delete;

    bool ok() const { return ok_; }
    int fd() const { return fd_; }
    uint16_t port() const { return port_; }
    const char* ip() const { return ip_.c_str(); }

    bool sendTo(const std::vector<uint8_t>& bytes, uint16_t port, const char* ip = "127.0.0.1") const {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        ::inet_pton(AF_INET, ip, &a.sin_addr);
        return ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a) ==
               static_cast<ssize_t>(bytes.size());
    }

    // One datagram, or nothing within `limit`.
    std::optional<std::vector<uint8_t>> receive(std::chrono::milliseconds limit) const {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(limit.count())) <= 0) return std::nullopt;
        std::vector<uint8_t> buf(65536);
        const ssize_t n = ::recv(fd_, buf.data(), buf.size(), 0);
        if (n < 0) return std::nullopt;
        buf.resize(static_cast<size_t>(n));
        return buf;
    }

    // One datagram with its sender, or nothing within `limit`.
    struct From {
        std::vector<uint8_t> bytes;
        std::string ip;
        uint16_t port = 0;
    };
    std::optional<From> receiveFrom(std::chrono::milliseconds limit) const {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(limit.count())) <= 0) return std::nullopt;
        From f;
        f.bytes.resize(65536);
        sockaddr_in a{};
        socklen_t len = sizeof a;
        const ssize_t n = ::recvfrom(fd_, f.bytes.data(), f.bytes.size(), 0, reinterpret_cast<sockaddr*>(&a), &len);
        if (n < 0) return std::nullopt;
        f.bytes.resize(static_cast<size_t>(n));
        char text[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
        f.ip = text;
        f.port = ntohs(a.sin_port);
        return f;
    }

private:
    std::string ip_;
    int fd_ = -1;
    bool ok_ = false;
    uint16_t port_ = 0;
};

// A unit-to-host control datagram (direction 'S', version 3).
inline std::vector<uint8_t> unitDatagram(uint8_t channel, uint16_t command, uint16_t sequence,
                                         size_t length = 12) {
    std::vector<uint8_t> d(length, 0);
    std::memcpy(d.data(), "QTU-", 4);
    d[4] = 0x53;
    d[5] = 3;
    d[6] = static_cast<uint8_t>(length);
    d[7] = channel;
    d[8] = static_cast<uint8_t>(command);
    d[9] = static_cast<uint8_t>(command >> 8);
    d[10] = static_cast<uint8_t>(sequence);
    d[11] = static_cast<uint8_t>(sequence >> 8);
    return d;
}

// A status message (command 0xFF, 28 bytes).
inline std::vector<uint8_t> statusMessage(uint8_t channel, uint8_t flags, uint16_t unitCounter,
                                          uint32_t freeBuffers, uint64_t time) {
    std::vector<uint8_t> d = unitDatagram(channel, 0xFF, 0, 28);
    d[12] = flags;
    d[14] = static_cast<uint8_t>(unitCounter);
    d[15] = static_cast<uint8_t>(unitCounter >> 8);
    for (int i = 0; i < 4; ++i) d[16 + i] = static_cast<uint8_t>(freeBuffers >> (8 * i));
    for (int i = 0; i < 8; ++i) d[20 + i] = static_cast<uint8_t>(time >> (8 * i));
    return d;
}

inline uint16_t le16(const std::vector<uint8_t>& d, size_t at) {
    return static_cast<uint16_t>(d[at] | (d[at + 1] << 8));
}

// Polls `condition` until it holds or `limit` passes.
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds limit = std::chrono::milliseconds(3000)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// A configuration pointing at a unit on 127.0.0.1.
inline QZQTU_InputInterface loopbackConfig(uint16_t controlPort, uint16_t dataBasePort = 40000,
                                           uint32_t timeoutGet = 200) {
    QZQTU_InputInterface c{};
    c.qtuControlIp = "127.0.0.1";
    c.qtuControlPort = controlPort;
    c.sensorDataIp = "127.0.0.1";
    c.sensorDataBasePort = dataBasePort;
    c.localControlIp = "127.0.0.1";
    c.localControlPort = 0;
    c.maxPayloadSize = 1400;
    c.timeoutGet = timeoutGet;
    c.timeoutStream = 200;
    return c;
}

// Reachability hooks whose diagnostic lines go to a scratch file, not stdout.
inline Reachability::Hooks quiet() {
    Reachability::Hooks h;
    h.out = std::tmpfile();
    return h;
}

}  // namespace qtu::test
