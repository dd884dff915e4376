// A capture of what the emulated unit receives and sends, as a pcap file
// (link type raw IPv4): each datagram with an IPv4 and a UDP header made up
// from its source and destination, time-stamped when the unit handled it.
// Any thread may write; datagrams are written whole, in the order written.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

namespace qtusim {

class Capture {
 public:
  // Creates (or truncates) the file and writes the pcap file header; throws
  // std::runtime_error when it can't.
  explicit Capture(const std::string& path);
  ~Capture();
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;

  void write(const sockaddr_in& from, const sockaddr_in& to, const uint8_t* payload, size_t length);
  uint64_t packets() const;

 private:
  mutable std::mutex mutex_;
  std::FILE* file_ = nullptr;
  uint64_t packets_ = 0;
  uint16_t ipId_ = 0;
};

// The IPv4 header checksum of `length` bytes (the checksum field taken as 0).
uint16_t ipv4Checksum(const uint8_t* header, size_t length);

}  // namespace qtusim
