// The texts that "%g", "%t" and "%r" build inside an engine run.
#pragma once

#include "UefiTypes.h"

// Every engine run carries a scratch text of this many 8-bit characters; the
// longest text built into it, the GUID form, has 36 plus its terminator.
#define VALUE_TEXT_SIZE 38

// An 8-bit text and its length.
struct ValueTextResult {
  CONST CHAR8 *Text;
  UINTN Length;
};

// Each returns the 8-bit text for the slot value Slot, either built into
// ValueText by a nested engine run or a constant text, with its length: the
// nested run counts what it writes, so the engine need not count it again.
ValueTextResult BuildGuidText(CHAR8 *ValueText, UINT64 Slot);
ValueTextResult BuildTimeText(CHAR8 *ValueText, UINT64 Slot);
ValueTextResult BuildStatusText(CHAR8 *ValueText, UINT64 Slot);

// Names of success (row 0), the warnings 1 to 5 (rows 1 to 5) and the errors
// 1 to 33 (rows 6 to 38).
#define STATUS_TEXT_ROWS 39
extern CONST CHAR8 *CONST StatusTextTable[STATUS_TEXT_ROWS];
