// Streaming on a channel while other threads read its status and set its
// replay times, and two channels streaming at once (a ThreadSanitizer case).
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "QZQTUApi.h"
#include "channel_state.h"
#include "fake_unit.h"
#include "unit_api.h"

namespace qtu::test {
namespace {

constexpr uint16_t kLines = 8;
constexpr uint16_t kLineSize = 2000;
constexpr uint16_t kMaxPayload = 1400;  // two packets per line
constexpr int kFrames = 150;

TEST(ConcurrentUse, StreamingWhileOtherThreadsReadStatusAndSetTimes) {
    FakeUnit unit(2);
    unit.capacity = 200;
    unit.autoCredit = true;
    // Not one status per block: a flood of status messages would fill the
    // host's control socket and crowd out the replies to the time setters.
    unit.autoCreditEvery = 16;
    int32_t handles[2];
    for (int c = 0; c < 2; ++c) {
        const QZQTU_InputInterface cfg = unit.config(c, kMaxPayload, 2000, 5000);
        ASSERT_EQ(QZQTU_RegisterOutputChannel(&cfg, c, &handles[c]), QZQTU_OK);
        ASSERT_EQ(QZQTU_InitOutputChannel(handles[c], kLineSize, kLines), QZQTU_OK);
        unit.sendStatus(static_cast<uint8_t>(c), 0, 0, 200, 0);
    }
    std::atomic<int> streaming{2};
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int c = 0; c < 2; ++c)
        threads.emplace_back([&, c] {
            std::vector<uint8_t> line(kLineSize);
            for (int f = 0; f < kFrames; ++f)
                for (uint16_t l = 0; l < kLines; ++l) {
                    for (size_t i = 0; i < line.size(); ++i) line[i] = static_cast<uint8_t>(f + l + i);
                    QZQTU_StreamDataInfo info{};
                    info.frameCounter = static_cast<uint16_t>(f);
                    info.lineIndex = l;
                    info.timestamp = static_cast<uint64_t>(f) * 1000 + l;
                    QZQTU_Error rc;
                    while ((rc = QZQTU_ReplayStreamData(handles[c], &info, line.data(), kLineSize)) == QZQTU_TIMEOUT) {
                    }
                    if (rc != QZQTU_OK) ++failures;
                }
            --streaming;
        });
    threads.emplace_back([&] {  // status reader
        QZQTU_ReplayState st;
        while (streaming > 0) {
            const QZQTU_Error rc = QZQTU_GetCurrentState(handles[0], &st);
            if (rc != QZQTU_OK && rc != QZQTU_DATA_NOT_AVAILABLE) ++failures;
            if (rc == QZQTU_OK && (st.statusBit0 > 1 || st.freeBuffers > 200)) ++failures;
        }
    });
    threads.emplace_back([&] {  // replay times, on the streaming channel
        uint64_t t = 1;
        uint64_t got;
        while (streaming > 0) {
            if (QZQTU_SetReplayStartTime(handles[0], t, t, t + 5) != QZQTU_OK) ++failures;
            if (QZQTU_SetReplayOffset(handles[0], t) != QZQTU_OK) ++failures;
            if (QZQTU_GetReplayStopTime(handles[0], &got) != QZQTU_OK) ++failures;
            ++t;
        }
    });
    for (auto& t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);

    const size_t expected = static_cast<size_t>(kFrames) * kLines * 2;
    for (int c = 0; c < 2; ++c) {
        ASSERT_TRUE(unit.waitPackets(c, expected, std::chrono::seconds(20)));
        const auto ps = unit.packets(c);
        ASSERT_EQ(ps.size(), expected);
        for (size_t i = 0; i < ps.size(); ++i) {
            ASSERT_EQ(ps[i].packetCounter, static_cast<uint16_t>(i));
            ASSERT_EQ(ps[i].lineIndex, (i / 2) % kLines);
            ASSERT_EQ(ps[i].frameCounter, i / (2 * kLines));
        }
        EXPECT_EQ(ps.back().flags, 0xC0);
    }
    for (int32_t h : handles) EXPECT_EQ(QZQTU_UnregisterOutputChannel(h), QZQTU_OK);
}

TEST(ConcurrentUse, RequestsFromManyThreadsEachGetTheirOwnReply) {
    FakeUnit unit;
    // The unit echoes the request's sequence number as the time value.
    unit.setResponder([](const FakeUnit::Request& r) {
        auto d = replyDatagram(r.channel(), r.command(), r.sequence());
        putLe(d, 12, r.sequence(), 8);
        return std::vector<std::vector<uint8_t>>{d};
    });
    const QZQTU_InputInterface cfg = unit.config(0, 1400, 2000, 1000);
    int32_t h;
    ASSERT_EQ(QZQTU_RegisterOutputChannel(&cfg, 0, &h), QZQTU_OK);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                uint64_t v = 0;
                if (QZQTU_GetReplayOffset(h, &v) != QZQTU_OK || v == 0 || v > 801) ++failures;
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
    const auto rs = unit.requests();
    ASSERT_EQ(rs.size(), 800u);
    std::vector<bool> seen(802, false);
    for (const auto& r : rs) {
        ASSERT_LT(r.sequence(), 802);
        EXPECT_FALSE(seen[r.sequence()]);
        seen[r.sequence()] = true;
    }
    EXPECT_EQ(QZQTU_UnregisterOutputChannel(h), QZQTU_OK);
}

}  // namespace
}  // namespace qtu::test
