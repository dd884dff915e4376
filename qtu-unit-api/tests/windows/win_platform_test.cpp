// The Windows socket layer: Windows Sockets start and release, the
// don't-fragment option, how Windows error codes map to outcomes (WSAEMSGSIZE
// on a send is "too long", the data call's code 15) and reach the diagnostic
// lines, and the ICMP echo through the IP Helper functions. Runs under Wine
// on the build machine; ICMP is skipped there, with a message, when Wine
// can't send echoes.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "reachability.h"

namespace qtu::platform {
namespace {

bool underWine() {
    HMODULE ntdll = ::GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// Each test holds the socket library for its sockets.
class WinPlatform : public testing::Test {
protected:
    void SetUp() override { startSocketLibrary(); }
    void TearDown() override { releaseSocketLibrary(); }
};

std::string line(const char* format, int code) {
    char text[160];
    std::snprintf(text, sizeof text, format, code);
    return text;
}

TEST(WinSocketLibrary, StartAndReleaseArePairedAndAFailedReleasePrintsItsLine) {
    testing::internal::CaptureStderr();
    startSocketLibrary();
    startSocketLibrary();
    releaseSocketLibrary();
    releaseSocketLibrary();
    EXPECT_EQ("", testing::internal::GetCapturedStderr());
    // One release too many: WSANOTINITIALISED.
    testing::internal::CaptureStderr();
    releaseSocketLibrary();
    EXPECT_EQ(line("Error: Failed to perform WSACleanup (errCode %d)\n", WSANOTINITIALISED),
              testing::internal::GetCapturedStderr());
}

TEST_F(WinPlatform, UdpSocketSetsDontFragmentAndALargeSendBuffer) {
    SocketHandle s = createUdpSocket();
    ASSERT_NE(kInvalidSocket, s);
    DWORD dontFragment = 0;
    int length = sizeof dontFragment;
    ASSERT_EQ(0, ::getsockopt(static_cast<SOCKET>(s), IPPROTO_IP, IP_DONTFRAGMENT,
                              reinterpret_cast<char*>(&dontFragment), &length));
    EXPECT_EQ(1u, dontFragment);
    int sendBuffer = 0;
    length = sizeof sendBuffer;
    ASSERT_EQ(0, ::getsockopt(static_cast<SOCKET>(s), SOL_SOCKET, SO_SNDBUF,
                              reinterpret_cast<char*>(&sendBuffer), &length));
    EXPECT_GE(sendBuffer, 65536);
    closeSocket(s);
}

// Each failure of the wrappers with the Windows code that it must carry.
TEST_F(WinPlatform, FailuresMapWindowsCodesToOutcomesAndLines) {
    SocketHandle tx = createUdpSocket();
    ASSERT_NE(kInvalidSocket, tx);
    SocketHandle closed = kInvalidSocket;
    std::vector<std::uint8_t> huge(70000);  // larger than any IPv4 datagram
    char sender[kAddressTextSize];
    std::uint8_t buffer[8];

    struct Row {
        const char* what;
        std::function<void()> call;
        std::string expectedLine;
    };
    SendOutcome outcome{};
    const std::vector<Row> rows = {
        {"oversized datagram: WSAEMSGSIZE is too long",
         [&] { outcome = sendTo(tx, huge.data(), huge.size(), "127.0.0.1", 9); },
         line("Error: Sending data to 127.0.0.1:9 failed (errCode %d)\n", WSAEMSGSIZE)},
        {"send on no socket: WSAENOTSOCK is a plain failure",
         [&] { outcome = sendTo(closed, "x", 1, "127.0.0.1", 9); },
         line("Error: Sending data to 127.0.0.1:9 failed (errCode %d)\n", WSAENOTSOCK)},
        {"receive on no socket", [&] { EXPECT_EQ(-1, receiveFrom(closed, buffer, sizeof buffer, sender)); },
         line("Error: Receiving data failed (errCode %d)\n", WSAENOTSOCK)},
        {"bind of no socket", [&] { EXPECT_FALSE(bindSocket(closed, "127.0.0.1", 0)); },
         line("bind failed with error %d\n", WSAENOTSOCK)},
    };
    const SendOutcome expectedOutcomes[] = {SendOutcome::TooLong, SendOutcome::Failed};
    for (std::size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(rows[i].what);
        testing::internal::CaptureStderr();
        rows[i].call();
        EXPECT_EQ(rows[i].expectedLine, testing::internal::GetCapturedStderr());
        if (i < 2) {
            EXPECT_EQ(expectedOutcomes[i], outcome);
        }
    }

    // A second socket on a bound address and port: WSAEADDRINUSE, and the
    // socket is closed.
    SocketHandle a = createUdpSocket();
    ASSERT_TRUE(bindSocket(a, "127.0.0.1", 0));
    SocketHandle b = createUdpSocket();
    testing::internal::CaptureStderr();
    EXPECT_FALSE(bindSocket(b, "127.0.0.1", localPort(a)));
    EXPECT_EQ(line("bind failed with error %d\n", WSAEADDRINUSE), testing::internal::GetCapturedStderr());
    EXPECT_EQ(kInvalidSocket, b);

    // Closing a handle that is no socket.
    SocketHandle stale = a;
    closeSocket(a);
    testing::internal::CaptureStderr();
    closeSocket(stale);
    EXPECT_EQ(line("closesocket failed with error (errCode %d)\n", WSAENOTSOCK),
              testing::internal::GetCapturedStderr());
    closeSocket(tx);
}

TEST_F(WinPlatform, ReceiveGivesTheSenderTextAndRefusesAnOversizedDatagram) {
    SocketHandle rx = createUdpSocket();
    SocketHandle tx = createUdpSocket();
    ASSERT_TRUE(bindSocket(rx, "127.0.0.1", 0));
    char sender[kAddressTextSize] = "unchanged";
    std::uint8_t buffer[64];
    testing::internal::CaptureStderr();
    EXPECT_EQ(0, receiveFrom(rx, buffer, sizeof buffer, sender));  // nothing waiting: no line
    EXPECT_EQ("", testing::internal::GetCapturedStderr());

    ASSERT_EQ(SendOutcome::Sent, sendTo(tx, "QTU-hello", 9, "127.0.0.1", localPort(rx)));
    bool readable = false;
    ASSERT_EQ(1, waitReadable(&rx, 1, &readable, 2000));
    EXPECT_EQ(9, receiveFrom(rx, buffer, sizeof buffer, sender));
    EXPECT_STREQ("127.0.0.1", sender);

    // Windows Sockets refuses a datagram longer than the buffer with
    // WSAEMSGSIZE; it is reported and never accepted.
    std::vector<std::uint8_t> big(100, 7);
    ASSERT_EQ(SendOutcome::Sent, sendTo(tx, big.data(), big.size(), "127.0.0.1", localPort(rx)));
    ASSERT_EQ(1, waitReadable(&rx, 1, &readable, 2000));
    testing::internal::CaptureStderr();
    EXPECT_EQ(-1, receiveFrom(rx, buffer, sizeof buffer, sender));
    EXPECT_EQ(line("Error: Receiving data failed (errCode %d)\n", WSAEMSGSIZE),
              testing::internal::GetCapturedStderr());
    EXPECT_EQ(0, waitReadable(&rx, 1, &readable, 10));  // consumed
    closeSocket(rx);
    closeSocket(tx);
}

// The read set holds 64 sockets: a longer list is cut to the first 64 (the
// receiver takes the rest in later rounds).
TEST_F(WinPlatform, AWaitCoversAtMostTheSixtyFourSocketsOfTheReadSet) {
    std::vector<SocketHandle> sockets;
    for (int i = 0; i < 66; ++i) {
        sockets.push_back(createUdpSocket());
        ASSERT_TRUE(bindSocket(sockets.back(), "127.0.0.1", 0));
    }
    SocketHandle tx = createUdpSocket();
    for (int i : {0, 63, 64, 65}) {
        ASSERT_EQ(SendOutcome::Sent, sendTo(tx, "QTU-", 4, "127.0.0.1", localPort(sockets[i])));
    }
    bool readable[66];
    ::Sleep(50);
    ASSERT_EQ(2, waitReadable(sockets.data(), sockets.size(), readable, 1000));
    EXPECT_TRUE(readable[0]);
    EXPECT_TRUE(readable[63]);
    for (int i = 1; i < 63; ++i) EXPECT_FALSE(readable[i]) << i;
    // Beyond the set: the wait starting at socket 64 sees them.
    ASSERT_EQ(2, waitReadable(sockets.data() + 64, 2, readable, 1000));
    for (SocketHandle& s : sockets) closeSocket(s);
    closeSocket(tx);
}

TEST_F(WinPlatform, IcmpEchoOfLoopbackIsAnswered) {
    std::uint32_t address = 0;
    ASSERT_TRUE(parseIpv4("127.0.0.1", &address));
    const EchoResult r = icmpEcho(address, Reachability::kEchoPayload, sizeof Reachability::kEchoPayload,
                                  Reachability::kEchoTimeoutMs);
    if (r.outcome != EchoOutcome::Answered && underWine()) {
        GTEST_SKIP() << "ICMP echo unavailable under Wine here (outcome "
                     << static_cast<int>(r.outcome) << ", error " << r.error
                     << "); needs raw or ping sockets for the Wine process";
    }
    EXPECT_EQ(EchoOutcome::Answered, r.outcome) << r.error;
}

}  // namespace
}  // namespace qtu::platform
