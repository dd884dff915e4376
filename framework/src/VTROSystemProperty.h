// Property entries that inputs and outputs own for their system properties
// ("<element>.subsampling", ...). The entry's reserved field carries the
// element, so a change handler finds its element from the property alone,
// whatever the component is renamed to.
#pragma once

#include <cstdint>

#include "VTROPropertyImplementation.h"
#include "vtro/VTROProperty.h"
#include "vtro/VTROStackedString.h"

struct VTROSystemPropertyEntry {
  VTROSystemPropertyEntry(void* owner, const char* element, const char* suffix, VTROPropertyValue value,
                          std::uint32_t flags)
      : name(element), defaultValue(value) {
    name.Append(suffix);
    entry = VTROPropertyDefinition{name.c_str(), &defaultValue, owner, flags, 0};
  }
  VTROSystemPropertyEntry(const VTROSystemPropertyEntry&) = delete;
  VTROSystemPropertyEntry& operator=(const VTROSystemPropertyEntry&) = delete;

  VTROStackedString name;
  VTROPropertyValue defaultValue;
  VTROPropertyDefinition entry{};
};

namespace vtro {

constexpr std::uint32_t kSystemPropertyFlags = VTRO_FLAG_CHANGEABLE_WHILE_RUNNING | VTRO_FLAG_ENUM_VALUES_FIXED;

// The element a system property belongs to.
template <class Element>
Element* OwnerOf(VTROProperty* property) {
  return static_cast<Element*>(property->Reserved());
}

// The value being set, inside a change handler (the property-value lock is held).
inline VTROPropertyValue& HandlerValue(VTROProperty* property) {
  return static_cast<VTROPropertyImplementation*>(property)->Value();
}

}  // namespace vtro
