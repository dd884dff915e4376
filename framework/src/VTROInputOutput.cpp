// Inputs and outputs of a component: creation from definition entries with
// their system properties, registration with the engine, and lookup.
#include <cstring>

#include "VTROElementCreation.h"
#include "VTROInputImplementation.h"
#include "VTROOutputImplementation.h"
#include "framework_internal.h"
#include "vtro/VTROComponent.h"
#include "vtro/VTROEngineInterface.h"

VTROInput* VTROComponent::NewInput(const VTROInputDefinition* definition, const char* name) {
  static constexpr VTROElementTexts kTexts{"Call to NewInput failed. Bad input definition.",
                                           "Trying to create an input with an invalid name: %s",
                                           "Can't create input %s. The symbol already exists."};
  return VTROFrameworkAccess::NewElement<VTROInputImplementation>(
      *this, m_inputs, definition, name, kTexts, &VTROEngineInterface::RegisterInput,
      [this](VTROInputImplementation* created) {
        // System properties of the input; not counted among the component's own.
        NewProperty(created->SubsamplingEntry())->SetChangeHandler(&VTROInputImplementation::SubsamplingChanged);
        NewProperty(created->ReaderTypeEntry())->SetChangeHandler(&VTROInputImplementation::ReaderTypeChanged);
      },
      [this](VTROInput* input, const char* fullName) { MarkDeclared(input, fullName); });
}

VTROInput* VTROComponent::NewInput(const char* modelName, const char* name) {
  return VTROFrameworkAccess::NewFromModel(
      *this, m_definition != nullptr ? m_definition->inputs : nullptr, "NewInput", modelName, name,
      [this](const VTROInputDefinition* entry, const char* given) { return NewInput(entry, given); });
}

VTROOutput* VTROComponent::NewOutput(const VTROOutputDefinition* definition, const char* name) {
  static constexpr VTROElementTexts kTexts{"Call to NewOutput failed. Bad output definition.",
                                           "Trying to create an output with an invalid name: %s",
                                           "Can't create output %s. The symbol already exists."};
  return VTROFrameworkAccess::NewElement<VTROOutputImplementation>(
      *this, m_outputs, definition, name, kTexts, &VTROEngineInterface::RegisterOutput,
      [this](VTROOutputImplementation* created) {
        NewProperty(created->SubsamplingEntry())->SetChangeHandler(&VTROOutputImplementation::SubsamplingChanged);
        NewProperty(created->FifoSizeEntry())->SetChangeHandler(&VTROOutputImplementation::FifoSizeChanged);
        NewProperty(created->PeriodicEntry())->SetChangeHandler(&VTROOutputImplementation::PeriodicChanged);
      },
      [this](VTROOutput* output, const char* fullName) { MarkDeclared(output, fullName); });
}

VTROOutput* VTROComponent::NewOutput(const char* modelName, const char* name) {
  return VTROFrameworkAccess::NewFromModel(
      *this, m_definition != nullptr ? m_definition->outputs : nullptr, "NewOutput", modelName, name,
      [this](const VTROOutputDefinition* entry, const char* given) { return NewOutput(entry, given); });
}

VTROInput* VTROComponent::Input(const char* name) {
  {
    VTROLock lock(m_moduleLock);
    for (VTROInput* input : m_inputs) {
      if (std::strcmp(input->ShortName(), name != nullptr ? name : "") == 0) return input;
    }
  }
  FatalReport(vtro::Format("Trying to access unknown input %s of %s %s", name != nullptr ? name : "", KindName(), Name())
                  .c_str(),
              1);
}

VTROInput* VTROComponent::Input(std::int32_t index) {
  VTROInput* input = EngineInputAt(index);
  if (input != nullptr) return input;
  FatalReport(vtro::Format("Trying to access unknown input #%d of %s %s", index, KindName(), Name()).c_str(), 1);
}

VTROOutput* VTROComponent::Output(const char* name) {
  {
    VTROLock lock(m_moduleLock);
    for (VTROOutput* output : m_outputs) {
      if (std::strcmp(output->ShortName(), name != nullptr ? name : "") == 0) return output;
    }
  }
  FatalReport(vtro::Format("Trying to access unknown output %s of %s %s", name != nullptr ? name : "", KindName(), Name())
                  .c_str(),
              1);
}

VTROOutput* VTROComponent::Output(std::int32_t index) {
  VTROOutput* output = EngineOutputAt(index);
  if (output != nullptr) return output;
  FatalReport(vtro::Format("Trying to access unknown output #%d of %s %s", index, KindName(), Name()).c_str(), 1);
}
