// The thin layer between the application and the firmware: the handle and
// tables handed over at entry, the protocol GUIDs, pool memory and the opens
// and closes of protocol interfaces. The application and the console reach
// the boot services through it; only the wait for a key (WaitForKey.cpp)
// calls the event, timer and watchdog services, which nothing else uses.
#pragma once

#include "Uefi.h"

// Written once at entry (ApplicationEntry), before anything else runs, and
// only read afterwards.
extern EFI_HANDLE AppImageHandle;
extern EFI_SYSTEM_TABLE *AppSystemTable;
extern EFI_BOOT_SERVICES *AppBootServices;

// The protocols this application opens or locates, each defined once.
extern CONST EFI_GUID LoadedImageGuid;
extern CONST EFI_GUID DevicePathGuid;
extern CONST EFI_GUID DevicePathToTextGuid;
extern CONST EFI_GUID SimpleFileSystemGuid;
extern CONST EFI_GUID BlockIoGuid;

// AppBootServices->AllocatePool of boot-services data; null when the pool
// refuses.
VOID *AllocateBootPool(UINTN Size);
// Gives Buffer back to the pool. A null Buffer goes to the firmware too, which
// refuses it harmlessly; the status is of no interest to any caller.
VOID FreeBootPool(VOID *Buffer);

// Opens Protocol on Handle for this image: the image is the agent, there is no
// controller, and the interface is only got (EFI_OPEN_PROTOCOL_GET_PROTOCOL).
// Every open that did not fail is closed with CloseProtocolForImage, also
// one that handed over a null interface.
EFI_STATUS OpenProtocolForImage(EFI_HANDLE Handle, CONST EFI_GUID *Protocol, VOID **Interface);
VOID CloseProtocolForImage(EFI_HANDLE Handle, CONST EFI_GUID *Protocol);

// The handle with Protocol whose device path is the longest run of whole
// nodes at the start of *DevicePath; *DevicePath is moved past that run.
EFI_STATUS LocateDevicePathHandle(CONST EFI_GUID *Protocol, EFI_DEVICE_PATH_PROTOCOL **DevicePath,
                                  EFI_HANDLE *Device);

// The first interface of Protocol that the firmware knows of. Nothing is
// opened, so nothing is closed.
EFI_STATUS LocateProtocolInterface(CONST EFI_GUID *Protocol, VOID **Interface);
