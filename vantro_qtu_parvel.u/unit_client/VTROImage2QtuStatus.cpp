// QzQtuUnitClient's replay times and status: the time inputs polled by Core
// and forwarded to the unit in nanoseconds, and the status thread that
// publishes the unit's channel status on "oReplayStateInfo" and
// "oSystemTime_us".
#include <cstring>
#include <string>

#include "VTROImage2Qtu.h"

namespace {

const char* const kTimeInputNames[] = {"ReplayStartTime", "ReplayStopTime", "LoggingStartTime"};
const char* const kTimeReports[] = {"Input received a new start timestamp: ", "Input received a new stop timestamp: ",
                                    "Input received a new offset timestamp: "};
constexpr std::int64_t kAfterTimeRestUs = 10000;

std::uint64_t Nanoseconds(std::int64_t us) { return static_cast<std::uint64_t>(us) * 1000u; }

}  // namespace

std::int64_t VTROImage2Qtu::ReadTimeInput(int selector) {
  VTROInput* input = Input(kTimeInputNames[selector]);
  if (!input->IsConnected() || !DataAvailableInFIFO(input)) return -1;
  VTRO::InputGuard<std::int64_t> time(this, input, true);
  return time ? *time.Data() : -1;
}

void VTROImage2Qtu::PollTimeInput(int selector) {
  const std::int64_t value = ReadTimeInput(selector);
  std::atomic<std::int64_t>& field =
      selector == kStartTime ? m_replayStart : selector == kStopTime ? m_replayStop : m_replayOffset;
  if (value == field.load()) return;
  field.store(value);
  ReportInfo((kTimeReports[selector] + std::to_string(value) + " us)").c_str());
  // A time that fell back to -1 holds elements back again but is no time the
  // unit could use: as -1000 ns it would read there as a time near 2^64.
  if (value != -1) {
    const std::int32_t handle = m_channelHandle.load();
    QZQTU_Error result = QZQTU_OK;
    if (selector == kStartTime) {
      result = QZQTU_SetReplayStartTime(handle, Nanoseconds(value), Nanoseconds(m_replayOffset.load()), 0);
    } else if (selector == kStopTime) {
      result = QZQTU_SetReplayStopTime(handle, Nanoseconds(value));
    } else {
      result = QZQTU_SetReplayOffset(handle, Nanoseconds(value));
    }
    if (result != QZQTU_OK) ReportError(QZQTU_ErrorToString(static_cast<std::uint32_t>(result)));
  }
  Rest(kAfterTimeRestUs);
}

void VTROImage2Qtu::StatusLoop() {
  const std::int64_t period = GetIntegerProperty("StatusUpdatePeriod");
  m_statusThreadStarted.Set();
  while (!IsDying()) {
    QZQTU_ReplayState state{};
    if (QZQTU_GetCurrentState(m_channelHandle.load(), &state) == QZQTU_OK) {
      VTRO::OutputGuard<QZTQtuStatusT> status(this, Output(0), true);
      std::memcpy(status.Data(), &state, sizeof state);
      status.Element()->SetVectorSize(sizeof(QZTQtuStatusT));
      status.Element()->SetTimestamp(CurrentTime(true, true));
      VTRO::OutputGuard<std::int64_t> time(this, Output(1), true);
      *time.Data() = static_cast<std::int64_t>(state.statusTime / 1000);
      time.Element()->SetVectorSize(1);
      time.Element()->SetTimestamp(CurrentTime(true, true));
      m_statusValid.exchange(true);
      if (m_verbose) {
        const auto unitTime = static_cast<std::int64_t>(state.statusTime);
        ReportInfo((std::to_string(state.statusTime) + "(" + std::to_string(unitTime - m_replayStart.load() * 1000) +
                    "/" + std::to_string(unitTime - m_replayStop.load() * 1000) + "), " + ", " +
                    std::to_string(state.freeBuffers))
                       .c_str());
      }
      // The guards publish output 1, then output 0.
    }
    Rest(period);
  }
}
