// Reachability and don't-fragment inside a network namespace made by the test:
// a veth pair whose far end has no host behind it. Nothing leaves the
// namespace. Skipped where namespaces can't be made.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>

#include "platform/platform.h"
#include "reachability.h"
#include "unit_api.h"
#include "core_test_support.h"

namespace qtu {
namespace {

constexpr const char* kLocal = "10.213.0.1";    // our end of the veth pair
constexpr const char* kNobody = "10.213.0.2";   // on the link, but no host has it

class Namespace : public testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "network namespaces need root; not run";
        if (std::system("ip -V >/dev/null 2>&1") != 0) GTEST_SKIP() << "no ip command; not run";
        name_ = "qtucore" + std::to_string(::getpid());
        const std::string n = " -n " + name_ + " ";
        const std::string script = "ip netns add " + name_ + " && ip" + n + "link set lo up && ip" + n +
                                   "link add qa type veth peer name qb && ip" + n + "addr add " + kLocal +
                                   "/24 dev qa && ip" + n + "link set qa up && ip" + n + "link set qb up";
        if (std::system((script + " >/dev/null 2>&1").c_str()) != 0) {
            std::system(("ip netns del " + name_ + " >/dev/null 2>&1").c_str());
            name_.clear();
            GTEST_SKIP() << "could not create a network namespace with a veth pair; not run";
        }
    }
    void TearDown() override {
        if (!name_.empty()) std::system(("ip netns del " + name_ + " >/dev/null 2>&1").c_str());
    }

    // Runs `body` on a thread that has joined the namespace.
    void inside(const std::function<void()>& body) {
        std::thread t([&] {
            const int fd = ::open(("/run/netns/" + name_).c_str(), O_RDONLY | O_CLOEXEC);
            ASSERT_GE(fd, 0);
            ASSERT_EQ(0, ::setns(fd, CLONE_NEWNET));
            ::close(fd);
            body();
        });
        t.join();
    }

    std::string name_;
};

TEST_F(Namespace, AnAddressWithoutAHostIsNotReachable) {
    inside([] {
        std::FILE* out = std::tmpfile();
        Reachability::Hooks h;
        h.out = out;
        Reachability r(h);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(r.check(kNobody));
        const auto waited = std::chrono::steady_clock::now() - start;
        EXPECT_GE(waited, std::chrono::milliseconds(900));  // the echo waited its second
        EXPECT_TRUE(r.check(kLocal));
        EXPECT_FALSE(r.check(kNobody));  // the failure was not cached
        std::rewind(out);
        char buf[1024] = {};
        const size_t n = std::fread(buf, 1, sizeof buf - 1, out);
        std::fclose(out);
        EXPECT_EQ(std::string("[Debug] IP 10.213.0.2 could not be found\n"
                              "[Debug] IP 10.213.0.2 can not be pinged -> FAIL\n"
                              "[Debug] IP 10.213.0.1 could not be found\n"
                              "[Debug] IP 10.213.0.1 can be pinged -> SUCCESS\n"
                              "[Debug] IP 10.213.0.2 could not be found\n"
                              "[Debug] IP 10.213.0.2 can not be pinged -> FAIL\n"),
                  std::string(buf, n));
    });
}

TEST_F(Namespace, EchoThroughAnUnprivilegedIcmpDatagramSocket) {
    // The range of groups allowed unprivileged echoes is per namespace; open
    // it to all so that the datagram socket, not the raw one, is used.
    ASSERT_EQ(0, std::system(("ip netns exec " + name_ +
                              " sysctl -q -w net.ipv4.ping_group_range='0 2147483647' >/dev/null 2>&1")
                                 .c_str()));
    inside([] {
        const int probe = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_ICMP);
        ASSERT_GE(probe, 0) << "the datagram ICMP socket should be allowed now";
        ::close(probe);
        uint32_t local = 0, nobody = 0;
        ASSERT_TRUE(platform::parseIpv4(kLocal, &local));
        ASSERT_TRUE(platform::parseIpv4(kNobody, &nobody));
        EXPECT_EQ(platform::EchoOutcome::Answered,
                  platform::icmpEcho(local, Reachability::kEchoPayload, 8, 1000).outcome);
        EXPECT_EQ(platform::EchoOutcome::NotAnswered,
                  platform::icmpEcho(nobody, Reachability::kEchoPayload, 8, 300).outcome);
    });
}

TEST_F(Namespace, InterfaceCheckNamesTheInterfaceThatDoesNotAnswer) {
    inside([] {
        Reachability::Hooks h;
        h.out = std::tmpfile();
        UnitApi api(h);
        QZQTU_InputInterface c = test::loopbackConfig(1);
        c.qtuControlIp = kLocal;
        c.sensorDataIp = kNobody;
        EXPECT_EQ(QZQTU_DATA_INTERFACE_NOT_AVAILABLE, api.isInputInterfaceAvailable(&c));
        c.qtuControlIp = kNobody;
        c.sensorDataIp = kLocal;
        EXPECT_EQ(QZQTU_CONTROL_INTERFACE_NOT_AVAILABLE, api.isInputInterfaceAvailable(&c));
        c.qtuControlIp = kLocal;
        EXPECT_EQ(QZQTU_OK, api.isInputInterfaceAvailable(&c));
    });
}

TEST_F(Namespace, DatagramsAboveThePathMtuAreRefusedNotFragmented) {
    inside([] {
        platform::SocketHandle s = platform::createUdpSocket();
        ASSERT_NE(platform::kInvalidSocket, s);
        std::vector<uint8_t> payload(2000, 0x55);
        // The veth link has an MTU of 1500: 1472 UDP bytes fit, 1473 don't.
        EXPECT_EQ(platform::SendOutcome::Sent, platform::sendTo(s, payload.data(), 1472, kNobody, 9));
        testing::internal::CaptureStderr();
        EXPECT_EQ(platform::SendOutcome::TooLong, platform::sendTo(s, payload.data(), 1473, kNobody, 9));
        EXPECT_EQ("Error: Sending data to 10.213.0.2:9 failed (errCode " + std::to_string(EMSGSIZE) + ")\n",
                  testing::internal::GetCapturedStderr());
        platform::closeSocket(s);
    });
}

}  // namespace
}  // namespace qtu
