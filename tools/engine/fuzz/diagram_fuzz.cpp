// libFuzzer target of the diagram parser: any text must parse or be refused
// with a placed message, never fault; an accepted diagram keeps its promises
// (unique valid names, connections between its own components).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>

#include "diagram.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::string error;
  const auto diagram = vtro_engine::ParseDiagram(text, error);
  if (!diagram) {
    if (error.empty()) std::abort();
    return 0;
  }
  std::set<std::string> names;
  for (const auto& c : diagram->components) {
    if (c.name.empty() || !names.insert(c.name).second) std::abort();
  }
  std::set<std::string> inputs;
  for (const auto& c : diagram->connections) {
    if (names.count(c.from.instance) == 0 || names.count(c.to.instance) == 0) std::abort();
    if (!inputs.insert(c.to.instance + "." + c.to.element).second) std::abort();
  }
  return 0;
}
