// Property values and enumerations.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "framework_internal.h"
#include "vtro/VTROComponent.h"
#include "vtro/VTROProperty.h"

namespace {

// Calls `field(begin, length)` for every "|"-separated field of `text`,
// empty fields included.
template <class F>
void SplitFields(const char* text, F field) {
  const char* begin = text;
  for (;;) {
    const char* bar = std::strchr(begin, '|');
    if (bar == nullptr) {
      field(begin, std::strlen(begin));
      return;
    }
    field(begin, static_cast<std::size_t>(bar - begin));
    begin = bar + 1;
  }
}

bool ScansAsEnum(const char* text, int* count, int* selected) {
  if (text == nullptr) return false;
  return std::sscanf(text, "%d|%d", count, selected) == 2;
}

char* CopyText(const char* text) {
  if (text == nullptr) text = "";
  const std::size_t length = std::strlen(text) + 1;
  char* copy = static_cast<char*>(std::malloc(length));
  if (copy == nullptr) throw VTRO::ErrorException;
  std::memcpy(copy, text, length);
  return copy;
}

}  // namespace

// VTROEnumStruct ------------------------------------------------------------

VTROEnumStruct::VTROEnumStruct(const char* values, std::int32_t selected) {
  if (values == nullptr || values[0] == '\0') {
    m_selected = -1;
    return;
  }
  SplitFields(values, [this](const char* begin, std::size_t length) { m_values.Add(VTROStackedString(begin, length)); });
  if (selected < 0 || selected >= m_values.Count()) {
    VTRO::ReportError("Selected value incompatible with enum values for property. Selected property is set to 0", 0);
    selected = 0;
  }
  m_selected = selected;
}

std::int32_t VTROEnumStruct::IndexOf(const char* text) const {
  for (std::int32_t i = 0; i < m_values.Count(); ++i) {
    if (m_values[i] == text) return i;
  }
  return -1;
}

void VTROEnumStruct::FromString(const char* text, bool valuesFixed) {
  int count = 0;
  int selected = 0;
  if (!ScansAsEnum(text, &count, &selected)) {
    VTRO::ReportError(vtro::Format("VTROEnumStruct::FromString: Ill-formed enum string "
                                   "[expected:nbVal|selected|val0|val1|val2...] [received:%s]",
                                   text != nullptr ? text : "")
                          .c_str(),
                      0);
    return;
  }
  static const char* const kIncompatible =
      "VTROEnumStruct::FromString: Selected value incompatible with enum values for property. "
      "Selected property is set to 0.";
  if (valuesFixed) {
    if (selected < m_values.Count()) {
      m_selected = selected;
    } else {
      m_selected = 0;
      VTRO::ReportError(kIncompatible, 0);
    }
    return;
  }
  m_values.Clear();
  if (count <= 0) {
    m_selected = -1;
    return;
  }
  int field = 0;
  SplitFields(text, [&](const char* begin, std::size_t length) {
    if (field++ >= 2) m_values.Add(VTROStackedString(begin, length));
  });
  if (m_values.Count() != count) {
    VTRO::ReportError("VTROEnumStruct::FromString: Declared size of enum struct does not match the number of given "
                      "elements.",
                      0);
    m_values.Clear();
    m_selected = -1;
    return;
  }
  if (selected < count) {
    m_selected = selected;
  } else {
    m_selected = 0;
    VTRO::ReportError(kIncompatible, 0);
  }
}

VTROStackedString VTROEnumStruct::ToString() const {
  VTROStackedString text = vtro::Format("%d|%d", m_values.Count(), m_selected);
  for (std::int32_t i = 0; i < m_values.Count(); ++i) {
    text.Append("|");
    text += m_values[i];
  }
  return text;
}

// VTROPropertyValue -----------------------------------------------------------

VTROPropertyValue::VTROPropertyValue(const char* text) {
  m_slot.raw = 0;
  int count = 0;
  int selected = 0;
  if (ScansAsEnum(text, &count, &selected)) {
    VTROEnumStruct* value = new VTROEnumStruct;
    value->FromString(text, false);
    m_type = VTRO_PROPERTY_ENUM;
    m_slot.enumeration = value;
  } else {
    m_type = VTRO_PROPERTY_STRING;
    m_slot.string = CopyText(text);
  }
}

VTROPropertyValue::VTROPropertyValue(const char* enumValues, std::int32_t selected) : m_type(VTRO_PROPERTY_ENUM) {
  m_slot.enumeration = new VTROEnumStruct(enumValues, selected);
}

VTROPropertyValue::VTROPropertyValue(const VTROEnumStruct& value) : m_type(VTRO_PROPERTY_ENUM) {
  m_slot.enumeration = new VTROEnumStruct(value);
}

VTROPropertyValue::VTROPropertyValue(const VTROPropertyValue& other) : m_type(VTRO_PROPERTY_BOOL) {
  m_slot.raw = 0;
  *this = other;
}

VTROPropertyValue& VTROPropertyValue::operator=(const VTROPropertyValue& other) {
  if (this == &other) return *this;
  switch (other.m_type) {
    case VTRO_PROPERTY_STRING:
      SetString(other.String());
      break;
    case VTRO_PROPERTY_ENUM:
      SetEnum(other.m_slot.enumeration != nullptr ? *other.m_slot.enumeration : VTROEnumStruct());
      break;
    default:
      Release();
      m_type = other.m_type;
      m_slot.raw = other.m_slot.raw;
      break;
  }
  return *this;
}

VTROPropertyValue::~VTROPropertyValue() { Release(); }

void VTROPropertyValue::Release() {
  if (m_type == VTRO_PROPERTY_STRING) std::free(m_slot.string);
  if (m_type == VTRO_PROPERTY_ENUM) delete m_slot.enumeration;
  m_slot.raw = 0;
}

void VTROPropertyValue::SetBool(bool value) {
  Release();
  m_type = VTRO_PROPERTY_BOOL;
  m_slot.boolean = value;
}

void VTROPropertyValue::SetInteger(std::int64_t value) {
  Release();
  m_type = VTRO_PROPERTY_INTEGER;
  m_slot.integer = value;
}

void VTROPropertyValue::SetFloat(double value) {
  Release();
  m_type = VTRO_PROPERTY_FLOAT;
  m_slot.floating = value;
}

void VTROPropertyValue::SetString(const char* text) {
  char* copy = CopyText(text);  // before Release: text may be our own string
  Release();
  m_type = VTRO_PROPERTY_STRING;
  m_slot.string = copy;
}

void VTROPropertyValue::SetEnum(const VTROEnumStruct& value) {
  VTROEnumStruct* copy = new VTROEnumStruct(value);
  Release();
  m_type = VTRO_PROPERTY_ENUM;
  m_slot.enumeration = copy;
}

VTROStackedString VTROPropertyValue::ToText() const {
  switch (m_type) {
    case VTRO_PROPERTY_BOOL:
      return VTROStackedString(m_slot.boolean ? "true" : "false");
    case VTRO_PROPERTY_INTEGER:
      return vtro::Format("%" PRId64, m_slot.integer);
    case VTRO_PROPERTY_FLOAT:
      return vtro::Format("%.17g", m_slot.floating);
    case VTRO_PROPERTY_STRING:
      return VTROStackedString(String());
    case VTRO_PROPERTY_ENUM:
      return m_slot.enumeration != nullptr ? m_slot.enumeration->ToString() : VTROStackedString("0|-1");
    default:
      return VTROStackedString();
  }
}
