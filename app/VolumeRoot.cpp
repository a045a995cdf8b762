#include "VolumeRoot.h"

#include "Firmware.h"

EFI_FILE_PROTOCOL *OpenVolumeRoot(EFI_HANDLE DeviceHandle, EFI_STATUS *Status) {
  EFI_SIMPLE_FILE_SYSTEM_PROTOCOL *FileSystem = nullptr;
  *Status = OpenProtocolForImage(DeviceHandle, &SimpleFileSystemGuid, (VOID **)&FileSystem);
  if (EFI_ERROR(*Status)) {
    return nullptr;
  }
  EFI_FILE_PROTOCOL *Root = nullptr;
  if (FileSystem == nullptr) {
    *Status = EFI_UNSUPPORTED;
  } else {
    *Status = FileSystem->OpenVolume(FileSystem, &Root);
  }
  if (EFI_ERROR(*Status) || Root == nullptr) {
    // Whatever a refusal left in Root is not a folder.
    *Status = EFI_ERROR(*Status) ? *Status : EFI_UNSUPPORTED;
    CloseProtocolForImage(DeviceHandle, &SimpleFileSystemGuid);
    return nullptr;
  }
  return Root;
}

VOID CloseVolumeRoot(EFI_HANDLE DeviceHandle, EFI_FILE_PROTOCOL *Root) {
  if (Root != nullptr) {
    Root->Close(Root);
    CloseProtocolForImage(DeviceHandle, &SimpleFileSystemGuid);
  }
}
