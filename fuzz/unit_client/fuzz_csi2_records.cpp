// Input: 4 bytes of packet-area length as the record states it, then the
// packet records. The element is exactly the frame record and the records, in
// its own heap block, so any read past it is caught.
#include <cstring>
#include <vector>

#include "csi2_frame.h"
#include "sink.h"

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
  if (!unit_client::LocateCsi2Area(element.data(), element.size(), area).empty()) return 0;
  unit_client::Csi2TypeLists lists;
  const unit_client::Csi2Setup setup = unit_client::AnalyseCsi2Frame(area, lists);
  (void)unit_client::Csi2SetupReport(lists, setup.packets);
  TouchingSink sink;
  (void)unit_client::SendCsi2Frame(area, lists, sink);
  return 0;
}
