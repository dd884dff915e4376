// The receiver thread: acceptance checks, routing by (sender text, channel),
// replies reaching their waiting caller, and an idle loop that does not spin.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include "core_test_support.h"
#include "unit_api.h"

namespace qtu {
namespace {

using namespace std::chrono_literals;
using test::loopbackConfig;
using test::statusMessage;
using test::UdpPeer;
using test::unitDatagram;

using test::quiet;

struct Registered {
    UnitApi api{quiet()};
    UdpPeer unit{"127.0.0.1"};
    std::shared_ptr<ChannelState> ch;
    uint16_t endpointPort = 0;

    explicit Registered(int32_t channel) {
        QZQTU_InputInterface c = loopbackConfig(unit.port());
        int32_t h = -1;
        EXPECT_EQ(QZQTU_OK, api.registerOutputChannel(&c, channel, &h));
        ch = api.find(h);
        endpointPort = platform::localPort(ch->controlSocket());
    }
    QZQTU_ReplayState state() const {
        QZQTU_ReplayState s{};
        EXPECT_TRUE(ch->status.read(&s));
        return s;
    }
};

TEST(Receiver, RoutesAStatusMessageToItsChannel) {
    Registered r(5);
    QZQTU_ReplayState s{};
    EXPECT_FALSE(r.ch->status.read(&s));
    ASSERT_TRUE(r.unit.sendTo(statusMessage(5, 0x0A, 17, 33, 0x1122334455667788ull), r.endpointPort));
    ASSERT_TRUE(test::eventually([&] { return r.ch->status.read(&s); }));
    EXPECT_EQ(0, s.statusBit0);
    EXPECT_EQ(1, s.statusBit1);
    EXPECT_EQ(0, s.statusBit2);
    EXPECT_EQ(1, s.statusBit3);
    EXPECT_EQ(33u, s.freeBuffers);
    EXPECT_EQ(0x1122334455667788ull, s.statusTime);
}

TEST(Receiver, DropsDatagramsThatFailAcceptanceOrRouting) {
    Registered r(5);
    UdpPeer stranger("127.0.0.2");  // right socket, wrong sender address
    ASSERT_TRUE(stranger.ok());

    // Every bad datagram carries freeBuffers 666; the good one that follows them
    // carries 1. Datagrams from one sender are handled in order, so once the
    // good one has arrived the bad ones have been looked at.
    auto bad = [] { return statusMessage(5, 0x0F, 9, 666, 666); };
    std::vector<std::vector<uint8_t>> fromUnit;
    auto d = bad();
    d[0] = 'X';  // magic
    fromUnit.push_back(d);
    d = bad();
    d[3] = '_';
    fromUnit.push_back(d);
    d = bad();
    d[4] = 0x43;  // a request's direction
    fromUnit.push_back(d);
    d = bad();
    d[5] = 2;  // version
    fromUnit.push_back(d);
    d = bad();
    d[6] = 27;  // length byte below the received length
    fromUnit.push_back(d);
    d = bad();
    d.push_back(0);  // received length above the length byte
    fromUnit.push_back(d);
    d = bad();
    d.resize(20);  // length byte 28, 20 received
    fromUnit.push_back(d);
    d = bad();
    d.resize(1600, 0);  // longer than the receive buffer
    fromUnit.push_back(d);
    fromUnit.push_back(std::vector<uint8_t>(d.begin(), d.begin() + 6));  // shorter than a header
    fromUnit.push_back(statusMessage(6, 0x0F, 9, 666, 666));             // unregistered channel
    fromUnit.push_back(statusMessage(5 | 0x80, 0x0F, 9, 666, 666));      // channel byte differs

    ASSERT_TRUE(stranger.sendTo(bad(), r.endpointPort));
    for (const auto& datagram : fromUnit) ASSERT_TRUE(r.unit.sendTo(datagram, r.endpointPort));
    ASSERT_TRUE(r.unit.sendTo(statusMessage(5, 0x01, 2, 1, 7), r.endpointPort));

    QZQTU_ReplayState s{};
    ASSERT_TRUE(test::eventually([&] { return r.ch->status.read(&s); }));
    EXPECT_EQ(1u, s.freeBuffers);
    EXPECT_EQ(7u, s.statusTime);
    // The stranger's datagram went through its own path; make sure it has been
    // handled too before looking again.
    ASSERT_TRUE(stranger.sendTo(statusMessage(5, 0, 0, 666, 666), r.endpointPort));
    ASSERT_TRUE(r.unit.sendTo(statusMessage(5, 0x01, 2, 2, 8), r.endpointPort));
    ASSERT_TRUE(test::eventually([&] { return r.ch->status.read(&s) && s.statusTime == 8; }));
    EXPECT_EQ(2u, s.freeBuffers);
}

TEST(Receiver, RoutesByUnitAddressAndChannelOnOneSocket) {
    UnitApi api(quiet());
    UdpPeer unitA("127.0.0.1"), unitB("127.0.0.2");
    QZQTU_InputInterface a = loopbackConfig(unitA.port());
    QZQTU_InputInterface b = loopbackConfig(unitB.port());
    b.qtuControlIp = "127.0.0.2";
    int32_t ha3 = -1, ha4 = -1, hb3 = -1;
    ASSERT_EQ(QZQTU_OK, api.registerOutputChannel(&a, 3, &ha3));
    ASSERT_EQ(QZQTU_OK, api.registerOutputChannel(&a, 4, &ha4));
    ASSERT_EQ(QZQTU_OK, api.registerOutputChannel(&b, 3, &hb3));
    auto a3 = api.find(ha3), a4 = api.find(ha4), b3 = api.find(hb3);
    ASSERT_EQ(a3->controlSocket(), b3->controlSocket());
    const uint16_t port = platform::localPort(a3->controlSocket());

    ASSERT_TRUE(unitA.sendTo(statusMessage(3, 0, 0, 103, 0), port));
    ASSERT_TRUE(unitA.sendTo(statusMessage(4, 0, 0, 104, 0), port));
    ASSERT_TRUE(unitB.sendTo(statusMessage(3, 0, 0, 203, 0), port));
    QZQTU_ReplayState s{};
    ASSERT_TRUE(test::eventually([&] { return a3->status.read(&s) && a4->status.read(&s) && b3->status.read(&s); }));
    a3->status.read(&s);
    EXPECT_EQ(103u, s.freeBuffers);
    a4->status.read(&s);
    EXPECT_EQ(104u, s.freeBuffers);
    b3->status.read(&s);
    EXPECT_EQ(203u, s.freeBuffers);

    // After unregistration, the channel's datagrams go nowhere.
    ASSERT_EQ(QZQTU_OK, api.unregisterOutputChannel(ha4));
    ASSERT_TRUE(unitA.sendTo(statusMessage(4, 0, 0, 999, 0), port));
    ASSERT_TRUE(unitA.sendTo(statusMessage(3, 0, 0, 113, 0), port));
    ASSERT_TRUE(test::eventually([&] { return a3->status.read(&s) && s.freeBuffers == 113; }));
    a4->status.read(&s);
    EXPECT_EQ(104u, s.freeBuffers);
}

TEST(Receiver, HandsAReplyToTheWaitingRequest) {
    Registered r(7);
    r.ch->replyTimeoutMs = 3000;
    // The unit answers the first request it sees with the matching sequence.
    std::thread unit([&] {
        auto req = r.unit.receive(3000ms);
        if (!req || req->size() < 12) return;
        auto reply = unitDatagram(7, test::le16(*req, 8), test::le16(*req, 10), 24);
        reply[12] = 0x42;
        r.unit.sendTo(reply, r.endpointPort);
    });
    ReplayStatusMessage msg{};
    const uint16_t seq = sendRequest(*r.ch, 0x21, nullptr, 0);
    EXPECT_EQ(QZQTU_OK, awaitReply(*r.ch, seq, &msg));
    unit.join();
    EXPECT_EQ(0x21, msg.command());
    EXPECT_EQ(seq, msg.sequence());
    EXPECT_EQ(0x42, msg.bytes[12]);
}

TEST(Receiver, ManyEndpointsAreAllRead) {
    UnitApi api(quiet());
    UdpPeer unit;
    std::vector<std::shared_ptr<ChannelState>> channels;
    for (int i = 0; i < 20; ++i) {
        // Distinct local addresses make distinct endpoints.
        const std::string local = "127.0.1." + std::to_string(i + 1);
        QZQTU_InputInterface c = loopbackConfig(unit.port());
        c.localControlIp = local.c_str();
        int32_t h = -1;
        ASSERT_EQ(QZQTU_OK, api.registerOutputChannel(&c, i, &h));
        channels.push_back(api.find(h));
    }
    EXPECT_EQ(20u, api.channelCount());
    EXPECT_EQ(20u, api.endpointCount());
    for (int i = 0; i < 20; ++i) {
        const std::string local = "127.0.1." + std::to_string(i + 1);
        ASSERT_TRUE(unit.sendTo(statusMessage(static_cast<uint8_t>(i), 0, 0, static_cast<uint32_t>(i), 0),
                                platform::localPort(channels[i]->controlSocket()), local.c_str()));
    }
    for (int i = 0; i < 20; ++i) {
        QZQTU_ReplayState s{};
        ASSERT_TRUE(test::eventually([&] { return channels[i]->status.read(&s); })) << i;
        EXPECT_EQ(static_cast<uint32_t>(i), s.freeBuffers);
    }
}

double cpuSeconds() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

TEST(Receiver, IdlesWithoutSpinningAndStopsPromptly) {
    for (bool withChannel : {false, true}) {
        auto api = std::make_unique<UnitApi>(quiet());
        UdpPeer unit;
        int32_t h = -1;
        if (withChannel) {
            QZQTU_InputInterface c = loopbackConfig(unit.port());
            ASSERT_EQ(QZQTU_OK, api->registerOutputChannel(&c, 0, &h));
        }
        const double before = cpuSeconds();
        std::this_thread::sleep_for(500ms);
        // A spinning loop would burn about 0.5 s of CPU here.
        EXPECT_LT(cpuSeconds() - before, 0.15) << (withChannel ? "with a channel" : "idle");
        const auto start = std::chrono::steady_clock::now();
        api.reset();
        EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    }
}

}  // namespace
}  // namespace qtu
