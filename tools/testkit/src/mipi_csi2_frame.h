// VTROMipiCsi2Frame: one MIPI CSI-2 frame as a custom-structure element
// (type 0x40000, structure name "VTROMipiCsi2Frame"). The element's data
// pointer points at this byte-packed record; its packet area holds packet
// records back to back:
//
//   offset 0  u16 big-endian: record length, these 4 header bytes included
//   offset 2  u8: data type (0x00 raw densely packed ... 0x40 compressed, 0x80 metadata)
//   offset 3  u8: CSI-2 data type (0x00 frame start, 0x01 frame end, 0x2C RAW12, ...)
//   offset 4  payload: a 10-byte per-packet header, the packet data, a 2-byte trailer
//
// Readers use only the packet area's length (offset 27) and pointer (offset
// 31). The other fields are the testkit's description of the frame. This
// header stands alone so that a reader in another package can mirror it.
#pragma once

#include <cstddef>
#include <cstdint>

#pragma pack(push, 1)
struct VTROMipiCsi2Frame {
  std::uint64_t frameNumber;        // 0
  std::int64_t timestampUs;         // 8
  std::uint32_t packetCount;        // 16: records in the packet area
  std::uint16_t lineCount;          // 20: long (image) packets
  std::uint16_t wordCount;          // 22: data bytes of each long packet
  std::uint8_t virtualChannel;      // 24
  std::uint8_t reserved[2];         // 25
  std::uint32_t packetAreaSize;     // 27: bytes of the packet area
  const std::uint8_t* packetArea;   // 31
};
#pragma pack(pop)
static_assert(sizeof(VTROMipiCsi2Frame) == 39);
static_assert(offsetof(VTROMipiCsi2Frame, packetCount) == 16);
static_assert(offsetof(VTROMipiCsi2Frame, virtualChannel) == 24);
static_assert(offsetof(VTROMipiCsi2Frame, packetAreaSize) == 27);
static_assert(offsetof(VTROMipiCsi2Frame, packetArea) == 31);

// Record layout inside the packet area.
inline constexpr std::size_t kCsi2RecordHeaderSize = 4;
inline constexpr std::size_t kCsi2PacketHeaderSize = 10;   // per-packet header inside the payload
inline constexpr std::size_t kCsi2PacketTrailerSize = 2;   // checksum of the packet data
// Where the packet area starts inside the element (after the record, 8-aligned).
inline constexpr std::size_t kCsi2PacketAreaOffset = 40;
