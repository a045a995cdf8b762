#include "Options.h"

namespace {

CONST EFI_GUID SimpleFileSystemGuid = {0x964E5B22, 0x6459, 0x11D2, {0x8E, 0x39, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B}};

}  // namespace

EFI_FILE_PROTOCOL *OpenVolumeRoot(EFI_HANDLE DeviceHandle, EFI_STATUS *Status) {
  EFI_SIMPLE_FILE_SYSTEM_PROTOCOL *FileSystem = nullptr;
  *Status = AppBootServices->OpenProtocol(DeviceHandle, &SimpleFileSystemGuid, (VOID **)&FileSystem, AppImageHandle,
                                          nullptr, EFI_OPEN_PROTOCOL_GET_PROTOCOL);
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
    AppBootServices->CloseProtocol(DeviceHandle, &SimpleFileSystemGuid, AppImageHandle, nullptr);
    return nullptr;
  }
  return Root;
}

VOID CloseVolumeRoot(EFI_HANDLE DeviceHandle, EFI_FILE_PROTOCOL *Root) {
  if (Root != nullptr) {
    Root->Close(Root);
    AppBootServices->CloseProtocol(DeviceHandle, &SimpleFileSystemGuid, AppImageHandle, nullptr);
  }
}
