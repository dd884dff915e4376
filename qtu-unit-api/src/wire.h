// Wire formats of the two protocols between the host and a QTU Unit.
//
// Control datagrams (both directions) start with the 12-byte ControlHeader;
// data datagrams (host to unit) start with the 24-byte DataPacketHeader.
// Every multi-byte field is little-endian. Fields are read and written with the
// put/get helpers below at the offsets given here, never by casting a buffer,
// so the code does not depend on the host's byte order or on alignment.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace qtu {

// ---------------------------------------------------------------------------
// Little-endian field access.

inline void put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void put64(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline uint16_t get16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t get32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t get64(const uint8_t* p) {
    return static_cast<uint64_t>(get32(p)) | (static_cast<uint64_t>(get32(p + 4)) << 32);
}

// ---------------------------------------------------------------------------
// Control protocol.

inline constexpr size_t kControlHeaderSize = 12;
inline constexpr size_t kMaxRequestSize = 20;       // header + at most 8 payload bytes
inline constexpr size_t kReplayStatusMessageSize = 28;
inline constexpr uint8_t kMagic[4] = {'Q', 'T', 'U', '-'};
inline constexpr uint8_t kDirectionRequest = 0x43;  // 'C', host to unit
inline constexpr uint8_t kDirectionReply = 0x53;    // 'S', unit to host
inline constexpr uint8_t kProtocolVersion = 3;

// Byte offsets within a control datagram.
namespace ctl {
inline constexpr size_t kMagic = 0;
inline constexpr size_t kDirection = 4;
inline constexpr size_t kVersion = 5;
inline constexpr size_t kLength = 6;
inline constexpr size_t kChannel = 7;
inline constexpr size_t kCommand = 8;
inline constexpr size_t kSequence = 10;
inline constexpr size_t kPayload = 12;
// Status message payload (command 0xFF).
inline constexpr size_t kStatusByte = 12;
inline constexpr size_t kStatusUnitCounter = 14;
inline constexpr size_t kStatusFreeBuffers = 16;
inline constexpr size_t kStatusTime = 20;
inline constexpr size_t kStatusSize = 28;
// Reply payloads.
inline constexpr size_t kReplyCapacity = 16;   // GetChannelState: uint32
inline constexpr size_t kReplyTime = 12;       // time getters: uint64
inline constexpr size_t kReplyLineSize = 12;   // GetFrameSize: uint16
inline constexpr size_t kReplyLineCount = 14;  // GetFrameSize: uint16
}  // namespace ctl

// The header as laid out on the wire; documents the offsets above.
struct ControlHeader {
    uint8_t magic[4];
    uint8_t direction;
    uint8_t version;
    uint8_t length;
    uint8_t channel;
    uint8_t command[2];
    uint8_t sequence[2];
};
static_assert(sizeof(ControlHeader) == kControlHeaderSize);
static_assert(offsetof(ControlHeader, direction) == ctl::kDirection);
static_assert(offsetof(ControlHeader, version) == ctl::kVersion);
static_assert(offsetof(ControlHeader, length) == ctl::kLength);
static_assert(offsetof(ControlHeader, channel) == ctl::kChannel);
static_assert(offsetof(ControlHeader, command) == ctl::kCommand);
static_assert(offsetof(ControlHeader, sequence) == ctl::kSequence);

namespace cmd {
inline constexpr uint16_t kOutputEnableOff = 0x00;
inline constexpr uint16_t kOutputEnableOn = 0x01;
inline constexpr uint16_t kResetChannel = 0x02;
inline constexpr uint16_t kGetChannelState = 0x03;
inline constexpr uint16_t kReplayEnableOff = 0x10;
inline constexpr uint16_t kReplayEnableOn = 0x11;
inline constexpr uint16_t kClearStatusFlags = 0x12;
inline constexpr uint16_t kSetReplayOffset = 0x20;
inline constexpr uint16_t kGetReplayOffset = 0x21;
inline constexpr uint16_t kSetReplayStartTime = 0x22;
inline constexpr uint16_t kGetReplayStartTime = 0x23;
inline constexpr uint16_t kSetReplayStopTime = 0x24;
inline constexpr uint16_t kGetReplayStopTime = 0x25;
inline constexpr uint16_t kInitOutputChannel = 0x30;
inline constexpr uint16_t kGetFrameSize = 0x31;
inline constexpr uint16_t kStatus = 0xFF;
inline constexpr uint16_t kChannelNotAvailable = 0x8004;  // reply code to GetChannelState
}  // namespace cmd

// Cheap acceptance test of a datagram received on a control socket: magic,
// direction 'S', version 3, and a length byte equal to the received length.
// Datagrams shorter than a header are refused too, so that everything after
// acceptance may read the whole header.
inline bool acceptControlDatagram(const uint8_t* p, size_t len) {
    return len >= kControlHeaderSize && std::memcmp(p + ctl::kMagic, kMagic, 4) == 0 &&
           p[ctl::kDirection] == kDirectionReply && p[ctl::kVersion] == kProtocolVersion &&
           p[ctl::kLength] == len;
}

// ---------------------------------------------------------------------------
// Data protocol.

inline constexpr size_t kDataHeaderSize = 24;
inline constexpr size_t kMaxBlockSize = 65535;
inline constexpr uint8_t kFlagLastOfBlock = 0x40;
inline constexpr uint8_t kFlagLastOfFrame = 0x80;  // always together with kFlagLastOfBlock

namespace dat {
inline constexpr size_t kFrameCounter = 0;
inline constexpr size_t kLineIndex = 2;
inline constexpr size_t kPayloadLength = 4;
inline constexpr size_t kVersion = 6;
inline constexpr size_t kFlags = 7;
inline constexpr size_t kPacketCounter = 8;
inline constexpr size_t kTag = 10;
inline constexpr size_t kReserved = 11;
inline constexpr size_t kTimestamp = 16;
}  // namespace dat

struct DataPacketHeader {
    uint8_t frameCounter[2];
    uint8_t lineIndex[2];
    uint8_t payloadLength[2];
    uint8_t version;
    uint8_t flags;
    uint8_t packetCounter[2];
    uint8_t tag;
    uint8_t reserved[5];
    uint8_t timestamp[8];
};
static_assert(sizeof(DataPacketHeader) == kDataHeaderSize);
static_assert(offsetof(DataPacketHeader, lineIndex) == dat::kLineIndex);
static_assert(offsetof(DataPacketHeader, payloadLength) == dat::kPayloadLength);
static_assert(offsetof(DataPacketHeader, version) == dat::kVersion);
static_assert(offsetof(DataPacketHeader, flags) == dat::kFlags);
static_assert(offsetof(DataPacketHeader, packetCounter) == dat::kPacketCounter);
static_assert(offsetof(DataPacketHeader, tag) == dat::kTag);
static_assert(offsetof(DataPacketHeader, reserved) == dat::kReserved);
static_assert(offsetof(DataPacketHeader, timestamp) == dat::kTimestamp);

}  // namespace qtu
