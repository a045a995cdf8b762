#include "Assert.h"
#include "BaseLib.h"

UINTN BoundedLength16(CONST CHAR16 *String, UINTN MaxSize) {
  if (String == nullptr || MaxSize == 0) {
    return 0;
  }
  ASSERT_AT("base/SafeString", 128, ((UINTN) String & 0x00000001) == 0);
  // A UCS-2 string handed to the engine may start at an odd address (the
  // assertion above only reports it), so its units are read unaligned.
  CONST UINT8 *Bytes = (CONST UINT8 *)String;
  UINTN Length = 0;
  while (Length < MaxSize && ReadUnaligned<UINT16>(Bytes + 2 * Length) != 0) {
    Length++;
  }
  return Length;
}

UINTN BoundedLength8(CONST CHAR8 *String, UINTN MaxSize) {
  if (String == nullptr || MaxSize == 0) {
    return 0;
  }
  UINTN Length = 0;
  // Four characters a step while four more are allowed: one bound check for
  // four reads, and never a read past the terminator; the loop after it
  // finds which of the four was the terminator.
  for (; MaxSize - Length >= 4; Length += 4) {
    if (String[Length] == 0 || String[Length + 1] == 0 || String[Length + 2] == 0 || String[Length + 3] == 0) {
      break;
    }
  }
  while (Length < MaxSize && String[Length] != 0) {
    Length++;
  }
  return Length;
}
