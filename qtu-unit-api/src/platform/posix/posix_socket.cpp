// POSIX sockets behind platform.h.
#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <vector>

#include "platform/platform.h"

namespace qtu::platform {

namespace {

// Linux refuses nothing here but clamps to net.core.wmem_max; other systems
// refuse sizes above their limit, so step down until one is taken.
bool setLargestSendBuffer(int fd) {
    int size = INT_MAX;
    int firstError = 0;
    while (size >= 65536) {
        if (::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size) == 0) return true;
        if (firstError == 0) firstError = errno;
        size /= 2;
    }
    errno = firstError;
    return false;
}

bool toSockaddr(const char* ip, std::uint16_t port, sockaddr_in& out) {
    out = sockaddr_in{};
    out.sin_family = AF_INET;
    out.sin_port = htons(port);
    return ip != nullptr && ::inet_pton(AF_INET, ip, &out.sin_addr) == 1;
}

}  // namespace

int lastError() { return errno; }

void startSocketLibrary() {}
void releaseSocketLibrary() {}

bool parseIpv4(const char* text, std::uint32_t* address) {
    if (text == nullptr) return false;
    in_addr a{};
    if (::inet_pton(AF_INET, text, &a) != 1) return false;
    if (address != nullptr) *address = a.s_addr;
    return true;
}

SocketHandle createUdpSocket() {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd < 0) {
        std::fprintf(stderr, "Error: Failed to create socket (errCode %d)\n", errno);
        return kInvalidSocket;
    }
#if defined(IP_MTU_DISCOVER)
    int pmtu = IP_PMTUDISC_DO;
    if (::setsockopt(fd, IPPROTO_IP, IP_MTU_DISCOVER, &pmtu, sizeof pmtu) != 0) {
#elif defined(IP_DONTFRAG)
    int on = 1;
    if (::setsockopt(fd, IPPROTO_IP, IP_DONTFRAG, &on, sizeof on) != 0) {
#else
    errno = ENOPROTOOPT;
    {
#endif
        std::fprintf(stderr, "Error: Failed activate IP_DONTFRAGMENT (errCode %d)\n", errno);
        ::close(fd);
        return kInvalidSocket;
    }
    if (!setLargestSendBuffer(fd)) {
        std::fprintf(stderr, "Error: Failed to set socket size (errCode %d)\n", errno);
        ::close(fd);
        return kInvalidSocket;
    }
    return fd;
}

bool bindSocket(SocketHandle& socket, const char* ip, std::uint16_t port) {
    sockaddr_in addr{};
    int error = 0;
    if (socket == kInvalidSocket) {
        error = EBADF;
    } else if (!toSockaddr(ip, port, addr)) {
        error = EINVAL;
    } else if (::bind(socket, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        error = errno;
    } else {
        int on = 1;
        if (::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0) return true;
        error = errno;
    }
    std::fprintf(stderr, "bind failed with error %u\n", static_cast<unsigned>(error));
    closeSocket(socket);
    return false;
}

std::uint16_t localPort(SocketHandle socket) {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (socket == kInvalidSocket ||
        ::getsockname(socket, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        return 0;
    }
    return ntohs(addr.sin_port);
}

SendOutcome sendTo(SocketHandle socket, const void* data, std::size_t length, const char* ip,
                   std::uint16_t port) {
    sockaddr_in addr{};
    ssize_t sent;
    if (!toSockaddr(ip, port, addr)) {
        errno = EINVAL;
        sent = -1;
    } else {
        do {
            sent = ::sendto(socket, data, length, MSG_NOSIGNAL,
                            reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
        } while (sent < 0 && errno == EINTR);
    }
    if (sent < 0) {
        const int error = errno;
        std::fprintf(stderr, "Error: Sending data to %s:%u failed (errCode %d)\n",
                     ip != nullptr ? ip : "", static_cast<unsigned>(port), error);
        return error == EMSGSIZE ? SendOutcome::TooLong : SendOutcome::Failed;
    }
    if (static_cast<std::size_t>(sent) != length) {
        std::fprintf(stderr, "Error: Bytes of sent data do not fit expected size. Sent %d bytes\n",
                     static_cast<int>(sent));
        return SendOutcome::Failed;
    }
    return SendOutcome::Sent;
}

long receiveFrom(SocketHandle socket, void* buffer, std::size_t size,
                 char (&sender)[kAddressTextSize]) {
    sockaddr_in from{};
    socklen_t fromLen = sizeof from;
    ssize_t got;
    do {
        // Never blocks: a socket number that was closed and reused between
        // the wait and this call must not stall the receiver.
        got = ::recvfrom(socket, buffer, size, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from),
                         &fromLen);
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ETIMEDOUT) return 0;
        std::fprintf(stderr, "Error: Receiving data failed (errCode %d)\n", errno);
        return -1;
    }
    if (from.sin_family != AF_INET ||
        ::inet_ntop(AF_INET, &from.sin_addr, sender, kAddressTextSize) == nullptr) {
        sender[0] = '\0';
    }
    return static_cast<long>(got);
}

void closeSocket(SocketHandle& socket) {
    if (socket == kInvalidSocket) return;
    if (::close(socket) != 0) {
        std::fprintf(stderr, "closesocket failed with error (errCode %d)\n", errno);
    }
    socket = kInvalidSocket;
}

int waitReadable(const SocketHandle* sockets, std::size_t count, bool* readable, int timeoutMs) {
    // poll rather than select: any number of sockets, and descriptor numbers
    // above FD_SETSIZE are fine. The set is kept per thread and only grows,
    // so a receiver that waits round after round allocates nothing.
    thread_local std::vector<pollfd> fds;
    if (fds.size() < count) fds.resize(count);
    for (std::size_t i = 0; i < count; ++i) {
        fds[i] = pollfd{sockets[i], POLLIN, 0};
        readable[i] = false;
    }
    const int n = ::poll(fds.data(), count, timeoutMs);
    if (n <= 0) return n < 0 && errno != EINTR ? -1 : 0;
    int ready = 0;
    for (std::size_t i = 0; i < count; ++i) {
        // Errors count as readable: the receive reports them and moves on.
        if (fds[i].revents & (POLLIN | POLLERR)) {
            readable[i] = true;
            ++ready;
        }
    }
    return ready;
}

bool processIsEnding() { return false; }

void sleepMs(int milliseconds) {
    timespec ts{milliseconds / 1000, static_cast<long>(milliseconds % 1000) * 1000000L};
    while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

}  // namespace qtu::platform
