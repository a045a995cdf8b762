// Formatted printing to the firmware console.
#pragma once

#include "Firmware.h"
#include "Format.h"

// One print call renders into a pool buffer of this many UCS-2 characters,
// the terminator included, so no call shows more than 320 characters.
#define CONSOLE_BUFFER_CHARACTERS 321

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

// Receives a copy of every text a console took: its Count characters, without
// the terminator.
typedef VOID (*CONSOLE_COPY)(CONST CHAR16 *Text, UINTN Count);

// From now on every text that ConsolePrintList has a console take goes to
// Copy as well; a null Copy ends the copying. The console knows nothing of
// what is done with the copy (the report file keeps it).
VOID SetConsoleCopy(CONSOLE_COPY Copy);
