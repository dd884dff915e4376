// A stop while the client is blocked, wherever it is blocked, ends within
// half the engine's shutdown time-out (here 3 s, so 1.5 s).
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "../client_rig.h"

namespace {

using namespace unit_client_test;
using namespace std::chrono_literals;

struct StopCase {
  const char* where;
  qtusim::Config unit;
  Properties client;
  bool cameraRuns;  // else the client waits in StartReading for a first element
  bool offset;      // else every element is held back (Core rests)
  const char* report;  // a warning the stop leaves, or null
};

qtusim::Config Unit(std::uint32_t capacity, double drain, unsigned replyDelayMs) {
  qtusim::Config config;
  config.capacity = capacity;
  config.drainBlocksPerSecond = drain;
  config.faults.replyDelayMs = replyDelayMs;
  return config;
}

TEST(UnitClientStop, AStopEndsWithinHalfTheShutdownTimeoutWhereverTheClientWaits) {
  auto& settings = TheEngine().Settings();
  const auto before = settings.Get("Engine.shutdownTimeout");
  settings.Set("Engine.shutdownTimeout", std::int64_t{3000000});
  const StopCase cases[] = {
      {"waiting for credit", Unit(4, 0.001, 0), {}, true, true, "Component timeout reached, shutting down directly."},
      {"in Rest, elements held back for the offset", Unit(64, 0, 0), {}, true, false, nullptr},
      {"in StartReading, no element yet", Unit(64, 0, 0), {}, false, true, nullptr},
      {"status thread in a long Rest", Unit(64, 0, 0), {{"StatusUpdatePeriod", "60000000"}}, true, true, nullptr},
      // Replies 10 s late and TimeoutGet 20 s: requests wait a quarter of the
      // shutdown time-out instead, and the client says so at Birth.
      {"in a slow request", Unit(64, 0, 10000), {{"TimeoutGet", "20000000"}}, true, true,
       "[Birth] TimeoutGet of 20000 ms is longer than a quarter of Engine.shutdownTimeout: requests wait 750 ms"},
  };
  for (const StopCase& c : cases) {
    SCOPED_TRACE(c.where);
    ClientRig rig(c.unit);
    rig.CreateModel("TestCamera", "cam", {{"Width", "64"}, {"Height", "16"}, {"Channels", "1"}, {"Rate", "20"}});
    rig.CreateModel("TimeSource", "offset", {{"Value", "1000"}});
    rig.Create("client", c.client);
    rig.Connect("cam.oImage", "client.SensorDataIn");
    if (c.offset) rig.Connect("offset.oTime", "client.LoggingStartTime");
    ASSERT_TRUE(rig.Start("client"));
    ASSERT_TRUE(rig.Start("offset"));
    if (c.cameraRuns) {
      ASSERT_TRUE(rig.Start("cam"));
    }
    std::this_thread::sleep_for(800ms);
    const auto start = std::chrono::steady_clock::now();
    rig.Stop("client");
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    rig.Stop("cam");
    rig.Stop("offset");
    EXPECT_LT(took, 1.5);
    EXPECT_NE(TheEngine().Find("client")->EngineState() & VTRO_STATE_DEAD, 0u);
    if (c.report != nullptr) {
      EXPECT_TRUE(rig.HasReport("client", 1, c.report)) << c.report;
    }
    std::printf("[ stop     ] %s: %.3f s\n", c.where, took);
  }
  if (before) settings.Set("Engine.shutdownTimeout", *before);
}

}  // namespace
