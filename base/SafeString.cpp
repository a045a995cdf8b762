#include "Assert.h"
#include "BaseLib.h"

UINTN BoundedLength16(CONST CHAR16 *String, UINTN MaxSize) {
  if (String == nullptr || MaxSize == 0) {
    return 0;
  }
  ASSERT_AT("base/SafeString", 128, ((UINTN) String & 0x00000001) == 0);
  // A UCS-2 string handed to the engine may start at an odd address (the
  // assertion above only reports it), so each unit is put together from its
  // two bytes instead of being loaded as a CHAR16.
  CONST UINT8 *Bytes = (CONST UINT8 *)String;
  auto IsZero = [Bytes](UINTN Index) { return (Bytes[2 * Index] | Bytes[2 * Index + 1]) == 0; };
  UINTN Length = 0;
  // Four units a step while four more may be read, then one at a time.
  for (; MaxSize - Length >= 4; Length += 4) {
    if (IsZero(Length)) return Length;
    if (IsZero(Length + 1)) return Length + 1;
    if (IsZero(Length + 2)) return Length + 2;
    if (IsZero(Length + 3)) return Length + 3;
  }
  while (Length < MaxSize && !IsZero(Length)) {
    Length++;
  }
  return Length;
}

UINTN BoundedLength8(CONST CHAR8 *String, UINTN MaxSize) {
  if (String == nullptr || MaxSize == 0) {
    return 0;
  }
  UINTN Length = 0;
  for (; MaxSize - Length >= 4; Length += 4) {
    if (String[Length] == 0) return Length;
    if (String[Length + 1] == 0) return Length + 1;
    if (String[Length + 2] == 0) return Length + 2;
    if (String[Length + 3] == 0) return Length + 3;
  }
  while (Length < MaxSize && String[Length] != 0) {
    Length++;
  }
  return Length;
}
