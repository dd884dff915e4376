// QzQtuUnitClient's Core: one element of "SensorDataIn" per call. The first
// element of a run decides the input kind, initialises the channel and starts
// the status thread; every element is held back until the replay offset (and
// with timing inputs the start and stop times) are known, then cut into
// blocks by the walks of frame_walks.h and csi2_frame.h.
#include <cstring>
#include <string>

#include "VTROImage2Qtu.h"
#include "vtro/VTROIplImage.h"

namespace {

using unit_client::FrameOutcome;
using unit_client::FrameResult;

constexpr std::int64_t kSetupRestUs = 200000;
constexpr std::int64_t kHoldBackRestUs = 100000;
constexpr std::int64_t kStatusWaitRestUs = 250000;

// Bytes an element holds for the byte-stream walk: what was written, or the
// whole buffer when the writer left the count unset or impossible.
std::size_t StreamBytes(VTROIOElt* element) {
  const std::int32_t buffer = element->BufferSize();
  const std::int32_t written = element->VectorSize();
  if (written > 0 && written <= buffer) return static_cast<std::size_t>(written);
  return buffer > 0 ? static_cast<std::size_t>(buffer) : 0;
}

std::size_t BufferBytes(VTROIOElt* element) {
  const std::int32_t buffer = element->BufferSize();
  return buffer > 0 ? static_cast<std::size_t>(buffer) : 0;
}

unit_client::IplLayout LayoutOf(const IplImage& header) {
  return {header.nChannels, header.depth, header.width, header.height, header.widthStep,
          reinterpret_cast<const std::uint8_t*>(header.imageData)};
}

// Readable bytes of the image rows: the header's image size, within the
// element's buffer when the element states one.
std::size_t ImageBytes(VTROIOElt* element, const IplImage& header) {
  std::size_t available = header.imageSize > 0 ? static_cast<std::size_t>(header.imageSize) : 0;
  const std::size_t buffer = BufferBytes(element);
  if (buffer > 0 && buffer < available) available = buffer;
  return available;
}

unit_client::CompressedLayout LayoutOf(const VTROCompressedImage& record) {
  return {record.lineCount, record.dataSize, record.size, record.data};
}

// Gives the element back at the end of Core, however Core ends.
class ReadingScope {
 public:
  ReadingScope(VTROComponent& component, VTROInput* input) : m_component(component), m_input(input) {}
  // Also while a stop or an error unwinds Core: nothing may escape here.
  ~ReadingScope() {
    try {
      m_component.StopReading(m_input);
    } catch (...) {
    }
  }
  ReadingScope(const ReadingScope&) = delete;
  ReadingScope& operator=(const ReadingScope&) = delete;

 private:
  VTROComponent& m_component;
  VTROInput* m_input;
};

}  // namespace

// Sends the blocks of one element through the unit API, all with the
// element's descriptor and their own line index.
class VTROImage2Qtu::UnitSink final : public unit_client::BlockSink {
 public:
  UnitSink(VTROImage2Qtu& client, VTROIOElt* element) : m_client(client) {
    m_info.timestamp = static_cast<std::uint64_t>(element->Timestamp() * 1000);
    m_info.frameCounter = client.m_frameCounter;
    m_info.lineIndex = 0;
    m_info.tag = 0;
  }
  std::int32_t SendBlock(std::uint16_t lineIndex, const std::uint8_t* data, std::uint16_t length) override {
    m_info.lineIndex = lineIndex;
    return m_client.SendWithRetry(m_info, data, length);
  }

 private:
  VTROImage2Qtu& m_client;
  QZQTU_StreamDataInfo m_info{};
};

void VTROImage2Qtu::Core() {
  VTROInput* input = Input("SensorDataIn");
  VTROIOElt* element = StartReading(input);
  if (element == nullptr) return;
  ReadingScope reading(*this, input);

  if (m_firstFrame) {
    m_kind = KindOfInput(input);
    SetUp(m_kind, element);
    CreateThread(static_cast<VTROThreadFunction>(&VTROImage2Qtu::StatusLoop));
    WaitCondition(m_statusThreadStarted, -1);
    m_firstFrame = false;
  }
  while (!m_statusValid.load()) {
    ReportWarning("[Core] Waiting for valid status.");
    Rest(kStatusWaitRestUs);
  }
  PollTimeInput(kOffset);
  if (m_replayOffset.load() == -1) {
    Rest(kHoldBackRestUs);
    return;
  }
  if (m_timingInputs) {
    PollTimeInput(kStartTime);
    PollTimeInput(kStopTime);
    if (m_replayStart.load() == -1 || m_replayStop.load() == -1) {
      Rest(kHoldBackRestUs);
      return;
    }
  }
  SendElement(KindOfInput(input), element);
}

VTROImage2Qtu::InputKind VTROImage2Qtu::KindOfInput(VTROInput* input) const {
  std::uint64_t mask = 0;
  const char* structureName = nullptr;
  input->DataType(mask, structureName);
  const auto type = static_cast<std::uint32_t>(mask);
  if ((type & VTRO_TYPE_IPL_IMAGE) != 0) return InputKind::kIplImage;
  if ((type & VTRO_TYPE_COMPRESSED_IMAGE) != 0) return InputKind::kCompressedImage;
  if ((type & VTRO_TYPE_BYTE_STREAM) != 0) return InputKind::kFrameHeaderStream;
  if ((type & VTRO_TYPE_CUSTOM_STRUCTURE) != 0 && structureName != nullptr &&
      std::strlen(structureName) == std::strlen(unit_client::kCsi2FrameStructureName) &&
      std::memcmp(structureName, unit_client::kCsi2FrameStructureName, std::strlen(structureName)) == 0) {
    return InputKind::kCsi2Frame;
  }
  return (type & VTRO_TYPE_CUSTOM_STRUCTURE) != 0 ? InputKind::kOtherStructure : InputKind::kNone;
}

void VTROImage2Qtu::SetUp(InputKind kind, VTROIOElt* element) {
  switch (kind) {
    case InputKind::kIplImage: return SetUpIplImage(element);
    case InputKind::kCompressedImage: return SetUpCompressedImage(element);
    case InputKind::kFrameHeaderStream: return SetUpFrameHeaderStream(element);
    case InputKind::kCsi2Frame: return SetUpCsi2Frame(element);
    case InputKind::kOtherStructure: Error("Unsupported dynamic structure.", 1, 0);
    case InputKind::kNone: break;
  }
  Error("Unsupported input type.", 1, 0);
}

void VTROImage2Qtu::InitOutputChannel(std::uint16_t lineSize, std::uint16_t lineCount) {
  const QZQTU_Error result = QZQTU_InitOutputChannel(m_channelHandle.load(), lineSize, lineCount);
  if (result != QZQTU_OK) Error(WithErrorText("[Core] Could not initialize output channel: ", result).c_str(), 1, 0);
}

void VTROImage2Qtu::SetUpIplImage(VTROIOElt* element) {
  ReportInfo("Sending uncompressed IPL images.");
  const IplImage* header = element->IplImageHeader();
  if (header == nullptr) Error("[Core] Unsupported IPL image: the element carries no image header", 1, 0);
  std::uint32_t lineBytes = 0;
  const std::string problem = unit_client::IplLineBytes(LayoutOf(*header), lineBytes);
  if (!problem.empty()) Error(problem.c_str(), 1, 0);
  InitOutputChannel(static_cast<std::uint16_t>(lineBytes), static_cast<std::uint16_t>(header->height));
  if (m_verbose) {
    ReportInfo("[Core] Output channel initialized.");
    ReportInfo(("[Core] Replaying frames with " + std::to_string(header->height) + " lines.").c_str());
    ReportInfo(("[Core] Each packet has " + std::to_string(lineBytes) + " Bytes.").c_str());
  }
  Rest(kSetupRestUs);
}

void VTROImage2Qtu::SetUpCompressedImage(VTROIOElt* element) {
  ReportInfo("Sending compressed VTRO images.");
  const VTROCompressedImage* record = element->CompressedImage();
  if (record == nullptr || BufferBytes(element) < sizeof(VTROCompressedImage)) {
    Error("[Core] Unsupported compressed image: the element holds no complete image record", 1, 0);
  }
  std::uint16_t lineSize = 0, lineCount = 0;
  const std::string problem = unit_client::CompressedGeometry(
      LayoutOf(*record), unit_client::CompressedBlockSize(GetIntegerProperty("MaxPayLoadSize")), lineSize, lineCount);
  if (!problem.empty()) Error(problem.c_str(), 1, 0);
  InitOutputChannel(lineSize, lineCount);
  if (m_verbose) ReportInfo("[Core] Output channel initialized.");
  Rest(kSetupRestUs);
}

void VTROImage2Qtu::SetUpFrameHeaderStream(VTROIOElt* element) {
  const std::uint8_t* data = element->ByteStream();
  const std::size_t size = StreamBytes(element);
  if (!unit_client::HasCsi2Preamble(data, size)) Error("Frame does not contain valid MIPI CSI2 data, aborting", 1, 0);
  ReportInfo("Sending MIPI CSI2 frames.");
  const std::string problem = unit_client::ReadFrameHeaderGeometry(data, size, m_frameHeaderOptions, m_frameHeader);
  if (!problem.empty()) Error(problem.c_str(), 1, 0);
  ReportInfo(("[Core] Replaying frames with " + std::to_string(m_frameHeader.packetsPerFrame) + " MIPI CSI2 packets.")
                 .c_str());
  ReportInfo(("[Core] Each packet has " + std::to_string(m_frameHeader.bytesPerPacket) + " Bytes.").c_str());
  InitOutputChannel(m_frameHeader.bytesPerPacket, m_frameHeader.packetsPerFrame);
  if (m_verbose) ReportInfo("[Core] Output channel initialized.");
  Rest(kSetupRestUs);
}

void VTROImage2Qtu::SetUpCsi2Frame(VTROIOElt* element) {
  unit_client::Csi2Area area;
  const std::string problem =
      unit_client::LocateCsi2Area(static_cast<const std::uint8_t*>(element->Data()), BufferBytes(element), area);
  if (!problem.empty()) Error(problem.c_str(), 1, 0);
  const unit_client::Csi2Setup setup = unit_client::AnalyseCsi2Frame(area, m_csi2Lists);
  if (!setup.wellFormed) {
    ReportWarning("[Core] The first MIPI CSI2 frame ends in a bad packet record; its packets before it set the frame up");
  }
  ReportInfo(unit_client::Csi2SetupReport(m_csi2Lists, setup.packets).c_str());
  m_packetsPerFrame = static_cast<std::uint16_t>(setup.packets);
  InitOutputChannel(static_cast<std::uint16_t>(setup.maxData), static_cast<std::uint16_t>(setup.packets));
  if (m_verbose) ReportInfo("[Core] Output channel initialized.");
  Rest(kSetupRestUs);
}

std::int32_t VTROImage2Qtu::SendWithRetry(const QZQTU_StreamDataInfo& info, const void* data, std::uint16_t length) {
  const std::int32_t handle = m_channelHandle.load();
  const std::int64_t start = CurrentTime(true, true);
  for (;;) {
    const QZQTU_Error code = QZQTU_ReplayStreamData(handle, &info, data, length);
    if (code != QZQTU_TIMEOUT) return code;
    if (IsDying()) {
      // Half the shutdown time-out since this block began, or since the stop
      // was first seen in this element: a unit that gives a buffer back now
      // and then must not keep a stop waiting block after block.
      const std::int64_t now = CurrentTime(true, true);
      if (m_stopSeenAt < 0) m_stopSeenAt = now;
      if (now - start > m_halfShutdownTimeout || now - m_stopSeenAt > m_halfShutdownTimeout) {
        ReportWarning("Component timeout reached, shutting down directly.");
        return code;
      }
    }
  }
}

void VTROImage2Qtu::SendElement(InputKind kind, VTROIOElt* element) {
  UnitSink sink(*this, element);
  m_stopSeenAt = -1;
  switch (kind) {
    case InputKind::kIplImage: {
      const IplImage* header = element->IplImageHeader();
      if (header == nullptr) return FinishFrame(FrameResult::Refused("[Core] IPL image dropped: no image header"));
      return FinishFrame(unit_client::SendIplImage(LayoutOf(*header), ImageBytes(element, *header), sink));
    }
    case InputKind::kCompressedImage: {
      const VTROCompressedImage* record = element->CompressedImage();
      const std::size_t buffer = BufferBytes(element);
      if (record == nullptr || buffer < sizeof(VTROCompressedImage)) {
        return FinishFrame(FrameResult::Refused("[Core] Compressed image dropped: no complete image record"));
      }
      const std::int32_t blockSize = unit_client::CompressedBlockSize(GetIntegerProperty("MaxPayLoadSize"));
      return FinishFrame(unit_client::SendCompressedImage(LayoutOf(*record),
                                                          static_cast<const std::uint8_t*>(element->Data()), buffer,
                                                          blockSize, m_scratch, sink));
    }
    case InputKind::kFrameHeaderStream: {
      const std::uint8_t* data = element->ByteStream();
      const std::size_t size = StreamBytes(element);
      if (!unit_client::HasCsi2Preamble(data, size)) {
        Error("Frame does not contain valid MIPI CSI2 data, aborting", 1, 0);
      }
      return FinishFrame(
          unit_client::SendFrameHeaderStream(data, size, m_frameHeader, m_frameHeaderOptions, sink));
    }
    case InputKind::kCsi2Frame:
      return SendCsi2Frame(element, sink);
    case InputKind::kOtherStructure:
    case InputKind::kNone:
      return;  // an element of no known kind is dropped silently
  }
}

void VTROImage2Qtu::SendCsi2Frame(VTROIOElt* element, UnitSink& sink) {
  unit_client::Csi2Area area;
  std::string problem =
      unit_client::LocateCsi2Area(static_cast<const std::uint8_t*>(element->Data()), BufferBytes(element), area);
  const FrameResult result =
      problem.empty() ? unit_client::SendCsi2Frame(area, m_csi2Lists, sink) : FrameResult::Refused(std::move(problem));
  if (result.outcome == FrameOutcome::kRefused) return FinishFrame(result);
  if (result.outcome == FrameOutcome::kSendFailed) {
    const VTROStackedString text = WithErrorText("[Core] ", result.code);
    if (IsDying()) return ReportWarning(text.c_str());
    Error(text.c_str(), 1, 0);
  }
  if (result.blocks != m_packetsPerFrame) {
    ReportWarning(("Frame " + std::to_string(m_frameCounter) + ": Packet number (" + std::to_string(result.blocks) +
                   ") does not match height (" + std::to_string(m_packetsPerFrame) + ")")
                      .c_str());
  }
  ++m_frameCounter;
}

void VTROImage2Qtu::FinishFrame(const FrameResult& result) {
  switch (result.outcome) {
    case FrameOutcome::kSent:
      ++m_frameCounter;  // wraps from 65535 to 0
      return;
    case FrameOutcome::kSendFailed: {
      const VTROStackedString text = WithErrorText("[Core] ", result.code);
      if (IsDying()) {
        ReportWarning(text.c_str());
      } else {
        ReportError(text.c_str());
      }
      return;
    }
    case FrameOutcome::kRefused:
      ReportError(result.problem.c_str());
      return;
  }
}
