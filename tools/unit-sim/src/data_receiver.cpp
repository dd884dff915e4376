#include "data_receiver.h"

#include <netinet/udp.h>
#include <sys/uio.h>

#include <cstring>

namespace qtusim {

namespace {
#if defined(__linux__) && defined(UDP_GRO)
constexpr bool kHaveCoalescing = true;
#else
constexpr bool kHaveCoalescing = false;
#endif
}  // namespace

struct DataReceiver::Impl {
  // Left uninitialised: only the pages that datagrams reach get touched.
  std::unique_ptr<uint8_t[]> area = std::make_unique_for_overwrite<uint8_t[]>(kBatch * kRoom);
  mmsghdr msgs[kBatch] = {};
  iovec iov[kBatch] = {};
  sockaddr_in names[kBatch] = {};
  alignas(cmsghdr) uint8_t control[kBatch][CMSG_SPACE(sizeof(int))] = {};

  Impl() {
    for (int i = 0; i < kBatch; ++i) iov[i] = {area.get() + static_cast<size_t>(i) * kRoom, kRoom};
  }
  void reset(int i) {
    msghdr& h = msgs[i].msg_hdr;
    h = msghdr{};
    h.msg_iov = &iov[i];
    h.msg_iovlen = 1;
    h.msg_name = &names[i];
    h.msg_namelen = sizeof names[i];
    h.msg_control = control[i];
    h.msg_controllen = sizeof control[i];
  }
  // The segment size the system coalesced the buffer's datagrams with (0: one datagram).
  static size_t segmentOf(msghdr& h) {
#if defined(__linux__) && defined(UDP_GRO)
    for (cmsghdr* c = CMSG_FIRSTHDR(&h); c != nullptr; c = CMSG_NXTHDR(&h, c)) {
      if (c->cmsg_level == SOL_UDP && c->cmsg_type == UDP_GRO) {
        int size = 0;
        std::memcpy(&size, CMSG_DATA(c), sizeof size);
        return size > 0 ? static_cast<size_t>(size) : 0;
      }
    }
#else
    (void)h;
#endif
    return 0;
  }
};

DataReceiver::DataReceiver() : impl_(std::make_unique<Impl>()) {}
DataReceiver::~DataReceiver() = default;

bool DataReceiver::enableCoalescing(int fd) {
  if (!kHaveCoalescing) return false;
#if defined(__linux__) && defined(UDP_GRO)
  const int on = 1;
  return ::setsockopt(fd, SOL_UDP, UDP_GRO, &on, sizeof on) == 0;
#else
  (void)fd;
  return false;
#endif
}

size_t DataReceiver::receive(int fd) {
  Impl& m = *impl_;
  for (int i = 0; i < kBatch; ++i) m.reset(i);
  const int n = ::recvmmsg(fd, m.msgs, kBatch, MSG_WAITFORONE, nullptr);
  received_ = n > 0 ? n : 0;
  buffers_ += static_cast<uint64_t>(received_);
  return static_cast<size_t>(received_);
}

void DataReceiver::forEach(const Each& each) {
  Impl& m = *impl_;
  const int n = received_;
  size_t count = 0;
  for (int i = 0; i < n; ++i) {
    msghdr& h = m.msgs[i].msg_hdr;
    const uint8_t* buffer = static_cast<const uint8_t*>(m.iov[i].iov_base);
    const size_t length = m.msgs[i].msg_len;
    const bool truncated = (h.msg_flags & MSG_TRUNC) != 0;
    const size_t segment = Impl::segmentOf(h);
    splitSegments(length, segment, [&](size_t offset, size_t size) {
      // A cut buffer loses its end: only its last datagram is short.
      each(buffer + offset, size, truncated && offset + size == length, m.names[i]);
      ++count;
    });
  }
  datagrams_ += count;
}

}  // namespace qtusim
