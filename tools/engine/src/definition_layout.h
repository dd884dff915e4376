// The component definition record and its table entries as the engine reads
// them: fixed x86-64 layouts, read through these structures only.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vtro_engine {

using ComponentFactory = void* (*)(const char* instanceName, void* definition);

struct RawComponentDefinition {
  const char* name;
  const char* version;
  ComponentFactory factory;
  uint64_t reserved0;
  uint64_t reserved1;
  uint32_t reserved2;
  int32_t inputCount;
  const void* inputs;
  int32_t outputCount;
  uint32_t zero0;
  const void* outputs;
  int32_t propertyCount;
  uint32_t zero1;
  const void* properties;
  int32_t actionCount;
  uint32_t zero2;
  const void* actions;
  uint16_t priority;
  uint16_t zero3;
  uint32_t threading;  // bit 0 threaded allowed, bit 1 sequential allowed
  uint8_t threadedDefault;
  uint8_t zero4[7];
  const char* marker;
};
static_assert(sizeof(RawComponentDefinition) == 128);
static_assert(offsetof(RawComponentDefinition, factory) == 16);
static_assert(offsetof(RawComponentDefinition, inputCount) == 44);
static_assert(offsetof(RawComponentDefinition, inputs) == 48);
static_assert(offsetof(RawComponentDefinition, outputCount) == 56);
static_assert(offsetof(RawComponentDefinition, outputs) == 64);
static_assert(offsetof(RawComponentDefinition, propertyCount) == 72);
static_assert(offsetof(RawComponentDefinition, properties) == 80);
static_assert(offsetof(RawComponentDefinition, actionCount) == 88);
static_assert(offsetof(RawComponentDefinition, actions) == 96);
static_assert(offsetof(RawComponentDefinition, priority) == 104);
static_assert(offsetof(RawComponentDefinition, threading) == 108);
static_assert(offsetof(RawComponentDefinition, threadedDefault) == 112);
static_assert(offsetof(RawComponentDefinition, marker) == 120);

inline constexpr uint32_t kThreadedAllowed = 1;
inline constexpr uint32_t kSequentialAllowed = 2;

// Entry strides of the four tables; every entry starts with its name pointer
// and a null name ends the table.
inline constexpr size_t kInputEntrySize = 32;
inline constexpr size_t kOutputEntrySize = 56;
inline constexpr size_t kPropertyEntrySize = 32;
inline constexpr size_t kActionEntrySize = 24;

struct RawInputEntry {
  const char* name;
  uint64_t reserved;
  const void* filter;  // type filter: mask at offset 16, structure names at 24
  int32_t readerType;
  int32_t subsampling;
};
static_assert(sizeof(RawInputEntry) == kInputEntrySize);

struct RawTypeFilter {
  uint64_t reserved0;
  uint64_t reserved1;
  uint64_t mask;
  const char* structureNames;
  uint64_t reserved2[3];
};
static_assert(sizeof(RawTypeFilter) == 56);
static_assert(offsetof(RawTypeFilter, mask) == 16);

struct RawOutputEntry {
  const char* name;
  uint64_t reserved;
  uint64_t mask;
  const void* structureName;
  const void* secondName;
  int32_t bufferSize;
  int32_t fifoSize;
  int32_t subsampling;
  int32_t onOff;
};
static_assert(sizeof(RawOutputEntry) == kOutputEntrySize);
static_assert(offsetof(RawOutputEntry, bufferSize) == 40);

struct RawPropertyEntry {
  const char* name;
  const void* defaultValue;
  uint64_t reserved;
  uint8_t mustBeSet;
  uint8_t changeableWhileRunning;
  uint8_t readOnly;
  uint8_t enumFixed;
  uint32_t hints;
};
static_assert(sizeof(RawPropertyEntry) == kPropertyEntrySize);
static_assert(offsetof(RawPropertyEntry, mustBeSet) == 24);
static_assert(offsetof(RawPropertyEntry, hints) == 28);

struct RawActionEntry {
  const char* name;
  const void* callback;
  uint8_t allowedWhileNotRunning;
  uint8_t zero[7];
};
static_assert(sizeof(RawActionEntry) == kActionEntrySize);

// Number of entries before the null-name entry of a table (0 for no table).
size_t CountEntries(const void* table, size_t stride);
// A definition count resolved to an entry number: negative means every entry;
// a count above the table's length is cut to it.
int32_t ResolveCount(int32_t count, size_t entries);

}  // namespace vtro_engine
