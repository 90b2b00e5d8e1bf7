// The fuzz targets' assertion: a broken property must stop the run so that
// libFuzzer keeps the input, in every build type (assert vanishes under NDEBUG).
#pragma once

#define FUZZ_CHECK(condition) \
  do {                        \
    if (!(condition)) {       \
      __builtin_trap();       \
    }                         \
  } while (0)
