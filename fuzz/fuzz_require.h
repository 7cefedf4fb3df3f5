// The fuzz targets' own checks: a failed one stops the run like a crash, so
// libFuzzer keeps the input that caused it.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace tamsorel::fuzz {

inline void Require(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
  }
}

}  // namespace tamsorel::fuzz
