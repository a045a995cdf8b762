#include "WaitForKey.h"

#include "Console.h"

namespace {

// Keys read and dropped before the prompt at most: enough for anything typed
// ahead, and an end should the firmware never run out of them.
#define KEYS_DROPPED_MAX 64

}  // namespace

VOID WaitForKey(UINT32 Seconds) {
  EFI_SIMPLE_TEXT_INPUT_PROTOCOL *Input = AppSystemTable->ConIn;
  if (Input == nullptr) {
    ConsolePrint(u"quillmere.wait failed (%r)\n", EFI_UNSUPPORTED);
    return;
  }
  // Keys typed before the prompt, or left over from the boot menu, are not
  // an answer to it.
  EFI_INPUT_KEY Key;
  for (UINTN Dropped = 0; Dropped < KEYS_DROPPED_MAX && !EFI_ERROR(Input->ReadKeyStroke(Input, &Key)); Dropped++) {
  }

  EFI_EVENT Events[2] = {Input->WaitForKey, nullptr};
  UINTN EventCount = 1;
  EFI_STATUS Status = EFI_SUCCESS;
  if (Seconds != 0) {
    Status = AppBootServices->CreateEvent(EVT_TIMER, TPL_CALLBACK, nullptr, nullptr, &Events[1]);
    if (EFI_ERROR(Status)) {
      Events[1] = nullptr;
    } else {
      EventCount = 2;
      Status = AppBootServices->SetTimer(Events[1], TimerPeriodic, TIMER_TICKS_PER_SECOND);
    }
  }

  // The boot manager's watchdog would reset the machine under a person still
  // reading; it is off while the prompt waits. Its time left cannot be read
  // back, so on the way out it is armed again for the boot manager's full
  // five minutes: as the boot manager set it for this image, and the boot
  // manager turns it off itself once the image has returned. (Started from a
  // shell, which had turned it off, the shell then runs under it again.)
  // Without quillmere.wait it is never touched.
  AppBootServices->SetWatchdogTimer(0, 0, 0, nullptr);
  UINT32 Left = Seconds;
  BOOLEAN Prompt = TRUE;
  while (!EFI_ERROR(Status)) {
    if (Prompt) {
      // The count is written over on the prompt's own line.
      ConsolePrint(u"\rPress a key to return to the firmware");
      if (Seconds != 0) {
        ConsolePrint(u" (%u s) ", Left);
      }
    }
    UINTN Index = 0;
    Status = AppBootServices->WaitForEvent(EventCount, Events, &Index);
    if (EFI_ERROR(Status)) {
      break;
    }
    if (Index == 0) {
      // The key event can be signalled by a key the firmware then keeps to
      // itself; only a key read ends the wait.
      Prompt = FALSE;
      if (!EFI_ERROR(Input->ReadKeyStroke(Input, &Key))) {
        break;
      }
    } else {
      Prompt = TRUE;
      if (--Left == 0) {
        break;
      }
    }
  }
  ConsolePrint(u"\n");
  if (EFI_ERROR(Status)) {
    ConsolePrint(u"quillmere.wait failed (%r)\n", Status);
  }
  if (Events[1] != nullptr) {
    AppBootServices->CloseEvent(Events[1]);
  }
  AppBootServices->SetWatchdogTimer(BOOT_MANAGER_WATCHDOG_SECONDS, 0, 0, nullptr);
}
