// Checks inside the fuzz targets: a broken check prints what broke and
// aborts, so that libFuzzer reports it and keeps the input that broke it.
#pragma once

#include <stdio.h>
#include <stdlib.h>

[[noreturn]] inline void FailFuzzCheck(const char *What, const char *File, int Line) {
  fprintf(stderr, "%s:%d: check failed: %s\n", File, Line, What);
  abort();
}

#define CHECK(Condition)                                 \
  do {                                                   \
    if (!(Condition)) {                                  \
      FailFuzzCheck(#Condition, __FILE__, __LINE__);     \
    }                                                    \
  } while (0)
