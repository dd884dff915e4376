// Inputs and outputs as far as the component base needs them: creation from
// definition entries with their system properties, registration with the
// engine, lookup, and the lifecycle hooks. The element rings and the
// reading/writing paths build on these classes.
#include <cstring>

#include "VTROElementCreation.h"
#include "framework_internal.h"
#include "vtro/VTROComponent.h"
#include "vtro/VTROEngineInterface.h"

namespace {

// A property definition entry whose name is owned by the element ("<element>.subsampling").
struct OwnedPropertyEntry {
  OwnedPropertyEntry(const char* element, const char* suffix, VTROPropertyValue value, std::uint32_t flags)
      : name(element), defaultValue(value) {
    name.Append(suffix);
    entry = VTROPropertyDefinition{name.c_str(), &defaultValue, nullptr, flags, 0};
  }
  VTROStackedString name;
  VTROPropertyValue defaultValue;
  VTROPropertyDefinition entry{};
};

constexpr std::uint32_t kChangeable = VTRO_FLAG_CHANGEABLE_WHILE_RUNNING | VTRO_FLAG_ENUM_VALUES_FIXED;

}  // namespace

class VTROInputImplementation final : public VTROInput {
 public:
  VTROInputImplementation(VTROComponent* component, const VTROInputDefinition* definition, const char* shortName,
                          const char* fullName)
      : m_definition(*definition),
        m_shortName(shortName),
        m_fullName(fullName),
        m_component(component),
        m_subsamplingEntry(shortName, ".subsampling", VTROPropertyValue(std::int64_t{definition->subsampling}), kChangeable),
        m_readerTypeEntry(shortName, ".readerType", VTROPropertyValue(std::int64_t{definition->readerType}), kChangeable) {
    m_definition.name = m_shortName.c_str();
  }

  bool IsConnected() const override { return false; }
  void ResetReadingState() override {
    m_reading = false;
    m_subsamplingCounter = 0;
  }
  void DataType(std::uint64_t& typeMask, const char*& structureName) const override {
    typeMask = 0;
    structureName = nullptr;
  }
  void ReleaseReading() override { StopReading(); }
  void WakeReader() override {}
  bool HasUnreadData() const override { return false; }
  VTROComponent* Component() const override { return m_component; }
  const char* FullName() const override { return m_fullName.c_str(); }
  const char* ShortName() const override { return m_shortName.c_str(); }
  const VTROInputDefinition* Definition() const override { return &m_definition; }
  bool IsReading() const override { return m_reading; }
  std::int32_t ReaderType() const override { return m_definition.readerType; }
  std::int32_t Subsampling() const override { return m_definition.subsampling < 1 ? 1 : m_definition.subsampling; }
  std::int32_t& SubsamplingCounter() override { return m_subsamplingCounter; }
  void SetModuleName(const char* moduleName) override {
    m_fullName = moduleName;
    m_fullName.Append(".");
    m_fullName += m_shortName;
  }
  // Unconnected: nothing to read.
  VTROIOElt* StartReading() override { return nullptr; }
  void StopReading() override { m_reading = false; }

  const VTROPropertyDefinition* SubsamplingEntry() const { return &m_subsamplingEntry.entry; }
  const VTROPropertyDefinition* ReaderTypeEntry() const { return &m_readerTypeEntry.entry; }

 private:
  VTROInputDefinition m_definition;
  VTROStackedString m_shortName;
  VTROStackedString m_fullName;
  VTROComponent* m_component;
  OwnedPropertyEntry m_subsamplingEntry;
  OwnedPropertyEntry m_readerTypeEntry;
  bool m_reading = false;
  std::int32_t m_subsamplingCounter = 0;
};

class VTROOutputImplementation final : public VTROOutput {
 public:
  VTROOutputImplementation(VTROComponent* component, const VTROOutputDefinition* definition, const char* shortName,
                           const char* fullName)
      : m_definition(*definition),
        m_shortName(shortName),
        m_fullName(fullName),
        m_component(component),
        m_subsamplingEntry(shortName, ".subsampling", VTROPropertyValue(std::int64_t{definition->subsampling}), kChangeable),
        m_fifoSizeEntry(shortName, ".fifosize", VTROPropertyValue(std::int64_t{definition->fifoSize}), kChangeable),
        m_periodicEntry(shortName, ".periodic", VTROPropertyValue(false), kChangeable) {
    m_definition.name = m_shortName.c_str();
    if (definition->defaultBufferSize != 1) m_definition.typeMask |= VTRO_TYPE_VECTOR_FLAG;
  }

  void AllocOutputBuffer(std::int32_t /*size*/, std::int32_t /*flag*/) override { m_allocated = true; }
  const char* FullName() const override { return m_fullName.c_str(); }
  const char* ShortName() const override { return m_shortName.c_str(); }
  const VTROOutputDefinition* Definition() const override { return &m_definition; }
  VTROComponent* Component() const override { return m_component; }
  void ClearElementSizeRecord() override {}
  void WakeReaders() override {}
  void MarkAllElementsFree() override {}
  void FreeBuffer() override { m_allocated = false; }
  void SetModuleName(const char* moduleName) override {
    m_fullName = moduleName;
    m_fullName.Append(".");
    m_fullName += m_shortName;
  }

  const VTROPropertyDefinition* SubsamplingEntry() const { return &m_subsamplingEntry.entry; }
  const VTROPropertyDefinition* FifoSizeEntry() const { return &m_fifoSizeEntry.entry; }
  const VTROPropertyDefinition* PeriodicEntry() const { return &m_periodicEntry.entry; }

 private:
  VTROOutputDefinition m_definition;
  VTROStackedString m_shortName;
  VTROStackedString m_fullName;
  VTROComponent* m_component;
  OwnedPropertyEntry m_subsamplingEntry;
  OwnedPropertyEntry m_fifoSizeEntry;
  OwnedPropertyEntry m_periodicEntry;
  bool m_allocated = false;
};

VTROInput* VTROComponent::NewInput(const VTROInputDefinition* definition, const char* name) {
  static constexpr VTROElementTexts kTexts{"Call to NewInput failed. Bad input definition.",
                                           "Trying to create an input with an invalid name: %s",
                                           "Can't create input %s. The symbol already exists."};
  return VTROFrameworkAccess::NewElement<VTROInputImplementation>(
      *this, m_inputs, definition, name, kTexts, &VTROEngineInterface::RegisterInput,
      [this](VTROInputImplementation* created) {
        // System properties of the input; not counted among the component's own.
        NewProperty(created->SubsamplingEntry());
        NewProperty(created->ReaderTypeEntry());
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
        NewProperty(created->SubsamplingEntry());
        NewProperty(created->FifoSizeEntry());
        NewProperty(created->PeriodicEntry());
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
