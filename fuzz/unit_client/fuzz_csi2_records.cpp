// The unit client's walk of a VTROMipiCsi2Frame's packet records.
// Input: 4 bytes of packet-area length as the record states it, then the
// packet records. The element is exactly the frame record and the records, in
// its own heap block, so any read past it is caught. The first frame of a run
// sets the type lists up; the same element is then sent as every frame is.
// The blocks must be exactly those the record format gives: the data (the
// bytes between a 10-byte packet header and a 2-byte trailer) of every
// eligible packet whose data type and CSI-2 type are each in the lists the
// first frame set up, in record order, as a walk written here finds them.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "csi2_frame.h"
#include "sink.h"

namespace {

struct Span {
  const std::uint8_t* begin;
  std::size_t length;
};

struct Packet {
  std::uint8_t dataType, csi2Type;
  Span data;  // data.begin null: no valid data
};

// The packets of the area from the record format alone; false when the walk
// meets a record that does not fit.
bool Packets(const std::uint8_t* area, std::size_t length, std::vector<Packet>& packets) {
  std::size_t at = 0;
  while (at < length) {
    if (length - at < 4) return false;
    const std::size_t recordLength = static_cast<std::size_t>(area[at] << 8 | area[at + 1]);
    if (recordLength < 4 || recordLength > length - at) return false;
    Packet p{area[at + 2], area[at + 3], {nullptr, 0}};
    if (recordLength >= 4 + 12 && p.dataType != 0x80) p.data = {area + at + 4 + 10, recordLength - 4 - 12};
    packets.push_back(p);
    at += recordLength;
  }
  return true;
}

bool Eligible(const Packet& p) {
  return p.dataType != 0x40 && p.dataType != 0x80 && p.csi2Type >= 2 && p.data.begin != nullptr;
}

bool Has(const std::vector<std::uint8_t>& list, std::uint8_t v) {
  return std::find(list.begin(), list.end(), v) != list.end();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  std::uint32_t stated = 0;
  std::memcpy(&stated, data, 4);
  const std::size_t records = size - 4;
  std::vector<std::uint8_t> element(sizeof(unit_client::VTROMipiCsi2Frame) + records);
  std::memcpy(element.data() + sizeof(unit_client::VTROMipiCsi2Frame), data + 4, records);
  unit_client::VTROMipiCsi2Frame record{};
  // Mostly the true length; sometimes the stated one, which may overstate it.
  record.packetAreaLength = (stated & 1) != 0 ? stated >> 1 : static_cast<std::uint32_t>(records);
  record.packetArea = element.data() + sizeof record;
  std::memcpy(element.data(), &record, sizeof record);

  unit_client::Csi2Area area;
  const bool located = unit_client::LocateCsi2Area(element.data(), element.size(), area).empty();
  // The area is found exactly when the stated length fits behind the record.
  if (located != (record.packetAreaLength <= records)) std::abort();
  if (!located) return 0;
  unit_client::Csi2TypeLists lists;
  const unit_client::Csi2Setup setup = unit_client::AnalyseCsi2Frame(area, lists);
  (void)unit_client::Csi2SetupReport(lists, setup.packets);

  std::vector<Packet> packets;
  const bool wellFormed = Packets(area.begin, area.length, packets);
  if (setup.wellFormed != wellFormed) std::abort();
  // The lists: each CSI-2 type with the data type of its first eligible packet.
  std::vector<std::uint8_t> dataTypes, csi2Types;
  std::uint32_t eligible = 0;
  for (const Packet& p : packets) {
    if (!Eligible(p)) continue;
    ++eligible;
    if (!Has(csi2Types, p.csi2Type)) {
      dataTypes.push_back(p.dataType);
      csi2Types.push_back(p.csi2Type);
    }
  }
  if (setup.packets != eligible || lists.Size() != csi2Types.size()) std::abort();
  for (std::size_t k = 0; k < csi2Types.size(); ++k) {
    if (lists.DataTypeAt(k) != dataTypes[k] || lists.Csi2TypeAt(k) != csi2Types[k]) std::abort();
  }

  RecordingSink sink(area.begin, area.length, (stated >> 8) % 64);
  const unit_client::FrameResult result = unit_client::SendCsi2Frame(area, lists, sink);
  sink.Check(result);
  if (!wellFormed) {
    if (result.outcome != unit_client::FrameOutcome::kRefused) std::abort();
    return 0;
  }
  std::vector<Span> expected;
  for (const Packet& p : packets) {
    if (Eligible(p) && Has(dataTypes, p.dataType) && Has(csi2Types, p.csi2Type)) expected.push_back(p.data);
  }
  // All of them when sent; up to the refused one when a block failed.
  if (result.outcome == unit_client::FrameOutcome::kSent ? sink.blocks.size() != expected.size()
                                                         : sink.blocks.size() > expected.size()) {
    std::abort();
  }
  for (std::size_t i = 0; i < sink.blocks.size(); ++i) {
    if (sink.blocks[i].data != expected[i].begin || sink.blocks[i].length != expected[i].length) std::abort();
  }
  return 0;
}
