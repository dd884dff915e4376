// The property class: construction from a definition entry and the
// accessors that do not go through the module.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "VTROPropertyImplementation.h"
#include "framework_internal.h"

VTROPropertyImplementation::VTROPropertyImplementation(VTROModule* module, const VTROPropertyDefinition* definition,
                                                       const char* shortName, const char* fullName)
    : m_fullName(fullName),
      m_shortName(shortName),
      m_type(VTRO_PROPERTY_BOOL),
      m_reserved(definition->reserved),
      m_flags(definition->flags),
      m_hints(definition->hints),
      m_enumValuesFixed(definition->EnumValuesFixed()),
      m_mustBeSet(definition->MustBeSet()),
      m_module(module) {
  if (definition->defaultValue != nullptr) m_value = *definition->defaultValue;
  m_type = m_value.Type();
}

VTROPropertyImplementation::~VTROPropertyImplementation() = default;

void* VTROPropertyImplementation::ValueLocation() {
  if (m_type == VTRO_PROPERTY_ENUM && m_value.Enum() != nullptr) return m_value.Enum()->SelectedLocation();
  return m_value.SlotLocation();
}

VTROPropertyValue VTROPropertyImplementation::ValueObject() {
  VTROLock lock(m_module->PropertyValueLock());
  if (m_type == VTRO_PROPERTY_ENUM) {
    const VTROEnumStruct* value = m_value.Enum();
    const char* text = value != nullptr ? value->Value(value->Selected()) : nullptr;
    VTROPropertyValue result;
    result.SetString(text != nullptr ? text : "");
    return result;
  }
  return m_value;
}

bool VTROPropertyImplementation::SetEnumFromString(const char* serialized, std::int32_t selected) {
  VTROEnumStruct value;
  value.FromString(serialized, false);
  if (selected >= 0 && selected < value.Count()) value.SetSelected(selected);
  return m_module->SetEnumValue(this, value);
}

bool VTROPropertyImplementation::GetInteger32(std::int32_t& out) {
  std::int64_t value = out;
  const bool ok = m_module->GetIntegerValue(this, value);
  out = static_cast<std::int32_t>(value);
  return ok;
}

bool VTROPropertyImplementation::GetSelectedIndex(std::int32_t& out) { return GetInteger32(out); }

std::size_t VTROPropertyImplementation::FormatValue(char* buffer, std::size_t capacity) {
  VTROStackedString text;
  {
    VTROLock lock(m_module->PropertyValueLock());
    text = m_value.ToText();
  }
  if (buffer != nullptr && capacity > 0) {
    const std::size_t copied = text.size() < capacity ? text.size() : capacity - 1;
    std::memcpy(buffer, text.c_str(), copied);
    buffer[copied] = '\0';
  }
  return text.size();
}

bool VTROPropertyImplementation::SetFromText(const char* text) {
  if (text == nullptr) return false;
  switch (m_type) {
    case VTRO_PROPERTY_BOOL:
      if (strcasecmp(text, "true") == 0 || std::strcmp(text, "1") == 0) return m_module->SetBoolValue(this, true);
      if (strcasecmp(text, "false") == 0 || std::strcmp(text, "0") == 0) return m_module->SetBoolValue(this, false);
      return false;
    case VTRO_PROPERTY_INTEGER: {
      char* end = nullptr;
      errno = 0;
      const long long value = std::strtoll(text, &end, 0);
      if (end == text || *end != '\0' || errno != 0) return false;
      return m_module->SetIntegerValue(this, value);
    }
    case VTRO_PROPERTY_FLOAT: {
      char* end = nullptr;
      errno = 0;
      const double value = std::strtod(text, &end);
      if (end == text || *end != '\0' || errno != 0) return false;
      return m_module->SetFloatValue(this, value);
    }
    case VTRO_PROPERTY_STRING:
      return m_module->SetStringValue(this, text);
    case VTRO_PROPERTY_ENUM: {
      // A plain number that is not one of the values selects by index.
      bool known = false;
      {
        VTROLock lock(m_module->PropertyValueLock());
        known = m_value.Enum() != nullptr && m_value.Enum()->IndexOf(text) >= 0;
      }
      char* end = nullptr;
      const long long index = std::strtoll(text, &end, 10);
      if (!known && end != text && *end == '\0') return m_module->SetIntegerValue(this, index);
      return m_module->SetStringValue(this, text);
    }
    default:
      return false;
  }
}

void VTROPropertyImplementation::Rename(const char* moduleName) {
  m_fullName = moduleName;
  m_fullName.Append(".");
  m_fullName += m_shortName;
}
