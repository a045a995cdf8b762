// A plain model of the format engine that the tests compare it with. It
// reads the format language on its own and shares no table, parser, value
// text or helper with the engine: it includes no engine header, so a fault
// in the engine's grammar or texts cannot be made the same way by both.
#pragma once

#include <stddef.h>

#include <vector>

#include "UefiTypes.h"

// Renders exactly as RenderFormat must: the same bytes written and the same
// result, for the caller's Flags (0x40: 16-bit output, 0x100: UCS-2 format)
// and SlotCount 8-byte argument slots. A slot past the last reads 0.
UINTN ReferenceRenderFormat(VOID *Buffer, UINTN BufferSize, UINTN Flags, CONST VOID *Format, CONST UINT64 *Slots,
                            UINTN SlotCount);

// What an argument slot holds, as the model reads the format language.
enum class ModelSlot : UINT8 {
  Star,       // the width or precision of a "*"
  Number,     // "d", "u", "x", "X", "p"
  Character,  // "c"
  Text16,     // "s", "S"
  Text8,      // "a"
  Guid,       // "g"
  Time,       // "t"
  Status,     // "r"
};

// The slots a format takes, in the order it takes them. Units are the
// format's characters; the format ends at the first zero or after the last.
std::vector<ModelSlot> ReferenceSlotUses(const UINT16 *Units, size_t Count);
