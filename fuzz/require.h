// Property checks for the fuzz targets. A broken property names itself on standard error and
// aborts, so that libFuzzer stops and keeps the input that broke it.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace quenwick::fuzz {

[[noreturn]] inline void propertyBroken(const char* property, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: property broken: %s\n", file, line, property);
  std::abort();
}

}  // namespace quenwick::fuzz

#define FUZZ_REQUIRE(property)                                         \
  do {                                                                 \
    if (!(property)) {                                                 \
      ::quenwick::fuzz::propertyBroken(#property, __FILE__, __LINE__); \
    }                                                                  \
  } while (false)
