// Windows Sockets and the IP Helper ICMP functions behind platform.h, and the
// DLL entry point that notes a process exit. Built by the windows preset
// (MinGW-w64) and tested under Wine. Link with ws2_32 and iphlpapi.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <icmpapi.h>
#include <windows.h>

#include <atomic>
#include <climits>
#include <cstdio>

#include "platform/platform.h"

namespace {

// Set by the DLL entry point when the process exit detaches the library.
std::atomic<bool> processEnding{false};

}  // namespace

// The C runtime calls this before it runs the library's exit handlers when
// the DLL is detached; `reserved` is non-null when the process is ending
// rather than the library being freed. In programs that link the library
// statically it is never called.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_DETACH && reserved != nullptr) processEnding.store(true);
    return TRUE;
}

namespace qtu::platform {

bool processIsEnding() { return processEnding.load(); }

namespace {

bool toSockaddr(const char* ip, std::uint16_t port, sockaddr_in& out) {
    out = sockaddr_in{};
    out.sin_family = AF_INET;
    out.sin_port = htons(port);
    return ip != nullptr && ::inet_pton(AF_INET, ip, &out.sin_addr) == 1;
}

SOCKET native(SocketHandle s) { return static_cast<SOCKET>(s); }

}  // namespace

int lastError() { return ::WSAGetLastError(); }

void startSocketLibrary() {
    WSADATA data{};
    const int rc = ::WSAStartup(MAKEWORD(2, 2), &data);
    if (rc != 0) std::fprintf(stderr, "Error: Failed to perform WSAStartup (errCode %d)\n", rc);
}

void releaseSocketLibrary() {
    if (::WSACleanup() != 0) {
        std::fprintf(stderr, "Error: Failed to perform WSACleanup (errCode %d)\n", ::WSAGetLastError());
    }
}

bool parseIpv4(const char* text, std::uint32_t* address) {
    if (text == nullptr) return false;
    in_addr a{};
    if (::inet_pton(AF_INET, text, &a) != 1) return false;
    if (address != nullptr) *address = a.s_addr;
    return true;
}

SocketHandle createUdpSocket() {
    SOCKET s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET) {
        std::fprintf(stderr, "Error: Failed to create socket (errCode %d)\n", ::WSAGetLastError());
        return kInvalidSocket;
    }
    DWORD on = 1;
    if (::setsockopt(s, IPPROTO_IP, IP_DONTFRAGMENT, reinterpret_cast<const char*>(&on), sizeof on) != 0) {
        std::fprintf(stderr, "Error: Failed activate IP_DONTFRAGMENT (errCode %d)\n", ::WSAGetLastError());
        ::closesocket(s);
        return kInvalidSocket;
    }
    // Windows takes 2147483647; step down only where a system refuses it.
    int size = INT_MAX;
    int firstError = 0;
    while (::setsockopt(s, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&size), sizeof size) != 0) {
        if (firstError == 0) firstError = ::WSAGetLastError();
        size /= 2;
        if (size < 65536) {
            std::fprintf(stderr, "Error: Failed to set socket size (errCode %d)\n", firstError);
            ::closesocket(s);
            return kInvalidSocket;
        }
    }
    return static_cast<SocketHandle>(s);
}

bool bindSocket(SocketHandle& socket, const char* ip, std::uint16_t port) {
    sockaddr_in addr{};
    int error = 0;
    if (socket == kInvalidSocket) {
        error = WSAENOTSOCK;
    } else if (!toSockaddr(ip, port, addr)) {
        error = WSAEINVAL;
    } else if (::bind(native(socket), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        error = ::WSAGetLastError();
    } else {
        BOOL on = TRUE;
        if (::setsockopt(native(socket), SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on),
                         sizeof on) == 0) {
            return true;
        }
        error = ::WSAGetLastError();
    }
    std::fprintf(stderr, "bind failed with error %u\n", static_cast<unsigned>(error));
    closeSocket(socket);
    return false;
}

std::uint16_t localPort(SocketHandle socket) {
    sockaddr_in addr{};
    int len = sizeof addr;
    if (socket == kInvalidSocket ||
        ::getsockname(native(socket), reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        return 0;
    }
    return ntohs(addr.sin_port);
}

SendOutcome sendTo(SocketHandle socket, const void* data, std::size_t length, const char* ip,
                   std::uint16_t port) {
    sockaddr_in addr{};
    int sent = SOCKET_ERROR;
    int error = WSAEINVAL;
    if (toSockaddr(ip, port, addr)) {
        sent = ::sendto(native(socket), static_cast<const char*>(data), static_cast<int>(length), 0,
                        reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
        if (sent == SOCKET_ERROR) error = ::WSAGetLastError();
    }
    if (sent == SOCKET_ERROR) {
        std::fprintf(stderr, "Error: Sending data to %s:%u failed (errCode %d)\n", ip != nullptr ? ip : "",
                     static_cast<unsigned>(port), error);
        return error == WSAEMSGSIZE ? SendOutcome::TooLong : SendOutcome::Failed;
    }
    if (static_cast<std::size_t>(sent) != length) {
        std::fprintf(stderr, "Error: Bytes of sent data do not fit expected size. Sent %d bytes\n", sent);
        return SendOutcome::Failed;
    }
    return SendOutcome::Sent;
}

long receiveFrom(SocketHandle socket, void* buffer, std::size_t size, char (&sender)[kAddressTextSize]) {
    // Never blocks: look first, so that a socket closed and reused between
    // the wait and this call can't stall the receiver.
    fd_set set;
    FD_ZERO(&set);
    FD_SET(native(socket), &set);
    timeval none{0, 0};
    const int ready = ::select(0, &set, nullptr, nullptr, &none);
    if (ready == 0) return 0;
    sockaddr_in from{};
    int fromLen = sizeof from;
    int got = SOCKET_ERROR;
    if (ready > 0) {
        got = ::recvfrom(native(socket), static_cast<char*>(buffer), static_cast<int>(size), 0,
                         reinterpret_cast<sockaddr*>(&from), &fromLen);
    }
    if (got == SOCKET_ERROR) {
        const int error = ::WSAGetLastError();
        if (error == WSAETIMEDOUT || error == WSAEWOULDBLOCK) return 0;
        // Every other error is reported, among them a datagram longer than
        // the buffer (WSAEMSGSIZE; such a datagram is never accepted) and the
        // ICMP report of an earlier send (WSAECONNRESET).
        std::fprintf(stderr, "Error: Receiving data failed (errCode %d)\n", error);
        return -1;
    }
    if (::inet_ntop(AF_INET, &from.sin_addr, sender, kAddressTextSize) == nullptr) sender[0] = '\0';
    return got;
}

void closeSocket(SocketHandle& socket) {
    if (socket == kInvalidSocket) return;
    if (::closesocket(native(socket)) != 0) {
        std::fprintf(stderr, "closesocket failed with error (errCode %d)\n", ::WSAGetLastError());
    }
    socket = kInvalidSocket;
}

int waitReadable(const SocketHandle* sockets, std::size_t count, bool* readable, int timeoutMs) {
    if (count > FD_SETSIZE) count = FD_SETSIZE;  // 64 by default
    fd_set set;
    FD_ZERO(&set);
    for (std::size_t i = 0; i < count; ++i) {
        readable[i] = false;
        FD_SET(native(sockets[i]), &set);
    }
    timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    const int n = ::select(0, &set, nullptr, nullptr, &tv);
    if (n <= 0) return n < 0 ? -1 : 0;
    int ready = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (FD_ISSET(native(sockets[i]), &set)) {
            readable[i] = true;
            ++ready;
        }
    }
    return ready;
}

void sleepMs(int milliseconds) { ::Sleep(static_cast<DWORD>(milliseconds)); }

EchoResult icmpEcho(std::uint32_t address, const void* payload, std::size_t length, int timeoutMs) {
    HANDLE icmp = ::IcmpCreateFile();
    if (icmp == INVALID_HANDLE_VALUE) return {EchoOutcome::NoHandle, static_cast<long>(::GetLastError())};
    // The reply buffer holds one ICMP_ECHO_REPLY, the echoed data and room
    // for an ICMP error (8 bytes).
    char reply[sizeof(ICMP_ECHO_REPLY) + 64 + 8];
    const DWORD replies = ::IcmpSendEcho(icmp, static_cast<IPAddr>(address), const_cast<void*>(payload),
                                         static_cast<WORD>(length), nullptr, reply, sizeof reply,
                                         static_cast<DWORD>(timeoutMs));
    ::IcmpCloseHandle(icmp);
    return {replies > 0 ? EchoOutcome::Answered : EchoOutcome::NotAnswered, 0};
}

}  // namespace qtu::platform
