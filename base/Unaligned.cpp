#include "Assert.h"
#include "BaseLib.h"

UINT16 UnalignedRead16(CONST VOID *Buffer) {
  ASSERT_AT("base/Unaligned", 38, Buffer != ((void *) 0));
  return ReadUnaligned<UINT16>(Buffer);
}

UINT32 UnalignedRead32(CONST VOID *Buffer) {
  ASSERT_AT("base/Unaligned", 141, Buffer != ((void *) 0));
  return ReadUnaligned<UINT32>(Buffer);
}
