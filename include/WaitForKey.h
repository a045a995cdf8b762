// The wait that quillmere.wait asks for, so that a person at the machine can
// read the report before the firmware takes the screen back.
#pragma once

#include "UefiTypes.h"

// Prints the prompt and waits for a key on the console input that arrives
// after it, or Seconds seconds when Seconds is not 0, counting down on the
// prompt's line. The firmware's watchdog is off while it waits.
VOID WaitForKey(UINT32 Seconds);
