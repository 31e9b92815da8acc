// An invariant of the code under test, checked by a fuzz target: a failure
// aborts with a message, so that the fuzzer reports it like a crash.
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                   \
  do {                                                                          \
    if (!(condition)) {                                                         \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                             \
    }                                                                           \
  } while (false)
