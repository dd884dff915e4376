// Command-line parsing, validation and output formatting of qtu-cli. Nothing
// here reaches the network: every case fails before a channel is registered.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "cli_app.h"
#include "cli_run.h"
#include "format.h"
#include "options.h"
#include "stream.h"

namespace qtucli {
namespace {

using ::testing::HasSubstr;

TEST(Endpoint, TakesAddressWithAndWithoutPort) {
    Endpoint endpoint;
    EXPECT_FALSE(parseEndpoint("127.0.0.1", 65024, endpoint));
    EXPECT_EQ(endpoint.ip, "127.0.0.1");
    EXPECT_EQ(endpoint.port, 65024);
    EXPECT_FALSE(parseEndpoint("127.0.0.2:1", 65024, endpoint));
    EXPECT_EQ(endpoint.ip, "127.0.0.2");
    EXPECT_EQ(endpoint.port, 1);
    EXPECT_FALSE(parseEndpoint("10.1.2.3:65535", 0, endpoint));
    EXPECT_EQ(endpoint.port, 65535);
}

TEST(Endpoint, RefusesBadAddressesAndPortsAndKeepsTheOldValue) {
    Endpoint endpoint{"127.0.0.1", 7};
    for (const char* text : {"", "localhost", "127.0.0", "127.0.0.256", "1.2.3.4.5", "::1", " 127.0.0.1"}) {
        const auto error = parseEndpoint(text, 5, endpoint);
        ASSERT_TRUE(error) << text;
        EXPECT_THAT(*error, HasSubstr("not a dotted IPv4 address")) << text;
    }
    for (const char* text : {"127.0.0.1:", "127.0.0.1:0", "127.0.0.1:65536", "127.0.0.1:12ab", "127.0.0.1:-1",
                             "127.0.0.1:99999999999"}) {
        const auto error = parseEndpoint(text, 5, endpoint);
        ASSERT_TRUE(error) << text;
        EXPECT_THAT(*error, HasSubstr("is not a port")) << text;
    }
    EXPECT_EQ(endpoint.ip, "127.0.0.1");
    EXPECT_EQ(endpoint.port, 7);
}

TEST(Connection, FillsEveryFieldOfTheInputInterface) {
    ConnectionOptions options;
    options.control = "127.0.0.5:4000";
    options.data = "127.0.0.6";
    options.channel = 3;
    options.localIp = "127.0.0.7";
    options.localPort = 30010;
    options.maxPayload = 1448;
    options.timeoutGetMs = 17;
    options.timeoutStreamMs = 23;
    const Connection connection(options);
    const QZQTU_InputInterface& record = connection.inputInterface();
    EXPECT_STREQ(record.qtuControlIp, "127.0.0.5");
    EXPECT_EQ(record.qtuControlPort, 4000);
    EXPECT_STREQ(record.sensorDataIp, "127.0.0.6");
    EXPECT_EQ(record.sensorDataBasePort, kDefaultDataBasePort);
    EXPECT_STREQ(record.localControlIp, "127.0.0.7");
    EXPECT_EQ(record.localControlPort, 30010);
    EXPECT_EQ(record.maxPayloadSize, 1448);
    EXPECT_EQ(record.timeoutGet, 17u);
    EXPECT_EQ(record.timeoutStream, 23u);
    EXPECT_EQ(connection.channel(), 3);
    EXPECT_EQ(connection.dataPort(), kDefaultDataBasePort + 3);
}

TEST(Connection, DefaultsStayOnLoopback) {
    const Connection connection{ConnectionOptions{}};
    for (const char* ip : {connection.inputInterface().qtuControlIp, connection.inputInterface().sensorDataIp,
                           connection.inputInterface().localControlIp}) {
        EXPECT_EQ(std::string(ip).rfind("127.", 0), 0u) << ip;
    }
}

TEST(Connection, DataPortPast65535IsRefused) {
    // It used to wrap to a low port (65535 + 2 became 1) and the stream went to port 0 or 1.
    ConnectionOptions options;
    options.data = "127.0.0.1:65535";
    options.channel = 2;
    try {
        Connection connection(options);
        FAIL() << "data port " << connection.dataPort() << " was taken";
    } catch (const std::invalid_argument& e) {
        EXPECT_THAT(e.what(), HasSubstr("data base port 65535 + channel 2 is past port 65535"));
    }
    options.data = "127.0.0.1:65533";
    EXPECT_EQ(Connection(options).dataPort(), 65535);
}

TEST(Connection, NamesTheOptionOfABadAddress) {
    ConnectionOptions options;
    options.data = "1.2.3";
    try {
        Connection connection(options);
        FAIL() << "a bad data address was taken";
    } catch (const std::invalid_argument& e) {
        EXPECT_THAT(e.what(), HasSubstr("--data"));
    }
}

TEST(Geometry, DefaultsTo1920x1080At16Bits) {
    Geometry geometry;
    ASSERT_FALSE(resolveGeometry({}, geometry));
    EXPECT_EQ(geometry.lineSize, 3840);
    EXPECT_EQ(geometry.lineCount, 1080);
    EXPECT_EQ(geometry.frameBytes(), 3840u * 1080u);
}

TEST(Geometry, ImageAndLineForms) {
    Geometry geometry;
    GeometryOptions image;
    image.width = 640;
    image.height = 480;
    image.bitsPerPixel = 12;
    ASSERT_FALSE(resolveGeometry(image, geometry));
    EXPECT_EQ(geometry.lineSize, 960);
    EXPECT_EQ(geometry.lineCount, 480);

    GeometryOptions lines;
    lines.lineSize = 65535;
    lines.lineCount = 65535;
    ASSERT_FALSE(resolveGeometry(lines, geometry));
    EXPECT_EQ(geometry.lineSize, 65535);
    EXPECT_EQ(geometry.lineCount, 65535);
}

TEST(Geometry, RefusesWhatCannotBeStreamed) {
    Geometry geometry;
    auto refuse = [&](GeometryOptions options, const char* why) {
        const auto error = resolveGeometry(options, geometry);
        ASSERT_TRUE(error) << why;
        EXPECT_THAT(*error, HasSubstr(why));
    };
    GeometryOptions mixed;
    mixed.width = 10;
    mixed.lineSize = 10;
    refuse(mixed, "not both");
    GeometryOptions half;
    half.lineSize = 10;
    refuse(half, "go together");
    GeometryOptions oddBits;
    oddBits.width = 3;
    oddBits.bitsPerPixel = 12;
    refuse(oddBits, "whole number of bytes");
    GeometryOptions wide;
    wide.width = 32768;  // 65536 bytes at 16 bits
    refuse(wide, "outside 1..65535");
    GeometryOptions empty;
    empty.height = 0;
    refuse(empty, "line count 0");
    GeometryOptions noBits;
    noBits.bitsPerPixel = 0;
    refuse(noBits, "whole number of bytes");
}

CliRun run(std::vector<std::string> args) { return runWith(std::move(args)); }

TEST(CommandLine, BadValuesAreUsageErrorsNamingTheOption) {
    const struct {
        std::vector<std::string> args;
        const char* mention;
    } cases[] = {
        {{"info", "--control", "300.1.1.1"}, "--control"},
        {{"info", "--control", "127.0.0.1:0"}, "not a port"},
        {{"--data", "127.0.0.1:x", "info"}, "--data"},
        {{"info", "--local-ip", "abc"}, "--local-ip"},
        {{"info", "--channel", "256"}, "--channel"},
        {{"info", "--channel", "-1"}, "--channel"},
        {{"info", "--max-payload", "7"}, "--max-payload"},
        {{"info", "--max-payload", "65484"}, "--max-payload"},
        {{"info", "--timeout-get", "soon"}, "--timeout-get"},
        {{"info", "--control"}, "--control"},
        {{"set-times"}, "--start, --offset or --stop"},
        {{"set-times", "--start", "-5"}, "--start"},
        {{"stream", "--frames", "3", "--seconds", "1"}, "excludes"},
        {{"stream", "--width", "640", "--line-size", "640"}, "excludes"},
        {{"stream", "--fps", "-1"}, "--fps"},
        {{"status", "--interval", "0"}, "--interval"},
        {{"frobnicate"}, "subcommand"},
        {{"stream", "--tag", "256"}, "--tag"},
        {{"stream", "--first-frame", "65536"}, "--first-frame"},
        {{"stream", "--width", "-640"}, "--width"},
        {{"status", "--watch", "--count", "0"}, "--count"},
        {{}, "subcommand"},
    };
    for (const auto& c : cases) {
        const CliRun r = run(c.args);
        std::string joined;
        for (const auto& a : c.args) {
            joined += a + " ";
        }
        EXPECT_EQ(r.status, kExitUsage) << joined;
        EXPECT_THAT(r.err + r.out, HasSubstr(c.mention)) << joined;
    }
}

TEST(CommandLine, GeometryErrorsStopTheStreamBeforeAnyNetworkUse) {
    const CliRun r = run({"stream", "--width", "3", "--bpp", "12", "--timeout-get", "1"});
    EXPECT_EQ(r.status, kExitUsage);
    EXPECT_THAT(r.err, HasSubstr("whole number of bytes"));
    EXPECT_THAT(r.err, ::testing::Not(HasSubstr("QZQTU_")));
}

TEST(CommandLine, UnreadableFrameFileIsReportedBeforeRegistration) {
    const CliRun r = run({"stream", "--file", "/nonexistent/frames.raw", "--line-size", "8", "--line-count", "1"});
    EXPECT_EQ(r.status, kExitNoInput);
    EXPECT_THAT(r.err, HasSubstr("cannot open '/nonexistent/frames.raw'"));
}

TEST(CommandLine, HelpListsEveryInterfaceFieldAndCommand) {
    const CliRun r = run({"--help"});
    EXPECT_EQ(r.status, 0);
    for (const char* word : {"--control", "--data", "--channel", "--local-ip", "--local-port", "--max-payload",
                             "--timeout-get", "--timeout-stream", "ping", "info", "set-times", "reset",
                             "clear-flags", "status", "stream", "127.0.0.1"}) {
        EXPECT_THAT(r.out, HasSubstr(word));
    }
}

class FrameFile : public ::testing::Test {
protected:
    void SetUp() override {
        path_ = std::filesystem::temp_directory_path() /
                ("qtu_cli_frames_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::ofstream out(path_, std::ios::binary);
        for (char fill : {'a', 'b', 'c'}) {
            out << std::string(6, fill);
        }
        out << "zz";  // part of a frame: never sent
    }
    void TearDown() override { std::filesystem::remove(path_); }
    std::filesystem::path path_;
    const Geometry geometry_{3, 2};  // 6-byte frames
};

TEST_F(FrameFile, FramesComeInTurnAndStartOverAtTheEnd) {
    FileFrames frames(path_.string(), geometry_);
    ASSERT_FALSE(frames.openError());
    EXPECT_EQ(frames.framesInFile(), 3u);
    std::string firsts;
    for (int i = 0; i < 7; ++i) {
        const uint8_t* frame = frames.next();
        ASSERT_NE(frame, nullptr) << frames.error();
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(frame), 6), std::string(6, static_cast<char>(frame[0])));
        firsts += static_cast<char>(frame[0]);
    }
    EXPECT_EQ(firsts, "abcabca");
}

TEST_F(FrameFile, AFileCutShortWhileStreamingStopsTheStream) {
    FileFrames frames(path_.string(), geometry_);
    ASSERT_FALSE(frames.openError());
    std::filesystem::resize_file(path_, 6);
    StreamPlan plan;
    plan.geometry = geometry_;
    plan.frames = 5;
    StreamTotals totals;
    std::ostringstream err;
    // Only the first frame is left; once it is taken, the stream's first
    // frame is the missing one, so no library call is made.
    ASSERT_NE(frames.next(), nullptr);
    EXPECT_EQ(streamFrames(-1, plan, frames, totals, {}, err), kSourceFailed);
    EXPECT_THAT(err.str(), HasSubstr("error: short read from the frame file"));
    EXPECT_EQ(totals.blocks, 0u);
    EXPECT_EQ(totals.results[QZQTU_OK], 0u);
}

TEST(Format, ByteCountsAndRates) {
    EXPECT_EQ(formatBytes(0), "0 B");
    EXPECT_EQ(formatBytes(999), "999 B");
    EXPECT_EQ(formatBytes(1000), "1.00 kB");
    EXPECT_EQ(formatBytes(4147200), "4.15 MB");
    EXPECT_EQ(formatBytes(123456789012), "123.5 GB");
    EXPECT_EQ(formatMegabytesPerSecond(4147200, 2.0), "2.1");
    EXPECT_EQ(formatMegabytesPerSecond(1000, 0.0), "0.0");
}

TEST(Format, LibraryErrorsCarryTheLibraryText) {
    std::ostringstream err;
    printLibraryError(err, "QZQTU_InitOutputChannel", QZQTU_TIMEOUT);
    EXPECT_EQ(err.str(), std::string("error: QZQTU_InitOutputChannel: ") + QZQTU_ErrorToString(11) + " (11)\n");
    EXPECT_EQ(errorText(QZQTU_PACKET_FRAGMENTATION), QZQTU_ErrorToString(15));
}

TEST(Format, StatusShowsEachFlag) {
    QZQTU_ReplayState state{};
    state.statusBit1 = 1;
    state.statusBit3 = 1;
    state.freeBuffers = 64;
    state.statusTime = 123456789012345ull;
    EXPECT_EQ(formatStatus(state), "flags 0 1 0 1  free buffers 64  time 123456789012345");
    const auto json = statusJson(state);
    EXPECT_EQ(json["statusBit1"], 1);
    EXPECT_EQ(json["statusTime"], 123456789012345ull);
}

TEST(Format, SummaryCountsResultsByCode) {
    StreamTotals totals;
    totals.frames = 2;
    totals.blocks = 4;
    totals.bytes = 2000000;
    totals.seconds = 0.5;
    for (int i = 0; i < 4; ++i) {
        totals.count(QZQTU_OK);
    }
    totals.count(QZQTU_TIMEOUT);
    totals.count(-3);
    totals.creditWaits = 1;
    std::ostringstream out;
    printSummary(out, totals);
    const std::string text = out.str();
    EXPECT_THAT(text, HasSubstr("frames        2\n"));
    EXPECT_THAT(text, HasSubstr("4.0 MB/s"));
    EXPECT_THAT(text, HasSubstr(std::string("0 (") + QZQTU_ErrorToString(0) + "): 4"));
    EXPECT_THAT(text, HasSubstr(std::string("11 (") + QZQTU_ErrorToString(11) + "): 1"));
    EXPECT_THAT(text, HasSubstr("other codes: 1"));
    const auto json = summaryJson(totals);
    EXPECT_EQ(json["results"]["0"], 4);
    EXPECT_EQ(json["results"]["11"], 1);
    EXPECT_EQ(json["results"]["other"], 1);
    EXPECT_DOUBLE_EQ(json["megabytesPerSecond"].get<double>(), 4.0);
}

TEST(Format, ProgressLine) {
    StreamTotals totals;
    totals.frames = 120;
    totals.bytes = 498000000;
    totals.seconds = 1.0;
    totals.creditWaits = 17;
    EXPECT_EQ(formatProgress(totals), "frames 120  498.0 MB  498.0 MB/s  credit waits 17");
}

}  // namespace
}  // namespace qtucli
