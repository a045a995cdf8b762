#include "Assert.h"
#include "BaseLib.h"

// Built from single bytes: a wider load through a misaligned pointer is
// undefined in C++, and the values read here (GUID fields, device-path
// fields) carry no alignment at all.

UINT16 UnalignedRead16(CONST VOID *Buffer) {
  ASSERT_AT("base/Unaligned", 38, Buffer != ((void *) 0));
  CONST UINT8 *Bytes = (CONST UINT8 *)Buffer;
  return (UINT16)(Bytes[0] | (Bytes[1] << 8));
}

UINT32 UnalignedRead32(CONST VOID *Buffer) {
  ASSERT_AT("base/Unaligned", 141, Buffer != ((void *) 0));
  CONST UINT8 *Bytes = (CONST UINT8 *)Buffer;
  return (UINT32)Bytes[0] | ((UINT32)Bytes[1] << 8) | ((UINT32)Bytes[2] << 16) |
         ((UINT32)Bytes[3] << 24);
}
