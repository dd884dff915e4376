// Sending the data packets of one block from a channel's data socket.
//
// A block is a run of datagrams that all carry `stride` payload bytes except
// the last, which carries `lastSize` (1 to maxPayloadSize bytes). Header i
// (24 bytes) goes in front of payload i; the payloads are consecutive in the
// caller's block, so nothing is copied here. Where the system offers UDP
// segmentation offload, equal-sized datagrams leave in one call; otherwise
// they are sent in batches or one by one. The datagrams on the wire are the
// same in every mode, and so is the outcome: TooLong exactly when the first
// datagram that did not go out was refused as too long for the path with
// don't-fragment set, Failed on any other error or a short send.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/platform.h"

namespace qtu::platform {

enum class StreamSendMode {
    Segmented,  // UDP segmentation offload where available, else Batched
    Batched,    // several datagrams per system call, one datagram per message
    Single,     // one system call per datagram
};

struct PacketRun {
    const uint8_t* headers;  // count × 24 bytes
    const uint8_t* data;     // payload i starts at data + i × stride
    size_t stride;           // payload bytes of every datagram but the last
    size_t lastSize;         // payload bytes of the last datagram
    size_t count;            // datagrams in the run, 1 to StreamSender::kMaxRun
};

class StreamSender {
public:
    // Largest run handed to one send(); the caller cuts longer blocks.
    static constexpr size_t kMaxRun = 64;

    StreamSender();
    ~StreamSender();
    StreamSender(const StreamSender&) = delete;
    StreamSender& operator=(const StreamSender&) = delete;

    // Chooses how datagrams go out; Segmented by default. Not thread-safe
    // against send(): the channel's streaming thread owns the sender.
    void setMode(StreamSendMode mode);
    StreamSendMode mode() const;
    // True when segmentation offload has been used and not found missing.
    bool segmentationInUse() const;

    // Sends the run to ip:port from `socket`, connecting the socket to that
    // destination on first use. *sent receives the number of datagrams that
    // went out (those before the failing one on a failure). Failures print the
    // socket layer's line.
    SendOutcome send(SocketHandle socket, const char* ip, uint16_t port, const PacketRun& run,
                     size_t* sent);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace qtu::platform
