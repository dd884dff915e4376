#include "data_tap.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

namespace unit_client_test {

namespace {

std::uint16_t Le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::uint64_t Le64(const std::uint8_t* p) {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

sockaddr_in Loopback(std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

}  // namespace

DataTap::DataTap(std::uint16_t unitDataPort, bool keepPayloads) : unitPort_(unitDataPort), keep_(keepPayloads) {
  socket_ = ::socket(AF_INET, SOCK_DGRAM, 0);
  out_ = ::socket(AF_INET, SOCK_DGRAM, 0);
  int buffer = 32 << 20;
  // Above the system's limit only as root; otherwise as much as it allows.
  if (::setsockopt(socket_, SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof buffer) != 0) {
    ::setsockopt(socket_, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
  }
  sockaddr_in address = Loopback(0);
  if (socket_ < 0 || out_ < 0 || ::bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    throw std::runtime_error("data tap: cannot bind a loopback socket");
  }
  socklen_t length = sizeof address;
  ::getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { Run(); });
}

DataTap::~DataTap() {
  stop_ = true;
  thread_.join();
  ::close(socket_);
  ::close(out_);
}

void DataTap::Run() {
  std::vector<std::uint8_t> datagram(65536);
  const sockaddr_in unit = Loopback(unitPort_);
  while (!stop_) {
    pollfd p{socket_, POLLIN, 0};
    if (::poll(&p, 1, 20) <= 0) continue;
    const ssize_t n = ::recv(socket_, datagram.data(), datagram.size(), 0);
    if (n <= 0) continue;
    ::sendto(out_, datagram.data(), static_cast<std::size_t>(n), 0, reinterpret_cast<const sockaddr*>(&unit),
             sizeof unit);
    if (n < 24) continue;
    const std::uint8_t* h = datagram.data();
    TappedPacket packet{Le16(h), Le16(h + 2), h[7], Le16(h + 8), Le64(h + 16), {}, Le16(h + 4)};
    if (keep_) packet.payload.assign(h + 24, h + n);
    std::lock_guard<std::mutex> guard(lock_);
    packets_.push_back(std::move(packet));
  }
}

std::vector<TappedPacket> DataTap::Packets() const {
  std::lock_guard<std::mutex> guard(lock_);
  return packets_;
}

std::vector<TappedBlock> DataTap::Blocks() const {
  std::vector<TappedBlock> blocks;
  bool open = false;
  for (const TappedPacket& packet : Packets()) {
    if (!open || blocks.back().frameCounter != packet.frameCounter || blocks.back().lineIndex != packet.lineIndex) {
      blocks.push_back({packet.frameCounter, packet.lineIndex, packet.timestamp, {}, 0});
    }
    TappedBlock& block = blocks.back();
    block.bytes.insert(block.bytes.end(), packet.payload.begin(), packet.payload.end());
    block.length += packet.payloadLength;
    open = (packet.flags & 0x40) == 0;
  }
  return blocks;
}

}  // namespace unit_client_test
