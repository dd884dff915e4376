// Datagrams larger than the path allows are refused, not fragmented: run in a
// network namespace of its own whose loopback has an MTU of 1500 bytes, so a
// datagram carries at most 1500 - 28 - 24 = 1448 data bytes.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>

#include "QZQTUApi.h"
#include "channel_state.h"
#include "fake_unit.h"
#include "unit_api.h"

namespace qtu::test {
namespace {

bool run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

class Mtu1500Namespace : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "network namespaces need root; skipped";
        if (!run("ip -V")) GTEST_SKIP() << "the ip command is missing; skipped";
        name_ = "qtu-proto-mtu-" + std::to_string(::getpid());
        run("ip netns del " + name_);
        if (!run("ip netns add " + name_)) GTEST_SKIP() << "could not create network namespace " << name_;
        created_ = true;
        ASSERT_TRUE(run("ip -n " + name_ + " link set lo mtu 1500 up"));
    }
    void TearDown() override {
        if (created_) run("ip netns del " + name_);
    }

    // Runs `body` on a thread that has entered the namespace; sockets it and
    // its threads create live there.
    void inNamespace(const std::function<void()>& body) {
        std::thread t([&] {
            const int fd = ::open(("/run/netns/" + name_).c_str(), O_RDONLY | O_CLOEXEC);
            ASSERT_GE(fd, 0);
            ASSERT_EQ(::setns(fd, CLONE_NEWNET), 0);
            ::close(fd);
            body();
        });
        t.join();
    }

    std::string name_;
    bool created_ = false;
};

struct Outcome {
    QZQTU_Error rc;
    uint16_t counterAfter;
    std::vector<uint16_t> sizes;
};

Outcome streamOnce(uint16_t maxPayload, size_t length, platform::StreamSendMode mode, size_t thenLength = 0) {
    FakeUnit unit;
    const QZQTU_InputInterface c = unit.config(0, maxPayload, 1000, 1000);
    int32_t h = -1;
    EXPECT_EQ(QZQTU_RegisterOutputChannel(&c, 0, &h), QZQTU_OK);
    EXPECT_EQ(QZQTU_InitOutputChannel(h, static_cast<uint16_t>(length), 1), QZQTU_OK);
    unit.sendStatus(0, 0, 0, 100, 0);
    auto ch = UnitApi::instance().find(h);
    EXPECT_TRUE(unit.waitFor([&] { return ch->stream.credit.freeBuffers() == 100; }));
    ch->stream.sender().setMode(mode);
    std::vector<uint8_t> data(length, 0x5A);
    QZQTU_StreamDataInfo info{};
    Outcome out;
    out.rc = QZQTU_ReplayStreamData(h, &info, data.data(), static_cast<uint16_t>(length));
    if (thenLength != 0) {
        EXPECT_EQ(QZQTU_ReplayStreamData(h, &info, data.data(), static_cast<uint16_t>(thenLength)), QZQTU_OK);
    }
    out.counterAfter = ch->stream.packetCounter();
    unit.waitPackets(0, out.counterAfter, std::chrono::seconds(2));
    for (const auto& p : unit.packets(0)) out.sizes.push_back(p.payloadLength);
    ch.reset();
    QZQTU_UnregisterOutputChannel(h);
    return out;
}

const platform::StreamSendMode kModes[] = {platform::StreamSendMode::Segmented,
                                           platform::StreamSendMode::Batched, platform::StreamSendMode::Single};

TEST_F(Mtu1500Namespace, LargestPayloadThatFitsGoesOut) {
    inNamespace([] {
        for (auto mode : kModes) {
            const Outcome o = streamOnce(1448, 3000, mode);
            EXPECT_EQ(o.rc, QZQTU_OK);
            EXPECT_EQ(o.sizes, (std::vector<uint16_t>{1448, 1448, 104}));
            EXPECT_EQ(o.counterAfter, 3);
        }
    });
}

TEST_F(Mtu1500Namespace, EightBytesMoreIsRefusedAsFragmentation) {
    inNamespace([] {
        for (auto mode : kModes) {
            const Outcome o = streamOnce(1456, 3000, mode);
            EXPECT_EQ(o.rc, QZQTU_PACKET_FRAGMENTATION);
            EXPECT_TRUE(o.sizes.empty());
            EXPECT_EQ(o.counterAfter, 0);
        }
    });
}

TEST_F(Mtu1500Namespace, PacketsBeforeTheRefusedOneStaySentAndCounted) {
    // maxPayloadSize 1455: packets but the last carry 1448 bytes and fit; a
    // last packet of 1455 bytes does not.
    inNamespace([] {
        for (auto mode : kModes) {
            const Outcome o = streamOnce(1455, 10 * 1448 + 1455, mode);
            EXPECT_EQ(o.rc, QZQTU_PACKET_FRAGMENTATION);
            EXPECT_EQ(o.counterAfter, 10);
            EXPECT_EQ(o.sizes, std::vector<uint16_t>(10, 1448));
        }
    });
}

TEST_F(Mtu1500Namespace, RefusedBlockLeavesNoErrorBehindForTheNext) {
    // The refused last packet must not make the next, fitting block fail.
    inNamespace([] {
        for (auto mode : kModes) {
            const Outcome o = streamOnce(1455, 10 * 1448 + 1455, mode, 3 * 1448);
            EXPECT_EQ(o.rc, QZQTU_PACKET_FRAGMENTATION);
            EXPECT_EQ(o.counterAfter, 13);
            EXPECT_EQ(o.sizes, std::vector<uint16_t>(13, 1448));
        }
    });
}

}  // namespace
}  // namespace qtu::test
