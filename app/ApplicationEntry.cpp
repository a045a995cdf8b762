#include "Application.h"

EFI_HANDLE AppImageHandle;
EFI_SYSTEM_TABLE *AppSystemTable;
EFI_BOOT_SERVICES *AppBootServices;

extern "C" EFI_STATUS EFIAPI ApplicationEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  // The firmware always hands over a system table with boot services; there
  // is nothing sensible to do without them, so they are not checked.
  AppImageHandle = ImageHandle;
  AppSystemTable = SystemTable;
  AppBootServices = SystemTable->BootServices;
  return PrintDevicePathNodes();
}
