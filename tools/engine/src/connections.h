// The engine's connections: which output feeds which input, the reader
// registrations made for them, and their removal. The two ends may live in
// different packages (each with its own copy of the framework), so the table
// reaches them only through the virtual operations of VTROInput and
// VTROOutput.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "vtro/VTROIO.h"

class VTROComponent;

namespace vtro_engine {

struct Connection {
  VTROOutput* output = nullptr;
  VTROInput* input = nullptr;
  std::string outputName;  // full names, kept for the summary
  std::string inputName;
};

class ConnectionTable {
 public:
  // Checks the types, then connects (an input reads one output: an earlier
  // connection of `input` is replaced). Empty on success, else why not.
  std::string Connect(VTROOutput* output, VTROInput* input);
  // Disconnects `input` from its output (nothing when unconnected).
  void Disconnect(VTROInput* input);
  // Disconnects every input of `component` and every input fed by one of its
  // outputs: called before the component is destroyed, so no output keeps a
  // reader that is gone and no input keeps an output that is gone.
  void DisconnectComponent(VTROComponent* component);

  // Reader registration, on behalf of the inputs: AddReader on the output,
  // remembered until the input says it left (it removes itself from the
  // output first).
  std::int32_t RegisterReader(VTROOutput* output, VTROInput* input);
  void UnregisterReader(VTROOutput* output, VTROInput* input);

  std::vector<Connection> All() const;
  // The connection of `input`, or null output when none.
  Connection Of(const VTROInput* input) const;

 private:
  struct Reader {
    VTROOutput* output;
    VTROInput* input;
    std::int32_t index;
  };
  mutable std::mutex lock_;  // guards connections_ and readers_; never held while calling an element
  std::vector<Connection> connections_;
  std::vector<Reader> readers_;
};

}  // namespace vtro_engine
