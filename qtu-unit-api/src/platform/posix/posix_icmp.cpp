// ICMP echo behind platform.h. Linux lets unprivileged processes send echoes
// through an ICMP datagram socket when net.ipv4.ping_group_range covers their
// group; otherwise a raw socket is needed (root or CAP_NET_RAW).
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/platform.h"

namespace qtu::platform {

namespace {

constexpr std::size_t kMaxPayload = 64;

std::uint16_t checksum(const std::uint8_t* p, std::size_t n) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i + 1 < n; i += 2) sum += static_cast<std::uint32_t>(p[i] << 8 | p[i + 1]);
    if (n & 1) sum += static_cast<std::uint32_t>(p[n - 1] << 8);
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum);
}

struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

}  // namespace

EchoResult icmpEcho(std::uint32_t address, const void* payload, std::size_t length, int timeoutMs) {
    if (length > kMaxPayload) length = kMaxPayload;

    Fd sock;
    bool raw = false;
    sock.fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (sock.fd < 0) {
        sock.fd = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
        if (sock.fd < 0) return {EchoOutcome::NoHandle, static_cast<long>(errno)};
        raw = true;
    }

    // The datagram socket's identifier is its local port, set by the kernel;
    // a raw socket sees every echo reply of the host, so make ours distinct.
    static std::atomic<std::uint16_t> nextSequence{1};
    const std::uint16_t sequence = nextSequence.fetch_add(1);
    const std::uint16_t ident = static_cast<std::uint16_t>(::getpid() ^ 0x5154);

    std::uint8_t request[8 + kMaxPayload] = {};
    request[0] = ICMP_ECHO;
    request[4] = static_cast<std::uint8_t>(ident >> 8);
    request[5] = static_cast<std::uint8_t>(ident);
    request[6] = static_cast<std::uint8_t>(sequence >> 8);
    request[7] = static_cast<std::uint8_t>(sequence);
    std::memcpy(request + 8, payload, length);
    const std::uint16_t sum = checksum(request, 8 + length);
    request[2] = static_cast<std::uint8_t>(sum >> 8);
    request[3] = static_cast<std::uint8_t>(sum);

    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = address;
    if (::sendto(sock.fd, request, 8 + length, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) !=
        static_cast<ssize_t>(8 + length)) {
        return {EchoOutcome::NotAnswered, 0};
    }

    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::uint8_t reply[1500];
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return {EchoOutcome::NotAnswered, 0};
        pollfd pfd{sock.fd, POLLIN, 0};
        const int n = ::poll(&pfd, 1, static_cast<int>(left));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return {EchoOutcome::NotAnswered, 0};

        sockaddr_in from{};
        socklen_t fromLen = sizeof from;
        const ssize_t got = ::recvfrom(sock.fd, reply, sizeof reply, MSG_DONTWAIT,
                                       reinterpret_cast<sockaddr*>(&from), &fromLen);
        if (got < 0) continue;
        const std::uint8_t* icmp = reply;
        std::size_t icmpLen = static_cast<std::size_t>(got);
        if (raw) {
            // A raw socket delivers the IP header too.
            if (icmpLen < 20) continue;
            const std::size_t ipHeader = static_cast<std::size_t>(reply[0] & 0x0F) * 4;
            if (ipHeader < 20 || icmpLen < ipHeader) continue;
            icmp += ipHeader;
            icmpLen -= ipHeader;
        }
        if (icmpLen < 8 + length || from.sin_addr.s_addr != address) continue;
        if (icmp[0] != ICMP_ECHOREPLY) continue;
        const std::uint16_t gotSequence = static_cast<std::uint16_t>(icmp[6] << 8 | icmp[7]);
        const std::uint16_t gotIdent = static_cast<std::uint16_t>(icmp[4] << 8 | icmp[5]);
        if (gotSequence != sequence || (raw && gotIdent != ident)) continue;
        if (std::memcmp(icmp + 8, payload, length) != 0) continue;
        return {EchoOutcome::Answered, 0};
    }
}

}  // namespace qtu::platform
