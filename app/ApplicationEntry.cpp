#include "Application.h"
#include "Options.h"
#include "ReportFile.h"
#include "VolumeRoot.h"
#include "WaitForKey.h"

extern "C" EFI_STATUS EFIAPI ApplicationEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  // The firmware always hands over a system table with boot services; there
  // is nothing sensible to do without them, so they are not checked.
  AppImageHandle = ImageHandle;
  AppSystemTable = SystemTable;
  AppBootServices = SystemTable->BootServices;

  // One open of the Loaded Image serves the options and the report. A
  // firmware that reports success and hands over nothing still gets its
  // open closed; what a failed open left behind is no interface.
  EFI_LOADED_IMAGE_PROTOCOL *LoadedImage = nullptr;
  BOOLEAN ImageOpened = !EFI_ERROR(OpenProtocolForImage(AppImageHandle, &LoadedImageGuid, (VOID **)&LoadedImage));
  if (!ImageOpened) {
    LoadedImage = nullptr;
  }

  // The options come from the loaded image and its volume, and have their
  // say before the report starts, so that their lines stay out of it.
  RunOptions Options;
  SetDefaultOptions(&Options);
  EFI_HANDLE DeviceHandle = nullptr;
  EFI_FILE_PROTOCOL *Root = nullptr;
  EFI_STATUS VolumeStatus = EFI_NOT_FOUND;
  if (LoadedImage != nullptr) {
    DeviceHandle = LoadedImage->DeviceHandle;
    Root = OpenVolumeRoot(DeviceHandle, &VolumeStatus);
    ReadOptions(&Options, LoadedImage, Root);
  }
  if (Options.ReportPath[0] != 0) {
    OpenReportFile(Root, VolumeStatus, Options.ReportPath);
  }

  PrintDevicePathNodes(LoadedImage, Options.Verify);
  if (ImageOpened) {
    CloseProtocolForImage(AppImageHandle, &LoadedImageGuid);
  }

  // The file is closed before any wait: a machine switched off at the prompt
  // keeps its report.
  EFI_STATUS Status = CloseReportFile();
  CloseVolumeRoot(DeviceHandle, Root);
  if (Options.Wait) {
    WaitForKey(Options.WaitSeconds);
  }
  return Status;
}
