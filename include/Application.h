// The application: its entry point and the device-path report.
#pragma once

#include "Firmware.h"

// The image entry point. C linkage, so that the linker finds it by this name.
// It keeps the firmware's handle and tables (Firmware.h) and runs the whole
// program in order: the Loaded Image, the options, the report file, the
// report, the closes and the wait.
extern "C" EFI_STATUS EFIAPI ApplicationEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);

// The most nodes the report looks at in one device path. A real path has a
// handful; a path that reaches this many without an end node is broken, and
// the node at this count is reported as the one the walk stopped at.
#define DEVICE_PATH_WALK_MAX_NODES 256

// The report: prints the heading, then, for the device LoadedImage was loaded
// from, one line per device-path node, the partition block of every
// hard-drive node and the path's text form; with Verify, after every
// hard-drive node's block and every CD-ROM node's line, what the disk behind
// it says of it (DiskCheck.h). A null LoadedImage (its open failed or handed
// over nothing) gets the heading alone. Opens and closes the Device Path
// protocol itself. Returns EFI_SUCCESS.
EFI_STATUS PrintDevicePathNodes(CONST EFI_LOADED_IMAGE_PROTOCOL *LoadedImage, BOOLEAN Verify);
