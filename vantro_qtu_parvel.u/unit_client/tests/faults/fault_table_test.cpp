// Faults of the unit and the network end to end: a test camera feeds
// QzQtuUnitClient under the real engine, which streams to the emulated unit
// while the unit (or the network) misbehaves. For each fault: the run ends
// (no crash, no hang), the client's reports name the cause, and the unit
// counts no frame lost or damaged beyond the ones the fault itself took.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include "../client_rig.h"
#include "namespace.h"

namespace {

using namespace unit_client_test;
using namespace std::chrono_literals;

// The loopback of a namespace whose MTU is 1500; a veth pair whose far end
// has no host behind it (10.214.0.2 is on the link, nobody answers for it).
const char* const kMtu1500 = "% link set lo mtu 1500 up";
const char* const kNoHost =
    "% link set lo up && % link add fa type veth peer name fb && % addr add 10.214.0.1/24 dev fa && "
    "% link set fa up && % link set fb up";

struct FaultCase {
  const char* name;
  const char* network;          // a namespace script, or null for the host's loopback
  qtusim::Faults faults;        // in force from the start
  Properties client;            // on top of the rig's addresses
  // Run once the stream flows; may change the unit's faults or restart it.
  std::function<void(ClientRig&)> midStream;
  int kind;                     // kind of the report naming the cause (-1: none expected)
  const char* cause;            // text it contains
  bool streams;                 // frames reach the unit
  unsigned faultLoss;           // frames the fault may take (sent by the client, not complete at the unit)
};

bool Mentions(const ClientRig& rig, int kind, const std::string& text) {
  for (const auto& [k, t] : rig.Reports("client")) {
    if (k == kind && t.find(text) != std::string::npos) return true;
  }
  return false;
}

void RunCase(const FaultCase& c) {
  qtusim::Config config;
  config.faults = c.faults;
  config.seed = 7;
  ClientRig rig(config);
  rig.CreateModel("TestCamera", "cam",
                  {{"Width", "1280"}, {"Height", "240"}, {"Channels", "1"}, {"Depth", "16"}, {"Rate", "25"}});
  rig.CreateModel("TimeSource", "offset", {{"Value", "1000"}});
  Properties client = {{"TimeoutGet", "200000"}};
  client.insert(client.end(), c.client.begin(), c.client.end());
  rig.Create("client", client);
  rig.Connect("cam.oImage", "client.SensorDataIn");
  rig.Connect("offset.oTime", "client.LoggingStartTime");

  const auto begin = std::chrono::steady_clock::now();
  const bool born = rig.Start("client");
  for (const char* name : {"offset", "cam"}) EXPECT_TRUE(TheEngine().Start(name)) << name;
  std::this_thread::sleep_for(700ms);
  qtusim::ChannelReport earlier;  // what a unit counted before a restart
  qtusim::ChannelReport before;   // the unit's count when the fault came
  if (c.midStream) {
    before = rig.Unit().channel(0);
    c.midStream(rig);
    if (rig.Unit().channel(0).packets < before.packets) earlier = before;
  }
  std::this_thread::sleep_for(1300ms);
  rig.Stop("cam");
  std::this_thread::sleep_for(300ms);
  const auto stopAt = std::chrono::steady_clock::now();
  rig.Stop("client");
  const double stopSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - stopAt).count();
  rig.Stop("offset");
  std::this_thread::sleep_for(200ms);
  const double total = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();

  // Ends, and in time: the rig's engine has the default shutdown time-out of 10 s.
  EXPECT_LT(stopSeconds, 5.0);
  EXPECT_LT(total, 12.0);
  if (c.cause != nullptr) {
    EXPECT_TRUE(Mentions(rig, c.kind, c.cause)) << "no report containing: " << c.cause;
  }

  const qtusim::ChannelReport unit = rig.Unit().channel(0);
  const long long sent = FramesSent(rig, "client");
  const unsigned long long complete = unit.framesComplete + earlier.framesComplete;
  const unsigned long long incomplete = unit.framesIncomplete + earlier.framesIncomplete;
  EXPECT_EQ(unit.headerErrors + earlier.headerErrors, 0u);
  if (!c.streams) {
    EXPECT_EQ(complete, 0u);
    EXPECT_LE(sent, 0);
  } else {
    EXPECT_TRUE(born);
    EXPECT_GE(sent, 20);
    EXPECT_GE(complete + c.faultLoss, static_cast<unsigned long long>(sent));
    EXPECT_LE(complete, static_cast<unsigned long long>(sent));
    EXPECT_LE(incomplete, c.faultLoss);
    // The stream goes on after the fault (to the fresh unit after a restart).
    if (c.midStream) {
      EXPECT_GE(unit.framesComplete - (earlier.packets > 0 ? 0 : before.framesComplete), 5u);
    }
  }
  std::printf("[ fault    ] %s: born %d, sent %lld, unit complete %llu incomplete %llu gaps %llu, stop %.2f s\n", c.name,
              born ? 1 : 0, sent, complete, incomplete,
              static_cast<unsigned long long>(unit.counterGaps + earlier.counterGaps), stopSeconds);
  std::string last;
  for (const auto& [kind, text] : rig.Reports("client")) {
    if (kind > 0 && text != last) std::printf("[ fault    ]   %s: %s\n", kind == 1 ? "warning" : "error", text.c_str());
    last = text;
  }
}

qtusim::Faults NoFault() { return {}; }
qtusim::Faults DropShare(double share) {
  qtusim::Faults f;
  f.dropReplyShare = share;
  return f;
}
qtusim::Faults Delay(unsigned ms) {
  qtusim::Faults f;
  f.replyDelayMs = ms;
  return f;
}
qtusim::Faults AnswerWith(std::uint16_t command, std::uint16_t code) {
  qtusim::Faults f;
  f.answerWith[command] = code;
  return f;
}

TEST(UnitClientFaults, EachFaultEndsTheRunWithItsCauseAndLosesOnlyWhatItTook) {
  const FaultCase cases[] = {
      // A tenth of the replies lost while the stream flows and the actions
      // keep asking: a lost reply is asked again or reported, no frame is lost.
      {"10% of replies lost", nullptr, DropShare(0.1), {},
       [](ClientRig& rig) {
         for (int k = 0; k < 20; ++k) rig.Act("client", "ClearStatusFlags");
       },
       1, "Timeout", true, 0},
      // Every reply 600 ms late against a TimeoutGet of 200 ms: the channel
      // cannot be initialised.
      {"replies later than TimeoutGet", nullptr, Delay(600), {}, nullptr, 2,
       "[Core] Could not initialize output channel: Timeout", false, 0},
            // GetChannelState (of InitOutputChannel) answered "channel not offered".
      {"GetChannelState answered with 0x8004", nullptr, AnswerWith(0x03, 0x8004), {}, nullptr, 2,
       "[Core] Could not initialize output channel: Internal error (the unit answers: Channel not available)", false,
       0},
      // No status for a second: the stream waits, says why, and goes on.
      {"status silent for a second", nullptr, NoFault(), {},
       [](ClientRig& rig) {
         qtusim::Faults silent;
         silent.stopStatus = true;
         rig.Unit().setFaults(silent);
         std::this_thread::sleep_for(1500ms);
         rig.Unit().setFaults({});
       },
       1, "the unit answers requests but sends no status messages", true, 0},
      // A fresh unit on the same ports: the frame in flight is cut, the client
      // sets the channel up again.
      {"unit restarted mid-stream", nullptr, NoFault(), {}, [](ClientRig& rig) { rig.RestartUnit(); }, 1,
       "(restarted?): initialising the channel again", true, 2},
      {"MaxPayLoadSize too large for an MTU of 1500", kMtu1500, NoFault(), {{"MaxPayLoadSize", "8948"}}, nullptr, 2,
       "[Core] Packet fragmentation, maxPayloadSize too big for MTU", false, 0},
      {"unit address unreachable at Birth", kNoHost, NoFault(), {{"QtuControlIP", "10.214.0.2"}}, nullptr, 2,
       "[Birth] Input interface is not available: Control interface not available", false, 0},
  };
  for (const FaultCase& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.network == nullptr) {
      RunCase(c);
      continue;
    }
    TestNamespace space("t", c.network);
    if (space.Name().empty()) {
      std::printf("[ fault    ] %s: skipped, no network namespace (needs root and ip)\n", c.name);
      continue;
    }
    EXPECT_TRUE(space.Run([&] { RunCase(c); }));
  }
}

}  // namespace
