#include "Firmware.h"

EFI_HANDLE AppImageHandle;
EFI_SYSTEM_TABLE *AppSystemTable;
EFI_BOOT_SERVICES *AppBootServices;

CONST EFI_GUID LoadedImageGuid = {0x5B1B31A1, 0x9562, 0x11D2, {0x8E, 0x3F, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B}};
CONST EFI_GUID DevicePathGuid = {0x09576E91, 0x6D3F, 0x11D2, {0x8E, 0x39, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B}};
CONST EFI_GUID DevicePathToTextGuid = {0x8B843E20, 0x8132, 0x4852, {0x90, 0xCC, 0x55, 0x1A, 0x4E, 0x4A, 0x7F, 0x1C}};
CONST EFI_GUID SimpleFileSystemGuid = {0x964E5B22, 0x6459, 0x11D2, {0x8E, 0x39, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B}};
CONST EFI_GUID BlockIoGuid = {0x964E5B21, 0x6459, 0x11D2, {0x8E, 0x39, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B}};

VOID *AllocateBootPool(UINTN Size) {
  VOID *Memory = nullptr;
  if (EFI_ERROR(AppBootServices->AllocatePool(EfiBootServicesData, Size, &Memory))) {
    return nullptr;
  }
  return Memory;
}

VOID FreeBootPool(VOID *Buffer) { AppBootServices->FreePool(Buffer); }

EFI_STATUS OpenProtocolForImage(EFI_HANDLE Handle, CONST EFI_GUID *Protocol, VOID **Interface) {
  return AppBootServices->OpenProtocol(Handle, Protocol, Interface, AppImageHandle, nullptr,
                                       EFI_OPEN_PROTOCOL_GET_PROTOCOL);
}

VOID CloseProtocolForImage(EFI_HANDLE Handle, CONST EFI_GUID *Protocol) {
  AppBootServices->CloseProtocol(Handle, Protocol, AppImageHandle, nullptr);
}

EFI_STATUS LocateDevicePathHandle(CONST EFI_GUID *Protocol, EFI_DEVICE_PATH_PROTOCOL **DevicePath,
                                  EFI_HANDLE *Device) {
  return AppBootServices->LocateDevicePath(Protocol, DevicePath, Device);
}

EFI_STATUS LocateProtocolInterface(CONST EFI_GUID *Protocol, VOID **Interface) {
  return AppBootServices->LocateProtocol(Protocol, nullptr, Interface);
}
