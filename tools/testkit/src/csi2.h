// CSI-2 frames of the test source, in two forms:
//
// Frame-header stream: a 64-byte frame header (frame_header.h; alignment in
// bits at offset 10, packet count at offset 12) and the captured packets
// back to back. Each packet starts with the preamble B8 B8 B8 B8. A long
// packet is: preamble, data identifier (virtual channel << 6 | data type),
// word count (u16 LE), ECC, `wordCount` data bytes, a CRC-16 (LE), then zero
// padding up to a multiple of the alignment. A short packet is 8 bytes:
// preamble, data identifier, 16-bit data field, ECC. The long packets come
// first (a reader takes the packet size from the first packet); the short
// ones, when asked for, follow: a frame end (0x01), then generic short
// packets (0x08 ...).
//
// VTROMipiCsi2Frame (mipi_csi2_frame.h): a frame start record, one record per
// line and a frame end record.
//
// Line data byte i of line l of frame f is LineByte(l, i, f).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace testkit {

struct Csi2Settings {
  int lines = 1080;         // long packets per frame
  int wordCount = 2880;     // data bytes per long packet
  int dataType = 0x00;      // record data type (VTROMipiCsi2Frame form)
  int csi2Type = 0x2C;      // CSI-2 data type of the long packets (RAW12)
  int alignment = 32;       // bits; the long packets are padded to a multiple
  int shortPackets = 0;     // short packets after the long ones (frame-header form)
  int virtualChannel = 0;
};

// Empty when the settings make a frame, else why not.
std::string CheckCsi2Settings(const Csi2Settings& s);

std::uint8_t LineByte(int line, std::size_t index, std::uint64_t frame);
// Error-correction byte of a 24-bit CSI-2 packet header (Hamming parity sets).
std::uint8_t Csi2Ecc(std::uint32_t header24);
// CRC-16 of CSI-2 packet data (x^16 + x^12 + x^5 + 1, LSB first, seed 0xFFFF).
std::uint16_t Csi2Crc(const std::uint8_t* data, std::size_t size);
// Zero bytes after a long packet of `bytes` bytes (preamble included).
std::size_t Csi2Padding(std::size_t bytes, int alignmentBits);

// Frame-header stream form.
std::size_t LongPacketBytes(const Csi2Settings& s);  // preamble + header + data + CRC + padding
std::size_t FrameHeaderStreamSize(const Csi2Settings& s);
void BuildFrameHeaderStream(std::uint8_t* out, const Csi2Settings& s, std::uint64_t frame, std::int64_t timestampUs);

// VTROMipiCsi2Frame form: the packet area (records back to back).
std::size_t MipiPacketAreaSize(const Csi2Settings& s);
std::uint32_t MipiPacketCount(const Csi2Settings& s);
void BuildMipiPacketArea(std::uint8_t* out, const Csi2Settings& s, std::uint64_t frame);

}  // namespace testkit
