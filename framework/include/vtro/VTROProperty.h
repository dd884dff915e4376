// Properties: typed, named settings of a module (values, enumerations, the
// static definition entries and the abstract property the engine sees).
#pragma once

#include <cstddef>
#include <cstdint>

#include "vtro/VTROEvent.h"
#include "vtro/VTROList.h"
#include "vtro/VTROStackedString.h"

class VTROModule;
class VTROProperty;

enum VTROPropertyType : std::int32_t {
  VTRO_PROPERTY_BOOL = 0,
  VTRO_PROPERTY_INTEGER = 1,
  VTRO_PROPERTY_FLOAT = 2,
  VTRO_PROPERTY_STRING = 3,
  VTRO_PROPERTY_ENUM = 4,
};

// Hints of a property definition entry.
enum : std::uint32_t {
  VTRO_HINT_PATH_MUST_EXIST = 0x10,
  VTRO_HINT_PATH_IS_DIRECTORY = 0x20,
  VTRO_HINT_FILE_PATH = 0x40,
  VTRO_HINT_GROUP_BEGIN = 0x100,
  VTRO_HINT_GROUP_END = 0x200,
};

// The four flag bytes of a definition entry written as one little-endian
// 32-bit value, as the component tables do.
enum : std::uint32_t {
  VTRO_FLAG_MUST_BE_SET = 0x00000001,
  VTRO_FLAG_CHANGEABLE_WHILE_RUNNING = 0x00000100,
  VTRO_FLAG_READ_ONLY = 0x00010000,
  VTRO_FLAG_ENUM_VALUES_FIXED = 0x01000000,
};

// Values and selection of an enumeration property. Serialized form:
// "<count>|<selected>|<value 0>|<value 1>|...".
class VTROEnumStruct {
 public:
  VTROEnumStruct() = default;
  // Splits `values` at "|"; an index outside the values becomes 0 (reported);
  // an empty or null text gives no values and index -1.
  VTROEnumStruct(const char* values, std::int32_t selected);

  // Reads the serialized form (see above). With `valuesFixed` only the
  // selection changes.
  void FromString(const char* text, bool valuesFixed);
  // Writes the serialized form.
  VTROStackedString ToString() const;

  std::int32_t Selected() const { return m_selected; }
  std::int32_t* SelectedLocation() { return &m_selected; }
  void SetSelected(std::int32_t index) { m_selected = index; }
  std::int32_t Count() const { return m_values.Count(); }
  const char* Value(std::int32_t index) const {
    return index >= 0 && index < m_values.Count() ? m_values[index].c_str() : nullptr;
  }
  // Index of the value equal to `text`, or -1.
  std::int32_t IndexOf(const char* text) const;
  void AddValue(const char* text) { m_values.Add(VTROStackedString(text)); }
  void ClearValues() { m_values.Clear(); }

 private:
  std::int32_t m_selected = -1;
  VTROArray<VTROStackedString> m_values;
};

// A default value or the current value of a property: a type code and a
// 64-bit slot (boolean, integer, float, owned string or owned enumeration).
class VTROPropertyValue {
 public:
  VTROPropertyValue() { m_slot.integer = 0; }
  VTROPropertyValue(bool value) { m_slot.integer = 0; m_slot.boolean = value; }  // NOLINT
  VTROPropertyValue(std::int32_t value) : m_type(VTRO_PROPERTY_INTEGER) { m_slot.integer = value; }  // NOLINT
  VTROPropertyValue(std::int64_t value) : m_type(VTRO_PROPERTY_INTEGER) { m_slot.integer = value; }  // NOLINT
  VTROPropertyValue(double value) : m_type(VTRO_PROPERTY_FLOAT) { m_slot.floating = value; }  // NOLINT
  // "<int>|<int>..." gives an enumeration read from the serialized form
  // (values not fixed); anything else a string (null: the empty string).
  VTROPropertyValue(const char* text);  // NOLINT
  VTROPropertyValue(const char* enumValues, std::int32_t selected);
  VTROPropertyValue(const VTROEnumStruct& value);  // NOLINT
  VTROPropertyValue(const VTROPropertyValue& other);
  VTROPropertyValue& operator=(const VTROPropertyValue& other);
  ~VTROPropertyValue();

  std::int32_t Type() const { return m_type; }
  bool Bool() const { return m_slot.boolean; }
  std::int64_t Integer() const { return m_slot.integer; }
  double Float() const { return m_slot.floating; }
  const char* String() const { return m_slot.string != nullptr ? m_slot.string : ""; }
  VTROEnumStruct* Enum() const { return m_slot.enumeration; }
  std::uint64_t Raw() const { return m_slot.raw; }
  void* SlotLocation() { return &m_slot; }

  void SetBool(bool value);
  void SetInteger(std::int64_t value);
  void SetFloat(double value);
  void SetString(const char* text);
  void SetEnum(const VTROEnumStruct& value);

  // Serialized text of the value ("true"/"false", decimal, %.17g, the string,
  // or the enumeration's serialized form).
  VTROStackedString ToText() const;

 private:
  void Release();
  std::int32_t m_type = VTRO_PROPERTY_BOOL;
  union Slot {
    bool boolean;
    std::int64_t integer;
    double floating;
    char* string;
    VTROEnumStruct* enumeration;
    std::uint64_t raw;
  } m_slot;
};

// Property definition entry (32 bytes; the engine reads these tables).
struct VTROPropertyDefinition {
  const char* name;                  // null ends a table
  VTROPropertyValue* defaultValue;   // set by a static initialiser
  void* reserved;                    // copied into the property, not interpreted
  std::uint32_t flags;               // bytes: must be set, changeable while running, read only, enum values fixed
  std::uint32_t hints;

  bool MustBeSet() const { return (flags & 0xFFu) != 0; }
  bool ChangeableWhileRunning() const { return ((flags >> 8) & 0xFFu) != 0; }
  bool ReadOnly() const { return ((flags >> 16) & 0xFFu) != 0; }
  bool EnumValuesFixed() const { return ((flags >> 24) & 0xFFu) != 0; }
};
static_assert(sizeof(VTROPropertyDefinition) == 32);
static_assert(offsetof(VTROPropertyDefinition, defaultValue) == 8);
static_assert(offsetof(VTROPropertyDefinition, reserved) == 16);
static_assert(offsetof(VTROPropertyDefinition, flags) == 24);
static_assert(offsetof(VTROPropertyDefinition, hints) == 28);

using VTROPropertyChangeHandler = void (*)(VTROProperty* property);
using VTROPropertyReadHook = void (*)(VTROProperty* property, const VTROPropertyValue& value);

// The property as the engine and component code see it. Slots 0 to 35 keep
// their order; 36 onwards are additions for the engine.
class VTROProperty {
 public:
  virtual void* ValueLocation() = 0;                        // 0 (enumeration: the selected index)
  virtual VTROPropertyValue ValueObject() = 0;              // 1 (enumeration: the selected text)
  virtual void* ValueSlotLocation() = 0;                    // 2
  virtual const void* ValueSlotLocation() const = 0;        // 3
  virtual std::uint64_t RawValue() const = 0;               // 4
  virtual const char* FullName() const = 0;                 // 5
  virtual const char* ShortName() const = 0;                // 6
  virtual void* Reserved() const = 0;                       // 7
  virtual VTROModule* Module() const = 0;                   // 8
  virtual std::int32_t Type() const = 0;                    // 9
  virtual std::uint32_t Hints() const = 0;                  // 10
  virtual bool IsSettable() const = 0;                      // 11
  virtual bool SetMutable(bool isMutable) = 0;              // 12
  virtual bool HasChanged() const = 0;                      // 13
  virtual void ClearChanged() = 0;                          // 14
  virtual VTROEnumStruct* PossibleValues() = 0;             // 15
  virtual const VTROEnumStruct* PossibleValues() const = 0; // 16
  // 17 to 31: typed shortcuts through the owning module's getters and setters.
  virtual bool SetEnumFromString(const char* serialized, std::int32_t selected) = 0;  // 17
  virtual bool GetBool(bool& out) = 0;                                 // 18
  virtual bool SetBool(bool value) = 0;                                // 19
  virtual bool GetInteger(std::int64_t& out) = 0;                      // 20
  virtual bool SetInteger(std::int64_t value) = 0;                     // 21
  virtual bool GetFloat(double& out) = 0;                              // 22
  virtual bool SetFloat(double value) = 0;                             // 23
  virtual bool GetString(VTROStackedString& out) = 0;                  // 24
  virtual bool SetString(const char* value) = 0;                       // 25
  virtual bool GetEnum(VTROEnumStruct& out) = 0;                       // 26
  virtual bool SetEnum(const VTROEnumStruct& value) = 0;               // 27
  virtual bool GetInteger32(std::int32_t& out) = 0;                    // 28
  virtual bool SetInteger32(std::int32_t value) = 0;                   // 29
  virtual bool GetSelectedIndex(std::int32_t& out) = 0;                // 30
  virtual bool SetSelectedIndex(std::int32_t index) = 0;               // 31
  virtual void SetChangeHandler(VTROPropertyChangeHandler handler) = 0; // 32
  virtual void SetReadHook(VTROPropertyReadHook hook) = 0;             // 33
  virtual void SetEnumValuesFixed(bool fixed) = 0;                     // 34
  virtual ~VTROProperty() = default;                                   // 35
  // Additions for the engine.
  virtual std::uint32_t Flags() const = 0;         // the four flag bytes of the definition
  virtual bool MustBeSet() const = 0;              // still blocks the start
  virtual VTROEvent* ChangedEvent() = 0;           // set by every successful set
  // Copies the value's serialized text (see VTROPropertyValue::ToText) into
  // `buffer` (always terminated when capacity > 0); returns the full length.
  virtual std::size_t FormatValue(char* buffer, std::size_t capacity) = 0;
  // Parses `text` for the property's type and sets it through the module's
  // setter (booleans: true/false/1/0; enumerations: a value or the serialized
  // form). Raises -5 like the setters; false for a text that does not parse.
  virtual bool SetFromText(const char* text) = 0;
};
