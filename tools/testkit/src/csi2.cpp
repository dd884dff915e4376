#include "csi2.h"

#include <cstring>

#include "frame_header.h"
#include "le_bytes.h"
#include "mipi_csi2_frame.h"

namespace testkit {
namespace {

constexpr std::size_t kPreamble = 4;
constexpr std::size_t kShortPacket = 8;
constexpr std::uint8_t kFrameStart = 0x00;
constexpr std::uint8_t kFrameEnd = 0x01;
constexpr std::uint8_t kGenericShort = 0x08;
constexpr int kMaxWordCount = 0xFFFF - static_cast<int>(kCsi2RecordHeaderSize + kCsi2PacketHeaderSize +
                                                        kCsi2PacketTrailerSize);

// Bits of the 24-bit header that each parity bit covers.
constexpr std::uint32_t kParity[6] = {
    0xF12CB7,  // P0: D0 D1 D2 D4 D5 D7 D10 D11 D13 D16 D20 D21 D22 D23
    0xF2555B,  // P1: D0 D1 D3 D4 D6 D8 D10 D12 D14 D17 D20 D21 D22 D23
    0x749A6D,  // P2: D0 D2 D3 D5 D6 D9 D11 D12 D15 D18 D20 D21 D22
    0xB8E38E,  // P3: D1 D2 D3 D7 D8 D9 D13 D14 D15 D19 D20 D21 D23
    0xDF03F0,  // P4: D4 .. D9 D16 .. D20 D22 D23
    0xEFFC00,  // P5: D10 .. D19 D21 D22 D23
};

std::uint8_t DataId(const Csi2Settings& s, int type) {
  return static_cast<std::uint8_t>(((s.virtualChannel & 3) << 6) | (type & 0x3F));
}

// Data identifier, 16-bit field and ECC: the 4 bytes behind a preamble.
void PutPacketHeader(std::uint8_t* p, std::uint8_t dataId, std::uint16_t field) {
  p[0] = dataId;
  Put16(p + 1, field);
  p[3] = Csi2Ecc(static_cast<std::uint32_t>(dataId) | (static_cast<std::uint32_t>(field) << 8));
}

void PutPreamble(std::uint8_t* p) { std::memset(p, 0xB8, kPreamble); }

void FillLine(std::uint8_t* out, int line, int wordCount, std::uint64_t frame) {
  for (int i = 0; i < wordCount; ++i) {
    out[i] = LineByte(line, static_cast<std::size_t>(i), frame);
  }
}

// One packet record of the VTROMipiCsi2Frame form; returns its length.
std::size_t PutRecord(std::uint8_t* out, const Csi2Settings& s, int csi2Type, int line, int wordCount,
                      std::uint64_t frame) {
  const std::size_t length = kCsi2RecordHeaderSize + kCsi2PacketHeaderSize + static_cast<std::size_t>(wordCount) +
                             kCsi2PacketTrailerSize;
  PutBE16(out, static_cast<std::uint16_t>(length));
  out[2] = static_cast<std::uint8_t>(s.dataType);
  out[3] = static_cast<std::uint8_t>(csi2Type);
  std::uint8_t* header = out + kCsi2RecordHeaderSize;
  Put16(header, static_cast<std::uint16_t>(line));
  Put16(header + 2, static_cast<std::uint16_t>(frame));
  header[4] = static_cast<std::uint8_t>(s.virtualChannel);
  PutPacketHeader(header + 5, DataId(s, csi2Type), static_cast<std::uint16_t>(wordCount));
  header[9] = 0;
  std::uint8_t* data = header + kCsi2PacketHeaderSize;
  FillLine(data, line, wordCount, frame);
  Put16(data + wordCount, Csi2Crc(data, static_cast<std::size_t>(wordCount)));
  return length;
}

}  // namespace

std::string CheckCsi2Settings(const Csi2Settings& s) {
  if (s.lines < 1 || s.lines > 0xFFFF) return "Lines must be between 1 and 65535";
  if (s.wordCount < 1 || s.wordCount > kMaxWordCount) {
    return "WordCount must be between 1 and " + std::to_string(kMaxWordCount);
  }
  if (s.dataType < 0 || s.dataType > 0xFF) return "DataType must be between 0 and 255";
  if (s.csi2Type < 0x10 || s.csi2Type > 0x3F) {
    return "Csi2Type must be a long-packet data type between 0x10 and 0x3F (16 and 63)";
  }
  if (s.alignment < 8 || s.alignment > 1024 || s.alignment % 8 != 0) {
    return "Alignment must be a multiple of 8 bits between 8 and 1024";
  }
  if (s.shortPackets < 0 || s.lines + s.shortPackets > 0xFFFF) {
    return "ShortPackets must be between 0 and 65535 - Lines";
  }
  if (s.virtualChannel < 0 || s.virtualChannel > 3) return "the virtual channel must be between 0 and 3";
  return {};
}

std::uint8_t LineByte(int line, std::size_t index, std::uint64_t frame) {
  return static_cast<std::uint8_t>(index + 7 * static_cast<std::size_t>(line) + 13 * frame);
}

std::uint8_t Csi2Ecc(std::uint32_t header24) {
  std::uint8_t ecc = 0;
  for (int bit = 0; bit < 6; ++bit) {
    if (__builtin_parity(header24 & kParity[bit] & 0xFFFFFF)) {
      ecc = static_cast<std::uint8_t>(ecc | (1u << bit));
    }
  }
  return ecc;
}

std::uint16_t Csi2Crc(const std::uint8_t* data, std::size_t size) {
  std::uint16_t crc = 0xFFFF;
  for (std::size_t i = 0; i < size; ++i) {
    crc = static_cast<std::uint16_t>(crc ^ data[i]);
    for (int b = 0; b < 8; ++b) {
      crc = (crc & 1) ? static_cast<std::uint16_t>((crc >> 1) ^ 0x8408) : static_cast<std::uint16_t>(crc >> 1);
    }
  }
  return crc;
}

std::size_t Csi2Padding(std::size_t bytes, int alignmentBits) {
  const std::size_t unit = static_cast<std::size_t>(alignmentBits / 8);
  if (unit <= 1) return 0;
  return (unit - bytes % unit) % unit;
}

std::size_t LongPacketBytes(const Csi2Settings& s) {
  const std::size_t bytes = kPreamble + 4 + static_cast<std::size_t>(s.wordCount) + 2;
  return bytes + Csi2Padding(bytes, s.alignment);
}

std::size_t FrameHeaderStreamSize(const Csi2Settings& s) {
  return kFrameHeaderSize + static_cast<std::size_t>(s.lines) * LongPacketBytes(s) +
         static_cast<std::size_t>(s.shortPackets) * kShortPacket;
}

void BuildFrameHeaderStream(std::uint8_t* out, const Csi2Settings& s, std::uint64_t frame, std::int64_t timestampUs) {
  const std::size_t total = FrameHeaderStreamSize(s);
  std::memset(out, 0, kFrameHeaderSize);
  Put32(out + kFrameSizeAt, static_cast<std::uint32_t>(total));
  Put32(out + kFrameNumberAt, static_cast<std::uint32_t>(frame));
  out[kFrameBitsAt] = static_cast<std::uint8_t>(s.alignment);
  Put16(out + kFrameCountAt, static_cast<std::uint16_t>(s.lines + s.shortPackets));
  Put16(out + kFrameWordCountAt, static_cast<std::uint16_t>(s.wordCount));
  Put64(out + kFrameTimestampAt, static_cast<std::uint64_t>(timestampUs));
  std::uint8_t* p = out + kFrameHeaderSize;
  const std::size_t longBytes = LongPacketBytes(s);
  const std::size_t wc = static_cast<std::size_t>(s.wordCount);
  for (int line = 0; line < s.lines; ++line) {
    PutPreamble(p);
    PutPacketHeader(p + kPreamble, DataId(s, s.csi2Type), static_cast<std::uint16_t>(s.wordCount));
    std::uint8_t* data = p + kPreamble + 4;
    FillLine(data, line, s.wordCount, frame);
    Put16(data + wc, Csi2Crc(data, wc));
    std::memset(data + wc + 2, 0, longBytes - (kPreamble + 4 + wc + 2));
    p += longBytes;
  }
  for (int k = 0; k < s.shortPackets; ++k) {
    PutPreamble(p);
    const int type = k == 0 ? kFrameEnd : kGenericShort + (k - 1) % 8;
    const std::uint16_t field = k == 0 ? static_cast<std::uint16_t>(frame) : static_cast<std::uint16_t>(k);
    PutPacketHeader(p + kPreamble, DataId(s, type), field);
    p += kShortPacket;
  }
}

std::size_t MipiPacketAreaSize(const Csi2Settings& s) {
  const std::size_t fixed = kCsi2RecordHeaderSize + kCsi2PacketHeaderSize + kCsi2PacketTrailerSize;
  return 2 * fixed + static_cast<std::size_t>(s.lines) * (fixed + static_cast<std::size_t>(s.wordCount));
}

std::uint32_t MipiPacketCount(const Csi2Settings& s) { return static_cast<std::uint32_t>(s.lines) + 2; }

void BuildMipiPacketArea(std::uint8_t* out, const Csi2Settings& s, std::uint64_t frame) {
  std::uint8_t* p = out;
  p += PutRecord(p, s, kFrameStart, 0, 0, frame);
  for (int line = 0; line < s.lines; ++line) {
    p += PutRecord(p, s, s.csi2Type, line, s.wordCount, frame);
  }
  PutRecord(p, s, kFrameEnd, 0, 0, frame);
}

}  // namespace testkit
