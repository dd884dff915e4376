// More endpoints than one round waits on: the receiver takes the sockets in
// turns, so every endpoint is read, and each one's queue drains completely,
// however many of the others have datagrams waiting. Uses only the platform
// layer for the unit's side, so it runs on every system (Windows: under Wine).
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "unit_api.h"

namespace qtu {
namespace {

using namespace std::chrono_literals;

// Sockets one wait takes on Windows (select), where the rotation matters.
constexpr int kWaitLimit = 64;

// A status message (command 0xFF, 28 bytes) whose free-buffer count tells
// which one of a series it is.
std::vector<std::uint8_t> statusMessage(std::uint8_t channel, std::uint32_t freeBuffers) {
    std::vector<std::uint8_t> d(28, 0);
    std::memcpy(d.data(), "QTU-", 4);
    d[4] = 0x53;
    d[5] = 3;
    d[6] = 28;
    d[7] = channel;
    d[8] = 0xFF;
    for (int i = 0; i < 4; ++i) d[16 + i] = static_cast<std::uint8_t>(freeBuffers >> (8 * i));
    return d;
}

struct Case {
    int endpoints;
    int messagesEach;
};

class ReceiverRotation : public testing::TestWithParam<Case> {};

TEST_P(ReceiverRotation, EveryEndpointIsReadToTheEnd) {
    const Case c = GetParam();
    Reachability::Hooks hooks;
    hooks.out = std::tmpfile();
    UnitApi api(hooks);  // starts the socket library before the peer needs it

    platform::SocketHandle unit = platform::createUdpSocket();
    ASSERT_TRUE(platform::bindSocket(unit, "127.0.0.1", 0));
    const std::uint16_t unitPort = platform::localPort(unit);

    std::vector<std::shared_ptr<ChannelState>> channels;
    std::vector<std::string> locals;
    for (int i = 0; i < c.endpoints; ++i) {
        // A local address of its own makes each registration an endpoint of its own.
        locals.push_back("127.0." + std::to_string(2 + i / 250) + "." + std::to_string(1 + i % 250));
        QZQTU_InputInterface config{};
        config.qtuControlIp = "127.0.0.1";
        config.qtuControlPort = unitPort;
        config.sensorDataIp = "127.0.0.1";
        config.sensorDataBasePort = 40000;
        config.localControlIp = locals.back().c_str();
        config.maxPayloadSize = 1400;
        config.timeoutGet = 200;
        config.timeoutStream = 200;
        std::int32_t handle = -1;
        ASSERT_EQ(QZQTU_OK, api.registerOutputChannel(&config, i, &handle)) << i;
        channels.push_back(api.find(handle));
    }
    ASSERT_EQ(static_cast<std::size_t>(c.endpoints), api.endpointCount());

    // Queue the whole series on every endpoint before the receiver can have
    // drained much of it: the first window of sockets stays readable for
    // many rounds.
    for (int m = 1; m <= c.messagesEach; ++m) {
        for (int i = 0; i < c.endpoints; ++i) {
            const auto d = statusMessage(static_cast<std::uint8_t>(i), static_cast<std::uint32_t>(m));
            ASSERT_EQ(platform::SendOutcome::Sent,
                      platform::sendTo(unit, d.data(), d.size(), locals[i].c_str(),
                                       platform::localPort(channels[i]->controlSocket())));
        }
    }

    // Datagrams of one endpoint are read in order, so each channel shows the
    // last of its series once its queue has drained. A round lasts 10 ms at
    // most; the limit leaves room for a slow machine.
    const auto end = std::chrono::steady_clock::now() + 20s;
    std::vector<int> behind;
    do {
        behind.clear();
        for (int i = 0; i < c.endpoints; ++i) {
            QZQTU_ReplayState s{};
            if (!channels[i]->status.read(&s) || s.freeBuffers != static_cast<std::uint32_t>(c.messagesEach)) {
                behind.push_back(i);
            }
        }
        if (!behind.empty()) std::this_thread::sleep_for(5ms);
    } while (!behind.empty() && std::chrono::steady_clock::now() < end);
    EXPECT_TRUE(behind.empty()) << behind.size() << " endpoints not read to the end, the first "
                                << behind.front();
    platform::closeSocket(unit);
}

INSTANTIATE_TEST_SUITE_P(MoreThanOneRound, ReceiverRotation,
                         testing::Values(Case{kWaitLimit, 3},
                                         Case{kWaitLimit + 1, 3},
                                         Case{2 * kWaitLimit + 30, 4}),
                         [](const testing::TestParamInfo<Case>& info) {
                             return std::to_string(info.param.endpoints) + "Endpoints";
                         });

}  // namespace
}  // namespace qtu
