#include "capture.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

namespace qtusim {

namespace {

constexpr uint32_t kPcapMagic = 0xA1B2C3D4;  // microsecond time stamps, writer's byte order
constexpr uint32_t kLinkTypeRaw = 101;       // packets begin with their IP header
constexpr uint32_t kSnapLength = 65535;
constexpr size_t kIpHeader = 20;
constexpr size_t kUdpHeader = 8;

void putBe16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}

}  // namespace

uint16_t ipv4Checksum(const uint8_t* header, size_t length) {
  uint32_t sum = 0;
  for (size_t i = 0; i + 1 < length; i += 2) sum += static_cast<uint32_t>(header[i] << 8 | header[i + 1]);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

Capture::Capture(const std::string& path) {
  file_ = std::fopen(path.c_str(), "wb");
  if (file_ == nullptr) throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
  struct {
    uint32_t magic;
    uint16_t major, minor;
    int32_t zone;
    uint32_t sigfigs, snaplen, linktype;
  } header{kPcapMagic, 2, 4, 0, 0, kSnapLength, kLinkTypeRaw};
  static_assert(sizeof header == 24, "pcap file header");
  if (std::fwrite(&header, sizeof header, 1, file_) != 1) {
    std::fclose(file_);
    throw std::runtime_error("cannot write " + path);
  }
  std::fflush(file_);
}

Capture::~Capture() {
  if (file_ != nullptr) std::fclose(file_);
}

void Capture::write(const sockaddr_in& from, const sockaddr_in& to, const uint8_t* payload, size_t length) {
  const size_t udpLength = kUdpHeader + length;
  const size_t ipLength = kIpHeader + udpLength;
  if (ipLength > 65535) return;  // no IPv4 datagram is that long
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  const auto us = std::chrono::duration_cast<std::chrono::microseconds>(now).count();
  struct {
    uint32_t seconds, microseconds, captured, original;
  } record{static_cast<uint32_t>(us / 1000000), static_cast<uint32_t>(us % 1000000), static_cast<uint32_t>(ipLength),
           static_cast<uint32_t>(ipLength)};
  static_assert(sizeof record == 16, "pcap record header");

  uint8_t headers[kIpHeader + kUdpHeader] = {};
  std::lock_guard lock(mutex_);
  headers[0] = 0x45;  // IPv4, 20-byte header
  putBe16(headers + 2, static_cast<uint16_t>(ipLength));
  putBe16(headers + 4, ipId_++);
  headers[6] = 0x40;  // don't fragment
  headers[8] = 64;    // time to live
  headers[9] = 17;    // UDP
  std::memcpy(headers + 12, &from.sin_addr, 4);
  std::memcpy(headers + 16, &to.sin_addr, 4);
  putBe16(headers + 10, ipv4Checksum(headers, kIpHeader));
  std::memcpy(headers + kIpHeader, &from.sin_port, 2);  // both in network order already
  std::memcpy(headers + kIpHeader + 2, &to.sin_port, 2);
  putBe16(headers + kIpHeader + 4, static_cast<uint16_t>(udpLength));
  // UDP checksum 0: none (allowed over IPv4).
  std::fwrite(&record, sizeof record, 1, file_);
  std::fwrite(headers, sizeof headers, 1, file_);
  std::fwrite(payload, 1, length, file_);
  std::fflush(file_);
  ++packets_;
}

uint64_t Capture::packets() const {
  std::lock_guard lock(mutex_);
  return packets_;
}

}  // namespace qtusim
