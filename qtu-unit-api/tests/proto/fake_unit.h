// A small stand-in for the unit in the library's tests: a control socket and
// one data socket per channel on 127.0.0.1, answering requests the way the
// test asks and recording every data packet it receives.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "QZQTUApi.h"

namespace qtu::test {

inline uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t le32(const uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t le64(const uint8_t* p) { return le32(p) | (static_cast<uint64_t>(le32(p + 4)) << 32); }
inline void putLe(std::vector<uint8_t>& d, size_t at, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) d[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// A unit-to-host control datagram of `length` bytes (length byte set to it).
inline std::vector<uint8_t> replyDatagram(uint8_t channel, uint16_t command, uint16_t sequence,
                                          size_t length = 28) {
    std::vector<uint8_t> d(length, 0);
    std::memcpy(d.data(), "QTU-", 4);
    d[4] = 0x53;
    d[5] = 3;
    d[6] = static_cast<uint8_t>(length);
    d[7] = channel;
    putLe(d, 8, command, 2);
    putLe(d, 10, sequence, 2);
    return d;
}

inline std::vector<uint8_t> statusDatagram(uint8_t channel, uint8_t flags, uint16_t unitCounter,
                                           uint32_t freeBuffers, uint64_t time) {
    std::vector<uint8_t> d = replyDatagram(channel, 0xFF, 0, 28);
    d[12] = flags;
    putLe(d, 14, unitCounter, 2);
    putLe(d, 16, freeBuffers, 4);
    putLe(d, 20, time, 8);
    return d;
}

inline int udpSocket(uint16_t* port) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return -1;
    int size = 64 << 20;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    *port = ntohs(a.sin_port);
    return fd;
}

// One data packet as received: the header fields and the payload.
struct DataPacket {
    uint16_t frameCounter, lineIndex, payloadLength;
    uint8_t version, flags;
    uint16_t packetCounter;
    uint8_t tag;
    bool reservedZero;
    uint64_t timestamp;
    size_t datagramSize;
    std::vector<uint8_t> payload;
};

inline DataPacket parseDataPacket(const uint8_t* p, size_t n) {
    DataPacket k{};
    k.datagramSize = n;
    if (n < 24) return k;
    k.frameCounter = le16(p);
    k.lineIndex = le16(p + 2);
    k.payloadLength = le16(p + 4);
    k.version = p[6];
    k.flags = p[7];
    k.packetCounter = le16(p + 8);
    k.tag = p[10];
    k.reservedZero = p[11] == 0 && p[12] == 0 && p[13] == 0 && p[14] == 0 && p[15] == 0;
    k.timestamp = le64(p + 16);
    k.payload.assign(p + 24, p + n);
    return k;
}

class FakeUnit {
public:
    struct Request {
        std::vector<uint8_t> bytes;
        uint8_t channel() const { return bytes.size() > 7 ? bytes[7] : 0; }
        uint16_t command() const { return bytes.size() > 9 ? le16(bytes.data() + 8) : 0; }
        uint16_t sequence() const { return bytes.size() > 11 ? le16(bytes.data() + 10) : 0; }
    };
    // Given a request, the datagrams to send back (empty: no reply).
    using Responder = std::function<std::vector<std::vector<uint8_t>>(const Request&)>;

    explicit FakeUnit(int channels = 1, bool keepPackets = true) : keepPackets_(keepPackets) {
        control_ = udpSocket(&controlPort_);
        for (int i = 0; i < channels; ++i) {
            Channel c;
            c.fd = udpSocket(&c.port);
            channels_.push_back(std::move(c));
        }
        thread_ = std::thread([this] { run(); });
    }
    ~FakeUnit() {
        stop_ = true;
        thread_.join();
        ::close(control_);
        for (auto& c : channels_) ::close(c.fd);
    }
    FakeUnit(const FakeUnit&) = delete;
    FakeUnit& operator=(const FakeUnit&) = delete;

    uint16_t controlPort() const { return controlPort_; }
    uint16_t dataPort(int channel) const { return channels_[channel].port; }

    // The interface record for channel `channel` of this unit.
    QZQTU_InputInterface config(int channel, uint16_t maxPayload = 1400, uint32_t timeoutGet = 1000,
                                uint32_t timeoutStream = 1000) const {
        QZQTU_InputInterface c{};
        c.qtuControlIp = "127.0.0.1";
        c.qtuControlPort = controlPort_;
        c.sensorDataIp = "127.0.0.1";
        c.sensorDataBasePort = static_cast<uint16_t>(dataPort(channel) - channel);
        c.localControlIp = "127.0.0.1";
        c.localControlPort = 0;
        c.maxPayloadSize = maxPayload;
        c.timeoutGet = timeoutGet;
        c.timeoutStream = timeoutStream;
        return c;
    }

    // Replaces the default answers (the request's own code, 28 bytes, the
    // values below in the payload).
    void setResponder(Responder r) {
        std::lock_guard lock(mutex_);
        responder_ = std::move(r);
    }
    // Default answers carry these.
    std::atomic<uint32_t> capacity{100};
    std::atomic<uint64_t> timeValue{0};
    std::atomic<uint16_t> lineSize{0}, lineCount{0};
    // When on, every `autoCreditEvery`-th packet that ends a block is answered
    // with a status message granting `capacity` free buffers up to that packet.
    std::atomic<bool> autoCredit{false};
    std::atomic<unsigned> autoCreditEvery{1};

    // Sends a status message to the host's control socket (the sender of the
    // last request).
    bool sendStatus(uint8_t channel, uint8_t flags, uint16_t unitCounter, uint32_t freeBuffers, uint64_t time) {
        return sendToHost(statusDatagram(channel, flags, unitCounter, freeBuffers, time));
    }
    bool sendToHost(const std::vector<uint8_t>& d) {
        sockaddr_in host;
        {
            std::lock_guard lock(mutex_);
            if (!haveHost_) return false;
            host = host_;
        }
        return ::sendto(control_, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&host), sizeof host) ==
               static_cast<ssize_t>(d.size());
    }

    std::vector<Request> requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }
    std::vector<DataPacket> packets(int channel) const {
        std::lock_guard lock(mutex_);
        return channels_[channel].packets;
    }
    size_t packetCount(int channel) const {
        std::lock_guard lock(mutex_);
        return channels_[channel].count;
    }
    // Bounded wait for a condition. It is re-tested whenever the fake unit
    // receives something and at least every millisecond, since conditions on
    // the library's side (a status message taken in) signal nothing here.
    bool waitFor(const std::function<bool()>& pred, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            if (pred()) return true;
            if (std::chrono::steady_clock::now() >= deadline) return pred();
            std::unique_lock lock(mutex_);
            changed_.wait_for(lock, std::chrono::milliseconds(1));
        }
    }
    bool waitRequests(size_t n, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
        return waitFor([&] { return requests().size() >= n; }, limit);
    }
    bool waitPackets(int channel, size_t n, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
        return waitFor([&] { return packetCount(channel) >= n; }, limit);
    }

private:
    struct Channel {
        int fd = -1;
        uint16_t port = 0;
        std::vector<DataPacket> packets;
        size_t count = 0;
        unsigned blocks = 0;  // touched by the fake's thread only
    };

    std::vector<std::vector<uint8_t>> defaultAnswer(const Request& r) {
        std::vector<uint8_t> d = replyDatagram(r.channel(), r.command(), r.sequence());
        switch (r.command()) {
        case 0x03:
            putLe(d, 16, capacity.load(), 4);
            break;
        case 0x21:
        case 0x23:
        case 0x25:
            putLe(d, 12, timeValue.load(), 8);
            break;
        case 0x31:
            putLe(d, 12, lineSize.load(), 2);
            putLe(d, 14, lineCount.load(), 2);
            break;
        default:
            break;
        }
        return {d};
    }

    void run() {
        std::vector<pollfd> fds;
        fds.push_back({control_, POLLIN, 0});
        for (auto& c : channels_) fds.push_back({c.fd, POLLIN, 0});
        std::vector<uint8_t> buf(70000);
        while (!stop_) {
            if (::poll(fds.data(), fds.size(), 20) <= 0) continue;
            if (fds[0].revents & POLLIN) handleControl(buf);
            for (size_t i = 1; i < fds.size(); ++i) {
                // Drain what is waiting so bursts do not overflow the socket.
                if (!(fds[i].revents & POLLIN)) continue;
                for (int k = 0; k < 256; ++k) {
                    const ssize_t n = ::recv(fds[i].fd, buf.data(), buf.size(), MSG_DONTWAIT);
                    if (n < 0) break;
                    handleData(static_cast<int>(i - 1), buf.data(), static_cast<size_t>(n));
                }
            }
        }
    }

    void handleControl(std::vector<uint8_t>& buf) {
        sockaddr_in from{};
        socklen_t len = sizeof from;
        const ssize_t n = ::recvfrom(control_, buf.data(), buf.size(), MSG_DONTWAIT,
                                     reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0) return;
        Request r{std::vector<uint8_t>(buf.begin(), buf.begin() + n)};
        Responder responder;
        {
            std::lock_guard lock(mutex_);
            host_ = from;
            haveHost_ = true;
            requests_.push_back(r);
            responder = responder_;
        }
        changed_.notify_all();
        const auto answers = responder ? responder(r) : defaultAnswer(r);
        for (const auto& a : answers)
            ::sendto(control_, a.data(), a.size(), 0, reinterpret_cast<sockaddr*>(&from), sizeof from);
    }

    void handleData(int channel, const uint8_t* p, size_t n) {
        DataPacket k = parseDataPacket(p, n);
        {
            std::lock_guard lock(mutex_);
            ++channels_[channel].count;
            if (keepPackets_) channels_[channel].packets.push_back(k);
        }
        changed_.notify_all();
        if (autoCredit && (k.flags & 0x40) && ++channels_[channel].blocks % autoCreditEvery == 0)
            sendStatus(static_cast<uint8_t>(channel), 0, k.packetCounter, capacity.load(), 0);
    }

    const bool keepPackets_;
    int control_ = -1;
    uint16_t controlPort_ = 0;
    std::vector<Channel> channels_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Request> requests_;
    Responder responder_;
    sockaddr_in host_{};
    bool haveHost_ = false;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace qtu::test
