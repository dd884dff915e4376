// The definition of QzQtuUnitClient as the engine reads it: the record and
// its input, output, property and action tables, and the registration of
// VTROImage2Qtu in the group "VTROComponent". The objects the tables point to
// are built by the static initialisers of this file, in the order below,
// before the registration at its end.
#include <new>

#include "VTROImage2Qtu.h"
#include "vtro/VTROModuleDefinition.h"

namespace {

// ---- Inputs ----
const VTROTypeFilter g_sensorDataFilter{
    0, 0, VTRO_TYPE_IPL_IMAGE | VTRO_TYPE_COMPRESSED_IMAGE | VTRO_TYPE_BYTE_STREAM | VTRO_TYPE_CUSTOM_STRUCTURE,
    "|VTROMipiCsi2Frame", {0, 0, 0}};
static_assert(VTRO_TYPE_IPL_IMAGE + VTRO_TYPE_COMPRESSED_IMAGE + VTRO_TYPE_BYTE_STREAM +
                  VTRO_TYPE_CUSTOM_STRUCTURE == 0x41060);
const VTROTypeFilter g_timeFilter{0, 0, VTRO_TYPE_INT64, nullptr, {0, 0, 0}};

// The first two exist from construction; Dynamic creates the other two.
const VTROInputDefinition g_inputs[] = {
    {"SensorDataIn", nullptr, &g_sensorDataFilter, NeverSkippingReader, 1},
    {"LoggingStartTime", nullptr, &g_timeFilter, SamplingReader, 1},
    {"ReplayStartTime", nullptr, &g_timeFilter, SamplingReader, 1},
    {"ReplayStopTime", nullptr, &g_timeFilter, SamplingReader, 1},
    {nullptr, nullptr, nullptr, 0, 0},
};

// ---- Outputs ----
const VTROStackedString g_statusStructureName("QZTQtuStatusT");
const VTROStackedString g_noName;
constexpr std::uint64_t kStructureTypeCode = 0x1;

const VTROOutputDefinition g_outputs[] = {
    {"oReplayStateInfo", nullptr, kStructureTypeCode, &g_statusStructureName, &g_noName, 16, 16, 1, 1},
    {"oSystemTime_us", nullptr, VTRO_TYPE_INT64, &g_noName, &g_noName, 1, 16, 1, 1},
    {nullptr, nullptr, 0, nullptr, nullptr, 0, 0, 0, 0},
};

// ---- Properties ----
constexpr std::uint32_t kPlain = VTRO_FLAG_ENUM_VALUES_FIXED;                       // 0x01000000
constexpr std::uint32_t kGroup = VTRO_FLAG_ENUM_VALUES_FIXED | VTRO_FLAG_READ_ONLY;  // 0x01010000
static_assert(kPlain == 0x01000000 && kGroup == 0x01010000);
constexpr std::uint32_t kOpensGroup = VTRO_HINT_GROUP_BEGIN;  // 256
constexpr std::uint32_t kClosesGroup = VTRO_HINT_GROUP_END;   // 512

VTROPropertyValue g_startStopTimeInputs(false);
VTROPropertyValue g_comBegin("Communication");
VTROPropertyValue g_qtuControlIp("192.168.141.20");
VTROPropertyValue g_qtuControlPort(std::int32_t{65024});
VTROPropertyValue g_sensorDataIp("192.168.140.23");
VTROPropertyValue g_sensorDataBasePort(std::int32_t{61440});
VTROPropertyValue g_channelNumber(std::int32_t{0});
VTROPropertyValue g_localControlIp("0.0.0.0");
VTROPropertyValue g_localControlPort(std::int32_t{30010});
VTROPropertyValue g_maxPayLoadSize(std::int32_t{8948});
VTROPropertyValue g_timeoutGet(std::int32_t{50000});
VTROPropertyValue g_timeoutStream(std::int32_t{50000});
VTROPropertyValue g_statusUpdatePeriod(std::int32_t{500000});
VTROPropertyValue g_comEnd(true);
VTROPropertyValue g_debugBegin("Debug");
VTROPropertyValue g_verbose(false);
VTROPropertyValue g_waitForStartTime(false);
VTROPropertyValue g_skipCsi2Preamble(true);
VTROPropertyValue g_skipCsi2ShortPackages(false);
VTROPropertyValue g_unregisterChannel(false);
VTROPropertyValue g_debugEnd(false);

const VTROPropertyDefinition g_properties[] = {
    {"StartStopTimeInputs", &g_startStopTimeInputs, nullptr, kPlain, 0},
    {"com_begin", &g_comBegin, nullptr, kGroup, kOpensGroup},
    {"QtuControlIP", &g_qtuControlIp, nullptr, kPlain, 0},
    {"QtuControlPort", &g_qtuControlPort, nullptr, kPlain, 0},
    {"SensorDataIP", &g_sensorDataIp, nullptr, kPlain, 0},
    {"SensorDataBasePort", &g_sensorDataBasePort, nullptr, kPlain, 0},
    {"ChannelNumber", &g_channelNumber, nullptr, kPlain, 0},
    {"LocalControlIP", &g_localControlIp, nullptr, kPlain, 0},
    {"LocalControlPort", &g_localControlPort, nullptr, kPlain, 0},
    {"MaxPayLoadSize", &g_maxPayLoadSize, nullptr, kPlain, 0},
    {"TimeoutGet", &g_timeoutGet, nullptr, kPlain, 0},
    {"TimeoutStream", &g_timeoutStream, nullptr, kPlain, 0},
    {"StatusUpdatePeriod", &g_statusUpdatePeriod, nullptr, kPlain, 0},
    {"com_end", &g_comEnd, nullptr, kGroup, kClosesGroup},
    {"debug_begin", &g_debugBegin, nullptr, kGroup, kOpensGroup},
    {"Verbose", &g_verbose, nullptr, kPlain, 0},
    {"WaitForStartTime", &g_waitForStartTime, nullptr, kPlain, 0},
    {"SkipCsi2Preamble", &g_skipCsi2Preamble, nullptr, kPlain, 0},
    {"SkipCsi2ShortPackages", &g_skipCsi2ShortPackages, nullptr, kPlain, 0},
    {"Unregister_Channel", &g_unregisterChannel, nullptr, kPlain, 0},
    {"debug_end", &g_debugEnd, nullptr, kGroup, kClosesGroup},
    {nullptr, nullptr, nullptr, 0, 0},
};

// ---- Actions (neither runs while the component is stopped) ----
const VTROActionCallback g_resetChannel{static_cast<void (VTROComponent::*)()>(&VTROImage2Qtu::ResetChannelAction)};
const VTROActionCallback g_clearStatusFlags{
    static_cast<void (VTROComponent::*)()>(&VTROImage2Qtu::ClearStatusFlagsAction)};

const VTROActionDefinition g_actions[] = {
    {"ResetChannel", &g_resetChannel, 0, {}},
    {"ClearStatusFlags", &g_clearStatusFlags, 0, {}},
    {nullptr, nullptr, 0, {}},
};

VTRO_MODULE_MARKER(g_marker, "VTROComponent", "QzQtuUnitClient", "3.1.2");

VTROComponent* CreateUnitClient(const char* instanceName, const VTROComponentDefinition* definition) {
  return new (std::nothrow) VTROImage2Qtu(instanceName, definition);
}

const VTROComponentDefinition g_definition{
    "QzQtuUnitClient",
    "3.1.2",
    &CreateUnitClient,
    nullptr,
    nullptr,
    0,
    2,  // SensorDataIn and LoggingStartTime
    g_inputs,
    -1,
    0,
    g_outputs,
    -1,
    0,
    g_properties,
    -1,
    0,
    g_actions,
    128,
    0,
    VTRO_THREADING_THREADED,
    1,
    {},
    g_marker,
};

}  // namespace

VTRO_REGISTER_COMPONENT(g_unitClientModule, "VTROImage2Qtu", g_definition);
