// The root folder of the volume the image was loaded from, where the options
// file is read and the report file written.
#pragma once

#include "Uefi.h"

// The root folder of the volume on DeviceHandle, or null (with *Status
// saying why) when it has no file system. CloseVolumeRoot undoes it; a null
// Root closes nothing.
EFI_FILE_PROTOCOL *OpenVolumeRoot(EFI_HANDLE DeviceHandle, EFI_STATUS *Status);
VOID CloseVolumeRoot(EFI_HANDLE DeviceHandle, EFI_FILE_PROTOCOL *Root);
