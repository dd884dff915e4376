// Replay times, status outputs, refused inputs and stops of QzQtuUnitClient
// under the real engine against the emulated unit.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include <fstream>

#include "client_rig.h"
#include "walk_support.h"

namespace {

using namespace unit_client_test;
using namespace std::chrono_literals;
using unit_client_test::StreamBuilder;

std::uint64_t Le64(const std::vector<std::uint8_t>& bytes, std::size_t at) {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | bytes[at + static_cast<std::size_t>(i)];
  return v;
}

// The time carried by each control request `command` the unit received (offset 12).
std::vector<std::uint64_t> TimesOf(ClientRig& rig, std::uint16_t command) {
  std::vector<std::uint64_t> times;
  for (const auto& datagram : rig.Unit().controlLog()) {
    if (datagram.size() >= 20 && (datagram[8] | (datagram[9] << 8)) == command) times.push_back(Le64(datagram, 12));
  }
  return times;
}

void Camera(ClientRig& rig, const Properties& clientProperties) {
  rig.CreateModel("TestCamera", "cam", {{"Width", "64"}, {"Height", "16"}, {"Channels", "1"}, {"Rate", "20"}});
  rig.Create("client", clientProperties);
  rig.Connect("cam.oImage", "client.SensorDataIn");
}

TEST(UnitClientTiming, FramesWaitForTheOffsetAndTheStartAndStopTimes) {
  {
    SCOPED_TRACE("LoggingStartTime not connected: nothing is sent, no time either");
    ClientRig rig;
    Camera(rig, {});
    rig.RunFor({"client", "cam"}, 1.0);
    EXPECT_EQ(FramesSent(rig, "client"), 0);
    EXPECT_EQ(rig.Unit().channel(0).packets, 0u);
    for (std::uint16_t command : {0x20, 0x22, 0x24}) EXPECT_TRUE(TimesOf(rig, command).empty()) << command;
  }
  {
    SCOPED_TRACE("offset first, then start and stop, each forwarded once in ns");
    ClientRig rig;
    Camera(rig, {{"StartStopTimeInputs", "true"}});
    // The offset source repeats its value; start and stop come later.
    rig.CreateModel("TimeSource", "offset", {{"Value", "5000000"}, {"Period", "100000"}});
    rig.CreateModel("TimeSource", "start", {{"Value", "1000"}, {"Delay", "300000"}});
    rig.CreateModel("TimeSource", "stop", {{"Value", "9000000"}, {"Delay", "300000"}});
    rig.Connect("offset.oTime", "client.LoggingStartTime");
    rig.Connect("start.oTime", "client.ReplayStartTime");
    rig.Connect("stop.oTime", "client.ReplayStopTime");
    rig.RunFor({"client", "offset", "start", "stop", "cam"}, 1.5);
    EXPECT_EQ(rig.CountReports("client", "Input received a new offset timestamp: 5000000 us)"), 1);
    EXPECT_EQ(rig.CountReports("client", "Input received a new start timestamp: 1000 us)"), 1);
    EXPECT_EQ(rig.CountReports("client", "Input received a new stop timestamp: 9000000 us)"), 1);
    const qtusim::ChannelReport unit = rig.Unit().channel(0);
    EXPECT_EQ(unit.offset, 5000000000u);
    EXPECT_EQ(unit.startTime, 1000000u);
    EXPECT_EQ(unit.stopTime, 9000000000u);
    const auto offsets = TimesOf(rig, 0x20);
    ASSERT_FALSE(offsets.empty());
    EXPECT_EQ(offsets.front(), 5000000000u);
    EXPECT_EQ(TimesOf(rig, 0x22), std::vector<std::uint64_t>{1000000u});
    EXPECT_EQ(TimesOf(rig, 0x24), std::vector<std::uint64_t>{9000000000u});
    EXPECT_GT(FramesSent(rig, "client"), 0);
    EXPECT_EQ(rig.Unit().channel(0).framesComplete, static_cast<std::uint64_t>(FramesSent(rig, "client")));
  }
}

TEST(UnitClientTiming, AnOffsetFallingBackToMinusOneHoldsFramesButIsNotSent) {
  ClientRig rig;
  Camera(rig, {});
  // 1000, then -1, then -1002 ... every 400 ms.
  rig.CreateModel("TimeSource", "offset", {{"Value", "1000"}, {"Period", "400000"}, {"Step", "-1001"}});
  rig.Connect("offset.oTime", "client.LoggingStartTime");
  rig.RunFor({"client", "offset", "cam"}, 1.0);
  EXPECT_EQ(rig.CountReports("client", "Input received a new offset timestamp: -1 us)"), 1);
  const auto offsets = TimesOf(rig, 0x20);
  ASSERT_FALSE(offsets.empty());
  EXPECT_EQ(offsets.front(), 1000000u);
  EXPECT_EQ(std::count(offsets.begin(), offsets.end(), static_cast<std::uint64_t>(-1000)), 0);
}

TEST(UnitClientStatus, OutputsCarryTheUnitsStatus) {
  qtusim::Config config;
  config.capacity = 48;
  ClientRig rig(config);
  Camera(rig, {{"StatusUpdatePeriod", "100000"}});
  rig.CreateModel("TimeSource", "offset", {{"Value", "1000"}});
  rig.CreateModel("ElementDump", "status", {{"Directory", rig.Scratch() + "/status"}});
  rig.CreateModel("ElementDump", "time", {{"Directory", rig.Scratch() + "/time"}});
  rig.Connect("offset.oTime", "client.LoggingStartTime");
  rig.Connect("client.oReplayStateInfo", "status.iData");
  rig.Connect("client.oSystemTime_us", "time.iData");
  rig.RunFor({"status", "time", "client", "offset", "cam"}, 1.2);
  const auto records = ReadDump(rig.Scratch() + "/status");
  const auto times = ReadDump(rig.Scratch() + "/time");
  ASSERT_GE(records.size(), 3u);
  ASSERT_GE(times.size(), records.size() - 1);
  const auto wall = static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch()).count());
  for (std::size_t k = 0; k < std::min(records.size(), times.size()); ++k) {
    SCOPED_TRACE(k);
    ASSERT_EQ(records[k].bytes.size(), 16u);
    ASSERT_EQ(times[k].bytes.size(), 8u);
    // Four flags of one byte, free buffers (u32), the unit's time in ns (u64).
    const std::vector<std::uint8_t>& record = records[k].bytes;
    for (std::size_t flag = 0; flag < 4; ++flag) EXPECT_LE(record[flag], 1);
    std::uint32_t freeBuffers = 0;
    std::memcpy(&freeBuffers, record.data() + 4, 4);
    EXPECT_LE(freeBuffers, 48u);
    const std::uint64_t statusTime = Le64(record, 8);
    // The unit's time is its wall clock in ns; the second output carries it in µs.
    EXPECT_LT(wall - statusTime, 30000000000u);
    std::int64_t us = 0;
    std::memcpy(&us, times[k].bytes.data(), sizeof us);
    EXPECT_EQ(static_cast<std::uint64_t>(us), statusTime / 1000);
  }
}

TEST(UnitClientStop, AStopWhileTheUnitAnswersOnlyTimeoutEndsWithinHalfTheShutdownTimeout) {
  auto& settings = TheEngine().Settings();
  const auto before = settings.Get("Engine.shutdownTimeout");
  settings.Set("Engine.shutdownTimeout", std::int64_t{3000000});
  // Four buffers that do not come back, or come back one per second: every
  // send waits TimeoutStream and answers 11, or does so between rare successes.
  for (double drain : {0.001, 1.0}) {
    SCOPED_TRACE(drain);
    qtusim::Config config;
    config.capacity = 4;
    config.drainBlocksPerSecond = drain;
    ClientRig rig(config);
    Camera(rig, {});
    rig.CreateModel("TimeSource", "offset", {{"Value", "1000"}});
    rig.Connect("offset.oTime", "client.LoggingStartTime");
    for (const char* name : {"client", "offset", "cam"}) ASSERT_TRUE(rig.Start(name));
    std::this_thread::sleep_for(1s);
    rig.Stop("cam");
    const auto start = std::chrono::steady_clock::now();
    rig.Stop("client");
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    rig.Stop("offset");
    EXPECT_TRUE(rig.HasReport("client", 1, "Component timeout reached, shutting down directly."));
    EXPECT_TRUE(rig.HasReport("client", 1, "[Core] Timeout"));
    // Half of 3 s and one TimeoutStream more; the framework itself would wait 3 s.
    EXPECT_LT(took, 2.5);
  }
  if (before) settings.Set("Engine.shutdownTimeout", *before);
}

// A file of frame-header frames for RawFramePlayer: each frame's size (header
// included) in its first 4 bytes.
std::string WriteFrames(const std::string& path, const std::vector<std::vector<std::uint8_t>>& frames) {
  std::ofstream out(path, std::ios::binary);
  for (std::vector<std::uint8_t> frame : frames) {
    const auto size = static_cast<std::uint32_t>(frame.size());
    std::memcpy(frame.data(), &size, 4);
    out.write(reinterpret_cast<const char*>(frame.data()), static_cast<std::streamsize>(frame.size()));
  }
  return path;
}

std::vector<std::uint8_t> Stream(std::uint8_t alignment, std::uint16_t wordCount, int packets) {
  StreamBuilder stream(alignment, wordCount);
  for (int k = 0; k < packets; ++k) stream.Long(0x2C, static_cast<std::uint8_t>(k + 1));
  return stream.Finish();
}

TEST(UnitClientRefusals, InputsThatCannotBeSentStopTheComponentWithAClearError) {
  ClientRig files;
  std::vector<std::uint8_t> noPreamble = Stream(32, 100, 2);
  noPreamble[64] = 0;
  std::vector<std::uint8_t> hugePackets = Stream(32, 100, 2);
  hugePackets[69] = 0xFF;
  hugePackets[70] = 0xFF;
  const std::string noPreambleFile = WriteFrames(files.Scratch() + "/no_preamble.raw", {noPreamble});
  const std::string hugeFile = WriteFrames(files.Scratch() + "/huge.raw", {hugePackets});
  struct Case {
    const char* name;
    const char* model;
    const char* output;
    Properties source;
    Properties client;
    const char* error;
  };
  const Case cases[] = {
      {"IPL lines longer than a block", "TestCamera", "oImage",
       {{"Width", "12000"}, {"Height", "2"}, {"Channels", "3"}, {"Depth", "16"}}, {},
       "[Core] Unsupported IPL image: a line of 72000 bytes exceeds the 65535 bytes of one block"},
      {"compressed blocks longer than a block", "TestCompressedSource", "oImage", {{"Size", "1000"}, {"Lines", "2"}},
       {{"MaxPayLoadSize", "65544"}},
       "[Core] Unsupported MaxPayLoadSize for compressed images: blocks of 65544 bytes (8 to 65528 are possible)"},
      {"MaxPayLoadSize below 8", "TestCompressedSource", "oImage", {{"Size", "1000"}, {"Lines", "2"}},
       {{"MaxPayLoadSize", "7"}}, "[Birth] Could not register output channel: Invalid inputInterface configuration"},
      {"frame-header stream without preamble", "RawFramePlayer", "oFrame", {{"File", noPreambleFile}}, {},
       "Frame does not contain valid MIPI CSI2 data, aborting"},
      {"frame-header packets longer than a block", "RawFramePlayer", "oFrame", {{"File", hugeFile}},
       {{"SkipCsi2Preamble", "true"}},
       "[Core] Unsupported MIPI CSI2 stream: packets of 65541 bytes exceed the 65535 bytes of one block"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ClientRig rig;
    rig.CreateModel(c.model, "source", c.source);
    rig.CreateModel("TimeSource", "offset", {{"Value", "1000"}});
    rig.Create("client", c.client);
    rig.Connect(std::string("source.") + c.output, "client.SensorDataIn");
    rig.Connect("offset.oTime", "client.LoggingStartTime");
    const auto start = std::chrono::steady_clock::now();
    rig.RunFor({"client", "offset", "source"}, 0.8);
    // The client stopped on its error and reads no more: what the source
    // wrote for it does not hold up the drain, whose bound is 20 s.
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 10.0);
    EXPECT_TRUE(rig.HasReport("client", 2, c.error));
    EXPECT_EQ(rig.Unit().channel(0).packets, 0u);
    // Refused before the channel was initialised.
    const auto commands = rig.Commands();
    EXPECT_EQ(std::count(commands.begin(), commands.end(), 0x30), 0);
  }
}

TEST(UnitClientRefusals, AFrameThatNeedsMoreThanItsElementIsDroppedAndTheNextIsSent) {
  ClientRig rig({}, true);
  // Alignment 0: no padding. The first frame sets up three packets per
  // frame for the run; the second holds only two.
  const std::vector<std::uint8_t> short2 = Stream(0, 100, 2);
  const std::string file =
      WriteFrames(rig.Scratch() + "/frames.raw", {Stream(0, 100, 3), short2, Stream(0, 100, 3)});
  rig.CreateModel("RawFramePlayer", "source", {{"File", file}, {"Rate", "10"}});
  rig.CreateModel("TimeSource", "offset", {{"Value", "1000"}});
  rig.Create("client", {});
  rig.Connect("source.oFrame", "client.SensorDataIn");
  rig.Connect("offset.oTime", "client.LoggingStartTime");
  rig.RunFor({"client", "offset", "source"}, 1.2);
  EXPECT_TRUE(rig.HasReport("client", 2, "[Core] MIPI CSI2 frame dropped: its 3 packets do not fit in the element's " +
                                             std::to_string(short2.size()) + " bytes"));
  const auto frames = Frames(rig.Tap().Blocks());
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(FramesSent(rig, "client"), 2);
  for (std::size_t f = 0; f < 2; ++f) {
    EXPECT_EQ(frames[f].front().frameCounter, f);
    ASSERT_EQ(frames[f].size(), 3u);
    for (std::size_t k = 0; k < 3; ++k) {
      EXPECT_EQ(frames[f][k].length, 106u);
      EXPECT_EQ(frames[f][k].bytes[4], k + 1);  // behind the packet header: the packet's own data
    }
  }
  EXPECT_EQ(rig.Unit().channel(0).framesComplete, 2u);
}

TEST(UnitClientRuns, StartStopStartStreamsInBothRuns) {
  ClientRig rig;
  Camera(rig, {});
  rig.CreateModel("TimeSource", "offset", {{"Value", "1000"}});
  rig.Connect("offset.oTime", "client.LoggingStartTime");
  rig.RunFor({"client", "offset", "cam"}, 1.0);
  const long long first = FramesSent(rig, "client");
  ASSERT_GT(first, 0);
  rig.RunFor({"client", "offset", "cam"}, 1.0);
  long long total = 0;
  int runs = 0;
  for (const auto& report : rig.Reports("client")) {
    if (report.second.rfind("[Death]Sent ", 0) == 0) {
      total += std::atoll(report.second.c_str() + 12);
      ++runs;
    }
  }
  EXPECT_EQ(runs, 2);
  EXPECT_GT(total, first);
  const qtusim::ChannelReport unit = rig.Unit().channel(0);
  EXPECT_EQ(unit.framesComplete, static_cast<std::uint64_t>(total));
  EXPECT_EQ(unit.framesIncomplete, 0u);
  EXPECT_EQ(unit.counterGaps, 0u);
}

}  // namespace
