// Hand-made packages without the framework, each misbehaving in one way the
// engine must survive (chosen by a compile definition):
//   FAKE_REFUSE      VTROPckInit answers 0
//   FAKE_OVERFILL    the fill answers more records than the count announced
//   FAKE_NULL_RECORD the fill hands out a null record
//   FAKE_COUNTS      a record whose table counts are -1, -7 and above the table length
#include <cstdint>
#include <cstring>

#include "definition_layout.h"

namespace {

using vtro_engine::RawComponentDefinition;
using vtro_engine::RawInputEntry;
using vtro_engine::RawOutputEntry;
using vtro_engine::RawPropertyEntry;
using vtro_engine::RawActionEntry;

const RawInputEntry g_inputs[] = {{"a", 0, nullptr, 0, 1}, {"b", 0, nullptr, 4, 1}, {nullptr, 0, nullptr, 0, 0}};
const RawOutputEntry g_outputs[] = {{"o", 0, 0x8000, nullptr, nullptr, 1, 16, 1, 1},
                                    {nullptr, 0, 0, nullptr, nullptr, 0, 0, 0, 0}};
const RawPropertyEntry g_properties[] = {{nullptr, nullptr, 0, 0, 0, 0, 0, 0}};
const RawActionEntry g_actions[] = {{"x", nullptr, 0, {0}}, {"y", nullptr, 1, {0}}, {nullptr, nullptr, 0, {0}}};

RawComponentDefinition MakeRecord() {
  RawComponentDefinition d;
  std::memset(&d, 0, sizeof d);
  d.name = "FakeModel";
  d.version = "0.0.1";
  d.inputCount = -1;
  d.inputs = g_inputs;
  d.outputCount = -7;
  d.outputs = g_outputs;
  d.propertyCount = 3;
  d.properties = g_properties;
  d.actionCount = 9;
  d.actions = g_actions;
  d.priority = 128;
  d.threading = 1;
  d.threadedDefault = 1;
  return d;
}

RawComponentDefinition g_record = MakeRecord();

}  // namespace

extern "C" __attribute__((visibility("default"))) int32_t VTROPckInit(void*, int32_t code) {
#if defined(FAKE_REFUSE)
  (void)code;
  return 0;
#else
  return code == 0x804A8 ? 4 : 0;
#endif
}

extern "C" __attribute__((visibility("default"))) int32_t VTROGetModulesDefStruct(const char*, void** records,
                                                                                 int32_t capacity) {
  if (records == nullptr) {
    return 1;
  }
  if (capacity < 1) {
    return 0;
  }
#if defined(FAKE_NULL_RECORD)
  records[0] = nullptr;
  return 1;
#elif defined(FAKE_OVERFILL)
  records[0] = &g_record;
  return 5;
#else
  records[0] = &g_record;
  return 1;
#endif
}
