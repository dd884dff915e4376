// The pieces of `vtro-engine run` that need no package: the diagram parser's
// warnings and syntax places, the connection type check, the delivery queue
// and the progress and summary texts. Refused diagrams as a whole are tested
// end to end (run_cli_test.cpp).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <set>
#include <thread>

#include "delivery.h"
#include "diagram.h"
#include "run_report.h"
#include "type_check.h"

namespace vtro_engine {
namespace {

using namespace std::chrono_literals;

TEST(DiagramParse, ReadsEveryPartAndWarnsAboutUnknownMembers) {
  const std::string text = R"({
    "packages": ["vtro_testkit.pck"],
    "settings": {"Engine.shutdownTimeout": 4000000, "Engine.sequentialStart": true, "Engine.custom": "x"},
    "components": [
      {"model": "TestCamera", "name": "cam", "properties": {"Width": 64, "Rate": 2.5, "Form": "MipiCsi2Frame"}},
      {"model": "ElementDump", "name": "dump", "colour": "blue"}
    ],
    "connections": [{"from": "cam.oImage", "to": "dump.iData"}],
    "run": {"for_s": 1.5},
    "comment": "ignored"
  })";
  std::string error;
  const auto d = ParseDiagram(text, error);
  ASSERT_TRUE(d) << error;
  EXPECT_EQ(d->packages.at(0).name, "vtro_testkit.pck");
  ASSERT_EQ(d->settings.size(), 3u);
  EXPECT_EQ(std::get<bool>(d->settings[1].value), true);
  ASSERT_EQ(d->components.size(), 2u);
  EXPECT_EQ(d->components[0].properties.at(1).path, "components[0].properties.Rate");
  EXPECT_EQ(d->connections.at(0).to.element, "iData");
  EXPECT_EQ(d->forSeconds, 1.5);
  const std::set<std::string> warnings(d->warnings.begin(), d->warnings.end());
  EXPECT_EQ(warnings, (std::set<std::string>{"settings.Engine.custom: not a setting this engine uses; kept for the "
                                             "components",
                                             "components[1].colour: unknown member, ignored",
                                             "comment: unknown member, ignored"}));
}

TEST(DiagramParse, BadJsonNamesLineAndColumn) {
  struct Case {
    const char* text;
    const char* start;  // the error begins with this
  };
  const Case cases[] = {
      {"{\n  \"packages\": [\"a.pck\",]\n}", "line 2, column 24: bad JSON: "},
      {"{\"packages\": [] \"components\": []}", "line 1, column 28: bad JSON: "},  // the end of the token
      {"", "line 1, column 1: bad JSON: "},
      {"{\"a\": tru}", "line 1, column 10: bad JSON: "},
      // Found by fuzzing: a number past every type used to escape as an exception.
      {"{\"packages\": [1e999]}", "bad JSON: number overflow parsing '1e999'"},
  };
  for (const auto& c : cases) {
    std::string error;
    EXPECT_FALSE(ParseDiagram(c.text, error));
    EXPECT_EQ(error.rfind(c.start, 0), 0u) << error;
  }
}

TEST(TypeCheck, FilterAgainstOutputType) {
  struct Case {
    std::uint64_t output;
    const char* structure;
    std::uint64_t filter;
    const char* names;
    const char* error;  // part of the refusal, "" when accepted
  };
  const std::uint64_t vector = 0x8000000000000000ull;
  const Case cases[] = {
      {0x20, "", 0x41060, "|VTROMipiCsi2Frame", ""},
      {0x20 | vector, "", 0x20, nullptr, ""},  // the vector flag is not a type
      {0x8000, "", 0x1000, nullptr, "writes 64-bit integers (0x8000) but the input accepts 0x1000"},
      {0x40000, "VTROMipiCsi2Frame", 0x41060, "|VTROMipiCsi2Frame", ""},
      {0x1, "VTROMipiCsi2Frame", 0x41060, "|Other|VTROMipiCsi2Frame", ""},  // code 1 is the same kind
      {0x40000, "Other", 0x41060, "|VTROMipiCsi2Frame", "the structure \"Other\""},
      {0x40000, "VTROMipiCsi2", 0x40000, "|VTROMipiCsi2Frame", "the structure"},  // no prefix match
      {0x40000, "Anything", 0x40000, nullptr, ""},  // no list: any structure
      {0x1000, "", 0xFFFFFFFF, "|VTROMipiCsi2Frame", ""},  // the list is for structures only
      {0, "", 0xFFFFFFFF, nullptr, "declares no element type"},
  };
  for (const auto& c : cases) {
    const std::string why = CheckConnectionTypes(c.output, c.structure, c.filter, c.names);
    if (*c.error == 0) {
      EXPECT_EQ(why, "") << std::hex << c.output;
    } else {
      EXPECT_NE(why.find(c.error), std::string::npos) << why;
    }
  }
}

// Stand-ins: the queue only passes the pointers on.
VTROComponent* Component(int i) { return reinterpret_cast<VTROComponent*>(0x1000 + 16 * i); }
VTROInput* Input(int i) { return reinterpret_cast<VTROInput*>(0x9000 + 16 * i); }

TEST(Delivery, StepsRunOnTheWorkerAndPendingTriggersCoalesce) {
  std::atomic<int> steps{0};
  std::atomic<bool> entered{false};
  std::atomic<bool> release{false};
  std::atomic<bool> onCaller{false};
  const auto caller = std::this_thread::get_id();
  std::mutex seenLock;
  std::vector<VTROInput*> seen;
  DeliveryQueue queue([&](VTROComponent* c, VTROInput* input) {
    EXPECT_EQ(c, Component(1));
    if (std::this_thread::get_id() == caller) onCaller = true;
    entered = true;
    while (!release) std::this_thread::sleep_for(1ms);
    std::lock_guard<std::mutex> guard(seenLock);
    seen.push_back(input);
    ++steps;
  });
  EXPECT_FALSE(queue.Trigger(Component(1), Input(0))) << "no worker yet";
  queue.Add(Component(1), "seq");
  ASSERT_TRUE(queue.Trigger(Component(1), Input(0)));
  // The first step blocks; meanwhile triggers pile up and coalesce per input.
  while (!entered) std::this_thread::sleep_for(1ms);
  for (int i = 0; i < 100; ++i) {
    ASSERT_TRUE(queue.Trigger(Component(1), Input(i % 2)));
  }
  EXPECT_FALSE(queue.Idle());
  release = true;
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (!queue.Idle() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
  ASSERT_TRUE(queue.Idle());
  EXPECT_EQ(steps.load(), 3) << "the running step, then inputs 0 and 1 once each";
  EXPECT_FALSE(onCaller.load());
  EXPECT_EQ(seen, (std::vector<VTROInput*>{Input(0), Input(0), Input(1)}));
  queue.Remove(Component(1));
  EXPECT_FALSE(queue.Trigger(Component(1), Input(0)));
  EXPECT_EQ(queue.Steps(), 3u);
}

TEST(Delivery, RemoveWaitsForTheRunningStepAndDropsTheRest) {
  std::atomic<int> steps{0};
  std::atomic<bool> entered{false};
  DeliveryQueue queue([&](VTROComponent*, VTROInput*) {
    entered = true;
    // Long enough that the trigger and the removal below both fall inside it.
    std::this_thread::sleep_for(200ms);
    ++steps;
  });
  queue.Add(Component(2), "seq2");
  queue.Add(Component(2), "again");  // once only
  queue.Trigger(Component(2), Input(0));
  while (!entered) std::this_thread::sleep_for(1ms);
  queue.Trigger(Component(2), Input(1));
  queue.Remove(Component(2));
  EXPECT_EQ(steps.load(), 1);
}

TEST(RunReport, ProgressRatesAndSummaryLines) {
  RunCounts before{1.0, {{"cam.oImage", 10}}, {{"dump.iData", "cam.oImage", 10}, {"png.iImage", "cam.oImage", 5}}};
  RunCounts now{1.5, {{"cam.oImage", 25}}, {{"dump.iData", "cam.oImage", 25}, {"png.iImage", "cam.oImage", 5}}};
  EXPECT_EQ(ProgressLine(before, now, 200), "run 1.5 s | cam.oImage>dump.iData 30.0/s | cam.oImage>png.iImage 0.0/s");
  EXPECT_EQ(ProgressLine(before, now, 20), "run 1.5 s | cam.o...");
  // After the stop a counter may have been reset: the larger value is kept.
  RunCounts after{1.6, {{"cam.oImage", 0}}, {{"dump.iData", "cam.oImage", 26}, {"png.iImage", "cam.oImage", 0}}};
  const auto lines = SummaryLines(Latest(now, after), {3, 1, 0}, "the time limit");
  EXPECT_EQ(lines, (std::vector<std::string>{"summary: run 1.60 s, ended by the time limit",
                                             "summary: output cam.oImage: 25 written",
                                             "summary: input dump.iData: 26 read from cam.oImage",
                                             "summary: input png.iImage: 5 read from cam.oImage",
                                             "summary: reports: 3 info, 1 warning, 0 error"}));
  // A second run counts from its own start.
  const RunCounts second = Since(now, RunCounts{0.5, {{"cam.oImage", 40}}, {{"dump.iData", "cam.oImage", 3}}});
  EXPECT_EQ(second.outputs[0].written, 15u);
  EXPECT_EQ(second.inputs[0].read, 3u) << "below its base: reset, counted from zero";
}

}  // namespace
}  // namespace vtro_engine
