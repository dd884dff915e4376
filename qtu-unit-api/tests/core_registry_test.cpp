// Registration and unregistration: validation and its order, handles, shared
// control endpoints (observed on the real socket) and the teardown requests.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "core_test_support.h"
#include "unit_api.h"

namespace qtu {
namespace {

using namespace std::chrono_literals;
using test::loopbackConfig;
using test::UdpPeer;

// True while the socket number refers to an open socket of this process.
bool socketOpen(int fd) {
    struct stat st {};
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    return ::stat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

// True when 127.0.0.1:port can be bound, i.e. no socket holds it.
bool portFree(uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

// Reachability must not be reached by these tests; fail loudly if it is.
Reachability::Hooks noEcho() {
    Reachability::Hooks h;
    h.echo = [](uint32_t) -> platform::EchoResult {
        ADD_FAILURE() << "unexpected echo";
        return {platform::EchoOutcome::NotAnswered, 0};
    };
    h.out = std::tmpfile();
    return h;
}

TEST(Validation, InputInterfaceNeedsTwoAddressesAndAnOptionalLocalOne) {
    QZQTU_InputInterface c = loopbackConfig(1);
    EXPECT_TRUE(isValidInputInterface(c));
    c.localControlIp = nullptr;
    EXPECT_TRUE(isValidInputInterface(c));
    for (const char* bad : {"abc", "", "1.2.3", "256.1.1.1", "1.2.3.4 ", "::1", "1.2.3.4.5"}) {
        QZQTU_InputInterface d = loopbackConfig(1);
        d.localControlIp = bad;
        EXPECT_FALSE(isValidInputInterface(d)) << bad;
        d = loopbackConfig(1);
        d.qtuControlIp = bad;
        EXPECT_FALSE(isValidInputInterface(d)) << bad;
        d = loopbackConfig(1);
        d.sensorDataIp = bad;
        EXPECT_FALSE(isValidInputInterface(d)) << bad;
    }
    c = loopbackConfig(1);
    c.qtuControlIp = nullptr;
    EXPECT_FALSE(isValidInputInterface(c));
    c = loopbackConfig(1);
    c.sensorDataIp = nullptr;
    EXPECT_FALSE(isValidInputInterface(c));
}

TEST(Registration, ChecksInTheirOrder) {
    UnitApi api(noEcho());
    QZQTU_InputInterface bad = loopbackConfig(1);
    bad.localControlIp = "abc";
    QZQTU_InputInterface small = loopbackConfig(1);
    small.maxPayloadSize = 7;
    const QZQTU_InputInterface good = loopbackConfig(1);
    int32_t h = -7;

    // Null interface before anything else, even with a null handle and a bad channel.
    EXPECT_EQ(QZQTU_INVALID_POINTER, api.registerOutputChannel(nullptr, -1, nullptr));
    // Invalid interface before the null handle and the channel.
    EXPECT_EQ(QZQTU_INVALID_INPUT_INTERFACE, api.registerOutputChannel(&bad, -1, nullptr));
    EXPECT_EQ(QZQTU_INVALID_INPUT_INTERFACE, api.registerOutputChannel(&small, -1, nullptr));
    // Null handle before the channel number.
    EXPECT_EQ(QZQTU_INVALID_POINTER, api.registerOutputChannel(&good, -1, nullptr));
    EXPECT_EQ(QZQTU_INVALID_CHANNEL_INDEX, api.registerOutputChannel(&good, -1, &h));
    EXPECT_EQ(QZQTU_INVALID_CHANNEL_INDEX, api.registerOutputChannel(&good, 256, &h));
    EXPECT_EQ(QZQTU_INVALID_CHANNEL_INDEX, api.registerOutputChannel(&good, INT32_MIN, &h));
    EXPECT_EQ(-7, h);
    // Nothing was created by the refused calls.
    EXPECT_EQ(0u, api.endpointCount());
    EXPECT_EQ(0u, api.channelCount());

    // The limits themselves are accepted.
    small.maxPayloadSize = 8;
    EXPECT_EQ(QZQTU_OK, api.registerOutputChannel(&small, 255, &h));
    EXPECT_EQ(0, h);
}

TEST(Registration, DuplicateKeyIsRefusedByTextAndNumber) {
    UnitApi api(noEcho());
    QZQTU_InputInterface a = loopbackConfig(1);
    int32_t h = -1;
    ASSERT_EQ(QZQTU_OK, api.registerOutputChannel(&a, 3, &h));
    EXPECT_EQ(QZQTU_CHANNEL_ALREADY_REGISTERED, api.registerOutputChannel(&a, 3, &h));
    EXPECT_EQ(0, h);
    // A refused duplicate leaves the counter alone.
    EXPECT_EQ(QZQTU_OK, api.registerOutputChannel(&a, 4, &h));
    EXPECT_EQ(1, h);
    // Another unit's address (as text) is another key, even on the same socket.
    QZQTU_InputInterface b = loopbackConfig(1);
    b.qtuControlIp = "127.0.0.2";
    EXPECT_EQ(QZQTU_OK, api.registerOutputChannel(&b, 3, &h));
    EXPECT_EQ(2, h);
    EXPECT_EQ(1u, api.endpointCount());
    // After unregistration the key is free again.
    ASSERT_EQ(QZQTU_OK, api.unregisterOutputChannel(0));
    EXPECT_EQ(QZQTU_OK, api.registerOutputChannel(&a, 3, &h));
    EXPECT_EQ(3, h);
}

TEST(Registration, HandlesCountUpAndAreNeverReused) {
    UnitApi api(noEcho());
    const QZQTU_InputInterface c = loopbackConfig(1);
    int32_t h = -1;
    for (int32_t i = 0; i < 3; ++i) {
        ASSERT_EQ(QZQTU_OK, api.registerOutputChannel(&c, i, &h));
        EXPECT_EQ(i, h);
    }
    EXPECT_EQ(QZQTU_OK, api.unregisterOutputChannel(1));
    EXPECT_EQ(nullptr, api.find(1));
    EXPECT_EQ(QZQTU_INVALID_HANDLE, api.unregisterOutputChannel(1));
    ASSERT_EQ(QZQTU_OK, api.registerOutputChannel(&c, 1, &h));
    EXPECT_EQ(3, h);
    for (int32_t unknown : {-1, 4, 1000, INT32_MAX, INT32_MIN}) {
        EXPECT_EQ(nullptr, api.find(unknown));
        EXPECT_EQ(QZQTU_INVALID_HANDLE, api.unregisterOutputChannel(unknown));
    }
    auto ch = api.find(3);
    ASSERT_NE(nullptr, ch);
    EXPECT_EQ(1, ch->channel);
}

TEST(Registration, ChannelCopiesItsConfiguration) {
    UnitApi api(noEcho());
    std::string controlIp = "127.0.0.1", dataIp = "127.0.0.3";
    QZQTU_InputInterface c = loopbackConfig(4321, 65530, 77);
    c.qtuControlIp = controlIp.c_str();
    c.sensorDataIp = dataIp.c_str();
    int32_t h = -1;
    ASSERT_EQ(QZQTU_OK, api.registerOutputChannel(&c, 9, &h));
    // The caller's texts may change after the call.
    controlIp = "xxxxxxxxx";
    dataIp = "yyyyyyyyy";
    auto ch = api.find(h);
    ASSERT_NE(nullptr, ch);
    EXPECT_EQ("127.0.0.1", ch->controlIp);
    EXPECT_EQ(4321, ch->controlPort);
    EXPECT_EQ("127.0.0.3", ch->dataIp);
    EXPECT_EQ(3, ch->dataPort);  // 65530 + 9 in 16 bits
    EXPECT_EQ(77u, ch->replyTimeoutMs.load());
    EXPECT_EQ(1400, ch->maxPayloadSize);
    EXPECT_TRUE(socketOpen(ch->dataSocket));
    EXPECT_NE(ch->dataSocket, ch->controlSocket());
}

TEST(Endpoints, ShareOneBoundSocketThatClosesWithTheLastChannel) {
    UnitApi api(noEcho());
    QZQTU_InputInterface c = loopbackConfig(1);
    int32_t h0 = -1, h1 = -1, h2 = -1;
    ASSERT_EQ(QZQTU_OK, api.registerOutputChannel(&c, 0, &h0));
    ASSERT_EQ(QZQTU_OK, api.registerOutputChannel(&c, 1, &h1));
    const int fd = api.find(h0)->controlSocket();
    const int dataFd = api.find(h0)->dataSocket;
    EXPECT_EQ(fd, api.find(h1)->controlSocket());
    EXPECT_EQ(1u, api.endpointCount());
    const uint16_t port = platform::localPort(fd);
    ASSERT_NE(0, port);
    EXPECT_FALSE(portFree(port));

    // Another local address text is another endpoint, even for the same host.
    QZQTU_InputInterface other = loopbackConfig(1);
    other.localControlIp = nullptr;  // "0.0.0.0"
    ASSERT_EQ(QZQTU_OK, api.registerOutputChannel(&other, 2, &h2));
    EXPECT_NE(fd, api.find(h2)->controlSocket());
    EXPECT_EQ(2u, api.endpointCount());

    ASSERT_EQ(QZQTU_OK, api.unregisterOutputChannel(h0));
    EXPECT_FALSE(socketOpen(dataFd));  // the channel's own data socket went with it
    EXPECT_TRUE(socketOpen(fd));
    EXPECT_FALSE(portFree(port));
    EXPECT_EQ(2u, api.endpointCount());

    ASSERT_EQ(QZQTU_OK, api.unregisterOutputChannel(h1));
    EXPECT_FALSE(socketOpen(fd));
    // Free at once, even though the receiver may have been waiting on it.
    EXPECT_TRUE(portFree(port));
    EXPECT_EQ(1u, api.endpointCount());
}

TEST(Endpoints, AFixedLocalPortCanBeBoundAgainRightAfterItsLastChannelLeft) {
    UnitApi api(noEcho());
    QZQTU_InputInterface c = loopbackConfig(1);
    int32_t h = -1;
    ASSERT_EQ(QZQTU_OK, api.registerOutputChannel(&c, 0, &h));
    c.localControlPort = platform::localPort(api.find(h)->controlSocket());
    ASSERT_EQ(QZQTU_OK, api.unregisterOutputChannel(h));
    for (int i = 0; i < 50; ++i) {
        ASSERT_EQ(QZQTU_OK, api.registerOutputChannel(&c, 0, &h)) << "round " << i;
        ASSERT_EQ(QZQTU_OK, api.unregisterOutputChannel(h));
    }
}

TEST(Endpoints, BindFailureGives9AndKeepsNothing) {
    UnitApi api(noEcho());
    UdpPeer holder;  // holds a port that the endpoint then can't bind
    ASSERT_TRUE(holder.ok());
    QZQTU_InputInterface c = loopbackConfig(1);
    c.localControlPort = holder.port();
    int32_t h = -1;
    testing::internal::CaptureStderr();
    EXPECT_EQ(QZQTU_CONTROL_SOCKET_ERROR, api.registerOutputChannel(&c, 0, &h));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ("bind failed with error " + std::to_string(EADDRINUSE) + "\n", err);
    EXPECT_EQ(-1, h);
    EXPECT_EQ(0u, api.endpointCount());
    EXPECT_EQ(0u, api.channelCount());
    // The failure did not use up a handle or the key.
    c.localControlPort = 0;
    EXPECT_EQ(QZQTU_OK, api.registerOutputChannel(&c, 0, &h));
    EXPECT_EQ(0, h);
}

TEST(Endpoints, ChannelInFlightKeepsItsEndpointOpen) {
    UnitApi api(noEcho());
    QZQTU_InputInterface c = loopbackConfig(1);
    int32_t h = -1;
    ASSERT_EQ(QZQTU_OK, api.registerOutputChannel(&c, 0, &h));
    auto inFlight = api.find(h);
    const int fd = inFlight->controlSocket();
    ASSERT_EQ(QZQTU_OK, api.unregisterOutputChannel(h));
    EXPECT_EQ(0u, api.endpointCount());
    // A call still running on the channel may send on its control socket.
    EXPECT_TRUE(socketOpen(fd));
    inFlight.reset();
    EXPECT_FALSE(socketOpen(fd));
}

// The unit's control socket, and what it received.
std::vector<std::vector<uint8_t>> drain(const UdpPeer& unit, size_t expected) {
    std::vector<std::vector<uint8_t>> got;
    while (got.size() < expected) {
        auto d = unit.receive(2000ms);
        if (!d) break;
        got.push_back(*d);
    }
    // Nothing more arrives.
    if (auto extra = unit.receive(50ms)) got.push_back(*extra);
    return got;
}

void expectRequest(const std::vector<uint8_t>& d, uint8_t channel, uint16_t command, uint16_t sequence) {
    ASSERT_EQ(12u, d.size());
    EXPECT_EQ(0, std::memcmp(d.data(), "QTU-", 4));
    EXPECT_EQ(0x43, d[4]);
    EXPECT_EQ(3, d[5]);
    EXPECT_EQ(12, d[6]);
    EXPECT_EQ(channel, d[7]);
    EXPECT_EQ(command, test::le16(d, 8));
    EXPECT_EQ(sequence, test::le16(d, 10));
}

TEST(Teardown, UnregistrationSendsOutputOffThenReplayOffWithoutWaiting) {
    UdpPeer unit;
    ASSERT_TRUE(unit.ok());
    UnitApi api(noEcho());
    QZQTU_InputInterface c = loopbackConfig(unit.port(), 40000, 60000);  // a reply wait would be seen
    int32_t h = -1;
    ASSERT_EQ(QZQTU_OK, api.registerOutputChannel(&c, 200, &h));
    // Registration itself sends nothing.
    EXPECT_FALSE(unit.receive(50ms).has_value());

    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(QZQTU_OK, api.unregisterOutputChannel(h));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    const auto got = drain(unit, 2);
    ASSERT_EQ(2u, got.size());
    expectRequest(got[0], 200, 0x00, 1);
    expectRequest(got[1], 200, 0x10, 2);
}

TEST(Teardown, ShutdownTearsDownEveryChannelBeforeClosingTheSockets) {
    UdpPeer unit;
    ASSERT_TRUE(unit.ok());
    int fd = -1;
    {
        UnitApi api(noEcho());
        QZQTU_InputInterface c = loopbackConfig(unit.port());
        int32_t h = -1;
        ASSERT_EQ(QZQTU_OK, api.registerOutputChannel(&c, 1, &h));
        ASSERT_EQ(QZQTU_OK, api.registerOutputChannel(&c, 2, &h));
        fd = api.find(h)->controlSocket();
    }
    EXPECT_FALSE(socketOpen(fd));
    const auto got = drain(unit, 4);
    ASSERT_EQ(4u, got.size());
    // Each channel sends its two requests in order; the channels in any order.
    std::vector<std::pair<int, uint16_t>> seen;
    for (const auto& d : got) {
        ASSERT_EQ(12u, d.size());
        seen.emplace_back(d[7], test::le16(d, 8));
        EXPECT_EQ(seen.back().second == 0x00 ? 1 : 2, test::le16(d, 10));
    }
    for (int ch : {1, 2}) {
        std::vector<uint16_t> commands;
        for (auto& s : seen)
            if (s.first == ch) commands.push_back(s.second);
        EXPECT_EQ((std::vector<uint16_t>{0x00, 0x10}), commands) << "channel " << ch;
    }
}

}  // namespace
}  // namespace qtu
