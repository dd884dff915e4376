// The property class the framework instantiates.
#pragma once

#include <atomic>

#include "vtro/VTROComponent.h"
#include "vtro/VTROProperty.h"

class VTROPropertyImplementation final : public VTROProperty {
 public:
  VTROPropertyImplementation(VTROModule* module, const VTROPropertyDefinition* definition, const char* shortName,
                             const char* fullName);
  ~VTROPropertyImplementation() override;

  void* ValueLocation() override;
  VTROPropertyValue ValueObject() override;
  void* ValueSlotLocation() override { return m_value.SlotLocation(); }
  const void* ValueSlotLocation() const override { return const_cast<VTROPropertyValue&>(m_value).SlotLocation(); }
  std::uint64_t RawValue() const override { return m_value.Raw(); }
  const char* FullName() const override { return m_fullName.c_str(); }
  const char* ShortName() const override { return m_shortName.c_str(); }
  void* Reserved() const override { return m_reserved; }
  VTROModule* Module() const override { return m_module; }
  // Fixed at creation, so it is read without the value lock.
  std::int32_t Type() const override { return m_type; }
  std::uint32_t Hints() const override { return m_hints; }
  bool IsSettable() const override { return !ReadOnly() && m_mutable; }
  bool SetMutable(bool isMutable) override {
    m_mutable = isMutable;
    return IsSettable();
  }
  bool HasChanged() const override { return m_changed.load(); }
  void ClearChanged() override {
    m_changed.store(false);
    m_changedEvent.Reset();
  }
  VTROEnumStruct* PossibleValues() override { return m_value.Enum(); }
  const VTROEnumStruct* PossibleValues() const override { return m_value.Enum(); }
  bool SetEnumFromString(const char* serialized, std::int32_t selected) override;
  bool GetBool(bool& out) override { return m_module->GetBoolValue(this, out); }
  bool SetBool(bool value) override { return m_module->SetBoolValue(this, value); }
  bool GetInteger(std::int64_t& out) override { return m_module->GetIntegerValue(this, out); }
  bool SetInteger(std::int64_t value) override { return m_module->SetIntegerValue(this, value); }
  bool GetFloat(double& out) override { return m_module->GetFloatValue(this, out); }
  bool SetFloat(double value) override { return m_module->SetFloatValue(this, value); }
  bool GetString(VTROStackedString& out) override { return m_module->GetStringValue(this, out); }
  bool SetString(const char* value) override { return m_module->SetStringValue(this, value); }
  bool GetEnum(VTROEnumStruct& out) override { return m_module->GetEnumValue(this, out); }
  bool SetEnum(const VTROEnumStruct& value) override { return m_module->SetEnumValue(this, value); }
  bool GetInteger32(std::int32_t& out) override;
  bool SetInteger32(std::int32_t value) override { return m_module->SetIntegerValue(this, value); }
  bool GetSelectedIndex(std::int32_t& out) override;
  bool SetSelectedIndex(std::int32_t index) override { return m_module->SetIntegerValue(this, index); }
  void SetChangeHandler(VTROPropertyChangeHandler handler) override { m_changeHandler = handler; }
  void SetReadHook(VTROPropertyReadHook hook) override { m_readHook = hook; }
  void SetEnumValuesFixed(bool fixed) override { m_enumValuesFixed = fixed; }
  std::uint32_t Flags() const override { return m_flags; }
  bool MustBeSet() const override { return m_mustBeSet.load(); }
  VTROEvent* ChangedEvent() override { return &m_changedEvent; }
  std::size_t FormatValue(char* buffer, std::size_t capacity) override;
  bool SetFromText(const char* text) override;

  // Framework side (callers hold the module's property-value lock).
  VTROPropertyValue& Value() { return m_value; }
  bool ChangeableWhileRunning() const { return ((m_flags >> 8) & 0xFFu) != 0; }
  bool ReadOnly() const { return ((m_flags >> 16) & 0xFFu) != 0; }
  bool EnumValuesFixed() const { return m_enumValuesFixed; }
  void ClearMustBeSet() { m_mustBeSet.store(false); }
  void MarkChanged() {
    m_changed.store(true);
    m_changedEvent.Set();
  }
  VTROPropertyChangeHandler ChangeHandler() const { return m_changeHandler; }
  VTROPropertyReadHook ReadHook() const { return m_readHook; }
  void Rename(const char* moduleName);

 private:
  VTROStackedString m_fullName;
  VTROStackedString m_shortName;
  VTROPropertyValue m_value;
  std::int32_t m_type;
  void* m_reserved;
  std::uint32_t m_flags;
  std::uint32_t m_hints;
  bool m_enumValuesFixed;
  std::atomic<bool> m_mustBeSet;
  VTROEvent m_changedEvent{false};
  std::atomic<bool> m_changed{false};
  VTROPropertyChangeHandler m_changeHandler = nullptr;
  VTROPropertyReadHook m_readHook = nullptr;
  bool m_mutable = true;
  VTROModule* m_module;
};
