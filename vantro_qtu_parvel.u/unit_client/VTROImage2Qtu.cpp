// QzQtuUnitClient: construction, Dynamic, Birth (configuration, reachability,
// registration), Death (report and release of the channel) and the actions.
#include "VTROImage2Qtu.h"

#include <string>

namespace {

// Engine setting used when the engine does not have it (or it is negative),
// as the framework's own wait for component threads does.
constexpr std::int64_t kDefaultShutdownTimeoutUs = 10000000;

// Handles are compared as unsigned 32-bit numbers against 0xFFFFFFFF.
bool HoldsChannel(std::int32_t handle) { return static_cast<std::uint32_t>(handle) < 0xFFFFFFFFu; }

}  // namespace

VTROImage2Qtu::VTROImage2Qtu(const char* instanceName, const VTROComponentDefinition* definition)
    : VTROComponent(instanceName, definition) {}

// The channel is not touched: Death (or the next Birth) owns its release.
VTROImage2Qtu::~VTROImage2Qtu() = default;

VTROStackedString VTROImage2Qtu::WithErrorText(const char* prefix, std::int32_t code) {
  VTROStackedString text(prefix);
  text.Append(QZQTU_ErrorToString(static_cast<std::uint32_t>(code)));
  return text;
}

void VTROImage2Qtu::Dynamic() {
  m_timingInputs = GetBoolProperty("StartStopTimeInputs");
  if (m_timingInputs) {
    NewInput("ReplayStartTime", nullptr);
    NewInput("ReplayStopTime", nullptr);
  }
}

void VTROImage2Qtu::Birth() {
  bool found = false;
  std::int64_t shutdownTimeout = VTRO::GetEngineIntegerProperty("Engine.shutdownTimeout", &found);
  if (!found || shutdownTimeout < 0) shutdownTimeout = kDefaultShutdownTimeoutUs;
  m_halfShutdownTimeout = shutdownTimeout / 2;
  m_waitForStartTime = GetBoolProperty("WaitForStartTime");
  m_verbose = GetBoolProperty("Verbose");
  m_statusThreadStarted.Reset();
  m_replayStart.store(-1);
  m_replayStop.store(-1);
  m_replayOffset.store(-1);
  m_firstFrame = true;
  m_frameCounter = 0;
  m_kind = InputKind::kNone;
  m_statusValid.exchange(true);
  m_frameHeaderOptions.skipShortPackets = GetBoolProperty("SkipCsi2ShortPackages");
  m_frameHeaderOptions.skipPreamble = GetBoolProperty("SkipCsi2Preamble");

  GetStringProperty("QtuControlIP", m_controlIp);
  GetStringProperty("SensorDataIP", m_dataIp);
  GetStringProperty("LocalControlIP", m_localIp);
  m_configuration = QZQTU_InputInterface{};
  m_configuration.qtuControlIp = m_controlIp.c_str();
  m_configuration.qtuControlPort = static_cast<std::uint16_t>(GetIntegerProperty("QtuControlPort"));
  m_configuration.sensorDataIp = m_dataIp.c_str();
  m_configuration.sensorDataBasePort = static_cast<std::uint16_t>(GetIntegerProperty("SensorDataBasePort"));
  m_configuration.localControlIp = m_localIp.c_str();
  m_configuration.localControlPort = static_cast<std::uint16_t>(GetIntegerProperty("LocalControlPort"));
  m_configuration.maxPayloadSize = static_cast<std::uint16_t>(GetIntegerProperty("MaxPayLoadSize"));
  m_configuration.timeoutGet = static_cast<std::uint32_t>(GetIntegerProperty("TimeoutGet") / 1000);
  m_configuration.timeoutStream = static_cast<std::uint32_t>(GetIntegerProperty("TimeoutStream") / 1000);

  const QZQTU_Error available = QZQTU_IsInputInterfaceAvailable(&m_configuration);
  if (available != QZQTU_OK) {
    Error(WithErrorText("[Birth] Input interface is not available: ", available).c_str(), 1, 0);
  }
  if (m_verbose) ReportInfo("[Birth] Interface available");

  if (GetBoolProperty("Unregister_Channel") && HoldsChannel(m_channelHandle.load())) {
    const std::int32_t handle = m_channelHandle.load();
    if (m_verbose) ReportInfo(("QTU Channel Handle: " + std::to_string(handle)).c_str());
    const QZQTU_Error released = QZQTU_UnregisterOutputChannel(handle);
    if (released != QZQTU_OK) {
      ReportWarning(WithErrorText("[Birth] Unregistering output channel failed: ", released).c_str());
    } else {
      if (m_verbose) ReportInfo("[Birth] Unregistering output channel sucessful");
      m_channelHandle.store(-1);
    }
  }

  m_channelNumber = static_cast<std::uint32_t>(GetIntegerProperty("ChannelNumber"));
  std::int32_t handle = m_channelHandle.load();
  const QZQTU_Error registered =
      QZQTU_RegisterOutputChannel(&m_configuration, static_cast<std::int32_t>(m_channelNumber), &handle);
  m_channelHandle.store(handle);
  if (registered != QZQTU_OK) {
    Error(WithErrorText("[Birth] Could not register output channel: ", registered).c_str(), 1, 0);
  }
  if (m_verbose) ReportInfo("[Birth] Channel registered.");
}

void VTROImage2Qtu::Death() {
  ReportInfo(("[Death]Sent " + std::to_string(m_frameCounter) + " frames.").c_str());
  const std::int32_t handle = m_channelHandle.load();
  if (!HoldsChannel(handle)) return;
  const QZQTU_Error released = QZQTU_UnregisterOutputChannel(handle);
  if (released != QZQTU_OK) {
    // The handle is kept, so that "Unregister_Channel" can release it at the next start.
    Error(WithErrorText("[Death]", released).c_str(), 1, 0);
  }
  ReportInfo(("[Death] UnregisterOutputChannel " + std::to_string(handle) + " succesful.").c_str());
  m_channelHandle.store(-1);
}

void VTROImage2Qtu::ResetChannelAction() {
  const QZQTU_Error result = QZQTU_ResetChannel(m_channelHandle.load());
  if (result != QZQTU_OK) ReportWarning(WithErrorText("Resetting QTU Channel failed: ", result).c_str());
}

void VTROImage2Qtu::ClearStatusFlagsAction() {
  const QZQTU_Error result = QZQTU_ClearStatusFlags(m_channelHandle.load());
  // The same text as the reset action.
  if (result != QZQTU_OK) ReportWarning(WithErrorText("Resetting QTU Channel failed: ", result).c_str());
}
