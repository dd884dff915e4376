#include "connections.h"

#include <algorithm>

#include "type_check.h"

namespace vtro_engine {

std::string ConnectionTable::Connect(VTROOutput* output, VTROInput* input) {
  if (output == nullptr || input == nullptr) return "no output or no input";
  const VTROInputDefinition* definition = input->Definition();
  const VTROTypeFilter* filter = definition != nullptr ? definition->filter : nullptr;
  const VTROIOType* type = output->ElementType();
  const std::string why = CheckConnectionTypes(type != nullptr ? type->typeMask : 0,
                                               type != nullptr ? type->structureName : nullptr,
                                               filter != nullptr ? filter->typeMask : 0,
                                               filter != nullptr ? filter->structureNames : nullptr);
  if (!why.empty()) {
    return "type mismatch: " + std::string(output->FullName()) + " -> " + input->FullName() + ": " + why;
  }
  Disconnect(input);
  if (!input->Connect(output)) {
    return std::string("the output ") + output->FullName() + " refused the input " + input->FullName();
  }
  std::lock_guard<std::mutex> guard(lock_);
  connections_.push_back({output, input, output->FullName(), input->FullName()});
  return {};
}

void ConnectionTable::Disconnect(VTROInput* input) {
  bool known = false;
  {
    std::lock_guard<std::mutex> guard(lock_);
    const auto it = std::find_if(connections_.begin(), connections_.end(),
                                 [input](const Connection& c) { return c.input == input; });
    if (it != connections_.end()) {
      connections_.erase(it);
      known = true;
    }
  }
  if (known || input->ConnectedOutput() != nullptr) input->Disconnect();
}

void ConnectionTable::DisconnectComponent(VTROComponent* component) {
  std::vector<VTROInput*> inputs;
  {
    std::lock_guard<std::mutex> guard(lock_);
    for (const auto& c : connections_) {
      if (c.input->Component() == component || c.output->Component() == component) inputs.push_back(c.input);
    }
  }
  for (VTROInput* input : inputs) Disconnect(input);
}

std::int32_t ConnectionTable::RegisterReader(VTROOutput* output, VTROInput* input) {
  if (output == nullptr || input == nullptr) return -1;
  const std::int32_t index = output->AddReader(input, input->ReaderType());
  if (index >= 0) {
    std::lock_guard<std::mutex> guard(lock_);
    readers_.push_back({output, input, index});
  }
  return index;
}

void ConnectionTable::UnregisterReader(VTROOutput* output, VTROInput* input) {
  // The input has left the output's readers itself; only the record goes.
  std::lock_guard<std::mutex> guard(lock_);
  const auto it = std::find_if(readers_.begin(), readers_.end(),
                               [&](const Reader& r) { return r.output == output && r.input == input; });
  if (it != readers_.end()) readers_.erase(it);
}

std::vector<Connection> ConnectionTable::All() const {
  std::lock_guard<std::mutex> guard(lock_);
  return connections_;
}

Connection ConnectionTable::Of(const VTROInput* input) const {
  std::lock_guard<std::mutex> guard(lock_);
  for (const auto& c : connections_) {
    if (c.input == input) return c;
  }
  return {};
}

}  // namespace vtro_engine
