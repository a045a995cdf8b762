#include "Console.h"
#include "Options.h"

VOID *AllocateBootPool(UINTN Size) {
  VOID *Memory = nullptr;
  if (EFI_ERROR(AppBootServices->AllocatePool(EfiBootServicesData, Size, &Memory))) {
    return nullptr;
  }
  return Memory;
}

UINTN ConsolePrintList(CONST CHAR16 *Format, EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *Console, ArgumentList Arguments) {
  CHAR16 *Buffer = (CHAR16 *)AllocateBootPool(CONSOLE_BUFFER_CHARACTERS * sizeof(CHAR16));
  // A null buffer is refused by the engine, which then renders nothing.
  UINTN Count =
      RenderFormat(Buffer, CONSOLE_BUFFER_CHARACTERS, FORMAT_FORMAT_WIDE | FORMAT_OUTPUT_WIDE, Format, Arguments);
  if (Console != nullptr && Count > 0) {
    if (EFI_ERROR(Console->OutputString(Console, Buffer))) {
      Count = 0;
    } else {
      // The report file, when there is one, gets what the console took.
      WriteReportText(Buffer, Count);
    }
  }
  // Also with the null pointer of a failed allocation: the firmware refuses
  // it, and that status is of no interest here.
  AppBootServices->FreePool(Buffer);
  return Count;
}
