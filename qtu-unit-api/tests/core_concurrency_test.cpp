// Registration, unregistration, lookups, requests and the receiver running at
// once from many threads. Meant for ThreadSanitizer (label concurrency).
#include <gtest/gtest.h>

#include <atomic>
#include <barrier>

#include "core_test_support.h"
#include "unit_api.h"

namespace qtu {
namespace {

using namespace std::chrono_literals;
using test::loopbackConfig;
using test::UdpPeer;

using test::quiet;

// A unit that answers every request with the same command and sequence, and
// also sends a status message to whoever asked, until stopped.
class EchoUnit {
public:
    EchoUnit() {
        thread_ = std::thread([this] {
            while (!stop_.load()) {
                auto req = sock_.receive(20ms);
                if (!req || req->size() < 12) continue;
                ++requests_;
                const uint16_t port = lastPort_.load();
                if (port == 0) continue;
                sock_.sendTo(test::unitDatagram((*req)[7], test::le16(*req, 8), test::le16(*req, 10), 28), port);
                sock_.sendTo(test::statusMessage((*req)[7], 1, 0, 10, 1), port);
            }
        });
    }
    ~EchoUnit() {
        stop_.store(true);
        thread_.join();
    }
    uint16_t port() const { return sock_.port(); }
    void replyTo(uint16_t endpointPort) { lastPort_.store(endpointPort); }
    int requests() const { return requests_.load(); }

private:
    UdpPeer sock_;
    std::atomic<bool> stop_{false};
    std::atomic<uint16_t> lastPort_{0};
    std::atomic<int> requests_{0};
    std::thread thread_;
};

TEST(Concurrency, ManyThreadsRegisterCallAndUnregister) {
    EchoUnit unit;
    UnitApi api(quiet());
    // One fixed local port shared by every registration: all channels share
    // one endpoint, which comes and goes as the channels do.
    uint16_t localPort = 0;
    {
        UdpPeer probe;
        localPort = probe.port();
    }
    unit.replyTo(localPort);

    constexpr int kThreads = 8, kRounds = 40;
    std::atomic<int> failures{0}, ok{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            QZQTU_InputInterface c = loopbackConfig(unit.port(), 40000, 500);
            c.localControlPort = localPort;
            for (int i = 0; i < kRounds; ++i) {
                int32_t h = -1;
                const QZQTU_Error r = api.registerOutputChannel(&c, t, &h);
                if (r != QZQTU_OK) {
                    ++failures;
                    continue;
                }
                if (auto ch = api.find(h)) {
                    ReplayStatusMessage msg{};
                    const uint16_t seq = sendRequest(*ch, 0x21, nullptr, 0);
                    if (awaitReply(*ch, seq, &msg) == QZQTU_OK) ++ok;
                    QZQTU_ReplayState s{};
                    ch->status.read(&s);
                }
                // Another thread's handle may be looked up or unregistered too.
                (void)api.find(h ^ 1);
                if (api.unregisterOutputChannel(h) != QZQTU_OK) ++failures;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(0, failures.load());
    EXPECT_GT(ok.load(), 0);
    EXPECT_EQ(0u, api.channelCount());
    EXPECT_EQ(0u, api.endpointCount());
}

TEST(Concurrency, OneKeyRegisteredAtOnceFromManyThreadsSucceedsOnce) {
    UnitApi api(quiet());
    constexpr int kThreads = 8;
    for (int round = 0; round < 20; ++round) {
        std::barrier start(kThreads);
        std::atomic<int> registered{0}, refused{0};
        std::vector<int32_t> handles(kThreads, -1);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                QZQTU_InputInterface c = loopbackConfig(1);
                start.arrive_and_wait();
                const QZQTU_Error r = api.registerOutputChannel(&c, 42, &handles[t]);
                if (r == QZQTU_OK) ++registered;
                if (r == QZQTU_CHANNEL_ALREADY_REGISTERED) ++refused;
            });
        }
        for (auto& t : threads) t.join();
        ASSERT_EQ(1, registered.load());
        ASSERT_EQ(kThreads - 1, refused.load());
        for (int32_t h : handles) {
            if (h >= 0) {
                EXPECT_EQ(QZQTU_OK, api.unregisterOutputChannel(h));
            }
        }
    }
}

TEST(Concurrency, UnregistrationRacingRegistrationOfTheSameKeyKeepsTheNewChannelRouted) {
    UnitApi api(quiet());
    UdpPeer unit;
    QZQTU_InputInterface c = loopbackConfig(unit.port());
    for (int round = 0; round < 30; ++round) {
        int32_t old = -1;
        ASSERT_EQ(QZQTU_OK, api.registerOutputChannel(&c, 1, &old));
        std::barrier start(2);
        int32_t fresh = -1;
        QZQTU_Error freshResult = -1;
        std::thread unregister([&] {
            start.arrive_and_wait();
            EXPECT_EQ(QZQTU_OK, api.unregisterOutputChannel(old));
        });
        std::thread reg([&] {
            start.arrive_and_wait();
            // Retries until the old registration is gone.
            do {
                freshResult = api.registerOutputChannel(&c, 1, &fresh);
            } while (freshResult == QZQTU_CHANNEL_ALREADY_REGISTERED);
        });
        unregister.join();
        reg.join();
        ASSERT_EQ(QZQTU_OK, freshResult);
        // The new channel must still receive its unit's datagrams.
        auto ch = api.find(fresh);
        ASSERT_NE(nullptr, ch);
        const uint16_t port = platform::localPort(ch->controlSocket());
        ASSERT_TRUE(unit.sendTo(test::statusMessage(1, 0, 0, static_cast<uint32_t>(round + 1), 0), port));
        QZQTU_ReplayState s{};
        ASSERT_TRUE(test::eventually([&] { return ch->status.read(&s); })) << "round " << round;
        ch.reset();
        ASSERT_EQ(QZQTU_OK, api.unregisterOutputChannel(fresh));
        // Drain the teardown requests.
        while (unit.receive(0ms)) {
        }
    }
}

TEST(Concurrency, ReceiverDispatchesWhileChannelsComeAndGo) {
    UnitApi api(quiet());
    UdpPeer unit;
    QZQTU_InputInterface c = loopbackConfig(unit.port());
    int32_t anchor = -1;
    ASSERT_EQ(QZQTU_OK, api.registerOutputChannel(&c, 0, &anchor));
    const uint16_t port = platform::localPort(api.find(anchor)->controlSocket());
    std::atomic<bool> stop{false};
    std::thread flood([&] {
        for (uint32_t i = 0; !stop.load() && i < 20000; ++i) {
            unit.sendTo(test::statusMessage(static_cast<uint8_t>(i % 4), 0, 0, i, i), port);
            if (i % 64 == 0) std::this_thread::sleep_for(1ms);
        }
    });
    std::vector<std::thread> churn;
    for (int t = 1; t < 4; ++t) {
        churn.emplace_back([&, t] {
            for (int i = 0; i < 100; ++i) {
                int32_t h = -1;
                if (api.registerOutputChannel(&c, t, &h) == QZQTU_OK) {
                    QZQTU_ReplayState s{};
                    if (auto ch = api.find(h)) ch->status.read(&s);
                    api.unregisterOutputChannel(h);
                }
            }
        });
    }
    for (auto& t : churn) t.join();
    stop.store(true);
    flood.join();
    QZQTU_ReplayState s{};
    EXPECT_TRUE(test::eventually([&] { return api.find(anchor)->status.read(&s); }));
}

}  // namespace
}  // namespace qtu
