// Runs the engine with guard bytes around its buffer and its format copied
// to the end of a readable page, and checks, on every call, the promises it
// makes whatever its input: nothing read past the format's terminator,
// nothing written outside the buffer, the result at most size - 1, the
// terminator right after the counted characters, nothing written after the
// terminator, and a refused call leaving the buffer exactly as it was.
#pragma once

#include <string>
#include <vector>

#include "Format.h"

struct Rendered {
  UINTN Count;
  std::u16string Text;  // the characters before the terminator, each widened to 16 bits
  bool Refused;         // the buffer was left untouched
};

Rendered RenderGuarded(const void *Format, bool FormatWide, bool OutputWide, UINTN BufferSize,
                       const std::vector<UINT64> &Slots);

// An 8-bit format rendered into 8-bit output, and the same format widened to
// UCS-2 and rendered into 16-bit output: the two ways the engine is called.
Rendered Render8(const std::string &Format, const std::vector<UINT64> &Slots, UINTN BufferSize = 400);
Rendered Render16(const std::u16string &Format, const std::vector<UINT64> &Slots, UINTN BufferSize = 400);

std::u16string Widen(const std::string &Text);
UINT64 PointerSlot(const void *Pointer);

// The error bit of this build's EFI_STATUS, written out: bit 63 on 64-bit
// builds, bit 31 on 32-bit ones (the -m32 tree), where a status is 32 bits.
constexpr bool Status64 = sizeof(VOID *) == 8;
constexpr UINT64 StatusErrorBit = Status64 ? 0x8000000000000000 : 0x80000000;

// Renders Format in all four combinations of format and output width and
// expects Expected from each; for ASCII formats and texts they must agree.
void ExpectEveryWidth(const std::string &Format, const std::vector<UINT64> &Slots, const std::string &Expected,
                      UINTN BufferSize = 400);

// One row of a table of formats: its name, the format, the slots and the
// text every width combination must produce.
struct FormatCase {
  const char *Name;
  std::string Format;
  std::vector<UINT64> Slots;
  std::string Expected;
};

void RunTable(const std::vector<FormatCase> &Cases);
