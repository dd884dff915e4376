// A recording block sink and builders of element bytes for the walk tests.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "csi2_frame.h"
#include "frame_walks.h"

namespace unit_client_test {

struct SentBlock {
  std::uint16_t lineIndex;
  const std::uint8_t* data;
  std::vector<std::uint8_t> bytes;
};

// Records every block; answers `failWith` from block `failAt` on.
class RecordingSink : public unit_client::BlockSink {
 public:
  std::int32_t SendBlock(std::uint16_t lineIndex, const std::uint8_t* data, std::uint16_t length) override {
    if (blocks.size() == failAt) return failWith;
    blocks.push_back({lineIndex, data, std::vector<std::uint8_t>(data, data + length)});
    return 0;
  }
  std::vector<SentBlock> blocks;
  std::size_t failAt = SIZE_MAX;
  std::int32_t failWith = 0;
};

// A frame-header stream: 64-byte header, then packets laid out as a capture
// has them (preamble, data identifier, word count, ECC, payload, checksum, padding).
struct StreamBuilder {
  StreamBuilder(std::uint8_t alignment, std::uint16_t wordCount) : alignment(alignment), wordCount(wordCount) {
    bytes.assign(64, 0);
    bytes[10] = alignment;
  }
  // A long packet of the first packet's size, payload bytes = `fill`.
  void Long(std::uint8_t dataId, std::uint8_t fill) {
    const std::uint16_t pad = unit_client::PacketPadding(static_cast<std::uint16_t>(wordCount + 6), alignment);
    Preamble(dataId, wordCount);
    bytes.insert(bytes.end(), wordCount + 2u, fill);
    bytes.insert(bytes.end(), pad, 0xEE);
    ++packets;
  }
  void Short(std::uint8_t dataId) {
    Preamble(dataId, 0x1234);  // 8 bytes with the preamble
    ++packets;
  }
  std::vector<std::uint8_t>& Finish() {
    bytes[12] = static_cast<std::uint8_t>(packets);
    bytes[13] = static_cast<std::uint8_t>(packets >> 8);
    return bytes;
  }
  void Preamble(std::uint8_t dataId, std::uint16_t word) {
    bytes.insert(bytes.end(), 4, 0xB8);
    bytes.push_back(dataId);
    bytes.push_back(static_cast<std::uint8_t>(word));
    bytes.push_back(static_cast<std::uint8_t>(word >> 8));
    bytes.push_back(0x5A);  // ECC
  }
  std::uint8_t alignment;
  std::uint16_t wordCount;
  std::uint16_t packets = 0;
  std::vector<std::uint8_t> bytes;
};

// A VTROMipiCsi2Frame element: the frame record followed by its packet area.
struct Csi2Builder {
  // A record whose payload is 10 header bytes, `data` bytes of `fill`, 2 trailer bytes.
  void Packet(std::uint8_t dataType, std::uint8_t csi2Type, std::uint16_t data, std::uint8_t fill = 0x11) {
    Record(dataType, csi2Type, static_cast<std::uint16_t>(data + 12), fill);
  }
  // A record of `payload` bytes (header not counted); the first 10 and last 2 payload bytes are 0xAA.
  void Record(std::uint8_t dataType, std::uint8_t csi2Type, std::uint16_t payload, std::uint8_t fill = 0x11) {
    const std::uint32_t length = payload + 4u;
    area.push_back(static_cast<std::uint8_t>(length >> 8));
    area.push_back(static_cast<std::uint8_t>(length));
    area.push_back(dataType);
    area.push_back(csi2Type);
    for (std::uint32_t i = 0; i < payload; ++i) area.push_back(i < 10 || i + 2 >= payload ? 0xAA : fill);
  }
  // The element's buffer; `extraLength` misstates the area's length.
  std::vector<std::uint8_t>& Finish(std::int64_t extraLength = 0) {
    element.assign(sizeof(unit_client::VTROMipiCsi2Frame), 0);
    element.insert(element.end(), area.begin(), area.end());
    unit_client::VTROMipiCsi2Frame record{};
    record.packetAreaLength = static_cast<std::uint32_t>(static_cast<std::int64_t>(area.size()) + extraLength);
    record.packetArea = element.data() + sizeof record;
    std::memcpy(element.data(), &record, sizeof record);
    return element;
  }
  std::vector<std::uint8_t> area;
  std::vector<std::uint8_t> element;
};

}  // namespace unit_client_test
