// The operating-system services the library needs: UDP sockets, waiting for
// readability, and one ICMP echo. Everything above this header is platform
// neutral; exactly one implementation (posix/ or windows/) is compiled in.
//
// The socket wrappers print their diagnostic lines themselves, to standard
// error, and report failures by their result. Error numbers in those lines are
// the platform's own (errno on POSIX, WSAGetLastError on Windows).
// No function here throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

namespace qtu::platform {

#if defined(_WIN32)
using SocketHandle = std::uintptr_t;  // SOCKET
inline constexpr SocketHandle kInvalidSocket = ~static_cast<SocketHandle>(0);
#else
using SocketHandle = int;
inline constexpr SocketHandle kInvalidSocket = -1;
#endif

// Room for a dotted IPv4 text and its NUL ("255.255.255.255").
inline constexpr std::size_t kAddressTextSize = 16;

// The last socket-layer error of the calling thread.
int lastError();

// Starts the socket library (Windows Sockets 2.2). On failure prints
// "Error: Failed to perform WSAStartup (errCode %d)" and returns; the caller
// goes on regardless. Nothing to do on POSIX.
void startSocketLibrary();

// Releases the socket library once every socket is closed. On failure prints
// "Error: Failed to perform WSACleanup (errCode %d)". Nothing to do on POSIX.
void releaseSocketLibrary();

// True when `text` is a dotted IPv4 address (inet_pton with AF_INET gives 1).
// On success stores the address in network byte order through `address` when
// it is not null.
bool parseIpv4(const char* text, std::uint32_t* address);

// Creates an IPv4 UDP socket with don't-fragment on (Linux: path-MTU discovery
// "do", so an oversized datagram is refused with "message too long" instead
// of being fragmented) and the largest send buffer the system accepts (asks
// for 2147483647; systems that refuse that get the largest power-of-two step
// below it that they take). The first failing step prints its line and the
// socket is closed. Returns kInvalidSocket on failure.
SocketHandle createUdpSocket();

// Binds `socket` to the IPv4 address text and port, then turns on address
// reuse. On any failure prints "bind failed with error %u", closes the socket,
// sets it to kInvalidSocket and returns false. An invalid socket fails too.
bool bindSocket(SocketHandle& socket, const char* ip, std::uint16_t port);

// The local port a socket is bound to (0 when it is not bound or invalid).
std::uint16_t localPort(SocketHandle socket);

enum class SendOutcome { Sent, TooLong, Failed };

// Sends one datagram of `length` bytes to the IPv4 address text and port.
// TooLong when the system refuses it as larger than the path allows (EMSGSIZE,
// WSAEMSGSIZE); Failed on any other error or when fewer bytes were sent. Each
// failure prints its line ("Error: Sending data to %s:%u failed (errCode %d)"
// or "Error: Bytes of sent data do not fit expected size. Sent %d bytes").
// Safe to call from several threads on one socket; never blocks for long.
SendOutcome sendTo(SocketHandle socket, const void* data, std::size_t length, const char* ip,
                   std::uint16_t port);

// Receives one datagram without blocking. Returns its length (> 0) and the
// sender's dotted address text in `sender`; 0 when nothing is waiting (or on a
// time-out), without a line; -1 on any other error, after printing
// "Error: Receiving data failed (errCode %d)". A datagram longer than `size`
// is cut to `size` bytes on POSIX (its length byte then fails acceptance);
// Windows Sockets refuses it with WSAEMSGSIZE, which is reported like any
// other error.
long receiveFrom(SocketHandle socket, void* buffer, std::size_t size,
                 char (&sender)[kAddressTextSize]);

// Closes the socket and sets it to kInvalidSocket; prints
// "closesocket failed with error (errCode %d)" when that fails. Does nothing
// for kInvalidSocket.
void closeSocket(SocketHandle& socket);

// Most sockets one waitReadable call can watch: select's set on Windows holds
// 64 (FD_SETSIZE); poll on POSIX has no such limit.
#if defined(_WIN32)
inline constexpr std::size_t kMaxWaitSockets = 64;
#else
inline constexpr std::size_t kMaxWaitSockets = std::numeric_limits<std::size_t>::max();
#endif

// Waits at most `timeoutMs` until at least one of the `count` sockets
// (count <= kMaxWaitSockets) is readable, and sets readable[i] accordingly.
// Returns the number of readable sockets, 0 on time-out, -1 on error
// (readable[] then all false).
int waitReadable(const SocketHandle* sockets, std::size_t count, bool* readable, int timeoutMs);

// True once the process is ending with this library still loaded (Windows:
// its DLL is detached with the process exit under way, when the system has
// already ended every other thread). Always false on POSIX, where exit
// handlers run while the other threads still do.
bool processIsEnding();

// Sleeps the calling thread.
void sleepMs(int milliseconds);

// One ICMP echo request.
enum class EchoOutcome {
    Answered,     // at least one echo reply came back in time
    NotAnswered,  // no reply in time, or the request could not be sent
    NoHandle,     // the echo facility could not be opened; `error` says why
};
struct EchoResult {
    EchoOutcome outcome;
    long error;  // the platform's error code when outcome is NoHandle, else 0
};

// Sends one echo request carrying `payload` (`length` bytes) to the IPv4
// address (network byte order) and waits up to `timeoutMs` for its reply.
// Linux: an unprivileged ICMP datagram socket where net.ipv4.ping_group_range
// allows it, else a raw ICMP socket. Prints nothing.
EchoResult icmpEcho(std::uint32_t address, const void* payload, std::size_t length, int timeoutMs);

}  // namespace qtu::platform
