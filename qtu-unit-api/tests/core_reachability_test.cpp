// The reachability check: its cache of successes with an injected clock and
// echo, its lines, and one real echo to 127.0.0.1.
#include <gtest/gtest.h>

#include <netinet/ip_icmp.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>

#include "core_test_support.h"
#include "reachability.h"
#include "unit_api.h"

namespace qtu {
namespace {

using namespace std::chrono_literals;

// Collects what the check writes.
class Lines {
public:
    Lines() : file_(std::tmpfile()) {}
    ~Lines() { std::fclose(file_); }
    std::FILE* file() { return file_; }
    // Everything written since the last call.
    std::string take() {
        std::fflush(file_);
        const long end = std::ftell(file_);
        std::string text(static_cast<size_t>(end - read_), '\0');
        std::fseek(file_, read_, SEEK_SET);
        const size_t n = std::fread(text.data(), 1, text.size(), file_);
        text.resize(n);
        std::fseek(file_, 0, SEEK_END);
        read_ = end;
        return text;
    }

private:
    std::FILE* file_;
    long read_ = 0;
};

struct Fixture {
    Lines lines;
    std::int64_t now = 1'700'000'000;
    int echoes = 0;
    std::vector<uint32_t> targets;
    platform::EchoResult answer{platform::EchoOutcome::Answered, 0};

    Reachability::Hooks hooks() {
        Reachability::Hooks h;
        h.clock = [this] { return now; };
        h.echo = [this](uint32_t address) {
            ++echoes;
            targets.push_back(address);
            return answer;
        };
        h.out = lines.file();
        return h;
    }
};

TEST(Reachability, SuccessIsCachedForTwentySeconds) {
    Fixture f;
    Reachability r(f.hooks());
    EXPECT_TRUE(r.check("10.0.0.5"));
    EXPECT_EQ("[Debug] IP 10.0.0.5 could not be found\n[Debug] IP 10.0.0.5 can be pinged -> SUCCESS\n",
              f.lines.take());
    ASSERT_EQ(1, f.echoes);
    EXPECT_EQ(htonl(0x0A000005), f.targets[0]);

    f.now += 5;
    f.answer = {platform::EchoOutcome::NotAnswered, 0};  // would fail if asked
    EXPECT_TRUE(r.check("10.0.0.5"));
    EXPECT_EQ("[Debug] IP 10.0.0.5, last ping: 5 ago -> SUCCESS\n", f.lines.take());
    EXPECT_EQ(1, f.echoes);

    f.now += 14;  // 19 s old: still fresh
    EXPECT_TRUE(r.check("10.0.0.5"));
    EXPECT_EQ("[Debug] IP 10.0.0.5, last ping: 19 ago -> SUCCESS\n", f.lines.take());
    EXPECT_EQ(1, f.echoes);

    // A hit doesn't renew the entry: at 20 s it is stale and the echo goes out.
    f.now += 1;
    EXPECT_FALSE(r.check("10.0.0.5"));
    EXPECT_EQ("[Debug] IP 10.0.0.5 too old.\n[Debug] IP 10.0.0.5 can not be pinged -> FAIL\n",
              f.lines.take());
    EXPECT_EQ(2, f.echoes);
    // The stale entry is gone, and the failure was not cached.
    EXPECT_FALSE(r.check("10.0.0.5"));
    EXPECT_EQ("[Debug] IP 10.0.0.5 could not be found\n[Debug] IP 10.0.0.5 can not be pinged -> FAIL\n",
              f.lines.take());
    EXPECT_EQ(3, f.echoes);

    // A new success stores the time of that check.
    f.answer = {platform::EchoOutcome::Answered, 0};
    EXPECT_TRUE(r.check("10.0.0.5"));
    f.now += 3;
    f.lines.take();
    EXPECT_TRUE(r.check("10.0.0.5"));
    EXPECT_EQ("[Debug] IP 10.0.0.5, last ping: 3 ago -> SUCCESS\n", f.lines.take());
    EXPECT_EQ(4, f.echoes);
}

TEST(Reachability, CacheIsKeyedByText) {
    Fixture f;
    Reachability r(f.hooks());
    EXPECT_TRUE(r.check("10.0.0.5"));
    EXPECT_TRUE(r.check("10.0.0.6"));
    EXPECT_TRUE(r.check("10.0.0.5"));
    EXPECT_EQ(2, f.echoes);
}

TEST(Reachability, FailuresOfTheEchoFacilityCountAsUnanswered) {
    Fixture f;
    Reachability r(f.hooks());
    f.answer = {platform::EchoOutcome::NoHandle, 13};
    EXPECT_FALSE(r.check("10.0.0.7"));
    EXPECT_EQ("[Debug] IP 10.0.0.7 could not be found\n"
              "\tUnable to open handle.\n"
              "IcmpCreatefile returned error: 13\n"
              "[Debug] IP 10.0.0.7 can not be pinged -> FAIL\n",
              f.lines.take());
    // A text that is no address fails without an echo.
    EXPECT_FALSE(r.check("10.0.0"));
    EXPECT_EQ("[Debug] IP 10.0.0 could not be found\n[Debug] IP 10.0.0 can not be pinged -> FAIL\n",
              f.lines.take());
    EXPECT_EQ(1, f.echoes);
}

TEST(Reachability, ChecksAreSerialised) {
    Fixture f;
    std::atomic<int> inside{0}, most{0};
    Reachability::Hooks h = f.hooks();
    h.echo = [&](uint32_t) {
        const int n = ++inside;
        int m = most.load();
        while (n > m && !most.compare_exchange_weak(m, n)) {
        }
        std::this_thread::sleep_for(5ms);
        --inside;
        return platform::EchoResult{platform::EchoOutcome::NotAnswered, 0};
    };
    Reachability r(h);
    std::vector<std::thread> threads;
    for (int i = 0; i < 6; ++i) threads.emplace_back([&, i] { r.check(i % 2 ? "10.0.0.1" : "10.0.0.2"); });
    for (auto& t : threads) t.join();
    EXPECT_EQ(1, most.load());
}

TEST(InterfaceCheck, ControlThenDataWithTheirCodes) {
    Fixture f;
    UnitApi api(f.hooks());
    EXPECT_EQ(QZQTU_INVALID_POINTER, api.isInputInterfaceAvailable(nullptr));
    QZQTU_InputInterface c = test::loopbackConfig(1);
    c.qtuControlIp = "10.1.1.1";
    c.sensorDataIp = "10.2.2.2";
    c.localControlIp = "abc";
    EXPECT_EQ(QZQTU_INVALID_INPUT_INTERFACE, api.isInputInterfaceAvailable(&c));
    EXPECT_EQ(0, f.echoes);
    c.localControlIp = nullptr;

    // Only the control interface answers: 3.
    Reachability::Hooks h = f.hooks();
    UnitApi selective([&] {
        h.echo = [&](uint32_t address) {
            ++f.echoes;
            const bool control = address == htonl(0x0A010101);
            return platform::EchoResult{control ? platform::EchoOutcome::Answered : platform::EchoOutcome::NotAnswered, 0};
        };
        return h;
    }());
    EXPECT_EQ(QZQTU_DATA_INTERFACE_NOT_AVAILABLE, selective.isInputInterfaceAvailable(&c));
    EXPECT_EQ(2, f.echoes);
    // The control interface is cached now; the data interface is asked again.
    EXPECT_EQ(QZQTU_DATA_INTERFACE_NOT_AVAILABLE, selective.isInputInterfaceAvailable(&c));
    EXPECT_EQ(3, f.echoes);
    // The control interface fails first: 2, and the data interface isn't asked.
    std::swap(c.qtuControlIp, c.sensorDataIp);
    EXPECT_EQ(QZQTU_CONTROL_INTERFACE_NOT_AVAILABLE, selective.isInputInterfaceAvailable(&c));
    EXPECT_EQ(4, f.echoes);

    f.answer = {platform::EchoOutcome::Answered, 0};
    EXPECT_EQ(QZQTU_OK, api.isInputInterfaceAvailable(&c));
    f.lines.take();
    // Both cached: no echo, two fresh-entry lines.
    EXPECT_EQ(QZQTU_OK, api.isInputInterfaceAvailable(&c));
    EXPECT_EQ("[Debug] IP 10.2.2.2, last ping: 0 ago -> SUCCESS\n[Debug] IP 10.1.1.1, last ping: 0 ago -> SUCCESS\n",
              f.lines.take());
    EXPECT_EQ(6, f.echoes);
}

// A raw ICMP socket that sees the echo requests leaving for loopback.
class IcmpWatch {
public:
    IcmpWatch() : fd_(::socket(AF_INET, SOCK_RAW, IPPROTO_ICMP)) {}
    ~IcmpWatch() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool ok() const { return fd_ >= 0; }
    // Payloads of the echo requests seen so far.
    std::vector<std::string> requests() {
        std::vector<std::string> out;
        uint8_t buf[1500];
        for (;;) {
            const ssize_t n = ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
            if (n < 0) break;
            const size_t ihl = static_cast<size_t>(buf[0] & 0x0F) * 4;
            if (static_cast<size_t>(n) < ihl + 8 || buf[ihl] != ICMP_ECHO) continue;
            out.emplace_back(reinterpret_cast<char*>(buf + ihl + 8), static_cast<size_t>(n) - ihl - 8);
        }
        return out;
    }

private:
    int fd_;
};

TEST(ReachabilityLive, LoopbackAnswersTheEcho) {
    IcmpWatch watch;
    Lines lines;
    Reachability::Hooks h;
    h.out = lines.file();
    Reachability r(h);
    ASSERT_TRUE(r.check("127.0.0.1")) << lines.take();
    EXPECT_EQ("[Debug] IP 127.0.0.1 could not be found\n[Debug] IP 127.0.0.1 can be pinged -> SUCCESS\n",
              lines.take());
    if (!watch.ok()) GTEST_SKIP() << "no raw ICMP socket here (needs root); payload on the wire not checked";
    // Other programs may ping loopback at the same time; ours carries exactly
    // the 8 bytes "FIND-QTU".
    const auto seen = watch.requests();
    EXPECT_NE(seen.end(), std::find(seen.begin(), seen.end(), std::string("FIND-QTU")));
}

}  // namespace
}  // namespace qtu
