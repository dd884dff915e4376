// The receiver at scale and the reading caller: 100 endpoints each get their
// replies and status (with every socket in one wait, and with a window of
// them turning round by round as on Windows), the window turns so that each
// socket is watched within a bounded number of waits, a new socket joins a
// wait that is under way, and a waiting caller reads its own reply.
#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <fstream>
#include <future>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "control_protocol.h"
#include "core_test_support.h"
#include "ready_group.h"
#include "unit_api.h"

namespace qtu {
namespace {

using namespace std::chrono_literals;
using test::loopbackConfig;
using test::statusMessage;
using test::UdpPeer;
using test::unitDatagram;

using test::quiet;

// Answers every request it receives with the request's command and
// sequence, after `delay`, until `stop`.
void answerRequests(const UdpPeer& unit, const std::atomic<bool>& stop, std::chrono::milliseconds delay = 0ms) {
    while (!stop.load()) {
        auto req = unit.receiveFrom(50ms);
        if (!req || req->bytes.size() < 12) continue;
        std::this_thread::sleep_for(delay);
        auto reply = unitDatagram(req->bytes[7], test::le16(req->bytes, 8), test::le16(req->bytes, 10), 20);
        reply[12] = req->bytes[7];  // the channel, to tell the replies apart
        unit.sendTo(reply, req->port, req->ip.c_str());
    }
}

struct ScaleCase {
    const char* what;
    std::size_t maxWaitSockets;  // platform::kMaxWaitSockets: the platform's own group
};

class HundredEndpoints : public ::testing::TestWithParam<ScaleCase> {};

TEST_P(HundredEndpoints, EachGetsItsRepliesAndStatus) {
    constexpr int kEndpoints = 100;
    UnitApi api(quiet(), GetParam().maxWaitSockets);
    UdpPeer unit;
    ASSERT_TRUE(unit.ok());
    std::vector<std::shared_ptr<ChannelState>> channels;
    std::vector<std::string> locals;
    for (int i = 0; i < kEndpoints; ++i) {
        // Distinct local addresses make distinct endpoints.
        locals.push_back("127.0.2." + std::to_string(i + 1));
        QZQTU_InputInterface c = loopbackConfig(unit.port());
        c.localControlIp = locals.back().c_str();
        c.timeoutGet = 3000;
        int32_t h = -1;
        ASSERT_EQ(QZQTU_OK, api.registerOutputChannel(&c, i, &h)) << i;
        channels.push_back(api.find(h));
    }
    ASSERT_EQ(static_cast<std::size_t>(kEndpoints), api.endpointCount());

    // A status for every endpoint.
    for (int i = 0; i < kEndpoints; ++i) {
        ASSERT_TRUE(unit.sendTo(statusMessage(static_cast<uint8_t>(i), 0, 0, 1000u + i, 0),
                                platform::localPort(channels[i]->controlSocket()), locals[i].c_str()));
    }
    for (int i = 0; i < kEndpoints; ++i) {
        QZQTU_ReplayState s{};
        ASSERT_TRUE(test::eventually([&] { return channels[i]->status.read(&s); })) << i;
        EXPECT_EQ(1000u + i, s.freeBuffers) << i;
    }

    // A request on every endpoint, all in flight at once.
    std::atomic<bool> stop{false};
    std::thread answering([&] { answerRequests(unit, stop); });
    std::vector<std::future<std::pair<QZQTU_Error, uint8_t>>> replies;
    for (int i = 0; i < kEndpoints; ++i) {
        replies.push_back(std::async(std::launch::async, [&, i] {
            ReplayStatusMessage m{};
            const QZQTU_Error rc = awaitReply(*channels[i], sendRequest(*channels[i], 0x21, nullptr, 0), &m);
            return std::make_pair(rc, m.bytes[12]);
        }));
    }
    for (int i = 0; i < kEndpoints; ++i) {
        const auto [rc, channel] = replies[i].get();
        EXPECT_EQ(QZQTU_OK, rc) << i;
        EXPECT_EQ(i, channel) << i;
    }
    stop = true;
    answering.join();
}

INSTANTIATE_TEST_SUITE_P(Receiver, HundredEndpoints,
                         ::testing::Values(ScaleCase{"the platform's group", platform::kMaxWaitSockets},
                                           ScaleCase{"one wait for all", 1000},
                                           ScaleCase{"windows of 15 turning", 16}),
                         [](const auto& info) { return std::to_string(info.param.maxWaitSockets == platform::kMaxWaitSockets ? 0 : info.param.maxWaitSockets); });

TEST(ReadyGroup, AWindowOfSocketsTurnsSoThatEachIsWatchedWithinBoundedWaits) {
    // 100 readable sockets and room for 15 per wait (16 with the wake
    // socket): every wait reports a window of 15 in list order (newest
    // first), the next window starting where the last ended, so 7 waits see
    // them all. Nothing is read, so every socket stays readable.
    constexpr int kSockets = 100;
    auto group = makePolledGroup(16);
    UdpPeer sender;
    std::vector<std::unique_ptr<UdpPeer>> sockets;
    for (int i = 0; i < kSockets; ++i) {
        sockets.push_back(std::make_unique<UdpPeer>());
        ASSERT_TRUE(sender.sendTo(statusMessage(0, 0, 0, 0, 0), sockets.back()->port()));
    }
    for (auto& s : sockets) {
        pollfd p{s->fd(), POLLIN, 0};
        ASSERT_EQ(::poll(&p, 1, 5000), 1);  // the datagram is there before the waits begin
    }
    for (int i = 0; i < kSockets; ++i) ASSERT_TRUE(group->add(sockets[i]->fd(), static_cast<uint64_t>(i + 1)));

    std::set<uint64_t> seen;
    int waits = 0;
    while (seen.size() < static_cast<size_t>(kSockets) && waits < 20) {
        uint64_t tokens[64];
        const int n = group->wait(ReadyGroup::Waiter::Receiver, tokens, 64, 5000);
        std::vector<uint64_t> window;
        for (int i = 0; i < n; ++i) {
            if (tokens[i] == ReadyGroup::kWakeToken) {
                group->drainWake(ReadyGroup::Waiter::Receiver);
            } else {
                window.push_back(tokens[i]);
            }
        }
        if (window.empty()) continue;  // the wake-up of the adds alone
        ++waits;
        ASSERT_EQ(window.size(), 15u) << "wait " << waits;
        for (size_t i = 1; i < window.size(); ++i) {
            // List order: each next token one lower, wrapping from 1 to 100.
            EXPECT_EQ(window[i], window[i - 1] == 1 ? uint64_t{kSockets} : window[i - 1] - 1) << "wait " << waits;
        }
        seen.insert(window.begin(), window.end());
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(kSockets));
    EXPECT_EQ(waits, 7);
    for (auto& s : sockets) group->remove(s->fd());
}

TEST(ReadyGroup, ASocketAddedDuringAWaitIsTakenUpByThatWait) {
    struct Kind {
        const char* what;
        std::unique_ptr<ReadyGroup> group;
    };
    std::vector<Kind> kinds;
    kinds.push_back({"polled", makePolledGroup(64)});
    if (auto epoll = makeEpollGroup()) kinds.push_back({"epoll", std::move(epoll)});
    for (auto& kind : kinds) {
        UdpPeer endpoint, unit;
        ASSERT_TRUE(endpoint.ok() && unit.ok());
        ASSERT_TRUE(unit.sendTo(statusMessage(0, 0, 0, 1, 0), endpoint.port()));
        // The wait began before the socket (readable already) was added, with
        // a time-out far beyond the test's: it must end because of the add,
        // with the socket's report or the wake-up that announces it.
        auto waiting = std::async(std::launch::async, [&] {
            std::uint64_t tokens[8];
            const int n = kind.group->wait(ReadyGroup::Waiter::Receiver, tokens, 8, 60000);
            return n > 0 ? tokens[0] : ~std::uint64_t{0};
        });
        std::this_thread::sleep_for(20ms);  // let the wait begin (its outcome does not depend on it)
        ASSERT_TRUE(kind.group->add(endpoint.fd(), 7));
        ASSERT_EQ(waiting.wait_for(30s), std::future_status::ready) << kind.what;
        const std::uint64_t first = waiting.get();
        EXPECT_TRUE(first == 7 || first == ReadyGroup::kWakeToken) << kind.what;
        if (first == ReadyGroup::kWakeToken) {
            kind.group->drainWake(ReadyGroup::Waiter::Receiver);
            std::uint64_t tokens[8];
            ASSERT_EQ(kind.group->wait(ReadyGroup::Waiter::Receiver, tokens, 8, 5000), 1) << kind.what;
            EXPECT_EQ(tokens[0], 7u) << kind.what;
        }
        kind.group->remove(endpoint.fd());
    }
}

// True when thread `tid` of this process sleeps in an epoll wait. The
// kernel shows a thread's system call only while it sleeps, and a thread
// that sleeps in epoll_wait is on the set's wait queue: a datagram sent now
// wakes it rather than the receiver (the readers' set comes first).
bool sleepsInEpollWait(pid_t tid) {
    std::ifstream f("/proc/self/task/" + std::to_string(tid) + "/syscall");
    long number = -1;
    if (!(f >> number)) return false;  // "running"
#if defined(SYS_epoll_wait)
    if (number == SYS_epoll_wait) return true;
#endif
    return number == SYS_epoll_pwait;
}

// One request as the unit received it, answered on demand.
struct Pending {
    test::UdpPeer::From request;
    void answer(const UdpPeer& unit) const {
        auto reply = unitDatagram(request.bytes[7], test::le16(request.bytes, 8), test::le16(request.bytes, 10), 20);
        reply[12] = request.bytes[7];  // the channel, to tell the replies apart
        ASSERT_TRUE(unit.sendTo(reply, request.port, request.ip.c_str()));
    }
};

TEST(ReadingCaller, AReplyIsHandledByTheCallerWaitingForIt) {
    UnitApi api(quiet());
    if (!api.callersReadReplies()) GTEST_SKIP() << "callers do not wait on the sockets on this platform";
    UdpPeer unit;
    QZQTU_InputInterface c = loopbackConfig(unit.port(), 40000, 10000);
    int32_t h0 = -1, h1 = -1;
    ASSERT_EQ(QZQTU_OK, api.registerOutputChannel(&c, 0, &h0));
    ASSERT_EQ(QZQTU_OK, api.registerOutputChannel(&c, 1, &h1));
    auto ch0 = api.find(h0), ch1 = api.find(h1);
    // A request as the unit received it (an empty one after 10 s without).
    const auto take = [&] {
        auto r = unit.receiveFrom(10s);
        return Pending{r && r->bytes.size() >= 12 ? *r : test::UdpPeer::From{}};
    };
    const auto untilSleeping = [](const std::atomic<pid_t>& tid) {
        return test::eventually([&] { return tid.load() != 0 && sleepsInEpollWait(tid.load()); }, 10s);
    };

    // Each reply is sent only once its caller sleeps in its wait on the
    // sockets: it reads the reply itself, never the receiver.
    for (int i = 0; i < 4; ++i) {
        std::atomic<pid_t> tid{0};
        auto call = std::async(std::launch::async, [&] {
            tid = static_cast<pid_t>(::syscall(SYS_gettid));
            ReplayStatusMessage m{};
            const QZQTU_Error rc = awaitReply(*ch0, sendRequest(*ch0, 0x23, nullptr, 0), &m);
            return std::make_pair(rc, m.command());
        });
        const Pending request = take();
        ASSERT_FALSE(request.request.bytes.empty());
        ASSERT_TRUE(untilSleeping(tid));
        request.answer(unit);
        const auto [rc, command] = call.get();
        EXPECT_EQ(QZQTU_OK, rc);
        EXPECT_EQ(0x23, command);
    }
    EXPECT_EQ(4u, api.repliesReadByTheirCaller());

    // Two callers at once: one reads the sockets, the other waits for the
    // hand-off. The other's reply comes first: the reader reads it, hands it
    // on and waits again; then its own comes.
    std::atomic<pid_t> tids[2] = {0, 0};
    const auto caller = [&](int k, ChannelState& ch, uint16_t command) {
        return std::async(std::launch::async, [&, k, command] {
            tids[k] = static_cast<pid_t>(::syscall(SYS_gettid));
            ReplayStatusMessage m{};
            return std::make_pair(awaitReply(ch, sendRequest(ch, command, nullptr, 0), &m), m.bytes[12]);
        });
    };
    auto first = caller(0, *ch0, 0x21);
    auto second = caller(1, *ch1, 0x25);
    const Pending r1 = take(), r2 = take();
    ASSERT_FALSE(r1.request.bytes.empty() || r2.request.bytes.empty());
    int reader = -1;
    ASSERT_TRUE(test::eventually([&] {
        for (int k = 0; k < 2; ++k)
            if (tids[k].load() != 0 && sleepsInEpollWait(tids[k].load())) reader = k;
        return reader >= 0;
    }, 10s));
    // r1, r2 in the order the unit received them; the request of channel k
    // carries k in byte 7.
    const Pending& readers = r1.request.bytes[7] == reader ? r1 : r2;
    const Pending& others = r1.request.bytes[7] == reader ? r2 : r1;
    others.answer(unit);
    ASSERT_TRUE(untilSleeping(tids[reader]));
    readers.answer(unit);
    const auto a = first.get(), b = second.get();
    EXPECT_EQ(QZQTU_OK, a.first);
    EXPECT_EQ(0, a.second);
    EXPECT_EQ(QZQTU_OK, b.first);
    EXPECT_EQ(1, b.second);
    EXPECT_EQ(5u, api.repliesReadByTheirCaller());

    // Status messages keep reaching the channel while nobody asks anything.
    ASSERT_TRUE(unit.sendTo(statusMessage(1, 0, 0, 77, 0), platform::localPort(ch1->controlSocket())));
    QZQTU_ReplayState s{};
    ASSERT_TRUE(test::eventually([&] { return ch1->status.read(&s) && s.freeBuffers == 77; }));
}

}  // namespace
}  // namespace qtu
