// The data sender on its own, on loopback sockets: its fallbacks where
// segmentation offload is refused, and its failure outcome.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include "platform/stream_send.h"
#include "wire.h"

namespace qtu::platform {
namespace {

// A run of `count` datagrams: headers numbered 0.., payloads cut from `data`.
struct TestRun {
    std::vector<uint8_t> headers;
    std::vector<uint8_t> data;
    PacketRun run;
    TestRun(size_t count, size_t stride, size_t last)
        : headers(count * kDataHeaderSize), data((count - 1) * stride + last) {
        for (size_t i = 0; i < count; ++i) put16(headers.data() + i * kDataHeaderSize + dat::kPacketCounter, i);
        for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 13);
        run = PacketRun{headers.data(), data.data(), stride, last, count};
    }
};

std::vector<std::vector<uint8_t>> drain(int fd, size_t expected) {
    std::vector<std::vector<uint8_t>> got;
    std::vector<uint8_t> buf(70000);
    while (got.size() < expected) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 2000) <= 0) break;
        const ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
        if (n < 0) break;
        got.emplace_back(buf.begin(), buf.begin() + n);
    }
    return got;
}

TEST(StreamSender, SegmentationRefusedBySocketFallsBackAndStaysOff) {
    // UDP-Lite sockets refuse segmentation offload (EIO) but send plain datagrams.
    const int receiver = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDPLITE);
    const int sender = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDPLITE);
    if (receiver < 0 || sender < 0) GTEST_SKIP() << "no UDP-Lite sockets here; skipped";
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(receiver, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    socklen_t len = sizeof a;
    ::getsockname(receiver, reinterpret_cast<sockaddr*>(&a), &len);
    const uint16_t port = ntohs(a.sin_port);

    StreamSender s;
    for (int round = 0; round < 2; ++round) {
        TestRun r(10, 1000, 300);
        size_t sent = 0;
        ASSERT_EQ(s.send(sender, "127.0.0.1", port, r.run, &sent), SendOutcome::Sent);
        EXPECT_EQ(sent, 10u);
        const auto got = drain(receiver, 10);
        ASSERT_EQ(got.size(), 10u);
        for (size_t i = 0; i < got.size(); ++i) {
            const size_t size = i == 9 ? 300 : 1000;
            ASSERT_EQ(got[i].size(), kDataHeaderSize + size);
            EXPECT_EQ(get16(got[i].data() + dat::kPacketCounter), i);
            EXPECT_EQ(0, std::memcmp(got[i].data() + kDataHeaderSize, r.data.data() + i * 1000, size));
        }
        EXPECT_FALSE(s.segmentationInUse());
    }
    ::close(receiver);
    ::close(sender);
}

TEST(StreamSender, SendOnAnInvalidSocketFailsWithNothingSent) {
    StreamSender s;
    TestRun r(3, 1000, 10);
    size_t sent = 99;
    EXPECT_EQ(s.send(kInvalidSocket, "127.0.0.1", 9, r.run, &sent), SendOutcome::Failed);
    EXPECT_EQ(sent, 0u);
}

}  // namespace
}  // namespace qtu::platform
