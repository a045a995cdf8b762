#include "Console.h"

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
    }
  }
  // Also with the null pointer of a failed allocation, which the firmware
  // refuses harmlessly: that saves a test on the path every print takes.
  AppBootServices->FreePool(Buffer);
  return Count;
}
