// A broken property names itself and aborts, so that libFuzzer stops and keeps the input that
// broke it. Unlike assert, it stays in every build type.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(property) \
  ((property) ? void() : (std::fprintf(stderr, "broken: %s\n", #property), std::abort()))
