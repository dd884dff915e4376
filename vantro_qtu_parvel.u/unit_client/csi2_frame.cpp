// VTROMipiCsi2Frame records: analysis, vocabularies, type lists and sending.
#include "csi2_frame.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace unit_client {

PacketData AnalysePacket(const PacketView& packet) {
  if (packet.dataType == 0x80 || packet.payloadLength < kPayloadHeader + kPayloadTrailer) return {};
  return {packet.payload + kPayloadHeader,
          static_cast<std::uint16_t>(packet.payloadLength - kPayloadHeader - kPayloadTrailer), true};
}

bool IsEligible(std::uint8_t dataType, std::uint8_t csi2Type) {
  return dataType != 0x40 && dataType != 0x80 && csi2Type >= 2;
}

const char* DataTypeName(std::uint8_t code) {
  switch (code) {
    case 0x00: return "Type::UncompressedRAWDenslyPacked";
    case 0x01: return "Type::UncompressedRAWZeroPaddingByteAligned";
    case 0x02: return "Type::UncompressedRAWZeroPaddingWordAligned";
    case 0x04: return "Type::UncompressedRAWZeroPaddingLongWordAligned";
    case 0x20: return "Type::LosslessJPEGRAW";
    case 0x30: return "Type::LosslessJPEGYUV";
    case 0x40: return "Type::LZRW1ACompressed";
    case 0x80: return "Type::MetaData";
    default: return "No valid type";
  }
}

const char* Csi2TypeName(std::uint8_t code) {
  static const char* const kUserDefined[] = {
      "SubType::UserDefined1", "SubType::UserDefined2", "SubType::UserDefined3", "SubType::UserDefined4",
      "SubType::UserDefined5", "SubType::UserDefined6", "SubType::UserDefined7", "SubType::UserDefined8"};
  switch (code) {
    case 0x00: return "SubType::FrameStart";
    case 0x01: return "SubType::FrameEnd";
    case 0x12: return "SubType::EmbeddedData";
    case 0x1E: return "SubType::YUV422";
    case 0x2A: return "SubType::RAW8";
    case 0x2B: return "SubType::RAW10";
    case 0x2C: return "SubType::RAW12";
    case 0x2D: return "SubType::RAW14";
    case 0x2E: return "SubType::RAW16";
    case 0x2F: return "SubType::RAW20";
    default: return code >= 0x30 && code <= 0x37 ? kUserDefined[code - 0x30] : "No valid subtype";
  }
}

std::string LocateCsi2Area(const std::uint8_t* data, std::size_t size, Csi2Area& area) {
  if (data == nullptr || size < sizeof(VTROMipiCsi2Frame)) {
    return "[Core] MIPI CSI2 frame dropped: the element holds no complete frame record";
  }
  VTROMipiCsi2Frame record;
  std::memcpy(&record, data, sizeof record);
  if (record.packetAreaLength > 0 && !WithinBuffer(data, size, record.packetArea, record.packetAreaLength)) {
    return "[Core] MIPI CSI2 frame dropped: its packet area of " + std::to_string(record.packetAreaLength) +
           " bytes does not lie in the element's buffer";
  }
  area.begin = record.packetArea;
  area.length = record.packetAreaLength;
  return {};
}

void Csi2TypeLists::Note(std::uint8_t dataType, std::uint8_t csi2Type) {
  if (HasCsi2Type(csi2Type)) return;
  m_dataTypes.push_back(dataType);
  m_csi2Types.push_back(csi2Type);
}

bool Csi2TypeLists::HasDataType(std::uint8_t dataType) const {
  return std::find(m_dataTypes.begin(), m_dataTypes.end(), dataType) != m_dataTypes.end();
}

bool Csi2TypeLists::HasCsi2Type(std::uint8_t csi2Type) const {
  return std::find(m_csi2Types.begin(), m_csi2Types.end(), csi2Type) != m_csi2Types.end();
}

Csi2Setup AnalyseCsi2Frame(const Csi2Area& area, Csi2TypeLists& lists) {
  Csi2Setup setup;
  setup.wellFormed = WalkPacketRecords(area, [&](const PacketView& packet) {
    if (!IsEligible(packet.dataType, packet.csi2Type)) return;
    const PacketData data = AnalysePacket(packet);
    // A packet without valid data is never sent, so it is not counted either.
    if (!data.valid) return;
    setup.maxData = std::max<std::uint32_t>(setup.maxData, data.length);
    ++setup.packets;
    lists.Note(packet.dataType, packet.csi2Type);
  });
  return setup;
}

std::string Csi2SetupReport(const Csi2TypeLists& lists, std::uint32_t packets) {
  std::string text = "[Core] Will send the following data packets: ";
  char hex[8];
  for (std::size_t k = 0; k < lists.Size(); ++k) {
    std::snprintf(hex, sizeof hex, "%x", lists.DataTypeAt(k));
    text += std::string("\nData Type 0x") + hex + " (" + DataTypeName(lists.DataTypeAt(k)) + ")";
    std::snprintf(hex, sizeof hex, "%x", lists.Csi2TypeAt(k));
    text += std::string("\nCSI2 Type 0x") + hex + " (" + Csi2TypeName(lists.Csi2TypeAt(k)) + ")";
  }
  text += ".\nTotal packets per frame: " + std::to_string(packets);
  return text;
}

FrameResult SendCsi2Frame(const Csi2Area& area, const Csi2TypeLists& lists, BlockSink& sink) {
  std::uint32_t records = 0;
  if (!WalkPacketRecords(area, [&](const PacketView&) { ++records; })) {
    return FrameResult::Refused("[Core] MIPI CSI2 frame dropped: packet record " + std::to_string(records) +
                                " is shorter than its header or runs past the packet area");
  }
  FrameResult result;
  WalkPacketRecords(area, [&](const PacketView& packet) {
    if (result.outcome != FrameOutcome::kSent) return;
    if (!IsEligible(packet.dataType, packet.csi2Type) || !lists.HasDataType(packet.dataType) ||
        !lists.HasCsi2Type(packet.csi2Type)) {
      return;
    }
    const PacketData data = AnalysePacket(packet);
    if (!data.valid) return;
    const std::int32_t code = sink.SendBlock(static_cast<std::uint16_t>(result.blocks), data.data, data.length);
    if (code != 0) {
      result.outcome = FrameOutcome::kSendFailed;
      result.code = code;
      return;
    }
    ++result.blocks;
  });
  return result;
}

}  // namespace unit_client
