// libFuzzer target: container records through CreateContainer and every
// accessor, and raw bytes through ParseSOMEIPMessages.
#include <cstddef>
#include <cstdint>

#include "exercise.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  qtu::containers::fuzzing::ExerciseAll(data, size);
  return 0;
}
