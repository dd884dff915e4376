// QzQtuUnitClient under the real engine against the emulated unit: its
// inputs as Dynamic makes them, Birth's registration and its refusals, the
// actions reaching the unit, and Death releasing the channel.
#include <gtest/gtest.h>

#include <algorithm>

#include "client_rig.h"

namespace {

using namespace std::chrono_literals;
using unit_client_test::ClientRig;
using unit_client_test::TheEngine;

std::vector<std::string> InputNames(const std::string& name) {
  std::vector<std::string> names;
  VTROComponent* component = TheEngine().Find(name);
  for (std::int32_t i = 0; i < component->EngineInputCount(); ++i) {
    names.push_back(component->EngineInputAt(i)->ShortName());
  }
  return names;
}

bool Contains(const std::vector<std::uint16_t>& commands, std::uint16_t command) {
  return std::find(commands.begin(), commands.end(), command) != commands.end();
}

TEST(UnitClientLifecycle, TimingInputsFollowStartStopTimeInputs) {
  ClientRig rig;
  rig.Create("inputs");
  using Names = std::vector<std::string>;
  EXPECT_EQ(InputNames("inputs"), (Names{"SensorDataIn", "LoggingStartTime"}));
  std::string error;
  ASSERT_TRUE(TheEngine().SetProperty("inputs", "StartStopTimeInputs", "true", error)) << error;
  EXPECT_EQ(InputNames("inputs"), (Names{"SensorDataIn", "LoggingStartTime", "ReplayStartTime", "ReplayStopTime"}));
  ASSERT_TRUE(TheEngine().SetProperty("inputs", "StartStopTimeInputs", "false", error)) << error;
  EXPECT_EQ(InputNames("inputs"), (Names{"SensorDataIn", "LoggingStartTime"}));
}

TEST(UnitClientLifecycle, BirthRegistersAndDeathReleasesTheChannelTwice) {
  ClientRig rig;
  rig.Create("life", {{"Verbose", "true"}, {"ChannelNumber", "0"}});
  for (int run = 0; run < 2; ++run) {
    SCOPED_TRACE(run);
    ASSERT_TRUE(rig.Start("life"));
    EXPECT_TRUE(rig.HasReport("life", 0, "[Birth] Interface available"));
    EXPECT_TRUE(rig.HasReport("life", 0, "[Birth] Channel registered."));
    rig.Stop("life");
    EXPECT_TRUE(rig.HasReport("life", 0, "[Death]Sent 0 frames."));
    EXPECT_EQ(rig.CountReports("life", "[Death] UnregisterOutputChannel "), run + 1);
    EXPECT_EQ(rig.CountReports("life", " succesful."), run + 1);
  }
  // The teardown of each channel told the unit: output off, then replay off.
  const auto commands = rig.Commands();
  ASSERT_EQ(commands.size(), 4u);
  EXPECT_EQ(commands, (std::vector<std::uint16_t>{0x00, 0x10, 0x00, 0x10}));

  // Without Verbose a good Birth says nothing.
  rig.Create("quiet");
  ASSERT_TRUE(rig.Start("quiet"));
  rig.Stop("quiet");
  const auto reports = rig.Reports("quiet");
  EXPECT_EQ(std::count_if(reports.begin(), reports.end(), [](const auto& r) { return r.second.find("[Birth]") == 0; }),
            0);
}

TEST(UnitClientLifecycle, RefusedBirthsStopTheComponentWithTheLibraryText) {
  ClientRig rig;
  rig.Create("holder");
  ASSERT_TRUE(rig.Start("holder"));
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, std::string>> properties;
    const char* error;
  };
  const Case cases[] = {
      {"bad_address", {{"QtuControlIP", "abc"}},
       "[Birth] Input interface is not available: Invalid inputInterface configuration"},
      {"bad_local", {{"LocalControlIP", "300.1.1.1"}},
       "[Birth] Input interface is not available: Invalid inputInterface configuration"},
      {"same_channel", {}, "[Birth] Could not register output channel: Channel already registered"},
      {"negative_channel", {{"ChannelNumber", "-1"}}, "[Birth] Could not register output channel: Invalid channel index"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    rig.Create(c.name, c.properties);
    EXPECT_FALSE(rig.Start(c.name));
    EXPECT_TRUE(rig.HasReport(c.name, 2, c.error));
    // Nothing was registered, so Death has nothing to release.
    EXPECT_EQ(rig.CountReports(c.name, "UnregisterOutputChannel"), 0);
  }
  rig.Stop("holder");
}

TEST(UnitClientLifecycle, ActionsReachTheUnitAndRefusalsAreWarnings) {
  ClientRig rig;
  rig.Create("acts", {{"TimeoutGet", "100000"}});
  ASSERT_TRUE(rig.Start("acts"));
  ASSERT_TRUE(rig.Act("acts", "ResetChannel"));
  ASSERT_TRUE(rig.Act("acts", "ClearStatusFlags"));
  EXPECT_EQ(rig.Unit().channel(0).resets, 1u);
  EXPECT_TRUE(Contains(rig.Commands(), 0x02));
  EXPECT_TRUE(Contains(rig.Commands(), 0x12));

  // A unit that does not answer: both requests time out.
  qtusim::Faults faults;
  faults.dropReplyShare = 1;
  rig.Unit().setFaults(faults);
  ASSERT_TRUE(rig.Act("acts", "ResetChannel"));
  ASSERT_TRUE(rig.Act("acts", "ClearStatusFlags"));
  EXPECT_EQ(rig.CountReports("acts", "Resetting QTU Channel failed: Timeout"), 2);
  rig.Unit().setFaults({});
  rig.Stop("acts");

  // Stopped: the engine refuses both actions before they reach the unit.
  const auto before = rig.Commands().size();
  std::string error;
  TheEngine().TriggerAction("acts", "ResetChannel", error);
  EXPECT_EQ(rig.Commands().size(), before);
}

}  // namespace

namespace {

// The tables as the engine lists them from the package file.
TEST(UnitClientDefinition, EngineListsTheTables) {
  const std::string command = std::string(VTRO_ENGINE_BIN) + " list " + VTRO_PACKAGE_FILE;
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string listing;
  char buffer[4096];
  for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) listing.append(buffer, n);
  ASSERT_EQ(pclose(pipe), 0) << listing;
  const std::size_t begin = listing.find("component QzQtuUnitClient 3.1.2\n");
  ASSERT_NE(begin, std::string::npos) << listing;
  const std::size_t end = listing.find("\ncomponent ", begin + 1);
  const std::string section = listing.substr(begin, end == std::string::npos ? end : end + 1 - begin);
  EXPECT_EQ(section,
            "component QzQtuUnitClient 3.1.2\n"
            "  threading threaded, default threaded, priority 128\n"
            "  4 inputs (2 created with the component)\n"
            "    input SensorDataIn types 0x41060 structures |VTROMipiCsi2Frame reader NeverSkippingReader subsampling 1\n"
            "    input LoggingStartTime types 0x8000 reader SamplingReader subsampling 1\n"
            "    input ReplayStartTime types 0x8000 reader SamplingReader subsampling 1\n"
            "    input ReplayStopTime types 0x8000 reader SamplingReader subsampling 1\n"
            "  2 outputs\n"
            "    output oReplayStateInfo type 0x1 structure QZTQtuStatusT buffer 16 fifo 16 subsampling 1\n"
            "    output oSystemTime_us type 0x8000 buffer 1 fifo 16 subsampling 1\n"
            "  21 properties\n"
            "    property StartStopTimeInputs boolean default false flags enum-values-fixed\n"
            "    property com_begin string default \"Communication\" flags read-only,enum-values-fixed hints 0x100\n"
            "    property QtuControlIP string default \"192.168.141.20\" flags enum-values-fixed\n"
            "    property QtuControlPort integer default 65024 flags enum-values-fixed\n"
            "    property SensorDataIP string default \"192.168.140.23\" flags enum-values-fixed\n"
            "    property SensorDataBasePort integer default 61440 flags enum-values-fixed\n"
            "    property ChannelNumber integer default 0 flags enum-values-fixed\n"
            "    property LocalControlIP string default \"0.0.0.0\" flags enum-values-fixed\n"
            "    property LocalControlPort integer default 30010 flags enum-values-fixed\n"
            "    property MaxPayLoadSize integer default 8948 flags enum-values-fixed\n"
            "    property TimeoutGet integer default 50000 flags enum-values-fixed\n"
            "    property TimeoutStream integer default 50000 flags enum-values-fixed\n"
            "    property StatusUpdatePeriod integer default 500000 flags enum-values-fixed\n"
            "    property com_end boolean default true flags read-only,enum-values-fixed hints 0x200\n"
            "    property debug_begin string default \"Debug\" flags read-only,enum-values-fixed hints 0x100\n"
            "    property Verbose boolean default false flags enum-values-fixed\n"
            "    property WaitForStartTime boolean default false flags enum-values-fixed\n"
            "    property SkipCsi2Preamble boolean default true flags enum-values-fixed\n"
            "    property SkipCsi2ShortPackages boolean default false flags enum-values-fixed\n"
            "    property Unregister_Channel boolean default false flags enum-values-fixed\n"
            "    property debug_end boolean default false flags read-only,enum-values-fixed hints 0x200\n"
            "  2 actions\n"
            "    action ResetChannel (while running)\n"
            "    action ClearStatusFlags (while running)\n");
}

}  // namespace
