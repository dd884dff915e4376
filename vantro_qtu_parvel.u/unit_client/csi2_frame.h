// The VTROMipiCsi2Frame element: one MIPI CSI-2 frame as length-prefixed
// packet records. Analysis of the records, the data-type and CSI-2 type
// vocabularies, the type lists learnt from the first frame of a run, and the
// sending of a frame's image packets as blocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "frame_walks.h"

namespace unit_client {

inline constexpr char kCsi2FrameStructureName[] = "VTROMipiCsi2Frame";

// The frame record an element's data pointer leads to (byte-packed). Only the
// packet area is read here; the first 27 bytes belong to the producer.
#pragma pack(push, 1)
struct VTROMipiCsi2Frame {
  std::uint8_t producerFields[27];
  std::uint32_t packetAreaLength;   // bytes of packet records
  const std::uint8_t* packetArea;   // records back to back
};
#pragma pack(pop)
static_assert(sizeof(VTROMipiCsi2Frame) == 39);
static_assert(offsetof(VTROMipiCsi2Frame, packetAreaLength) == 27);
static_assert(offsetof(VTROMipiCsi2Frame, packetArea) == 31);

// A packet record: 2-byte big-endian length (header included), data type,
// CSI-2 type, payload.
inline constexpr std::size_t kPacketRecordHeader = 4;
// Image payload: 10 header bytes, the data, a 2-byte trailer.
inline constexpr std::size_t kPayloadHeader = 10;
inline constexpr std::size_t kPayloadTrailer = 2;

struct PacketView {
  std::uint16_t length = 0;  // record length
  std::uint8_t dataType = 0;
  std::uint8_t csi2Type = 0;
  const std::uint8_t* payload = nullptr;
  std::uint16_t payloadLength = 0;  // length - 4
};

struct PacketData {
  const std::uint8_t* data = nullptr;
  std::uint16_t length = 0;
  bool valid = false;
};

// The bytes of a packet that are sent: invalid for metadata (0x80) and for
// payloads shorter than header and trailer.
PacketData AnalysePacket(const PacketView& packet);
// Neither LZRW1A-compressed (0x40) nor metadata (0x80), and not a frame start
// or end (CSI-2 types 0 and 1).
bool IsEligible(std::uint8_t dataType, std::uint8_t csi2Type);
const char* DataTypeName(std::uint8_t code);
const char* Csi2TypeName(std::uint8_t code);

// The packet area of an element, checked to lie in the element's buffer.
struct Csi2Area {
  const std::uint8_t* begin = nullptr;
  std::uint32_t length = 0;
};
// Empty text when the record and its packet area lie in [data, data + size).
std::string LocateCsi2Area(const std::uint8_t* data, std::size_t size, Csi2Area& area);

// Calls visit(view) for each record from the start of the area. The walk ends
// at a record shorter than its 4-byte header or running past the area's end;
// returns false then (true when the records fill the area exactly).
template <typename Visit>
bool WalkPacketRecords(const Csi2Area& area, Visit&& visit) {
  std::uint32_t position = 0;
  while (position < area.length) {
    const std::uint32_t left = area.length - position;
    if (left < kPacketRecordHeader) return false;
    const std::uint8_t* record = area.begin + position;
    PacketView view;
    view.length = static_cast<std::uint16_t>((record[0] << 8) | record[1]);
    if (view.length < kPacketRecordHeader || view.length > left) return false;
    view.dataType = record[2];
    view.csi2Type = record[3];
    view.payload = record + kPacketRecordHeader;
    view.payloadLength = static_cast<std::uint16_t>(view.length - kPacketRecordHeader);
    visit(view);
    position += view.length;
  }
  return true;
}

// CSI-2 types in order of first appearance, each with the data type of its
// first eligible packet. Kept for the life of the component: later runs only
// add types not seen before.
class Csi2TypeLists {
 public:
  void Note(std::uint8_t dataType, std::uint8_t csi2Type);
  bool HasDataType(std::uint8_t dataType) const;
  bool HasCsi2Type(std::uint8_t csi2Type) const;
  std::size_t Size() const { return m_csi2Types.size(); }
  std::uint8_t DataTypeAt(std::size_t k) const { return m_dataTypes[k]; }
  std::uint8_t Csi2TypeAt(std::size_t k) const { return m_csi2Types[k]; }

 private:
  std::vector<std::uint8_t> m_csi2Types;
  std::vector<std::uint8_t> m_dataTypes;
};

struct Csi2Setup {
  std::uint32_t packets = 0;  // eligible packets with valid data
  std::uint32_t maxData = 0;  // largest data length among them
  bool wellFormed = true;     // false: the walk ended at a bad record
};

// Analyses the first frame of a run: counts its eligible packets, their
// largest data length, and notes their types in `lists`.
Csi2Setup AnalyseCsi2Frame(const Csi2Area& area, Csi2TypeLists& lists);

// The setup report: the lists and the packet count.
std::string Csi2SetupReport(const Csi2TypeLists& lists, std::uint32_t packets);

// Sends the data of each eligible packet whose data type and CSI-2 type are
// both in `lists` (each looked up by itself), lineIndex counting the sent
// blocks. A bad record refuses the frame before anything is sent.
FrameResult SendCsi2Frame(const Csi2Area& area, const Csi2TypeLists& lists, BlockSink& sink);

}  // namespace unit_client
