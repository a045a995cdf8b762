#include "ValueText.h"

#include "BaseLib.h"
#include "Format.h"

namespace {

// A constant text, its length known while compiling.
template <UINTN Size>
constexpr ValueTextResult ConstantText(CONST CHAR8 (&Text)[Size]) {
  return {Text, Size - 1};
}

// The status name in row Row of StatusTextTable, with its length.
ValueTextResult StatusName(UINTN Row) {
  return {StatusTextTable[Row], CharacterCount(StatusTextTable[Row], FALSE, ~(UINTN)0)};
}

}  // namespace

ValueTextResult BuildGuidText(CHAR8 *ValueText, UINT64 Slot) {
  CONST UINT8 *Guid = (CONST UINT8 *)(UINTN)Slot;
  if (Guid == nullptr) {
    return ConstantText("<null guid>");
  }
  // Data1..Data3 are numbers, most significant digit first; the Data4 bytes
  // keep their memory order. The numbers are read before the bytes, so that
  // few values wait in this frame across the reads: it lies on the deepest
  // stack of a console print.
  UINT32 Data1 = UnalignedRead32(Guid);
  UINT16 Data2 = UnalignedRead16(Guid + 4);
  UINT16 Data3 = UnalignedRead16(Guid + 6);
  UINTN Length = FormatToBuffer(ValueText, VALUE_TEXT_SIZE, 0, "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x",
                                Data1, Data2, Data3, Guid[8], Guid[9], Guid[10], Guid[11], Guid[12], Guid[13], Guid[14],
                                Guid[15]);
  return {ValueText, Length};
}

ValueTextResult BuildTimeText(CHAR8 *ValueText, UINT64 Slot) {
  CONST UINT8 *Time = (CONST UINT8 *)(UINTN)Slot;
  if (Time == nullptr) {
    return ConstantText("<null time>");
  }
  // Only Year, Month, Day, Hour and Minute are shown; none is held to a
  // calendar range, a larger value just shows all its digits.
  UINTN Length = FormatToBuffer(ValueText, VALUE_TEXT_SIZE, 0, "%02d/%02d/%04d  %02d:%02d", Time[2], Time[3],
                                UnalignedRead16(Time), Time[4], Time[5]);
  return {ValueText, Length};
}

ValueTextResult BuildStatusText(CHAR8 *ValueText, UINT64 Slot) {
  // The slot is read as an EFI_STATUS, a UINTN: on 64-bit builds all of it;
  // on 32-bit builds its low 32 bits, where a 32-bit firmware's status sits
  // (zero-extended into the 8-byte slot, or sign-extended when it was passed
  // as a signed int), and the error bit is bit 31. So every status the
  // firmware can return keeps its name on every architecture: EFI_UNSUPPORTED
  // is 0x8000000000000003 on x86-64 and 0x80000003 on IA32, "Unsupported" on
  // both. The slots stay 8 bytes wide for every conversion.
  EFI_STATUS Status = (EFI_STATUS)Slot;
  if ((Status & EFI_ERROR_BIT) != 0) {
    EFI_STATUS Code = Status & ~EFI_ERROR_BIT;
    if (Code - 1 <= 32) {  // 1 to 33; code 0 wraps around and has no row
      return StatusName((UINTN)Code + 5);
    }
  } else if (Status <= 5) {
    return StatusName((UINTN)Status);
  }
  // Without a length letter "%08X" takes the low 32 bits of its slot, so the
  // fallback is always exactly eight digits.
  return {ValueText, FormatToBuffer(ValueText, VALUE_TEXT_SIZE, 0, "%08X", Slot)};
}
