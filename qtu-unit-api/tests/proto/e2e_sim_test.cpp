// End to end through the emulated unit: several channels streaming at once
// arrive complete, in order, with no gap in the packet counters.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "QZQTUApi.h"
#include "qtu_sim/unit_sim.h"

namespace {

TEST(EmulatedUnit, ThousandsOfFramesOnSeveralChannelsArriveComplete) {
    constexpr int kChannels = 3;
    constexpr int kFrames = 2000;
    constexpr uint16_t kLines = 8;
    constexpr uint16_t kLineSize = 6000;  // one packet of 6000 bytes per line

    qtusim::Config config;
    config.channels = kChannels;
    config.capacity = 512;
    config.statusPeriodMs = 5;
    qtusim::UnitSim sim(config);
    sim.start();

    QZQTU_InputInterface c{};
    c.qtuControlIp = "127.0.0.1";
    c.qtuControlPort = sim.controlPort();
    c.sensorDataIp = "127.0.0.1";
    c.sensorDataBasePort = sim.dataBasePort();
    c.localControlIp = "127.0.0.1";
    c.maxPayloadSize = 8948;
    c.timeoutGet = 2000;
    c.timeoutStream = 2000;

    int32_t handles[kChannels];
    for (int ch = 0; ch < kChannels; ++ch) {
        ASSERT_EQ(QZQTU_RegisterOutputChannel(&c, ch, &handles[ch]), QZQTU_OK);
        ASSERT_EQ(QZQTU_InitOutputChannel(handles[ch], kLineSize, kLines), QZQTU_OK);
    }
    std::vector<std::thread> senders;
    std::vector<int> failures(kChannels, 0);
    for (int ch = 0; ch < kChannels; ++ch)
        senders.emplace_back([&, ch] {
            std::vector<uint8_t> line(kLineSize, static_cast<uint8_t>(ch));
            for (int f = 0; f < kFrames; ++f)
                for (uint16_t l = 0; l < kLines; ++l) {
                    QZQTU_StreamDataInfo info{};
                    info.frameCounter = static_cast<uint16_t>(f);
                    info.lineIndex = l;
                    QZQTU_Error rc;
                    int waits = 0;
                    while ((rc = QZQTU_ReplayStreamData(handles[ch], &info, line.data(), kLineSize)) ==
                               QZQTU_TIMEOUT &&
                           ++waits < 5) {
                    }
                    if (rc != QZQTU_OK) {
                        ++failures[ch];
                        return;
                    }
                }
        });
    for (auto& t : senders) t.join();
    for (int ch = 0; ch < kChannels; ++ch) {
        EXPECT_EQ(failures[ch], 0) << "channel " << ch;
        EXPECT_TRUE(sim.waitFor(
            ch, [&](const qtusim::ChannelReport& r) { return r.framesComplete >= kFrames; },
            std::chrono::seconds(20)));
        const qtusim::ChannelReport r = sim.channel(ch);
        EXPECT_EQ(r.framesComplete, static_cast<uint64_t>(kFrames)) << "channel " << ch;
        EXPECT_EQ(r.framesIncomplete, 0u);
        EXPECT_EQ(r.packets, static_cast<uint64_t>(kFrames) * kLines);
        EXPECT_EQ(r.counterGaps, 0u);
        EXPECT_EQ(r.headerErrors, 0u);
        EXPECT_EQ(r.bytes, static_cast<uint64_t>(kFrames) * kLines * kLineSize);
        EXPECT_EQ(r.lineCount, kLines);
        EXPECT_TRUE(r.outputEnabled);
        EXPECT_TRUE(r.replayEnabled);
    }
    for (int32_t h : handles) EXPECT_EQ(QZQTU_UnregisterOutputChannel(h), QZQTU_OK);
    sim.stop();
}

}  // namespace
