// Formatted printing to the firmware console.
#pragma once

#include "Application.h"
#include "Format.h"

// One print call renders into a pool buffer of this many UCS-2 characters,
// the terminator included, so no call shows more than 320 characters.
#define CONSOLE_BUFFER_CHARACTERS 321

// AppBootServices->AllocatePool of boot-services data; null when the pool
// refuses.
VOID *AllocateBootPool(UINTN Size);

// Renders Format with Arguments into a fresh pool buffer and writes it to
// Console, if there is one. Returns the number of characters rendered, or 0
// when nothing could be rendered or the console refused the text.
UINTN ConsolePrintList(CONST CHAR16 *Format, EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *Console, ArgumentList Arguments);

// Prints to the system console. Format is a UCS-2 literal whose directives
// are checked against the argument types while compiling.
template <typename... Types>
inline UINTN ConsolePrint(CheckedFormat16<Types...> Format, Types... Values) {
  return WithArgumentSlots(
      [&](ArgumentList Arguments) { return ConsolePrintList(Format.Text, AppSystemTable->ConOut, Arguments); },
      Values...);
}
