#include "Console.h"

namespace {

CONSOLE_COPY ConsoleCopy;

}  // namespace

VOID SetConsoleCopy(CONSOLE_COPY Copy) { ConsoleCopy = Copy; }

UINTN ConsolePrintList(CONST CHAR16 *Format, EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *Console, ArgumentList Arguments) {
  CHAR16 *Buffer = (CHAR16 *)AllocateBootPool(CONSOLE_BUFFER_CHARACTERS * sizeof(CHAR16));
  // A null buffer is refused by the engine, which then renders nothing.
  UINTN Count =
      RenderFormat(Buffer, CONSOLE_BUFFER_CHARACTERS, FORMAT_FORMAT_WIDE | FORMAT_OUTPUT_WIDE, Format, Arguments);
  if (Console != nullptr && Count > 0) {
    if (EFI_ERROR(Console->OutputString(Console, Buffer))) {
      Count = 0;
    } else if (ConsoleCopy != nullptr) {
      // The copy gets what the console took, and only that.
      ConsoleCopy(Buffer, Count);
    }
  }
  // Also with the null pointer of a failed allocation: the firmware refuses
  // it, and that status is of no interest here.
  FreeBootPool(Buffer);
  return Count;
}
