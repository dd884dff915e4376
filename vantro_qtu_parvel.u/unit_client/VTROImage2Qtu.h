// QzQtuUnitClient (class VTROImage2Qtu): streams the frames of its input
// "SensorDataIn" to one output channel of a QTU Unit through QZQTUApi, keeps
// the unit's replay offset, start and stop times up to date from its time
// inputs, and publishes the channel status the unit reports.
//
// Threads: Birth, Core and Death run on the component's main thread; the
// status thread (started by the first element of a run) polls the unit's
// status; actions run on engine threads. They share the channel handle, the
// replay times (read by the status thread's verbose report) and status valid,
// all atomic.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "QZQTUApi.h"
#include "csi2_frame.h"
#include "frame_walks.h"
#include "vtro/VTROComponent.h"
#include "vtro/vtro_io_access.h"

// The status record of "oReplayStateInfo": the layout of QZQTU_ReplayState,
// into which QZQTU_GetCurrentState writes, copied unchanged.
struct QZTQtuStatusT {
  std::uint8_t statusBit0;
  std::uint8_t statusBit1;
  std::uint8_t statusBit2;
  std::uint8_t statusBit3;
  std::uint32_t freeBuffers;
  std::uint64_t statusTime;  // the unit's time, ns
};
static_assert(sizeof(QZTQtuStatusT) == sizeof(QZQTU_ReplayState) && sizeof(QZTQtuStatusT) == 16);
static_assert(offsetof(QZTQtuStatusT, statusBit3) == offsetof(QZQTU_ReplayState, statusBit3));
static_assert(offsetof(QZTQtuStatusT, freeBuffers) == offsetof(QZQTU_ReplayState, freeBuffers));
static_assert(offsetof(QZTQtuStatusT, statusTime) == offsetof(QZQTU_ReplayState, statusTime));
VTRO_IO_STRUCTURE(QZTQtuStatusT);

class VTROImage2Qtu : public VTROComponent {
 public:
  VTROImage2Qtu(const char* instanceName, const VTROComponentDefinition* definition);
  ~VTROImage2Qtu() override;

  void Dynamic() override;
  void Core() override;
  void Birth() override;
  void Death() override;

  // Actions "ResetChannel" and "ClearStatusFlags".
  void ResetChannelAction();
  void ClearStatusFlagsAction();

  // The time inputs by selector.
  enum TimeInput : int { kStartTime = 0, kStopTime = 1, kOffset = 2 };

 private:
  enum class InputKind { kNone, kIplImage, kCompressedImage, kFrameHeaderStream, kCsi2Frame, kOtherStructure };
  class UnitSink;

  // ---- Core (VTROImage2QtuCore.cpp) ----
  // Kind of the data reaching "SensorDataIn", in the fixed test order.
  InputKind KindOfInput(VTROInput* input) const;
  void SetUp(InputKind kind, VTROIOElt* element);
  void SetUpIplImage(VTROIOElt* element);
  void SetUpCompressedImage(VTROIOElt* element);
  void SetUpFrameHeaderStream(VTROIOElt* element);
  void SetUpCsi2Frame(VTROIOElt* element);
  void InitOutputChannel(std::uint16_t lineSize, std::uint16_t lineCount);
  void SendElement(InputKind kind, VTROIOElt* element);
  void SendCsi2Frame(VTROIOElt* element, UnitSink& sink);
  // Counts the frame, or reports why it was not sent completely.
  void FinishFrame(const unit_client::FrameResult& result);
  // One block through QZQTU_ReplayStreamData, again at once while it answers
  // 11; after a stop request, until half the shutdown time-out has passed.
  std::int32_t SendWithRetry(const QZQTU_StreamDataInfo& info, const void* data, std::uint16_t length);

  // ---- Times and status (VTROImage2QtuStatus.cpp) ----
  std::int64_t ReadTimeInput(int selector);
  void PollTimeInput(int selector);
  void StatusLoop();

  // "<prefix><text of code>", the text skipped when the library has none.
  static VTROStackedString WithErrorText(const char* prefix, std::int32_t code);

  // Configuration and channel (Birth).
  VTROStackedString m_controlIp;
  VTROStackedString m_dataIp;
  VTROStackedString m_localIp;
  QZQTU_InputInterface m_configuration{};
  std::atomic<std::int32_t> m_channelHandle{-1};
  std::uint32_t m_channelNumber = 0;

  // Replay times in µs, -1 until known. Written by Core only.
  std::atomic<std::int64_t> m_replayStart{-1};
  std::atomic<std::int64_t> m_replayStop{-1};
  std::atomic<std::int64_t> m_replayOffset{-1};

  // Run state (Core).
  std::uint16_t m_frameCounter = 0;
  bool m_firstFrame = true;
  bool m_timingInputs = false;
  InputKind m_kind = InputKind::kNone;
  unit_client::FrameHeaderGeometry m_frameHeader;
  std::uint16_t m_packetsPerFrame = 0;
  unit_client::Csi2TypeLists m_csi2Lists;  // kept across runs
  std::vector<std::uint8_t> m_scratch;     // zero-padded last block of compressed images
  std::int64_t m_stopSeenAt = -1;          // engine time a stop was first seen while sending this element

  // Options read at Birth.
  unit_client::FrameHeaderOptions m_frameHeaderOptions;
  bool m_verbose = false;
  bool m_waitForStartTime = false;
  std::int64_t m_halfShutdownTimeout = 0;

  std::atomic<bool> m_statusValid{false};
  VTROEvent m_statusThreadStarted{false};
};
