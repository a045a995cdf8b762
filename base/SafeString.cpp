#include "Assert.h"
#include "BaseLib.h"

namespace {

// Four characters a step while four more are allowed: one bound check for
// four reads, and never a read past the terminator; the loop after it finds
// which of the four was the terminator.
template <BOOLEAN Wide>
UINTN CountUnits(CONST UINT8 *String, UINTN MaxSize) {
  auto Unit = [String](UINTN Index) -> UINT16 {
    return Wide ? ReadUnaligned<UINT16>(String + 2 * Index) : String[Index];
  };
  UINTN Length = 0;
  for (; MaxSize - Length >= 4; Length += 4) {
    if (Unit(Length) == 0 || Unit(Length + 1) == 0 || Unit(Length + 2) == 0 || Unit(Length + 3) == 0) {
      break;
    }
  }
  while (Length < MaxSize && Unit(Length) != 0) {
    Length++;
  }
  return Length;
}

}  // namespace

UINTN CharacterCount(CONST VOID *String, BOOLEAN Wide, UINTN MaxSize) {
  return Wide ? CountUnits<TRUE>((CONST UINT8 *)String, MaxSize) : CountUnits<FALSE>((CONST UINT8 *)String, MaxSize);
}

UINTN BoundedLength16(CONST CHAR16 *String, UINTN MaxSize) {
  if (String == nullptr || MaxSize == 0) {
    return 0;
  }
  ASSERT_AT("base/SafeString", 128, ((UINTN) String & 0x00000001) == 0);
  // A UCS-2 string handed to the engine may start at an odd address (the
  // assertion above only reports it), so its units are read unaligned.
  return CountUnits<TRUE>((CONST UINT8 *)String, MaxSize);
}

UINTN BoundedLength8(CONST CHAR8 *String, UINTN MaxSize) {
  if (String == nullptr || MaxSize == 0) {
    return 0;
  }
  return CountUnits<FALSE>((CONST UINT8 *)String, MaxSize);
}
