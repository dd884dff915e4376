// Data sends on POSIX systems: a connected socket, and per run of packets
// either one sendmmsg call carrying UDP_SEGMENT messages (Linux), one
// sendmmsg call with a message per datagram, or one sendmsg per datagram.
#include "platform/stream_send.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "wire.h"

namespace qtu::platform {

namespace {

// Largest UDP payload of one IPv4 datagram: what one segmented send may carry.
constexpr size_t kMaxUdpPayload = 65535 - 20 - 8;

#if defined(__linux__) && defined(UDP_SEGMENT)
constexpr bool kHaveSegmentation = true;
#else
constexpr bool kHaveSegmentation = false;
#endif

// Errors a connected UDP socket reports for an earlier datagram (an ICMP
// error stored on the socket, taken off it by the report). An unconnected
// sendto never sees them, so the failing message is tried again, a few times
// since more ICMP errors may arrive meanwhile, before the error counts.
constexpr int kDeferredRetries = 4;

bool maybeDeferredError(int err) {
    switch (err) {
    case ECONNREFUSED:
    case EHOSTUNREACH:
    case ENETUNREACH:
    case EHOSTDOWN:
    case EPROTO:
    case EMSGSIZE:
        return true;
    default:
        return false;
    }
}

// Errors of a segmented send that mean segmentation is not available on this
// socket or path, rather than a fault of the datagrams.
bool segmentationMissing(int err) {
    return err == EIO || err == ENOPROTOOPT || err == EOPNOTSUPP || err == ENOTSUP;
}

void clearSocketError(int socket) {
    int pending = 0;
    socklen_t size = sizeof pending;
    ::getsockopt(socket, SOL_SOCKET, SO_ERROR, &pending, &size);
}

}  // namespace

struct StreamSender::Impl {
    StreamSendMode mode = StreamSendMode::Segmented;
    bool segmentationAvailable = kHaveSegmentation;
    bool segmentationUsed = false;

    SocketHandle connectedSocket = kInvalidSocket;
    sockaddr_in destination{};
    bool connected = false;

    // One run: two iovecs per datagram, at most one message per datagram.
    iovec iov[2 * kMaxRun];
    mmsghdr messages[kMaxRun];
    size_t messageFirst[kMaxRun];  // first datagram of each message
    size_t messageCount[kMaxRun];  // datagrams in each message
    size_t messageBytes[kMaxRun];  // bytes each message must send
    alignas(cmsghdr) char control[kMaxRun][CMSG_SPACE(sizeof(uint16_t))];

    bool prepareDestination(SocketHandle socket, const char* ip, uint16_t port);
    void fillMessage(size_t m, size_t first, size_t count, size_t segment);
    int sendOne(SocketHandle socket, size_t m);
    SendOutcome sendMessages(SocketHandle socket, const char* ip, uint16_t port, const PacketRun& run,
                             size_t messageTotal, size_t* sent);
    SendOutcome sendSingly(SocketHandle socket, const char* ip, uint16_t port, const PacketRun& run,
                           size_t first, size_t count, size_t* sent);
};

bool StreamSender::Impl::prepareDestination(SocketHandle socket, const char* ip, uint16_t port) {
    if (connectedSocket == socket && socket != kInvalidSocket) return true;
    destination = sockaddr_in{};
    destination.sin_family = AF_INET;
    destination.sin_port = htons(port);
    if (::inet_pton(AF_INET, ip, &destination.sin_addr) != 1) return false;
    // A connected socket skips the route lookup of every send. Where connect
    // fails the destination goes with each message instead.
    connected = socket != kInvalidSocket &&
                ::connect(socket, reinterpret_cast<const sockaddr*>(&destination), sizeof destination) == 0;
    connectedSocket = connected ? socket : kInvalidSocket;
    return true;
}

void StreamSender::Impl::fillMessage(size_t m, size_t first, size_t count, size_t segment) {
    msghdr& h = messages[m].msg_hdr;
    h = msghdr{};
    if (!connected) {
        h.msg_name = &destination;
        h.msg_namelen = sizeof destination;
    }
    h.msg_iov = &iov[2 * first];
    h.msg_iovlen = 2 * count;
    size_t bytes = 0;
    for (size_t i = first; i < first + count; ++i) bytes += iov[2 * i].iov_len + iov[2 * i + 1].iov_len;
#if defined(__linux__) && defined(UDP_SEGMENT)
    if (segment != 0) {
        h.msg_control = control[m];
        h.msg_controllen = sizeof control[m];
        cmsghdr* c = CMSG_FIRSTHDR(&h);
        c->cmsg_level = SOL_UDP;
        c->cmsg_type = UDP_SEGMENT;
        c->cmsg_len = CMSG_LEN(sizeof(uint16_t));
        const auto size = static_cast<uint16_t>(segment);
        std::memcpy(CMSG_DATA(c), &size, sizeof size);
    }
#else
    (void)segment;
#endif
    messageFirst[m] = first;
    messageCount[m] = count;
    messageBytes[m] = bytes;
}

int StreamSender::Impl::sendOne(SocketHandle socket, size_t m) {
    ssize_t n;
    do {
        n = ::sendmsg(socket, &messages[m].msg_hdr, 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return -1;
    messages[m].msg_len = static_cast<unsigned>(n);
    return 1;
}

namespace {

SendOutcome reportError(int err, const char* ip, uint16_t port) {
    std::fprintf(stderr, "Error: Sending data to %s:%u failed (errCode %d)\n", ip, static_cast<unsigned>(port),
                 err);
    return err == EMSGSIZE ? SendOutcome::TooLong : SendOutcome::Failed;
}

SendOutcome reportShort(size_t bytes) {
    std::fprintf(stderr, "Error: Bytes of sent data do not fit expected size. Sent %d bytes\n",
                 static_cast<int>(bytes));
    return SendOutcome::Failed;
}

}  // namespace

// Sends messages[0, messageTotal) in as few calls as possible. *sent counts
// the datagrams of the messages that went out.
SendOutcome StreamSender::Impl::sendMessages(SocketHandle socket, const char* ip, uint16_t port,
                                             const PacketRun& run, size_t messageTotal, size_t* sent) {
    size_t m = 0;
    int retries = 0;
    while (m < messageTotal) {
        int n;
#if defined(__linux__)
        if (messageTotal - m == 1) {
            n = sendOne(socket, m);
        } else {
            do {
                n = ::sendmmsg(socket, &messages[m], static_cast<unsigned>(messageTotal - m), 0);
            } while (n < 0 && errno == EINTR);
        }
#else
        n = sendOne(socket, m);
#endif
        if (n > 0) {
            for (int i = 0; i < n; ++i, ++m) {
                if (messages[m].msg_len != messageBytes[m]) return reportShort(messages[m].msg_len);
                *sent += messageCount[m];
            }
            // sendmmsg leaves the error of a message after the first on the
            // socket, where a later send would meet it; the failing message
            // is sent again next and gives its error then.
            if (m < messageTotal) clearSocketError(socket);
            retries = 0;
            continue;
        }
        const int err = errno;
        if (connected && retries < kDeferredRetries && maybeDeferredError(err)) {
            ++retries;
            continue;
        }
        retries = 0;
        if (messages[m].msg_hdr.msg_controllen != 0) {
            // A segmented message was refused: its segments are larger than
            // the path allows (EINVAL), or segmentation is not offered here.
            // Its datagrams go out one by one, which gives each its exact
            // outcome; if they all pass, segmentation is not usable here.
            if (err != EINVAL && !segmentationMissing(err)) return reportError(err, ip, port);
            const SendOutcome single =
                sendSingly(socket, ip, port, run, messageFirst[m], messageCount[m], sent);
            if (single != SendOutcome::Sent) return single;
            segmentationAvailable = false;
            ++m;
            continue;
        }
        return reportError(err, ip, port);
    }
    return SendOutcome::Sent;
}

SendOutcome StreamSender::Impl::sendSingly(SocketHandle socket, const char* ip, uint16_t port,
                                           const PacketRun& run, size_t first, size_t count, size_t* sent) {
    (void)run;
    for (size_t i = first; i < first + count; ++i) {
        msghdr h{};
        if (!connected) {
            h.msg_name = &destination;
            h.msg_namelen = sizeof destination;
        }
        h.msg_iov = &iov[2 * i];
        h.msg_iovlen = 2;
        const size_t expected = iov[2 * i].iov_len + iov[2 * i + 1].iov_len;
        int retries = 0;
        ssize_t n;
        for (;;) {
            n = ::sendmsg(socket, &h, 0);
            if (n >= 0) break;
            if (errno == EINTR) continue;
            if (connected && retries < kDeferredRetries && maybeDeferredError(errno)) {
                ++retries;
                continue;
            }
            break;
        }
        if (n < 0) return reportError(errno, ip, port);
        if (static_cast<size_t>(n) != expected) return reportShort(static_cast<size_t>(n));
        ++*sent;
    }
    return SendOutcome::Sent;
}

StreamSender::StreamSender() : impl_(std::make_unique<Impl>()) {}
StreamSender::~StreamSender() = default;

void StreamSender::setMode(StreamSendMode mode) { impl_->mode = mode; }
StreamSendMode StreamSender::mode() const { return impl_->mode; }
bool StreamSender::segmentationInUse() const { return impl_->segmentationUsed && impl_->segmentationAvailable; }

SendOutcome StreamSender::send(SocketHandle socket, const char* ip, uint16_t port, const PacketRun& run,
                               size_t* sent) {
    *sent = 0;
    Impl& s = *impl_;
    if (run.count == 0) return SendOutcome::Sent;
    if (!s.prepareDestination(socket, ip, port)) return reportError(EINVAL, ip, port);

    for (size_t i = 0; i < run.count; ++i) {
        s.iov[2 * i].iov_base = const_cast<uint8_t*>(run.headers + i * kDataHeaderSize);
        s.iov[2 * i].iov_len = kDataHeaderSize;
        s.iov[2 * i + 1].iov_base = const_cast<uint8_t*>(run.data + i * run.stride);
        s.iov[2 * i + 1].iov_len = i + 1 == run.count ? run.lastSize : run.stride;
    }

    if (s.mode == StreamSendMode::Single) return s.sendSingly(socket, ip, port, run, 0, run.count, sent);

    size_t messageTotal = 0;
    const size_t segment = kDataHeaderSize + run.stride;
    const size_t perMessage = std::min(kMaxRun, kMaxUdpPayload / segment);
    const bool segmented = s.mode == StreamSendMode::Segmented && s.segmentationAvailable && perMessage >= 2;
    for (size_t i = 0; i < run.count;) {
        size_t count = 1;
        if (segmented) {
            // Equal-sized datagrams, and a shorter last one at the end: the
            // kernel cuts the message into segments of `segment` bytes.
            count = std::min(perMessage, run.count - i);
            if (i + count == run.count && run.lastSize > run.stride) --count;
            count = std::max<size_t>(count, 1);
        }
        s.fillMessage(messageTotal++, i, count, count >= 2 ? segment : 0);
        if (count >= 2) s.segmentationUsed = true;
        i += count;
    }
    return s.sendMessages(socket, ip, port, run, messageTotal, sent);
}

}  // namespace qtu::platform
