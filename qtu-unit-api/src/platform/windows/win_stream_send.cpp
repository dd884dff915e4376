// Data sends on Windows: one WSASendTo per datagram, header and payload as two
// buffers, so the block is sent in place without assembling packets.
#include "platform/stream_send.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdio>
#include <cstring>

#include "wire.h"

namespace qtu::platform {

struct StreamSender::Impl {
    StreamSendMode mode = StreamSendMode::Segmented;
    SocketHandle preparedSocket = kInvalidSocket;
    sockaddr_in destination{};
};

StreamSender::StreamSender() : impl_(std::make_unique<Impl>()) {}
StreamSender::~StreamSender() = default;

void StreamSender::setMode(StreamSendMode mode) { impl_->mode = mode; }
StreamSendMode StreamSender::mode() const { return impl_->mode; }
bool StreamSender::segmentationInUse() const { return false; }

SendOutcome StreamSender::send(SocketHandle socket, const char* ip, uint16_t port, const PacketRun& run,
                               size_t* sent) {
    *sent = 0;
    Impl& s = *impl_;
    if (s.preparedSocket != socket || socket == kInvalidSocket) {
        s.destination = sockaddr_in{};
        s.destination.sin_family = AF_INET;
        s.destination.sin_port = htons(port);
        if (::inet_pton(AF_INET, ip, &s.destination.sin_addr) != 1) {
            std::fprintf(stderr, "Error: Sending data to %s:%u failed (errCode %d)\n", ip,
                         static_cast<unsigned>(port), WSAEINVAL);
            return SendOutcome::Failed;
        }
        s.preparedSocket = socket;
    }
    for (size_t i = 0; i < run.count; ++i) {
        WSABUF buffers[2];
        buffers[0].buf = reinterpret_cast<char*>(const_cast<uint8_t*>(run.headers + i * kDataHeaderSize));
        buffers[0].len = static_cast<ULONG>(kDataHeaderSize);
        buffers[1].buf = reinterpret_cast<char*>(const_cast<uint8_t*>(run.data + i * run.stride));
        buffers[1].len = static_cast<ULONG>(i + 1 == run.count ? run.lastSize : run.stride);
        const DWORD expected = buffers[0].len + buffers[1].len;
        DWORD bytes = 0;
        if (::WSASendTo(static_cast<SOCKET>(socket), buffers, 2, &bytes, 0,
                        reinterpret_cast<const sockaddr*>(&s.destination), sizeof s.destination, nullptr,
                        nullptr) != 0) {
            const int err = ::WSAGetLastError();
            std::fprintf(stderr, "Error: Sending data to %s:%u failed (errCode %d)\n", ip,
                         static_cast<unsigned>(port), err);
            return err == WSAEMSGSIZE ? SendOutcome::TooLong : SendOutcome::Failed;
        }
        if (bytes != expected) {
            std::fprintf(stderr, "Error: Bytes of sent data do not fit expected size. Sent %d bytes\n",
                         static_cast<int>(bytes));
            return SendOutcome::Failed;
        }
        ++*sent;
    }
    return SendOutcome::Sent;
}

}  // namespace qtu::platform
