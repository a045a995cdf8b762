// Small arithmetic, string and memory routines beneath the format engine.
#pragma once

#include "UefiTypes.h"

// Quotient of Dividend / Divisor; the remainder goes to *Remainder when that
// is not null.
UINT64 DivU64x32Remainder(UINT64 Dividend, UINT32 Divisor, UINT32 *Remainder);
// The same in 32-bit operations only, without a divide instruction: what
// DivU64x32Remainder does on 32-bit builds. Remainder must not be null.
UINT64 DivU64x32InHalves(UINT64 Dividend, UINT32 Divisor, UINT32 *Remainder);

// Index of the first zero character among the first MaxSize characters, or
// MaxSize when there is none; 0 for a null String or a MaxSize of 0. Nothing
// past the first MaxSize characters is read.
UINTN BoundedLength16(CONST CHAR16 *String, UINTN MaxSize);
UINTN BoundedLength8(CONST CHAR8 *String, UINTN MaxSize);

// The little-endian value at Buffer, whatever its alignment.
UINT16 UnalignedRead16(CONST VOID *Buffer);
UINT32 UnalignedRead32(CONST VOID *Buffer);
