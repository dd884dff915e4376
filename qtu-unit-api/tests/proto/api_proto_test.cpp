// The channel functions through the exported interface, against a fake unit
// on loopback: request bytes, reply handling, streaming and flow control.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <numeric>
#include <thread>

#include "QZQTUApi.h"
#include "channel_state.h"
#include "fake_unit.h"
#include "unit_api.h"

namespace qtu::test {
namespace {

using namespace std::chrono_literals;
using Request = FakeUnit::Request;
using Answers = std::vector<std::vector<uint8_t>>;

// A channel registered with the fake unit for the length of a test.
class Registered {
public:
    Registered(FakeUnit& unit, int channel, uint16_t maxPayload = 1400, uint32_t timeoutGet = 1000,
               uint32_t timeoutStream = 1000) {
        const QZQTU_InputInterface c = unit.config(channel, maxPayload, timeoutGet, timeoutStream);
        rc_ = QZQTU_RegisterOutputChannel(&c, channel, &handle_);
    }
    ~Registered() {
        if (rc_ == QZQTU_OK) QZQTU_UnregisterOutputChannel(handle_);
    }
    bool ok() const { return rc_ == QZQTU_OK; }
    int32_t handle() const { return handle_; }
    std::shared_ptr<ChannelState> state() const { return UnitApi::instance().find(handle_); }

private:
    QZQTU_Error rc_ = -1;
    int32_t handle_ = -1;
};

std::vector<uint16_t> commands(const std::vector<Request>& rs) {
    std::vector<uint16_t> out;
    for (const auto& r : rs) out.push_back(r.command());
    return out;
}

std::vector<uint8_t> pattern(size_t n, uint8_t seed = 1) {
    std::vector<uint8_t> d(n);
    for (size_t i = 0; i < n; ++i) d[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
    return d;
}

QZQTU_StreamDataInfo block(uint16_t frame, uint16_t line, uint64_t ts = 0, uint8_t tag = 0) {
    QZQTU_StreamDataInfo info{};
    info.timestamp = ts;
    info.frameCounter = frame;
    info.lineIndex = line;
    info.tag = tag;
    return info;
}

// Initialises the channel with the given geometry and grants credit.
void initWithCredit(FakeUnit& unit, Registered& ch, uint16_t lineSize, uint16_t lineCount, uint32_t capacity = 100) {
    unit.capacity = capacity;
    ASSERT_EQ(QZQTU_InitOutputChannel(ch.handle(), lineSize, lineCount), QZQTU_OK);
    unit.sendStatus(static_cast<uint8_t>(ch.state()->channel), 0, 0, capacity, 0);
    ASSERT_TRUE(unit.waitFor([&] { return ch.state()->stream.credit.freeBuffers() == capacity; }));
}

// ---------------------------------------------------------------------------
// Requests and replies

TEST(ControlRequests, InitOutputChannelSendsItsFourRequests) {
    FakeUnit unit;
    Registered ch(unit, 0);
    ASSERT_TRUE(ch.ok());
    unit.capacity = 64;
    ASSERT_EQ(QZQTU_InitOutputChannel(ch.handle(), 3840, 480), QZQTU_OK);
    const auto rs = unit.requests();
    ASSERT_EQ(rs.size(), 4u);
    EXPECT_EQ(commands(rs), (std::vector<uint16_t>{0x30, 0x01, 0x11, 0x03}));
    const std::vector<uint8_t> first = {'Q', 'T', 'U', '-', 0x43, 3, 16, 0, 0x30, 0, 1, 0, 0x00, 0x0F, 0xE0, 0x01};
    EXPECT_EQ(rs[0].bytes, first);
    for (size_t i = 1; i < 4; ++i) {
        EXPECT_EQ(rs[i].bytes.size(), 12u);
        EXPECT_EQ(rs[i].sequence(), i + 1);
    }
    EXPECT_EQ(ch.state()->stream.credit.capacity(), 64u);
    EXPECT_EQ(ch.state()->stream.lineCount.load(), 480);
}

TEST(ControlRequests, SetReplayOffsetSendsExactly20Bytes) {
    FakeUnit unit(4);
    Registered ch(unit, 3);
    ASSERT_TRUE(ch.ok());
    ASSERT_EQ(QZQTU_SetReplayOffset(ch.handle(), 0x0807060504030201ull), QZQTU_OK);
    const auto rs = unit.requests();
    ASSERT_EQ(rs.size(), 1u);
    const std::vector<uint8_t> expected = {'Q', 'T', 'U', '-', 0x43, 0x03, 0x14, 3, 0x20, 0x00,
                                           1,   0,   1,   2,   3,    4,    5,    6, 7,    8};
    EXPECT_EQ(rs[0].bytes, expected);
}

TEST(ControlRequests, EveryCommandCarriesItsCodeAndPayload) {
    FakeUnit unit;
    Registered ch(unit, 0);
    ASSERT_TRUE(ch.ok());
    const int32_t h = ch.handle();
    uint64_t v = 0;
    uint16_t a = 0, b = 0;
    unit.lineSize = 1234;
    unit.lineCount = 56;
    unit.timeValue = 987654321;
    EXPECT_EQ(QZQTU_ResetChannel(h), QZQTU_OK);
    EXPECT_EQ(QZQTU_ClearStatusFlags(h), QZQTU_OK);
    EXPECT_EQ(QZQTU_IsOutputChannelAvailable(h), QZQTU_OK);
    EXPECT_EQ(QZQTU_SetReplayStopTime(h, 0), QZQTU_OK);  // the standalone setter sends 0 too
    EXPECT_EQ(QZQTU_GetReplayStopTime(h, &v), QZQTU_OK);
    EXPECT_EQ(v, 987654321u);
    EXPECT_EQ(QZQTU_GetReplayOffset(h, &v), QZQTU_OK);
    EXPECT_EQ(QZQTU_GetFrameSize(h, &a, &b), QZQTU_OK);
    EXPECT_EQ(a, 1234);
    EXPECT_EQ(b, 56);
    const auto rs = unit.requests();
    EXPECT_EQ(commands(rs), (std::vector<uint16_t>{0x02, 0x12, 0x03, 0x24, 0x25, 0x21, 0x31}));
    ASSERT_EQ(rs[3].bytes.size(), 20u);
    EXPECT_EQ(le64(rs[3].bytes.data() + 12), 0u);
    for (size_t i = 0; i < rs.size(); ++i) EXPECT_EQ(rs[i].sequence(), i + 1);
}

TEST(ControlRequests, SetReplayStartTimeSendsOnlyWhatIsGiven) {
    FakeUnit unit;
    Registered ch(unit, 0);
    ASSERT_TRUE(ch.ok());
    EXPECT_EQ(QZQTU_SetReplayStartTime(ch.handle(), 5000, 0, 0), QZQTU_OK);
    EXPECT_EQ(commands(unit.requests()), (std::vector<uint16_t>{0x22}));
    EXPECT_EQ(QZQTU_SetReplayStartTime(ch.handle(), 5000, 100, 4000), QZQTU_INVALID_TIMING);
    EXPECT_EQ(commands(unit.requests()), (std::vector<uint16_t>{0x22, 0x22, 0x20}));
    EXPECT_EQ(QZQTU_SetReplayStartTime(ch.handle(), 5000, 0, 5000), QZQTU_OK);
    const auto rs = unit.requests();
    EXPECT_EQ(commands(rs), (std::vector<uint16_t>{0x22, 0x22, 0x20, 0x22, 0x24}));
    EXPECT_EQ(le64(rs[1].bytes.data() + 12), 5000u);
    EXPECT_EQ(le64(rs[2].bytes.data() + 12), 100u);
    EXPECT_EQ(le64(rs[4].bytes.data() + 12), 5000u);
}

TEST(ControlRequests, GetReplayStartTimeAsksOnlyForWhatIsWanted) {
    FakeUnit unit;
    Registered ch(unit, 0);
    ASSERT_TRUE(ch.ok());
    unit.setResponder([](const Request& r) {
        auto d = replyDatagram(r.channel(), r.command(), r.sequence());
        putLe(d, 12, r.command() * 1000ull, 8);
        return Answers{d};
    });
    uint64_t s = 0, o = 0, e = 0;
    EXPECT_EQ(QZQTU_GetReplayStartTime(ch.handle(), &s, nullptr, nullptr), QZQTU_OK);
    EXPECT_EQ(commands(unit.requests()), (std::vector<uint16_t>{0x23}));
    EXPECT_EQ(s, 0x23u * 1000);
    EXPECT_EQ(QZQTU_GetReplayStartTime(ch.handle(), &s, &o, &e), QZQTU_OK);
    EXPECT_EQ(o, 0x21u * 1000);
    EXPECT_EQ(e, 0x25u * 1000);
    EXPECT_EQ(QZQTU_GetReplayStartTime(ch.handle(), nullptr, &o, &e), QZQTU_INVALID_POINTER);
}

TEST(ControlRequests, ReplyWithAnotherCodeYieldsInternalErrorAndStoresNothing) {
    FakeUnit unit;
    Registered ch(unit, 0);
    ASSERT_TRUE(ch.ok());
    unit.setResponder([](const Request& r) {
        const uint16_t code = r.command() == 0x21 ? 0x23 : r.command();
        auto d = replyDatagram(r.channel(), code, r.sequence());
        putLe(d, 12, 42, 8);
        return Answers{d};
    });
    uint64_t s = 7, o = 7, e = 7;
    EXPECT_EQ(QZQTU_GetReplayStartTime(ch.handle(), &s, &o, &e), QZQTU_INTERNAL_ERROR);
    EXPECT_EQ(s, 42u);  // stored before the failure
    EXPECT_EQ(o, 7u);
    EXPECT_EQ(e, 7u);   // never asked
    EXPECT_EQ(commands(unit.requests()), (std::vector<uint16_t>{0x23, 0x21}));
    EXPECT_EQ(QZQTU_GetReplayOffset(ch.handle(), &o), QZQTU_INTERNAL_ERROR);
    EXPECT_EQ(o, 7u);
}

TEST(ControlRequests, ChannelAvailabilityFromTheReplyCode) {
    std::atomic<uint16_t> code{0x8004};  // outlives the fake unit's thread
    FakeUnit unit;
    Registered ch(unit, 0);
    ASSERT_TRUE(ch.ok());
    unit.setResponder([&](const Request& r) { return Answers{replyDatagram(r.channel(), code, r.sequence())}; });
    EXPECT_EQ(QZQTU_IsOutputChannelAvailable(ch.handle()), QZQTU_CHANNEL_NOT_AVAILABLE);
    code = 0x8005;
    EXPECT_EQ(QZQTU_IsOutputChannelAvailable(ch.handle()), QZQTU_INTERNAL_ERROR);
    code = 0x03;
    EXPECT_EQ(QZQTU_IsOutputChannelAvailable(ch.handle()), QZQTU_OK);
    // InitOutputChannel does not turn 0x8004 into 4.
    unit.setResponder([](const Request& r) {
        return Answers{replyDatagram(r.channel(), r.command() == 0x03 ? 0x8004 : r.command(), r.sequence())};
    });
    EXPECT_EQ(QZQTU_InitOutputChannel(ch.handle(), 10, 10), QZQTU_INTERNAL_ERROR);
    EXPECT_EQ(ch.state()->stream.credit.capacity(), 0u);
}

TEST(ControlRequests, FirstFailingRequestOfInitEndsIt) {
    FakeUnit unit;
    Registered ch(unit, 0, 1400, 100);
    ASSERT_TRUE(ch.ok());
    unit.setResponder([](const Request& r) {
        return r.command() == 0x11 ? Answers{} : Answers{replyDatagram(r.channel(), r.command(), r.sequence())};
    });
    EXPECT_EQ(QZQTU_InitOutputChannel(ch.handle(), 100, 4), QZQTU_TIMEOUT);
    EXPECT_EQ(commands(unit.requests()), (std::vector<uint16_t>{0x30, 0x01, 0x11}));
    EXPECT_EQ(ch.state()->stream.lineCount.load(), 4);  // stored after 0x30 succeeded
}

TEST(ControlRequests, ReplyLongerThanItsLengthByteIsDroppedAndTheCallTimesOut) {
    FakeUnit unit;
    Registered ch(unit, 0, 1400, 150);
    ASSERT_TRUE(ch.ok());
    unit.setResponder([](const Request& r) {
        auto d = replyDatagram(r.channel(), r.command(), r.sequence(), 24);
        d[6] = 20;
        return Answers{d};
    });
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(QZQTU_ResetChannel(ch.handle()), QZQTU_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 150ms);
    EXPECT_EQ(ch.state()->control.pendingCount(), 0u);
}

TEST(ControlRequests, ReplyTooShortForItsValueIsNotTaken) {
    FakeUnit unit;
    Registered ch(unit, 0);
    ASSERT_TRUE(ch.ok());
    unit.setResponder([](const Request& r) { return Answers{replyDatagram(r.channel(), r.command(), r.sequence(), 12)}; });
    uint64_t v = 5;
    EXPECT_EQ(QZQTU_GetReplayOffset(ch.handle(), &v), QZQTU_INTERNAL_ERROR);
    EXPECT_EQ(v, 5u);
    EXPECT_EQ(QZQTU_ResetChannel(ch.handle()), QZQTU_OK);  // only the arrival counts here
}

TEST(ControlRequests, LateReplyIsDroppedAndDoesNotAnswerTheNextRequest) {
    std::vector<uint8_t> held;  // outlives the fake unit's thread
    std::mutex m;
    FakeUnit unit;
    Registered ch(unit, 0, 1400, 100);
    ASSERT_TRUE(ch.ok());
    unit.setResponder([&](const Request& r) {
        std::lock_guard lock(m);
        if (held.empty()) {  // keep the first reply back
            held = replyDatagram(r.channel(), r.command(), r.sequence());
            return Answers{};
        }
        // Send the late one first, then the right one.
        return Answers{held, replyDatagram(r.channel(), r.command(), r.sequence())};
    });
    uint64_t v = 0;
    EXPECT_EQ(QZQTU_GetReplayOffset(ch.handle(), &v), QZQTU_TIMEOUT);
    EXPECT_EQ(QZQTU_GetReplayStopTime(ch.handle(), &v), QZQTU_OK);  // not 1 from the late 0x21
    EXPECT_EQ(ch.state()->control.pendingCount(), 0u);
}

TEST(ControlRequests, DoubledReplyIsDeliveredOnce) {
    FakeUnit unit;
    Registered ch(unit, 0);
    ASSERT_TRUE(ch.ok());
    unit.setResponder([](const Request& r) {
        auto d = replyDatagram(r.channel(), r.command(), r.sequence());
        return Answers{d, d};
    });
    for (int i = 0; i < 20; ++i) ASSERT_EQ(QZQTU_ClearStatusFlags(ch.handle()), QZQTU_OK);
    EXPECT_EQ(ch.state()->control.pendingCount(), 0u);
}

TEST(ControlRequests, HandleAndPointerChecks) {
    FakeUnit unit;
    Registered ch(unit, 0);
    ASSERT_TRUE(ch.ok());
    const int32_t unknown = 1 << 30;
    EXPECT_EQ(QZQTU_GetReplayOffset(unknown, nullptr), QZQTU_INVALID_HANDLE);
    EXPECT_EQ(QZQTU_InitOutputChannel(unknown, 1, 1), QZQTU_INVALID_HANDLE);
    EXPECT_EQ(QZQTU_ReplayStreamData(unknown, nullptr, nullptr, 0), QZQTU_INVALID_HANDLE);
    EXPECT_EQ(QZQTU_GetCurrentState(unknown, nullptr), QZQTU_INVALID_HANDLE);
    uint16_t a;
    uint64_t v;
    EXPECT_EQ(QZQTU_GetFrameSize(ch.handle(), &a, nullptr), QZQTU_INVALID_POINTER);
    EXPECT_EQ(QZQTU_GetFrameSize(ch.handle(), nullptr, &a), QZQTU_INVALID_POINTER);
    EXPECT_EQ(QZQTU_GetReplayStopTime(ch.handle(), nullptr), QZQTU_INVALID_POINTER);
    EXPECT_EQ(QZQTU_GetReplayOffset(ch.handle(), nullptr), QZQTU_INVALID_POINTER);
    EXPECT_EQ(QZQTU_GetCurrentState(ch.handle(), nullptr), QZQTU_INVALID_POINTER);
    const auto info = block(0, 0);
    const uint8_t byte = 0;
    EXPECT_EQ(QZQTU_ReplayStreamData(ch.handle(), nullptr, &byte, 1), QZQTU_INVALID_POINTER);
    EXPECT_EQ(QZQTU_ReplayStreamData(ch.handle(), &info, nullptr, 1), QZQTU_INVALID_POINTER);
    (void)v;
    EXPECT_TRUE(unit.requests().empty());
    EXPECT_EQ(unit.packetCount(0), 0u);
}

TEST(StatusReports, CurrentStateIsEmptyUntilTheFirstStatusMessage) {
    FakeUnit unit;
    Registered ch(unit, 0);
    ASSERT_TRUE(ch.ok());
    QZQTU_ReplayState st{};
    ASSERT_EQ(QZQTU_ResetChannel(ch.handle()), QZQTU_OK);  // the unit answers; still no status
    EXPECT_EQ(QZQTU_GetCurrentState(ch.handle(), &st), QZQTU_DATA_NOT_AVAILABLE);
    unit.sendStatus(0, 0x0A, 17, 33, 123456789);
    ASSERT_TRUE(unit.waitFor([&] { return QZQTU_GetCurrentState(ch.handle(), &st) == QZQTU_OK; }));
    EXPECT_EQ(st.statusBit0, 0);
    EXPECT_EQ(st.statusBit1, 1);
    EXPECT_EQ(st.statusBit2, 0);
    EXPECT_EQ(st.statusBit3, 1);
    EXPECT_EQ(st.freeBuffers, 33u);
    EXPECT_EQ(st.statusTime, 123456789u);
    EXPECT_EQ(ch.state()->stream.credit.unitCounter(), 17);
    EXPECT_EQ(ch.state()->stream.credit.freeBuffers(), 33u);
    // A status message for another channel number changes nothing here.
    unit.sendStatus(1, 0x0F, 0, 1, 1);
    ASSERT_EQ(QZQTU_ResetChannel(ch.handle()), QZQTU_OK);
    ASSERT_EQ(QZQTU_GetCurrentState(ch.handle(), &st), QZQTU_OK);
    EXPECT_EQ(st.freeBuffers, 33u);
}

// ---------------------------------------------------------------------------
// Streaming

struct Split {
    uint16_t maxPayload;
    size_t length;
    std::vector<uint16_t> sizes;
};

class Splitting : public ::testing::TestWithParam<Split> {};

TEST_P(Splitting, BlockIsCutIntoPacketsOfMultiplesOfEightButTheLast) {
    const Split& s = GetParam();
    FakeUnit unit;
    Registered ch(unit, 0, s.maxPayload);
    ASSERT_TRUE(ch.ok());
    initWithCredit(unit, ch, 100, 10);
    const auto data = pattern(s.length, 3);
    const auto info = block(9, 2, 0x1122334455667788ull, 0x5A);
    ASSERT_EQ(QZQTU_ReplayStreamData(ch.handle(), &info, data.data(), static_cast<uint16_t>(data.size())),
              QZQTU_OK);
    ASSERT_TRUE(unit.waitPackets(0, s.sizes.size()));
    const auto ps = unit.packets(0);
    ASSERT_EQ(ps.size(), s.sizes.size());
    std::vector<uint8_t> joined;
    for (size_t i = 0; i < ps.size(); ++i) {
        const auto& p = ps[i];
        EXPECT_EQ(p.payloadLength, s.sizes[i]);
        EXPECT_EQ(p.datagramSize, 24u + s.sizes[i]);
        EXPECT_EQ(p.flags, i + 1 == ps.size() ? 0x40 : 0x00);
        EXPECT_EQ(p.packetCounter, i);
        EXPECT_EQ(p.frameCounter, 9);
        EXPECT_EQ(p.lineIndex, 2);
        EXPECT_EQ(p.version, 3);
        EXPECT_EQ(p.tag, 0x5A);
        EXPECT_TRUE(p.reservedZero);
        EXPECT_EQ(p.timestamp, 0x1122334455667788ull);
        joined.insert(joined.end(), p.payload.begin(), p.payload.end());
    }
    EXPECT_EQ(joined, data);
    EXPECT_EQ(ch.state()->stream.packetCounter(), ps.size());
    EXPECT_EQ(ch.state()->stream.credit.freeBuffers(), 99u);
}

std::vector<uint16_t> repeat(uint16_t size, size_t n, uint16_t last) {
    std::vector<uint16_t> v(n, size);
    v.push_back(last);
    return v;
}

INSTANTIATE_TEST_SUITE_P(
    Examples, Splitting,
    ::testing::Values(Split{1400, 3000, {1400, 1400, 200}}, Split{1404, 3000, {1400, 1400, 200}},
                      Split{1404, 1000, {1000}}, Split{1404, 2804, {1400, 1404}}, Split{1400, 1400, {1400}},
                      Split{1400, 1401, {1400, 1}}, Split{8948, 65535, repeat(8944, 7, 2927)},
                      Split{8, 200, repeat(8, 24, 8)}, Split{8948, 1, {1}},
                      // More packets than one send run holds.
                      Split{512, 65535, repeat(512, 127, 511)}));

TEST(Streaming, FlagsMarkEndOfBlockAndEndOfFrame) {
    FakeUnit unit;
    Registered ch(unit, 0, 1400);
    ASSERT_TRUE(ch.ok());
    initWithCredit(unit, ch, 3000, 480, 10000);
    const auto data = pattern(3000);
    for (uint16_t line : {0, 1, 478, 479}) {
        const auto info = block(1, line);
        ASSERT_EQ(QZQTU_ReplayStreamData(ch.handle(), &info, data.data(), 3000), QZQTU_OK);
    }
    ASSERT_TRUE(unit.waitPackets(0, 12));
    const auto ps = unit.packets(0);
    for (size_t i = 0; i < ps.size(); ++i) {
        const bool lastOfBlock = i % 3 == 2;
        const uint8_t expected = !lastOfBlock ? 0x00 : ps[i].lineIndex == 479 ? 0xC0 : 0x40;
        EXPECT_EQ(ps[i].flags, expected) << i;
    }
}

TEST(Streaming, PacketCounterRunsOnAcrossBlocksFramesAndTheWrap) {
    FakeUnit unit;
    Registered ch(unit, 0, 1000);
    ASSERT_TRUE(ch.ok());
    initWithCredit(unit, ch, 2500, 2, 60000);
    ch.state()->stream.setPacketsSent(65530);
    // The unit reports having taken in everything up to 65529.
    unit.sendStatus(0, 0, 65529, 60000, 0);
    ASSERT_TRUE(unit.waitFor([&] { return ch.state()->stream.credit.unitCounter() == 65529; }));
    const auto data = pattern(2500);
    for (uint16_t frame = 0; frame < 2; ++frame)
        for (uint16_t line = 0; line < 2; ++line) {
            const auto info = block(frame, line);
            ASSERT_EQ(QZQTU_ReplayStreamData(ch.handle(), &info, data.data(), 2500), QZQTU_OK);
        }
    ASSERT_TRUE(unit.waitPackets(0, 12));
    const auto ps = unit.packets(0);
    ASSERT_EQ(ps.size(), 12u);
    for (size_t i = 0; i < ps.size(); ++i) EXPECT_EQ(ps[i].packetCounter, static_cast<uint16_t>(65530 + i));
    EXPECT_EQ(ps[5].flags, 0xC0);
    EXPECT_EQ(ps[11].flags, 0xC0);
    EXPECT_EQ(ch.state()->stream.packetCounter(), 6);
    // InitOutputChannel and ResetChannel leave the counter alone.
    ASSERT_EQ(QZQTU_ResetChannel(ch.handle()), QZQTU_OK);
    ASSERT_EQ(QZQTU_InitOutputChannel(ch.handle(), 2500, 2), QZQTU_OK);
    EXPECT_EQ(ch.state()->stream.packetCounter(), 6);
}

TEST(Streaming, BeforeInitialisationTimesOutAndSendsNothing) {
    FakeUnit unit;
    Registered ch(unit, 0, 1400, 1000, 80);
    ASSERT_TRUE(ch.ok());
    unit.sendStatus(0, 0, 0, 50, 0);  // free buffers, but no capacity known
    const auto data = pattern(100);
    const auto info = block(0, 0);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(QZQTU_ReplayStreamData(ch.handle(), &info, data.data(), 100), QZQTU_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 80ms);
    EXPECT_EQ(unit.packetCount(0), 0u);
    EXPECT_EQ(ch.state()->stream.packetCounter(), 0);
}

TEST(Streaming, StatusMessageWakesABlockedSender) {
    FakeUnit unit;
    Registered ch(unit, 0, 1400, 1000, 5000);
    ASSERT_TRUE(ch.ok());
    initWithCredit(unit, ch, 100, 1, 100);
    unit.sendStatus(0, 0, 0, 20, 0);
    ASSERT_TRUE(unit.waitFor([&] { return ch.state()->stream.credit.freeBuffers() == 20; }));
    const auto data = pattern(100);
    const auto info = block(0, 0);
    ASSERT_EQ(QZQTU_ReplayStreamData(ch.handle(), &info, data.data(), 100), QZQTU_OK);  // 20 of 100: goes
    EXPECT_EQ(ch.state()->stream.credit.freeBuffers(), 19u);
    auto blocked = std::async(std::launch::async, [&] {
        return QZQTU_ReplayStreamData(ch.handle(), &info, data.data(), 100);  // 19 of 100: waits
    });
    EXPECT_EQ(blocked.wait_for(100ms), std::future_status::timeout);
    EXPECT_EQ(unit.packetCount(0), 1u);
    unit.sendStatus(0, 0, 1, 50, 0);
    ASSERT_EQ(blocked.wait_for(4s), std::future_status::ready);
    EXPECT_EQ(blocked.get(), QZQTU_OK);
    ASSERT_TRUE(unit.waitPackets(0, 2));
    EXPECT_EQ(ch.state()->stream.credit.freeBuffers(), 49u);
}

TEST(Streaming, HostMayRunAtMost16000PacketsAheadOfTheUnit) {
    FakeUnit unit;
    Registered ch(unit, 0, 1400, 1000, 60);
    ASSERT_TRUE(ch.ok());
    initWithCredit(unit, ch, 10, 1, 100);
    unit.sendStatus(0, 0, 1000, 100, 0);
    ASSERT_TRUE(unit.waitFor([&] { return ch.state()->stream.credit.unitCounter() == 1000; }));
    const auto data = pattern(10);
    const auto info = block(0, 0);
    ch.state()->stream.setPacketsSent(17000);
    EXPECT_EQ(QZQTU_ReplayStreamData(ch.handle(), &info, data.data(), 10), QZQTU_OK);
    EXPECT_EQ(ch.state()->stream.packetCounter(), 17001);
    EXPECT_EQ(QZQTU_ReplayStreamData(ch.handle(), &info, data.data(), 10), QZQTU_TIMEOUT);
    // Across the wrap: the unit at 65000, the host wrapped to 15465.
    unit.sendStatus(0, 0, 65000, 100, 0);
    ASSERT_TRUE(unit.waitFor([&] { return ch.state()->stream.credit.unitCounter() == 65000; }));
    ch.state()->stream.setPacketsSent(65536 + 15465);
    EXPECT_EQ(QZQTU_ReplayStreamData(ch.handle(), &info, data.data(), 10), QZQTU_TIMEOUT);
    ch.state()->stream.setPacketsSent(65536 + 15464);
    EXPECT_EQ(QZQTU_ReplayStreamData(ch.handle(), &info, data.data(), 10), QZQTU_OK);
    EXPECT_TRUE(unit.waitPackets(0, 2));
}

TEST(Streaming, UnitCounterOfAnEarlierStreamCountsAsNoneOfThisStreamsPackets) {
    // A new channel meets the unit's counter of an earlier stream (40000): the
    // host may still send 16000 packets before the unit reports any of them.
    FakeUnit unit(1, false);
    Registered ch(unit, 0, 8, 1000, 60);
    ASSERT_TRUE(ch.ok());
    initWithCredit(unit, ch, 64000, 1, 100000);
    unit.sendStatus(0, 0, 40000, 100000, 0);
    ASSERT_TRUE(unit.waitFor([&] { return ch.state()->stream.credit.unitCounter() == 40000; }));
    const auto data = pattern(64000);
    const auto info = block(0, 0);
    // Two blocks of 8000 packets of 8 bytes: 16000 sent, none reported.
    ASSERT_EQ(QZQTU_ReplayStreamData(ch.handle(), &info, data.data(), 64000), QZQTU_OK);
    ASSERT_EQ(QZQTU_ReplayStreamData(ch.handle(), &info, data.data(), 64000), QZQTU_OK);
    EXPECT_EQ(QZQTU_ReplayStreamData(ch.handle(), &info, data.data(), 8), QZQTU_OK);  // 16000 ahead
    EXPECT_EQ(QZQTU_ReplayStreamData(ch.handle(), &info, data.data(), 8), QZQTU_TIMEOUT);  // 16001 ahead
    EXPECT_EQ(ch.state()->stream.packetsSent(), 16001u);
    // The unit reports this stream's packet 15990: 11 ahead.
    unit.sendStatus(0, 0, 15990, 100000, 0);
    ASSERT_TRUE(unit.waitFor([&] { return ch.state()->stream.credit.unitCounter() == 15990; }));
    EXPECT_EQ(QZQTU_ReplayStreamData(ch.handle(), &info, data.data(), 8), QZQTU_OK);
    EXPECT_TRUE(unit.waitPackets(0, 16002));
}

TEST(Streaming, LastFreeBufferUsedUpStopsTheSenderInsteadOfWrapping) {
    FakeUnit unit;
    Registered ch(unit, 0, 1400, 1000, 60);
    ASSERT_TRUE(ch.ok());
    initWithCredit(unit, ch, 10, 1, 5);
    unit.sendStatus(0, 0, 0, 1, 0);  // 1 of 5 free: exactly a fifth
    ASSERT_TRUE(unit.waitFor([&] { return ch.state()->stream.credit.freeBuffers() == 1; }));
    const auto data = pattern(10);
    const auto info = block(0, 0);
    EXPECT_EQ(QZQTU_ReplayStreamData(ch.handle(), &info, data.data(), 10), QZQTU_OK);
    EXPECT_EQ(ch.state()->stream.credit.freeBuffers(), 0u);
    // The unit says 0 as well; the count stays 0 and the sender waits.
    unit.sendStatus(0, 0, 0, 0, 0);
    ASSERT_TRUE(unit.waitFor([&] {
        QZQTU_ReplayState st;
        return QZQTU_GetCurrentState(ch.handle(), &st) == QZQTU_OK && st.freeBuffers == 0;
    }));
    EXPECT_EQ(QZQTU_ReplayStreamData(ch.handle(), &info, data.data(), 10), QZQTU_TIMEOUT);
    EXPECT_EQ(ch.state()->stream.credit.freeBuffers(), 0u);
    EXPECT_EQ(unit.packetCount(0), 1u);
}

TEST(Streaming, NobodyListeningOnTheDataPortIsNotAnError) {
    // A connected socket hears of the unreachable port by ICMP and reports it
    // on a later send; streaming goes on as plain sendto would.
    FakeUnit unit;
    uint16_t closedPort = 0;
    ::close(udpSocket(&closedPort));
    QZQTU_InputInterface c = unit.config(0, 1000, 1000, 1000);
    c.sensorDataBasePort = closedPort;
    int32_t h = -1;
    ASSERT_EQ(QZQTU_RegisterOutputChannel(&c, 0, &h), QZQTU_OK);
    unit.capacity = 100000;
    ASSERT_EQ(QZQTU_InitOutputChannel(h, 5000, 1), QZQTU_OK);
    unit.sendStatus(0, 0, 0, 100000, 0);
    auto ch = UnitApi::instance().find(h);
    ASSERT_TRUE(unit.waitFor([&] { return ch->stream.credit.freeBuffers() == 100000; }));
    const auto data = pattern(5000);
    const auto info = block(0, 0);
    for (int i = 0; i < 200; ++i) ASSERT_EQ(QZQTU_ReplayStreamData(h, &info, data.data(), 5000), QZQTU_OK) << i;
    EXPECT_EQ(ch->stream.packetCounter(), 1000);
    ch.reset();
    QZQTU_UnregisterOutputChannel(h);
}

TEST(Streaming, SameDatagramsInEverySendMode) {
    using platform::StreamSendMode;
    std::vector<std::vector<DataPacket>> seen;
    for (StreamSendMode mode : {StreamSendMode::Single, StreamSendMode::Batched, StreamSendMode::Segmented}) {
        FakeUnit unit;
        Registered ch(unit, 0, 1404);
        ASSERT_TRUE(ch.ok());
        initWithCredit(unit, ch, 65535, 3, 1000);
        ch.state()->stream.sender().setMode(mode);
        size_t expected = 0;
        for (uint16_t line = 0; line < 3; ++line) {
            const uint16_t len = static_cast<uint16_t>(65535 - line * 3001);
            const auto data = pattern(len, static_cast<uint8_t>(line));
            const auto info = block(4, line, line, line);
            ASSERT_EQ(QZQTU_ReplayStreamData(ch.handle(), &info, data.data(), len), QZQTU_OK);
            expected += (len - 1404 + 1399) / 1400 + 1;
        }
        ASSERT_TRUE(unit.waitPackets(0, expected));
        seen.push_back(unit.packets(0));
        if (mode == StreamSendMode::Segmented) {
            EXPECT_TRUE(ch.state()->stream.sender().segmentationInUse());
        }
    }
    ASSERT_EQ(seen[0].size(), seen[1].size());
    ASSERT_EQ(seen[0].size(), seen[2].size());
    for (size_t i = 0; i < seen[0].size(); ++i)
        for (size_t m = 1; m < 3; ++m) {
            EXPECT_EQ(seen[0][i].packetCounter, seen[m][i].packetCounter);
            EXPECT_EQ(seen[0][i].flags, seen[m][i].flags);
            EXPECT_EQ(seen[0][i].payload, seen[m][i].payload) << i;
        }
}

}  // namespace
}  // namespace qtu::test
