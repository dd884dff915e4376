// Batched receives of one channel's data socket: recvmmsg into a receive
// area allocated once, and with UDP generic receive offload on (Linux), each
// coalesced buffer split back into the datagrams the host sent, so every one
// is checked on its own, exactly as if it had come alone.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

namespace qtusim {

// The datagrams of a received buffer of `length` bytes whose segment size is
// `segment` (0: not coalesced): consecutive pieces of `segment` bytes, the
// last one shorter or equal. Calls each(offset, size) in order.
template <typename Each>
void splitSegments(size_t length, size_t segment, Each&& each) {
  if (segment == 0 || segment >= length) {
    each(size_t{0}, length);
    return;
  }
  for (size_t offset = 0; offset < length; offset += segment)
    each(offset, length - offset < segment ? length - offset : segment);
}

class DataReceiver {
 public:
  // One datagram: its bytes, its length, whether it was cut to fit, the sender.
  using Each = std::function<void(const uint8_t* datagram, size_t length, bool truncated, const sockaddr_in& from)>;

  static constexpr int kBatch = 64;            // buffers per recvmmsg call
  static constexpr size_t kRoom = 65536;       // any UDP datagram or coalesced buffer fits

  DataReceiver();
  ~DataReceiver();
  DataReceiver(const DataReceiver&) = delete;
  DataReceiver& operator=(const DataReceiver&) = delete;

  // Asks the system to coalesce the socket's datagrams (UDP_GRO); false
  // where it can't, and datagrams then come one per buffer.
  static bool enableCoalescing(int fd);

  // One recvmmsg call, waiting for the first buffer as the socket's receive
  // time-out allows. Returns the number of buffers that came (0: none).
  size_t receive(int fd);
  // Each datagram of the buffers of the last receive, in order.
  void forEach(const Each& each);

  // Buffers and datagrams taken in so far.
  uint64_t buffers() const { return buffers_; }
  uint64_t datagrams() const { return datagrams_; }

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  int received_ = 0;
  uint64_t buffers_ = 0;
  uint64_t datagrams_ = 0;
};

}  // namespace qtusim
