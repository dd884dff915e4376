// The unit client under the real engine (in this process) against the
// emulated unit on loopback: one engine for the process (a package keeps the
// engine it was first initialised with), one emulated unit per test.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "data_tap.h"
#include "engine.h"
#include "qtu_sim/unit_sim.h"

namespace unit_client_test {

vtro_engine::Engine& TheEngine();

using Properties = std::vector<std::pair<std::string, std::string>>;

class ClientRig {
 public:
  // With `tap`, the clients send through a DataTap (payloads kept) to the unit.
  explicit ClientRig(qtusim::Config config = {}, bool tap = false);
  ~ClientRig();

  qtusim::UnitSim& Unit() { return *unit_; }
  DataTap& Tap() { return *tap_; }
  const std::string& Scratch() const { return scratch_; }

  // Creates an instance named `name` whose properties point at the emulated
  // unit (control and data on 127.0.0.1, local port chosen by the system),
  // then sets `properties` in order. Fails the test when a set is refused.
  void Create(const std::string& name, const Properties& properties = {});
  // Any other model (a testkit source or sink).
  void CreateModel(const std::string& model, const std::string& name, const Properties& properties);
  // Connects "instance.output" to "instance.input".
  void Connect(const std::string& from, const std::string& to);
  // Starts `names` in order, lets them run for `seconds`, stops them in
  // reverse order, giving the others time to take in what the last one (the
  // source) wrote; the last datagrams are then given time to arrive.
  void RunFor(const std::vector<std::string>& names, double seconds);
  // Starts `name` and waits (bounded) until its Birth is over: true when it
  // went on to Core, false when the start or Birth failed.
  bool Start(const std::string& name);
  void Stop(const std::string& name) { TheEngine().Stop(name); }
  bool Act(const std::string& name, const std::string& action);

  // Texts of the reports of `name` since the rig was made, without the
  // "component <name>: " prefix, and with their kind (0, 1, 2).
  std::vector<std::pair<int, std::string>> Reports(const std::string& name) const;
  bool HasReport(const std::string& name, int kind, const std::string& text) const;
  // Number of reports of `name` containing `text`.
  int CountReports(const std::string& name, const std::string& text) const;

  // Command codes of the control requests the unit received for `channel`.
  std::vector<std::uint16_t> Commands(int channel = 0) const;

 private:
  std::unique_ptr<qtusim::UnitSim> unit_;
  std::unique_ptr<DataTap> tap_;
  std::string scratch_;
  std::size_t firstReport_;
  std::vector<std::string> created_;
};

// Frames "Sent N frames." of a Death report, -1 when absent.
long long FramesSent(const ClientRig& rig, const std::string& name);

// One element as ElementDump wrote it: its timestamp (µs) and bytes.
struct DumpedElement {
  std::int64_t timestamp = 0;
  std::vector<std::uint8_t> bytes;
};
std::vector<DumpedElement> ReadDump(const std::string& directory);

// The blocks of each frame, by frame counter in order of arrival.
std::vector<std::vector<TappedBlock>> Frames(const std::vector<TappedBlock>& blocks);

}  // namespace unit_client_test
