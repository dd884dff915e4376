// The POSIX socket layer: socket options, bind, send and receive outcomes and
// their diagnostic lines.
#include <gtest/gtest.h>

#include <cstring>

#include <netinet/ip.h>

#include <fstream>

#include "core_test_support.h"
#include "platform/platform.h"

namespace qtu::platform {
namespace {

using namespace std::chrono_literals;

struct Socket {
    SocketHandle fd = createUdpSocket();
    ~Socket() { closeSocket(fd); }
};

TEST(Platform, UdpSocketRefusesFragmentationAndHasTheLargestSendBuffer) {
    Socket s;
    ASSERT_NE(kInvalidSocket, s.fd);
    int value = 0;
    socklen_t len = sizeof value;
    ASSERT_EQ(0, ::getsockopt(s.fd, IPPROTO_IP, IP_MTU_DISCOVER, &value, &len));
    EXPECT_EQ(IP_PMTUDISC_DO, value);

    // Linux takes the request of 2147483647 and clamps it to net.core.wmem_max,
    // which it then doubles for its bookkeeping.
    long wmemMax = 0;
    std::ifstream("/proc/sys/net/core/wmem_max") >> wmemMax;
    len = sizeof value;
    ASSERT_EQ(0, ::getsockopt(s.fd, SOL_SOCKET, SO_SNDBUF, &value, &len));
    if (wmemMax > 0) {
        EXPECT_EQ(2 * wmemMax, value);
    }
    EXPECT_EQ(0, localPort(s.fd));  // not bound
}

TEST(Platform, BindThenReuseAndFailureClosesTheSocket) {
    Socket a;
    ASSERT_TRUE(bindSocket(a.fd, "127.0.0.1", 0));
    const uint16_t port = localPort(a.fd);
    ASSERT_NE(0, port);
    int reuse = 0;
    socklen_t len = sizeof reuse;
    ASSERT_EQ(0, ::getsockopt(a.fd, SOL_SOCKET, SO_REUSEADDR, &reuse, &len));
    EXPECT_NE(0, reuse);

    // A second socket on the same address and port is refused: reuse is
    // turned on only after the bind, so it never lets two sockets share a port.
    Socket b;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(bindSocket(b.fd, "127.0.0.1", port));
    EXPECT_EQ("bind failed with error " + std::to_string(EADDRINUSE) + "\n",
              testing::internal::GetCapturedStderr());
    EXPECT_EQ(kInvalidSocket, b.fd);

    SocketHandle invalid = kInvalidSocket;
    testing::internal::CaptureStderr();
    EXPECT_FALSE(bindSocket(invalid, "127.0.0.1", 0));
    EXPECT_EQ("bind failed with error " + std::to_string(EBADF) + "\n", testing::internal::GetCapturedStderr());
}

TEST(Platform, SendAndReceiveOneDatagramWithTheSenderText) {
    Socket rx, tx;
    ASSERT_TRUE(bindSocket(rx.fd, "127.0.0.1", 0));
    char sender[kAddressTextSize] = "unchanged";
    uint8_t buf[64];
    // Nothing waiting: 0 at once, without a line.
    testing::internal::CaptureStderr();
    EXPECT_EQ(0, receiveFrom(rx.fd, buf, sizeof buf, sender));
    EXPECT_EQ("", testing::internal::GetCapturedStderr());

    const char text[] = "QTU-hello";
    EXPECT_EQ(SendOutcome::Sent, sendTo(tx.fd, text, 9, "127.0.0.1", localPort(rx.fd)));
    bool readable = false;
    ASSERT_EQ(1, waitReadable(&rx.fd, 1, &readable, 2000));
    EXPECT_TRUE(readable);
    EXPECT_EQ(9, receiveFrom(rx.fd, buf, sizeof buf, sender));
    EXPECT_EQ(0, std::memcmp(buf, text, 9));
    EXPECT_STREQ("127.0.0.1", sender);

    // A datagram longer than the buffer is cut to it.
    std::vector<uint8_t> big(100, 7);
    EXPECT_EQ(SendOutcome::Sent, sendTo(tx.fd, big.data(), big.size(), "127.0.0.1", localPort(rx.fd)));
    ASSERT_EQ(1, waitReadable(&rx.fd, 1, &readable, 2000));
    EXPECT_EQ(64, receiveFrom(rx.fd, buf, sizeof buf, sender));

    // Time-out of the wait.
    EXPECT_EQ(0, waitReadable(&rx.fd, 1, &readable, 10));
    EXPECT_FALSE(readable);
}

TEST(Platform, SendFailuresPrintTheirLine) {
    Socket tx;
    // Larger than any IPv4 datagram: too long.
    std::vector<uint8_t> huge(70000);
    testing::internal::CaptureStderr();
    EXPECT_EQ(SendOutcome::TooLong, sendTo(tx.fd, huge.data(), huge.size(), "127.0.0.1", 9));
    EXPECT_EQ("Error: Sending data to 127.0.0.1:9 failed (errCode " + std::to_string(EMSGSIZE) + ")\n",
              testing::internal::GetCapturedStderr());

    SocketHandle closed = kInvalidSocket;
    testing::internal::CaptureStderr();
    EXPECT_EQ(SendOutcome::Failed, sendTo(closed, "x", 1, "127.0.0.1", 9));
    EXPECT_EQ("Error: Sending data to 127.0.0.1:9 failed (errCode " + std::to_string(EBADF) + ")\n",
              testing::internal::GetCapturedStderr());

    char sender[kAddressTextSize];
    uint8_t buf[8];
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, receiveFrom(closed, buf, sizeof buf, sender));
    EXPECT_EQ("Error: Receiving data failed (errCode " + std::to_string(EBADF) + ")\n",
              testing::internal::GetCapturedStderr());
}

TEST(Platform, CloseInvalidatesAndReportsFailure) {
    SocketHandle s = createUdpSocket();
    ASSERT_NE(kInvalidSocket, s);
    closeSocket(s);
    EXPECT_EQ(kInvalidSocket, s);
    testing::internal::CaptureStderr();
    closeSocket(s);  // nothing to do for an invalid socket
    SocketHandle stale = 1 << 20;  // no such descriptor
    closeSocket(stale);
    EXPECT_EQ(kInvalidSocket, stale);
    EXPECT_EQ("closesocket failed with error (errCode " + std::to_string(EBADF) + ")\n",
              testing::internal::GetCapturedStderr());
}

TEST(Platform, ParsesDottedIpv4Only) {
    uint32_t a = 0;
    EXPECT_TRUE(parseIpv4("192.168.1.2", &a));
    EXPECT_EQ(htonl(0xC0A80102), a);
    EXPECT_TRUE(parseIpv4("0.0.0.0", nullptr));
    for (const char* bad : {"abc", "", "1.2.3", "1.2.3.256", " 1.2.3.4", "::1"}) EXPECT_FALSE(parseIpv4(bad, &a)) << bad;
    EXPECT_FALSE(parseIpv4(nullptr, &a));
}

}  // namespace
}  // namespace qtu::platform
