// `vtro-engine run` end to end with the testkit and a reader in a package of
// its own: refused diagrams, images that cross between packages intact, a
// sequential reader fed by the engine's delivery worker, back-pressure of a
// never-skipping reader, start/stop/start, Ctrl-C, the end when the sources
// are done, and the summary's counts.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "engine_runner.h"
#include "pattern.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using vtro_engine_test::EngineRun;
using vtro_engine_test::RunEngine;

const std::string kEngine = VTRO_ENGINE_BIN;
const std::string kReaderPackage = VTRO_ENGINETEST_PCK;

class RunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("engine_run_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "_" +
            std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Writes a diagram; "$DIR" in it becomes the test's folder and "$READER" the reader package.
  std::string Diagram(const std::string& name, std::string text) {
    for (const auto& [key, value] : {std::pair<std::string, std::string>{"$DIR", dir_.string()},
                                     {"$READER", kReaderPackage}}) {
      for (size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + value.size())) {
        text.replace(at, key.size(), value);
      }
    }
    const fs::path path = dir_ / name;
    std::ofstream(path) << text;
    return path.string();
  }

  EngineRun Run(const std::vector<std::string>& args, std::chrono::milliseconds limit = 60s,
                std::chrono::milliseconds interruptAfter = std::chrono::milliseconds(-1)) {
    std::vector<std::string> all{"run"};
    all.insert(all.end(), args.begin(), args.end());
    return RunEngine(kEngine, all, limit, {}, interruptAfter);
  }

  fs::path dir_;
};

std::uint64_t Fnv(const std::uint8_t* data, std::size_t size) {
  std::uint64_t hash = 0xcbf29ce484222325ull;
  for (std::size_t i = 0; i < size; ++i) hash = (hash ^ data[i]) * 0x100000001b3ull;
  return hash;
}

// The reader's line for camera frame `n` of width x height RGB 8-bit.
std::string GotLine(std::uint64_t n, int width, int height) {
  const int step = (width * 3 + 7) / 8 * 8;
  std::vector<std::uint8_t> pixels(static_cast<size_t>(step) * height);
  testkit::DrawCameraFrame(pixels.data(), {width, height, 3, 8, step}, n);
  char text[96];
  std::snprintf(text, sizeof text, "got %" PRIu64 " size=%zu fnv=%016" PRIx64, n, pixels.size(),
                Fnv(pixels.data(), pixels.size()));
  return text;
}

const char* kCameraToReader = R"({
  "packages": ["vtro_testkit.pck", "$READER"],
  "components": [
    {"model": "TestCamera", "name": "cam", "properties": {"Width": 40, "Height": 30, "Rate": 0, "Count": 12}},
    {"model": "EngineTestReader", "name": "reader", "properties": {"DelayMs": 0}}
  ],
  "connections": [{"from": "cam.oImage", "to": "reader.iAny"}],
  "run": {"for_s": 30}
})";

TEST_F(RunTest, RefusedDiagramsNameThePlaceAndStartNothing) {
  struct Case {
    const char* name;
    std::string diagram;
    std::vector<std::string> extra;
    const char* message;  // after "error: FILE: "
  };
  const std::string camera = R"({"model": "TestCamera", "name": "cam"})";
  const std::string dump = R"({"model": "ElementDump", "name": "dump", "properties": {"Directory": "$DIR/d"}})";
  auto with = [&](const std::string& components, const std::string& connections = "") {
    return R"({"packages": ["vtro_testkit.pck"], "components": [)" + components + "]" +
           (connections.empty() ? "" : R"(, "connections": [)" + connections + "]") + "}";
  };
  const std::vector<Case> cases = {
      {"json", "{\n  \"packages\": [\"vtro_testkit.pck\"],\n  \"components\": [\n}", {}, "line 4, column 1: bad JSON: "},
      {"package", R"({"packages": ["no_such.pck"], "components": [{"model": "TestCamera", "name": "cam"}]})", {},
       "packages[0]: cannot load package no_such.pck"},
      {"model", with(R"({"model": "NoSuchModel", "name": "x"})"), {},
       "components[0].model: no loaded package holds the component NoSuchModel"},
      {"duplicate", with(camera + "," + camera), {}, "components[1].name: a component named cam exists already (components[0])"},
      {"instance", with(camera, R"({"from": "cam.oImage", "to": "ghost.iData"})"), {},
       "connections[0].to: no component is named ghost"},
      {"output", with(camera + "," + dump, R"({"from": "cam.oNope", "to": "dump.iData"})"), {},
       "connections[0].from: component cam has no output oNope (its outputs: oImage)"},
      {"input", with(camera + "," + dump, R"({"from": "cam.oImage", "to": "dump.iNope"})"), {},
       "connections[0].to: component dump has no input iNope (its inputs: iData)"},
      {"type", with(R"({"model": "TimeSource", "name": "clock"}, {"model": "ImageWriter", "name": "png"})",
                    R"({"from": "clock.oTime", "to": "png.iImage"})"),
       {}, "connections[0].to: type mismatch: clock.oTime -> png.iImage: the output writes 64-bit integers (0x8000) "
           "but the input accepts 0x20"},
      {"twice", with(camera + "," + dump, R"({"from": "cam.oImage", "to": "dump.iData"}, {"from": "cam.oImage", "to": "dump.iData"})"),
       {}, "connections[1].to: the input dump.iData is already connected (connections[0].to)"},
      {"property type", with(R"({"model": "TestCamera", "name": "cam", "properties": {"Width": "wide"}})"), {},
       "components[0].properties.Width: cam.Width is of type integer and takes an integer, not a string"},
      {"property", with(R"({"model": "TestCamera", "name": "cam", "properties": {"Colour": 1}})"), {},
       "components[0].properties.Colour: TestCamera has no property Colour"},
      {"enum", with(R"({"model": "TestCsi2Source", "name": "csi", "properties": {"Form": "Foo"}})"), {},
       "components[0].properties.Form: csi.Form \"Foo\" is not one of FrameHeaderStream|MipiCsi2Frame"},
      {"set", with(camera), {"--set", "cam.Width=abc"}, "--set cam.Width=abc: property cam.Width is integer"},
      {"setting", R"({"packages": ["vtro_testkit.pck"], "settings": {"Engine.shutdownTimeout": "long"},
                      "components": [{"model": "TestCamera", "name": "cam"}]})",
       {}, "settings.Engine.shutdownTimeout: must be an integer, not a string"},
  };
  for (const auto& c : cases) {
    const std::string file = Diagram("refused.json", c.diagram);
    std::vector<std::string> args{file};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    const EngineRun run = Run(args, 20s);
    EXPECT_EQ(run.status, 2) << c.name << "\n" << run.out;
    EXPECT_GE(run.Find("error: " + file + ": " + c.message), 0) << c.name << "\n" << run.out;
    EXPECT_EQ(run.Find("summary:"), -1) << c.name;
    EXPECT_EQ(run.Find("is dead"), -1) << c.name << ": nothing may start";
  }
}

TEST_F(RunTest, ImagesCrossToAnotherPackageIntactAndTheRunEndsWhenTheSourceIsDone) {
  // With the element accessors' checks on: both sides use them correctly.
  std::string text = kCameraToReader;
  text.replace(text.find(R"("components")"), 0, R"("settings": {"Engine.ioCheckLevel": 1}, )");
  const EngineRun run = Run({Diagram("cross.json", text)});
  ASSERT_EQ(run.status, 0) << run.out;
  EXPECT_LT(run.took, 20s) << "ended by the source, not by the 30 s limit";
  for (std::uint64_t n = 0; n < 12; ++n) {
    EXPECT_GE(run.Find("component reader: " + GotLine(n, 40, 30) + " thread=reader"), 0) << n << "\n" << run.out;
  }
  EXPECT_EQ(run.Count("component reader: got "), 12);
  EXPECT_GE(run.Find("summary: run "), 0);
  EXPECT_GE(run.Find(", ended by the sources being done"), 0) << run.out;
  EXPECT_TRUE(run.HasLine("summary: output cam.oImage: 12 written")) << run.out;
  EXPECT_TRUE(run.HasLine("summary: input reader.iAny: 12 read from cam.oImage")) << run.out;
  EXPECT_GE(run.Find("summary: reports: "), 0);
}

TEST_F(RunTest, SequentialReaderRunsOnTheEnginesWorkerAndNeverSkipsUnderBackPressure) {
  // The reader is slow and never skips: the camera (Rate 0) is held back
  // instead of losing frames, in both threading models.
  for (const char* threaded : {"false", "true"}) {
    std::string text = kCameraToReader;
    text.replace(text.find(R"("DelayMs": 0)"), 12, std::string(R"("DelayMs": 15, "threaded": )") + threaded);
    text.replace(text.find(R"("Count": 12)"), 11, R"("Count": 40)");
    const EngineRun run = Run({Diagram("slow.json", text)});
    ASSERT_EQ(run.status, 0) << run.out;
    int previous = -1;
    for (std::uint64_t n = 0; n < 40; ++n) {
      const int line = run.Find("component reader: " + GotLine(n, 40, 30));
      ASSERT_GT(line, previous) << threaded << ": frame " << n << " missing or out of order\n" << run.out;
      previous = line;
    }
    // Sequential: the step runs on the delivery worker named after the
    // reader, not on the camera's thread.
    EXPECT_EQ(run.Count("thread=reader"), 40) << run.out;
    EXPECT_EQ(run.Count("thread=cam"), 0);
    EXPECT_TRUE(run.HasLine("summary: input reader.iAny: 40 read from cam.oImage")) << run.out;
  }
}

TEST_F(RunTest, StartStopStartRunsTheDiagramAgain) {
  const EngineRun run = Run({Diagram("twice.json", kCameraToReader), "--runs", "2"});
  ASSERT_EQ(run.status, 0) << run.out;
  EXPECT_EQ(run.Count("summary: output cam.oImage: 12 written"), 2) << run.out;
  EXPECT_EQ(run.Count("summary: input reader.iAny: 12 read from cam.oImage"), 2) << run.out;
  // Frame numbers start again from 0 after the second start.
  EXPECT_EQ(run.Count("component reader: " + GotLine(0, 40, 30)), 2);
  EXPECT_EQ(run.Count("component reader: " + GotLine(11, 40, 30)), 2);
}

TEST_F(RunTest, InterruptEndsAnEndlessRunWithItsSummary) {
  const std::string text = R"({
    "packages": ["vtro_testkit.pck", "$READER"],
    "components": [
      {"model": "TestCamera", "name": "cam", "properties": {"Width": 40, "Height": 30, "Rate": 50}},
      {"model": "EngineTestReader", "name": "reader", "properties": {"Quiet": true}}
    ],
    "connections": [{"from": "cam.oImage", "to": "reader.iAny"}]
  })";
  const EngineRun run = Run({Diagram("endless.json", text)}, 20s, 1000ms);
  EXPECT_FALSE(run.timedOut);
  EXPECT_EQ(run.status, 130) << run.out;
  EXPECT_LT(run.took, 8s);
  EXPECT_GE(run.Find(", ended by an interrupt"), 0) << run.out;
  EXPECT_GE(run.Find("summary: output cam.oImage: "), 0);
}

TEST_F(RunTest, TimeLimitAndAComponentErrorSetTheExitStatus) {
  // --for overrides run.for_s; a sink that cannot start makes the status 1.
  const std::string endless = R"({
    "packages": ["vtro_testkit.pck"],
    "components": [
      {"model": "TimeSource", "name": "clock", "properties": {"Period": 10000}},
      {"model": "ElementDump", "name": "dump", "properties": {"Directory": "DIRECTORY"}}
    ],
    "connections": [{"from": "clock.oTime", "to": "dump.iData"}],
    "run": {"for_s": 30}
  })";
  std::string good = endless;
  good.replace(good.find("DIRECTORY"), 9, "$DIR/time");
  const EngineRun limited = Run({Diagram("limited.json", good), "--for", "0.5"});
  EXPECT_EQ(limited.status, 0) << limited.out;
  EXPECT_LT(limited.took, 10s);
  EXPECT_GE(limited.Find(", ended by the time limit"), 0) << limited.out;
  std::string bad = endless;
  bad.replace(bad.find("DIRECTORY"), 9, "/proc/no/such/folder");
  const EngineRun failed = Run({Diagram("failed.json", bad)});
  EXPECT_EQ(failed.status, 1) << failed.out;
  EXPECT_GE(failed.Find("cannot create the folder /proc/no/such/folder"), 0) << failed.out;
  // Birth fails on the component's own thread, after the start returned.
  EXPECT_GE(failed.Find(", ended by an error of dump"), 0) << failed.out;
}

}  // namespace
