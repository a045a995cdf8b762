// Assertion points of the base routines.
//
// A routine asks AssertionEnabled() first and tests its expression only when
// that answers true. In this application it never does, so no assertion
// fires; the points stay in the code with their file, line and expression so
// that a build that wants them has to change these two functions only.
#pragma once

#include "UefiTypes.h"

inline BOOLEAN AssertionEnabled() { return FALSE; }

inline VOID ReportAssertion(CONST CHAR8 *SourcePath, UINTN Line, CONST CHAR8 *Expression) {
  (VOID) SourcePath;
  (VOID) Line;
  (VOID) Expression;
}

// One assertion point: the path, line and expression text are the point's own
// identity, given explicitly rather than taken from __FILE__ and __LINE__.
#define ASSERT_AT(SourcePath, Line, Expression)              \
  do {                                                       \
    if (AssertionEnabled() && !(Expression)) {               \
      ReportAssertion(SourcePath, Line, #Expression);        \
    }                                                        \
  } while (0)
