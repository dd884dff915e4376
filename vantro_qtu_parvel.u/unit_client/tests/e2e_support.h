// End-to-end runs of the unit client: a diagram with testkit sources run by
// the vtro-engine binary, the client pointed at the emulated unit in this
// process through a data tap, and the testkit's element dumps read back.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "data_tap.h"
#include "qtu_sim/unit_sim.h"

namespace unit_client_test {

struct EngineRun {
  int status = -1;
  double seconds = 0;  // real time the process took
  std::string out;
  std::vector<std::string> Lines() const;
  int Count(const std::string& text) const;
  bool Has(const std::string& line) const { return Count(line) > 0; }
  // Frames the client reports sent ("[Death]Sent N frames."), -1 when absent.
  long long FramesSent(const std::string& client = "client") const;
};

// One element as ElementDump wrote it: its timestamp (µs) and bytes.
struct DumpedElement {
  std::int64_t timestamp = 0;
  std::vector<std::uint8_t> bytes;
};
std::vector<DumpedElement> ReadDump(const std::string& directory);

// A scratch folder, removed at the end of the test.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  const std::string& Path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

class ClientRun {
 public:
  // An emulated unit (with `config`) and a tap in front of its data port.
  explicit ClientRun(qtusim::Config config = {}, bool keepPayloads = true);

  qtusim::UnitSim& Unit() { return *unit_; }
  DataTap& Tap() { return *tap_; }
  ScratchDir& Scratch() { return scratch_; }

  // Properties that point a client at this unit (through the tap).
  nlohmann::json ClientProperties(nlohmann::json more = nlohmann::json::object()) const;
  // Runs `diagram` (packages and settings filled in when missing) with
  // `vtro-engine run ... --for seconds`.
  EngineRun Run(nlohmann::json diagram, double seconds, std::chrono::seconds limit = std::chrono::seconds(40));

 private:
  std::unique_ptr<qtusim::UnitSim> unit_;
  std::unique_ptr<DataTap> tap_;
  ScratchDir scratch_;
  int runs_ = 0;
};

// A component entry of a diagram.
nlohmann::json Component(const std::string& model, const std::string& name, nlohmann::json properties);
nlohmann::json Connection(const std::string& from, const std::string& to);

// The blocks of each frame, by frame counter in order of arrival.
std::vector<std::vector<TappedBlock>> Frames(const std::vector<TappedBlock>& blocks);

}  // namespace unit_client_test
