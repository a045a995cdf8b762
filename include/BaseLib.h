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
// The same for a String that is not null, of 8-bit characters or, with Wide,
// of 16-bit units at any address, without BoundedLength16's assertion: the
// engine counts its argument texts with it.
UINTN CharacterCount(CONST VOID *String, BOOLEAN Wide, UINTN MaxSize);

// The one way unaligned data is read here: the little-endian integer of type
// Type (16, 32 or 64 bits) at Field, whatever its alignment. Device-path
// fields, GUIDs and UCS-2 units handed to the engine carry no alignment, and
// a wider load through a misaligned pointer is undefined in C++. The copy is
// one load where the machine allows unaligned loads and bytes where it does
// not (the image's flags say which); every image target is little-endian, as
// UEFI requires.
template <typename Type>
inline Type ReadUnaligned(CONST VOID *Field) {
  static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "fields are stored low byte first");
  static_assert(sizeof(Type) == 2 || sizeof(Type) == 4 || sizeof(Type) == 8, "an integer field");
  Type Value;
  __builtin_memcpy(&Value, Field, sizeof Value);
  return Value;
}

// The GUID whose 16 bytes start at Field, at any address, as an aligned
// EFI_GUID. Read as three numbers and eight bytes: one copy of 16 bytes
// from a misaligned address would be a call to memcpy, which the image does
// not have, on the machines that read such an address a byte at a time.
inline EFI_GUID ReadUnalignedGuid(CONST VOID *Field) {
  CONST UINT8 *Bytes = (CONST UINT8 *)Field;
  EFI_GUID Guid;
  Guid.Data1 = ReadUnaligned<UINT32>(Bytes);
  Guid.Data2 = ReadUnaligned<UINT16>(Bytes + 4);
  Guid.Data3 = ReadUnaligned<UINT16>(Bytes + 6);
  // The Data4 bytes keep their memory order: as a little-endian number
  // stored back, they come out as they went in.
  UINT64 Data4 = ReadUnaligned<UINT64>(Bytes + 8);
  __builtin_memcpy(Guid.Data4, &Data4, sizeof Data4);
  return Guid;
}

// The little-endian value at Buffer, whatever its alignment: ReadUnaligned
// behind the assertion that Buffer is not null.
UINT16 UnalignedRead16(CONST VOID *Buffer);
UINT32 UnalignedRead32(CONST VOID *Buffer);
