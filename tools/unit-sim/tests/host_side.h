// The host's side of the wire for the emulated unit's tests: a plain UDP socket
// on 127.0.0.1 and builders of request and data datagrams, written from the
// wire format (little-endian fields, 12-byte control header, 24-byte data header).
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <stdexcept>
#include <vector>

namespace hostside {

using Bytes = std::vector<uint8_t>;

inline uint16_t le16(const Bytes& b, size_t at) { return static_cast<uint16_t>(b.at(at) | (b.at(at + 1) << 8)); }
inline uint32_t le32(const Bytes& b, size_t at) {
  return static_cast<uint32_t>(le16(b, at)) | (static_cast<uint32_t>(le16(b, at + 2)) << 16);
}
inline uint64_t le64(const Bytes& b, size_t at) {
  return static_cast<uint64_t>(le32(b, at)) | (static_cast<uint64_t>(le32(b, at + 4)) << 32);
}
inline void putLe(Bytes& b, size_t at, uint64_t v, int size) {
  for (int i = 0; i < size; ++i) b.at(at + i) = static_cast<uint8_t>(v >> (8 * i));
}

// A control request: "QTU-", 'C', version 3, length, channel, command, sequence, payload.
inline Bytes request(uint8_t channel, uint16_t command, uint16_t sequence, const Bytes& payload = {}) {
  Bytes b(12 + payload.size(), 0);
  b[0] = 'Q'; b[1] = 'T'; b[2] = 'U'; b[3] = '-';
  b[4] = 0x43;
  b[5] = 3;
  b[6] = static_cast<uint8_t>(b.size());
  b[7] = channel;
  putLe(b, 8, command, 2);
  putLe(b, 10, sequence, 2);
  std::copy(payload.begin(), payload.end(), b.begin() + 12);
  return b;
}
inline Bytes u64(uint64_t v) {
  Bytes b(8);
  putLe(b, 0, v, 8);
  return b;
}
inline Bytes geometry(uint16_t lineSize, uint16_t lineCount) {
  Bytes b(4);
  putLe(b, 0, lineSize, 2);
  putLe(b, 2, lineCount, 2);
  return b;
}

struct Packet {
  uint16_t frame = 0, line = 0;
  uint8_t flags = 0;
  uint16_t counter = 0;
  uint8_t tag = 0;
  uint64_t timestamp = 0;
  Bytes data;
};

// A data datagram: the 24-byte header with the payload length of `data`, then `data`.
inline Bytes dataPacket(const Packet& p) {
  Bytes b(24 + p.data.size(), 0);
  putLe(b, 0, p.frame, 2);
  putLe(b, 2, p.line, 2);
  putLe(b, 4, p.data.size(), 2);
  b[6] = 3;
  b[7] = p.flags;
  putLe(b, 8, p.counter, 2);
  b[10] = p.tag;
  putLe(b, 16, p.timestamp, 8);
  std::copy(p.data.begin(), p.data.end(), b.begin() + 24);
  return b;
}

class Host {
 public:
  Host() {
    fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
    if (fd_ < 0) throw std::runtime_error("socket");
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) throw std::runtime_error("bind");
  }
  ~Host() { ::close(fd_); }
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  void send(const Bytes& b, uint16_t port, const char* ip = "127.0.0.1") const {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    ::inet_pton(AF_INET, ip, &to.sin_addr);
    if (::sendto(fd_, b.data(), b.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) !=
        static_cast<ssize_t>(b.size()))
      throw std::runtime_error("sendto");
  }

  // Sends the datagrams in one call with UDP segmentation offload: each
  // datagram but the last must have the first one's size, the last may be
  // shorter. False where the system does not segment.
  bool sendSegmented(const std::vector<Bytes>& datagrams, uint16_t port) const {
#if defined(UDP_SEGMENT)
    Bytes all;
    for (const auto& d : datagrams) all.insert(all.end(), d.begin(), d.end());
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    iovec iov{all.data(), all.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(uint16_t))] = {};
    msghdr m{};
    m.msg_name = &to;
    m.msg_namelen = sizeof to;
    m.msg_iov = &iov;
    m.msg_iovlen = 1;
    m.msg_control = control;
    m.msg_controllen = sizeof control;
    cmsghdr* c = CMSG_FIRSTHDR(&m);
    c->cmsg_level = SOL_UDP;
    c->cmsg_type = UDP_SEGMENT;
    c->cmsg_len = CMSG_LEN(sizeof(uint16_t));
    const auto segment = static_cast<uint16_t>(datagrams.front().size());
    std::memcpy(CMSG_DATA(c), &segment, sizeof segment);
    return ::sendmsg(fd_, &m, 0) == static_cast<ssize_t>(all.size());
#else
    (void)datagrams;
    (void)port;
    return false;
#endif
  }

  // Next datagram within `limit`, from anyone; `sender` gets its source address.
  std::optional<Bytes> receive(std::chrono::milliseconds limit, std::string* sender = nullptr) const {
    timeval tv{static_cast<time_t>(limit.count() / 1000), static_cast<suseconds_t>(limit.count() % 1000 * 1000)};
    if (limit.count() == 0) tv.tv_usec = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    Bytes b(2048);
    sockaddr_in from{};
    socklen_t fromLength = sizeof from;
    const ssize_t n = ::recvfrom(fd_, b.data(), b.size(), 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (n < 0) return std::nullopt;
    if (sender != nullptr) {
      char text[INET_ADDRSTRLEN] = {};
      ::inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
      *sender = text;
    }
    b.resize(static_cast<size_t>(n));
    return b;
  }

  // Next datagram that is not a status message (command 0xFF), within `limit`.
  std::optional<Bytes> reply(std::chrono::milliseconds limit = std::chrono::milliseconds(2000)) const {
    return next(limit, false);
  }
  // Next status message within `limit`.
  std::optional<Bytes> status(std::chrono::milliseconds limit = std::chrono::milliseconds(2000)) const {
    return next(limit, true);
  }

  // Sends a request and returns its reply.
  std::optional<Bytes> ask(uint16_t port, uint8_t channel, uint16_t command, uint16_t sequence,
                           const Bytes& payload = {}) const {
    send(request(channel, command, sequence, payload), port);
    return reply();
  }

 private:
  std::optional<Bytes> next(std::chrono::milliseconds limit, bool wantStatus) const {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (true) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      auto b = receive(left);
      if (!b) return std::nullopt;
      const bool isStatus = b->size() >= 12 && le16(*b, 8) == 0xFF;
      if (isStatus == wantStatus) return b;
    }
  }

  int fd_ = -1;
};

}  // namespace hostside
