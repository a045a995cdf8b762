// The application: its entry point, the firmware handle and tables it keeps,
// and the device-path report.
#pragma once

#include "Uefi.h"

// Written once at entry, before anything else runs, and only read afterwards.
extern EFI_HANDLE AppImageHandle;
extern EFI_SYSTEM_TABLE *AppSystemTable;
extern EFI_BOOT_SERVICES *AppBootServices;

// The image entry point. C linkage, so that the linker finds it by this name.
extern "C" EFI_STATUS EFIAPI ApplicationEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);

// The most nodes the report looks at in one device path. A real path has a
// handful; a path that reaches this many without an end node is broken, and
// the node at this count is reported as the one the walk stopped at.
#define DEVICE_PATH_WALK_MAX_NODES 256

// Lists the device path of the device this image was loaded from, one line
// per node, then its text form, with what the options (Options.h) ask for
// around it. Returns EFI_SUCCESS, or the status of a report file that could
// not be written.
EFI_STATUS PrintDevicePathNodes();
