// Wire layouts of the unit's two protocols, as byte offsets, and little-endian
// access. Every multi-byte field is little-endian on the wire; the helpers read
// and write byte by byte so the host's own byte order never matters.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace qtusim::wire {

// Control datagrams: a 12-byte header, then the payload.
inline constexpr size_t kMagicOffset = 0;
inline constexpr size_t kDirectionOffset = 4;
inline constexpr size_t kVersionOffset = 5;
inline constexpr size_t kLengthOffset = 6;
inline constexpr size_t kChannelOffset = 7;
inline constexpr size_t kCommandOffset = 8;
inline constexpr size_t kSequenceOffset = 10;
inline constexpr size_t kControlHeaderSize = 12;
static_assert(kSequenceOffset + 2 == kControlHeaderSize);

inline constexpr uint8_t kDirectionRequest = 0x43;  // 'C'
inline constexpr uint8_t kDirectionReply = 0x53;    // 'S'
inline constexpr uint8_t kVersion = 3;
inline constexpr char kMagic[4] = {'Q', 'T', 'U', '-'};

// Status message (command 0xFF), 28 bytes.
inline constexpr uint16_t kCommandStatus = 0xFF;
inline constexpr size_t kStatusByteOffset = 12;
inline constexpr size_t kStatusCounterOffset = 14;
inline constexpr size_t kStatusFreeOffset = 16;
inline constexpr size_t kStatusTimeOffset = 20;
inline constexpr size_t kStatusSize = 28;
static_assert(kStatusTimeOffset + 8 == kStatusSize);

// Reply payloads read by the host.
inline constexpr size_t kCapacityOffset = 16;    // reply to GetChannelState
inline constexpr size_t kTimeValueOffset = 12;   // replies to the time getters
inline constexpr size_t kLineSizeOffset = 12;    // reply to GetFrameSize, request InitOutputChannel
inline constexpr size_t kLineCountOffset = 14;

// Data datagrams: a 24-byte header, then the data bytes.
inline constexpr size_t kFrameCounterOffset = 0;
inline constexpr size_t kLineIndexOffset = 2;
inline constexpr size_t kPayloadLengthOffset = 4;
inline constexpr size_t kDataVersionOffset = 6;
inline constexpr size_t kFlagsOffset = 7;
inline constexpr size_t kPacketCounterOffset = 8;
inline constexpr size_t kTagOffset = 10;
inline constexpr size_t kReservedOffset = 11;
inline constexpr size_t kReservedSize = 5;
inline constexpr size_t kTimestampOffset = 16;
inline constexpr size_t kDataHeaderSize = 24;
static_assert(kReservedOffset + kReservedSize == kTimestampOffset);
static_assert(kTimestampOffset + 8 == kDataHeaderSize);

inline constexpr uint8_t kFlagLastOfBlock = 0x40;
inline constexpr uint8_t kFlagLastOfFrame = 0xC0;

inline uint16_t get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t get64(const uint8_t* p) {
  return static_cast<uint64_t>(get32(p)) | (static_cast<uint64_t>(get32(p + 4)) << 32);
}
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

// Writes a unit-to-host control header.
inline void putReplyHeader(uint8_t* p, uint8_t length, uint8_t channel, uint16_t command,
                           uint16_t sequence) {
  std::memcpy(p + kMagicOffset, kMagic, 4);
  p[kDirectionOffset] = kDirectionReply;
  p[kVersionOffset] = kVersion;
  p[kLengthOffset] = length;
  p[kChannelOffset] = channel;
  put16(p + kCommandOffset, command);
  put16(p + kSequenceOffset, sequence);
}

}  // namespace qtusim::wire
