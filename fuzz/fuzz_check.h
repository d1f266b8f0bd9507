// The one way a fuzz target reports a broken invariant: a line on standard
// error naming the check, then a trap, which libFuzzer records as a crash and
// saves the input for.
#pragma once

#include <cstdio>

#define HARLO_FUZZ_CHECK(condition, what)                                                  \
  do {                                                                                     \
    if (!(condition)) {                                                                    \
      std::fprintf(stderr, "%s:%d: invariant broken: %s (%s)\n", __FILE__, __LINE__, what, \
                   #condition);                                                            \
      __builtin_trap();                                                                    \
    }                                                                                      \
  } while (false)
