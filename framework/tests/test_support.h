// Helpers shared by the framework tests.
#pragma once

namespace vtro_test {

// Catches the integer a framework call raises; 0 when it returned.
template <class F>
int Raised(F&& call) {
  try {
    call();
  } catch (int code) {
    return code;
  }
  return 0;
}

}  // namespace vtro_test
