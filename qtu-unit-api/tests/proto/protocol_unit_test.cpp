// Control-protocol and flow-control pieces on their own, without sockets.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "control_protocol.h"
#include "data_stream.h"
#include "wire.h"

namespace qtu {
namespace {

using namespace std::chrono_literals;

std::vector<uint8_t> reply(uint8_t channel, uint16_t command, uint16_t seq, size_t len = 28) {
    std::vector<uint8_t> d(len, 0);
    std::memcpy(d.data(), "QTU-", 4);
    d[4] = 0x53;
    d[5] = 3;
    d[6] = static_cast<uint8_t>(len);
    d[7] = channel;
    put16(d.data() + 8, command);
    put16(d.data() + 10, seq);
    return d;
}

TEST(WireFormat, SetReplayOffsetRequestBytes) {
    uint8_t out[kMaxRequestSize];
    uint8_t offset[8];
    put64(offset, 0x1122334455667788ull);
    ASSERT_EQ(encodeRequest(out, 7, cmd::kSetReplayOffset, 0x0102, offset, 8), 20u);
    const uint8_t expected[20] = {'Q', 'T', 'U', '-', 0x43, 0x03, 0x14, 0x07, 0x20, 0x00,
                                  0x02, 0x01, 0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11};
    EXPECT_EQ(0, std::memcmp(out, expected, 20));
}

TEST(WireFormat, RequestLengthsAndZeroFill) {
    uint8_t out[kMaxRequestSize];
    std::memset(out, 0xAA, sizeof out);
    EXPECT_EQ(encodeRequest(out, 300 & 0xFF, cmd::kGetFrameSize, 65535, nullptr, 0), 12u);
    EXPECT_EQ(out[6], 12);
    EXPECT_EQ(out[7], 300 & 0xFF);
    EXPECT_EQ(get16(out + 10), 65535);
    for (size_t i = 12; i < kMaxRequestSize; ++i) EXPECT_EQ(out[i], 0) << i;
    const uint8_t geometry[4] = {0x00, 0x0F, 0xE0, 0x01};  // 3840, 480
    EXPECT_EQ(encodeRequest(out, 0, cmd::kInitOutputChannel, 1, geometry, 4), 16u);
    EXPECT_EQ(out[6], 16);
    EXPECT_EQ(get16(out + 12), 3840);
    EXPECT_EQ(get16(out + 14), 480);
}

TEST(WireFormat, AcceptanceOfControlDatagrams) {
    auto d = reply(1, 0x21, 5, 20);
    EXPECT_TRUE(acceptControlDatagram(d.data(), d.size()));
    auto bad = d;
    bad[4] = 0x43;  // a request's direction
    EXPECT_FALSE(acceptControlDatagram(bad.data(), bad.size()));
    bad = d;
    bad[5] = 2;
    EXPECT_FALSE(acceptControlDatagram(bad.data(), bad.size()));
    bad = d;
    bad[3] = '_';
    EXPECT_FALSE(acceptControlDatagram(bad.data(), bad.size()));
    // Length byte says 20 but 24 bytes arrived.
    auto longer = d;
    longer.resize(24);
    EXPECT_FALSE(acceptControlDatagram(longer.data(), longer.size()));
    // A datagram that agrees with its own length byte but is shorter than a header.
    auto tiny = reply(1, 0, 0, 12);
    tiny.resize(8);
    tiny[6] = 8;
    EXPECT_FALSE(acceptControlDatagram(tiny.data(), tiny.size()));
}

TEST(ControlChannel, SequenceStartsAtOneAndWraps) {
    ControlChannel c;
    EXPECT_EQ(c.takeSequence(), 1);
    EXPECT_EQ(c.takeSequence(), 2);
    for (int i = 3; i < 65535; ++i) c.takeSequence();
    EXPECT_EQ(c.takeSequence(), 65535);
    EXPECT_EQ(c.takeSequence(), 0);
    EXPECT_EQ(c.takeSequence(), 1);
}

TEST(ControlChannel, ConcurrentRequestsNeverShareANumber) {
    ControlChannel c;
    constexpr int kThreads = 4, kEach = 5000;
    std::vector<std::vector<uint16_t>> taken(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) taken[t].push_back(c.takeSequence());
        });
    for (auto& t : threads) t.join();
    std::vector<bool> seen(65536, false);
    for (auto& v : taken)
        for (uint16_t s : v) {
            EXPECT_FALSE(seen[s]) << s;
            seen[s] = true;
        }
}

TEST(ControlChannel, ReplyBeforeAwaitIsDeliveredEvenWithTimeoutZero) {
    ControlChannel c;
    c.addPending(9);
    const auto d = reply(0, 0x25, 9);
    ASSERT_TRUE(c.fulfil(9, d.data(), d.size()));
    ReplayStatusMessage m;
    EXPECT_EQ(c.await(9, 0, &m), QZQTU_OK);
    EXPECT_EQ(m.command(), 0x25);
    EXPECT_EQ(m.length, 28);
    EXPECT_EQ(c.pendingCount(), 0u);
}

TEST(ControlChannel, TimeoutZeroReturnsAtOnceWhenUnanswered) {
    ControlChannel c;
    c.addPending(3);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(c.await(3, 0, nullptr), QZQTU_TIMEOUT);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 500ms);
    EXPECT_EQ(c.pendingCount(), 0u);
}

TEST(ControlChannel, LateReplyAfterTimeoutIsDropped) {
    ControlChannel c;
    c.addPending(4);
    EXPECT_EQ(c.await(4, 20, nullptr), QZQTU_TIMEOUT);
    const auto d = reply(0, 0x02, 4);
    EXPECT_FALSE(c.fulfil(4, d.data(), d.size()));
    EXPECT_EQ(c.pendingCount(), 0u);
}

TEST(ControlChannel, SecondIdenticalReplyIsDropped) {
    ControlChannel c;
    c.addPending(5);
    auto first = reply(0, 0x21, 5);
    put64(first.data() + 12, 111);
    auto second = first;
    put64(second.data() + 12, 222);
    EXPECT_TRUE(c.fulfil(5, first.data(), first.size()));
    EXPECT_FALSE(c.fulfil(5, second.data(), second.size()));
    ReplayStatusMessage m;
    ASSERT_EQ(c.await(5, 100, &m), QZQTU_OK);
    EXPECT_EQ(get64(m.bytes + 12), 111u);
}

TEST(ControlChannel, SendFailureAndUnknownSequence) {
    ControlChannel c;
    c.addPending(6);
    c.failPending(6);
    const auto d = reply(0, 0x02, 6);
    EXPECT_FALSE(c.fulfil(6, d.data(), d.size()));  // already fulfilled with the failure
    EXPECT_EQ(c.await(6, 100, nullptr), QZQTU_CONTROL_SOCKET_ERROR);
    EXPECT_EQ(c.await(6, 100, nullptr), QZQTU_INTERNAL_ERROR);  // entry gone
    EXPECT_EQ(c.await(77, 0, nullptr), QZQTU_INTERNAL_ERROR);
}

TEST(ControlChannel, ReplyWakesAWaiterOnAnotherThread) {
    ControlChannel c;
    c.addPending(8);
    std::thread unit([&] {
        std::this_thread::sleep_for(20ms);  // lets the waiter block first
        const auto d = reply(0, 0x31, 8, 16);
        c.fulfil(8, d.data(), d.size());
    });
    ReplayStatusMessage m;
    EXPECT_EQ(c.await(8, 5000, &m), QZQTU_OK);
    unit.join();
    EXPECT_EQ(m.length, 16);
    EXPECT_TRUE(m.carries(12, 4));
    EXPECT_FALSE(m.carries(16, 4));
    for (size_t i = 16; i < kReplayStatusMessageSize; ++i) EXPECT_EQ(m.bytes[i], 0);
}

TEST(StatusSnapshot, EmptyUntilFirstMessageThenBitsAndFields) {
    StatusSnapshot s;
    QZQTU_ReplayState st{};
    EXPECT_FALSE(s.read(&st));
    auto d = reply(0, 0xFF, 0);
    d[12] = 0xFA;  // bits 4..7 set too; they are ignored
    put16(d.data() + 14, 1234);
    put32(d.data() + 16, 77);
    put64(d.data() + 20, 0x0102030405060708ull);
    s.apply(d.data());
    ASSERT_TRUE(s.read(&st));
    EXPECT_EQ(st.statusBit0, 0);
    EXPECT_EQ(st.statusBit1, 1);
    EXPECT_EQ(st.statusBit2, 0);
    EXPECT_EQ(st.statusBit3, 1);
    EXPECT_EQ(st.freeBuffers, 77u);
    EXPECT_EQ(st.statusTime, 0x0102030405060708ull);
}

// ---------------------------------------------------------------------------
// Credit condition

TEST(StreamCredit, FifthOfCapacityIsTheBoundary) {
    EXPECT_TRUE(StreamCredit::condition(100, 20, 0, 0));
    EXPECT_FALSE(StreamCredit::condition(100, 19, 0, 0));
    EXPECT_TRUE(StreamCredit::condition(5, 1, 0, 0));
    EXPECT_FALSE(StreamCredit::condition(6, 1, 0, 0));
    EXPECT_FALSE(StreamCredit::condition(0, 20, 0, 0));  // not initialised
    EXPECT_FALSE(StreamCredit::condition(100, 0, 0, 0));
    EXPECT_TRUE(StreamCredit::condition(1, 1, 0, 0));
}

// The host's lead over the unit: P - U modulo 65536 (P = packets sent modulo
// 65536), but never more than the packets sent on the channel.
struct AheadCase {
    const char* what;
    uint64_t sent;
    uint16_t unit;
    uint64_t ahead;
};

TEST(StreamCredit, HostAtMost16000PacketsAhead) {
    const AheadCase cases[] = {
        {"one stream, 16000 ahead", 17000, 1000, 16000},
        {"one stream, 16001 ahead", 17001, 1000, 16001},
        {"unit has everything", 17001, 17000, 1},
        // A counter that reads as ahead of the host is an earlier stream's.
        {"stale counter above a young stream", 500, 1000, 500},
        {"fresh channel, counter of an earlier stream", 0, 40000, 0},
        {"16000 sent, earlier stream's counter", 16000, 40000, 16000},
        {"16001 sent, earlier stream's counter", 16001, 40000, 16001},
        {"earlier stream's counter, then this stream's", 16001, 15990, 11},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(StreamCredit::packetsAhead(c.sent, c.unit), c.ahead) << c.what;
        EXPECT_EQ(StreamCredit::condition(100, 100, c.sent, c.unit), c.ahead <= 16000) << c.what;
    }
}

TEST(StreamCredit, DistanceHoldsAcrossTheWrap) {
    constexpr uint64_t kWrap = 65536;
    const AheadCase cases[] = {
        // The host has wrapped, the unit not yet: 65000 -> 15464 is 16000 ahead.
        {"16000 ahead across the wrap", kWrap + 15464, 65000, 16000},
        {"16001 ahead across the wrap", kWrap + 15465, 65000, 16001},
        {"far ahead across the wrap", kWrap + 30000, 65000, 30536},
        {"unit at 65535, host at 0", kWrap, 65535, 1},
        // The unit has taken in only packet 0 of 65535 sent.
        {"unit at 0 of 65535 sent", 65535, 0, 65535},
        {"second wrap", 5 * kWrap + 100, 65535, 101},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(StreamCredit::packetsAhead(c.sent, c.unit), c.ahead) << c.what;
        EXPECT_EQ(StreamCredit::condition(100, 100, c.sent, c.unit), c.ahead <= 16000) << c.what;
    }
}

TEST(StreamCredit, TakeBlockNeverGoesBelowZero) {
    StreamCredit c(0);
    c.applyStatus(2, 0);
    c.takeBlock();
    c.takeBlock();
    EXPECT_EQ(c.freeBuffers(), 0u);
    c.takeBlock();  // a status of 0 arrived while a block was going out
    EXPECT_EQ(c.freeBuffers(), 0u);
    c.setCapacity(10);
    EXPECT_FALSE(c.holds(0));
}

TEST(StreamCredit, StatusMessageWakesABlockedSender) {
    StreamCredit c(5000);
    c.setCapacity(100);
    c.applyStatus(19, 0);
    std::thread unit([&] {
        std::this_thread::sleep_for(30ms);
        c.applyStatus(50, 0);
    });
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_TRUE(c.waitFor(0));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 4s);
    unit.join();
}

TEST(StreamCredit, WaitEndsAtTheDeadlineWithoutCredit) {
    StreamCredit c(50);
    c.setCapacity(100);
    c.applyStatus(10, 0);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(c.waitFor(0));
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 50ms);
}

TEST(StreamState, StrideIsMaxPayloadRoundedDownToEight) {
    EXPECT_EQ(StreamState(1404, 0).stride(), 1400u);
    EXPECT_EQ(StreamState(8948, 0).stride(), 8944u);
    EXPECT_EQ(StreamState(1448, 0).stride(), 1448u);
    EXPECT_EQ(StreamState(7, 0).stride(), 0u);
}

}  // namespace
}  // namespace qtu
