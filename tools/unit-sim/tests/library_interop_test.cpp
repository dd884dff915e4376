// The unit API library, driven through its public header only, against the
// emulated unit: two readings of the same wire format have to agree.
#include <gtest/gtest.h>

#include <thread>

#include "QZQTUApi.h"
#include "host_side.h"
#include "qtu_sim/unit_sim.h"

namespace {

using namespace std::chrono_literals;

class Interop : public ::testing::Test {
 protected:
  void start(qtusim::Config c) {
    sim = std::make_unique<qtusim::UnitSim>(c);
    sim->start();
  }
  int32_t registerChannel(int32_t channel, uint32_t timeoutGet = 1000) {
    QZQTU_InputInterface in{};
    in.qtuControlIp = "127.0.0.1";
    in.qtuControlPort = sim->controlPort();
    in.sensorDataIp = "127.0.0.1";
    in.sensorDataBasePort = sim->dataBasePort();
    in.localControlIp = "127.0.0.1";
    in.localControlPort = 0;
    in.maxPayloadSize = 8948;
    in.timeoutGet = timeoutGet;
    in.timeoutStream = 3000;
    int32_t handle = -1;
    EXPECT_EQ(QZQTU_RegisterOutputChannel(&in, channel, &handle), 0);
    handles.push_back(handle);
    return handle;
  }
  void TearDown() override {
    for (int32_t h : handles) QZQTU_UnregisterOutputChannel(h);
  }
  // Streams frames of lineCount lines, each line filled from its indices.
  void stream(int32_t h, uint16_t firstFrame, int frames, uint16_t lineSize, uint16_t lineCount) {
    std::vector<uint8_t> line(lineSize);
    for (int f = 0; f < frames; ++f) {
      for (uint16_t l = 0; l < lineCount; ++l) {
        for (size_t i = 0; i < line.size(); ++i) line[i] = static_cast<uint8_t>(f + l + i);
        QZQTU_StreamDataInfo info{};
        info.timestamp = 1'000'000ull * f;
        info.frameCounter = static_cast<uint16_t>(firstFrame + f);
        info.lineIndex = l;
        QZQTU_Error e;
        while ((e = QZQTU_ReplayStreamData(h, &info, line.data(), lineSize)) == 11) {
        }
        ASSERT_EQ(e, 0) << QZQTU_ErrorToString(static_cast<uint32_t>(e));
      }
    }
  }

  std::unique_ptr<qtusim::UnitSim> sim;
  std::vector<int32_t> handles;
};

TEST_F(Interop, TimesGeometryAndChannelStateAgree) {
  qtusim::Config c;
  c.channels = 2;
  c.statusPeriodMs = 5;
  start(c);
  const int32_t h = registerChannel(1);
  QZQTU_ReplayState state{};
  EXPECT_EQ(QZQTU_GetCurrentState(h, &state), 14);

  EXPECT_EQ(QZQTU_SetReplayStartTime(h, 5000, 100, 9000), 0);
  auto r = sim->channel(1);
  EXPECT_EQ(r.startTime, 5000u);
  EXPECT_EQ(r.offset, 100u);
  EXPECT_EQ(r.stopTime, 9000u);
  uint64_t start = 0, offset = 0, stop = 0;
  EXPECT_EQ(QZQTU_GetReplayStartTime(h, &start, &offset, &stop), 0);
  EXPECT_EQ(start, 5000u);
  EXPECT_EQ(offset, 100u);
  EXPECT_EQ(stop, 9000u);
  EXPECT_EQ(QZQTU_SetReplayStopTime(h, 0xFFFFFFFFFFFFFFFFull), 0);
  EXPECT_EQ(QZQTU_GetReplayStopTime(h, &stop), 0);
  EXPECT_EQ(stop, 0xFFFFFFFFFFFFFFFFull);

  EXPECT_EQ(QZQTU_InitOutputChannel(h, 3840, 20), 0);
  uint16_t lineSize = 0, lineCount = 0;
  EXPECT_EQ(QZQTU_GetFrameSize(h, &lineSize, &lineCount), 0);
  EXPECT_EQ(lineSize, 3840);
  EXPECT_EQ(lineCount, 20);
  r = sim->channel(1);
  EXPECT_TRUE(r.outputEnabled);
  EXPECT_TRUE(r.replayEnabled);

  EXPECT_EQ(QZQTU_IsOutputChannelAvailable(h), 0);
  const int32_t missing = registerChannel(7);
  EXPECT_EQ(QZQTU_IsOutputChannelAvailable(missing), 4);

  // The first status message reaches the snapshot.
  const auto deadline = std::chrono::steady_clock::now() + 2s;
  while (QZQTU_GetCurrentState(h, &state) == 14 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(1ms);
  EXPECT_EQ(QZQTU_GetCurrentState(h, &state), 0);
  EXPECT_EQ(state.freeBuffers, c.capacity);
  EXPECT_EQ(state.statusBit0 | state.statusBit1 | state.statusBit2 | state.statusBit3, 0);

  EXPECT_EQ(QZQTU_ResetChannel(h), 0);
  EXPECT_EQ(sim->channel(1).resets, 1u);
  EXPECT_EQ(sim->channel(1).startTime, 0u);
}

TEST_F(Interop, FramesStreamedThroughTheLibraryArriveComplete) {
  qtusim::Config c;
  c.channels = 2;
  c.capacity = 32;
  start(c);
  const int32_t h0 = registerChannel(0);
  const int32_t h1 = registerChannel(1);
  ASSERT_EQ(QZQTU_InitOutputChannel(h0, 3840, 30), 0);
  ASSERT_EQ(QZQTU_InitOutputChannel(h1, 65535, 4), 0);
  std::thread other([&] { stream(h1, 65500, 100, 65535, 4); });  // frame counters wrap
  stream(h0, 0, 200, 3840, 30);
  other.join();
  ASSERT_TRUE(sim->waitFor(0, [](const auto& r) { return r.framesComplete == 200; }, 5s));
  ASSERT_TRUE(sim->waitFor(1, [](const auto& r) { return r.framesComplete == 100; }, 5s));
  for (int ch = 0; ch < 2; ++ch) {
    const auto r = sim->channel(ch);
    EXPECT_EQ(r.framesIncomplete, 0u);
    EXPECT_EQ(r.counterGaps, 0u);
    EXPECT_EQ(r.headerErrors, 0u);
    EXPECT_EQ(r.blocksIncomplete, 0u);
  }
  EXPECT_EQ(sim->channel(0).bytes, 200ull * 30 * 3840);
  EXPECT_EQ(sim->channel(1).bytes, 100ull * 4 * 65535);
  // 65535-byte blocks go out as seven packets of 8944 bytes and one of 2927.
  EXPECT_EQ(sim->channel(1).packets, 100ull * 4 * 8);
}

TEST_F(Interop, TheFlagsTheUnitRaisesReachTheStatusAndAreCleared) {
  qtusim::Config c;
  c.statusPeriodMs = 2;
  start(c);
  const int32_t h = registerChannel(0);
  ASSERT_EQ(QZQTU_InitOutputChannel(h, 16, 2), 0);
  hostside::Host raw;
  raw.send(hostside::Bytes(7, 0), sim->dataBasePort());  // malformed: bit 2
  QZQTU_ReplayState state{};
  const auto flagged = [&](uint8_t want) {
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    while (std::chrono::steady_clock::now() < deadline) {
      if (QZQTU_GetCurrentState(h, &state) == 0 && state.statusBit2 == want) return true;
      std::this_thread::sleep_for(1ms);
    }
    return false;
  };
  EXPECT_TRUE(flagged(1));
  EXPECT_EQ(QZQTU_ClearStatusFlags(h), 0);
  EXPECT_TRUE(flagged(0));
}

TEST_F(Interop, FaultsShowAsTheLibrarysCodes) {
  qtusim::Config c;
  c.statusPeriodMs = 0;
  start(c);
  const int32_t h = registerChannel(0, 150);
  qtusim::Faults f;
  f.answerWith = {{0x31, 0x30}, {0x03, 0x8005}};
  sim->setFaults(f);
  uint16_t lineSize = 0, lineCount = 0;
  EXPECT_EQ(QZQTU_GetFrameSize(h, &lineSize, &lineCount), 1);
  EXPECT_EQ(QZQTU_IsOutputChannelAvailable(h), 1);
  f = {};
  f.dropReplyShare = 1;
  sim->setFaults(f);
  EXPECT_EQ(QZQTU_SetReplayOffset(h, 5), 11);
  EXPECT_EQ(sim->channel(0).offset, 5u);  // carried out, only the reply was lost
  f = {};
  f.replyDelayMs = 400;  // beyond the 150 ms the library waits
  sim->setFaults(f);
  uint64_t offset = 0;
  EXPECT_EQ(QZQTU_GetReplayOffset(h, &offset), 11);
  sim->setFaults({});
  EXPECT_EQ(QZQTU_GetReplayOffset(h, &offset), 0);
  EXPECT_EQ(offset, 5u);
}

TEST_F(Interop, UnregisteringSwitchesTheChannelOff) {
  qtusim::Config c;
  start(c);
  const int32_t h = registerChannel(0);
  ASSERT_EQ(QZQTU_InitOutputChannel(h, 8, 1), 0);
  ASSERT_TRUE(sim->channel(0).outputEnabled);
  handles.clear();
  EXPECT_EQ(QZQTU_UnregisterOutputChannel(h), 0);
  EXPECT_TRUE(sim->waitFor(0, [](const auto& r) { return !r.outputEnabled && !r.replayEnabled; }, 2s));
}

}  // namespace
