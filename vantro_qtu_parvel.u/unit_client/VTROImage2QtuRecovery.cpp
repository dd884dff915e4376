// QzQtuUnitClient facing a unit that misbehaves: control requests whose reply
// was lost are asked again (each request sets a state, so asking twice does
// no harm), and a stream that keeps waiting for buffers is looked into: a
// unit that restarted holds none of the channel's set-up and sends no status
// to a host it does not know, so the stream would wait for ever.
#include <string>

#include "VTROImage2Qtu.h"

namespace {

constexpr int kRequestAttempts = 3;
// A stream waiting this long for buffers is checked and reported.
constexpr std::int64_t kStallCheckUs = 1000000;

}  // namespace

std::int32_t VTROImage2Qtu::WithRetries(const char* what, const std::function<std::int32_t()>& request) {
  std::int32_t code = request();
  for (int attempt = 1; code == QZQTU_TIMEOUT && attempt < kRequestAttempts && !IsDying(); ++attempt) {
    ReportWarning((std::string(what) + ": no reply from the unit (" +
                   QZQTU_ErrorToString(static_cast<std::uint32_t>(code)) + "), asking again")
                      .c_str());
    code = request();
  }
  return code;
}

void VTROImage2Qtu::CheckStalledChannel(std::int64_t stalledUs) {
  QZQTU_ReplayState state{};
  const bool haveStatus = QZQTU_GetCurrentState(m_channelHandle.load(), &state) == QZQTU_OK;
  if (m_nextStallCheck == 0) {
    // The stall begins: the status at hand tells later whether any came since.
    m_nextStallCheck = kStallCheckUs;
    m_stallStatusTime = haveStatus ? state.statusTime : 0;
  }
  if (stalledUs < m_nextStallCheck) return;
  m_nextStallCheck = stalledUs + kStallCheckUs;
  const std::int32_t handle = m_channelHandle.load();
  std::uint16_t lineSize = 0, lineCount = 0;
  const QZQTU_Error asked = QZQTU_GetFrameSize(handle, &lineSize, &lineCount);
  if (asked == QZQTU_OK && (lineSize != m_announcedLineSize || lineCount != m_announcedLineCount)) {
    ReportWarning(("[Core] The unit holds a frame of " + std::to_string(lineSize) + " x " + std::to_string(lineCount) +
                   " instead of " + std::to_string(m_announcedLineSize) + " x " +
                   std::to_string(m_announcedLineCount) + " (restarted?): initialising the channel again")
                      .c_str());
    const std::int32_t init = WithRetries("[Core] InitOutputChannel", [&] {
      return QZQTU_InitOutputChannel(handle, m_announcedLineSize, m_announcedLineCount);
    });
    if (init != QZQTU_OK) {
      ReportWarning(WithErrorText("[Core] Initialising the channel again failed: ", init).c_str());
      return;
    }
    ResendReplayTimes();
    m_stallReported = false;
    return;
  }
  if (m_stallReported) return;
  m_stallReported = true;
  std::string cause;
  if (asked != QZQTU_OK) {
    cause = std::string("the unit does not answer either: ") + QZQTU_ErrorToString(static_cast<std::uint32_t>(asked));
  } else if (!haveStatus || state.statusTime == m_stallStatusTime) {
    cause = "the unit answers requests but sends no status messages";
  } else {
    cause = "the unit reports " + std::to_string(state.freeBuffers) + " free buffers";
  }
  ReportWarning(("[Core] No buffers from the unit for " + std::to_string(stalledUs / 1000) + " ms: " + cause +
                 "; still waiting")
                    .c_str());
}

void VTROImage2Qtu::ResendReplayTimes() {
  const std::int32_t handle = m_channelHandle.load();
  const auto ns = [](std::int64_t us) { return static_cast<std::uint64_t>(us) * 1000u; };
  const std::int64_t offset = m_replayOffset.load();
  std::int32_t result = QZQTU_OK;
  if (offset != -1) {
    result = WithRetries("[Core] SetReplayOffset", [&] { return QZQTU_SetReplayOffset(handle, ns(offset)); });
  }
  const std::int64_t start = m_replayStart.load();
  if (result == QZQTU_OK && start != -1 && offset != -1) {
    result = WithRetries("[Core] SetReplayStartTime",
                         [&] { return QZQTU_SetReplayStartTime(handle, ns(start), ns(offset), 0); });
  }
  const std::int64_t stop = m_replayStop.load();
  if (result == QZQTU_OK && stop != -1) {
    result = WithRetries("[Core] SetReplayStopTime", [&] { return QZQTU_SetReplayStopTime(handle, ns(stop)); });
  }
  if (result != QZQTU_OK) ReportWarning(WithErrorText("[Core] Sending the replay times again failed: ", result).c_str());
}
