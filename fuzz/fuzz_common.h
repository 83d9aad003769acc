// Helpers shared by the fuzz targets.
#pragma once

#include <cstdio>
#include <cstdlib>

#include <fuzzer/FuzzedDataProvider.h>

namespace vantrel::fuzz {

// A violated property: report it and abort so libFuzzer keeps the input.
[[noreturn]] inline void property_failed(const char* what) {
  std::fprintf(stderr, "fuzz property violated: %s\n", what);
  std::abort();
}

inline void require(bool holds, const char* what) {
  if (!holds) property_failed(what);
}

}  // namespace vantrel::fuzz
