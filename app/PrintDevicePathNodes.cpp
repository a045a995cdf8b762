#include "Application.h"
#include "BaseLib.h"
#include "Console.h"
#include "Options.h"

namespace {

CONST EFI_GUID LoadedImageGuid = {0x5B1B31A1, 0x9562, 0x11D2, {0x8E, 0x3F, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B}};
CONST EFI_GUID DevicePathGuid = {0x09576E91, 0x6D3F, 0x11D2, {0x8E, 0x39, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B}};
CONST EFI_GUID DevicePathToTextGuid = {0x8B843E20, 0x8132, 0x4852, {0x90, 0xCC, 0x55, 0x1A, 0x4E, 0x4A, 0x7F, 0x1C}};

VOID PrintNodeLine(CONST UINT8 *Node) {
  ConsolePrint(u"type:%d,subType:%d,length:%d\n", (UINT32)Node[0], (UINT32)Node[1], (UINT32)UnalignedRead16(Node + 2));
}

// The 64-bit fields of a node sit at any address; each is read as two
// little-endian halves.
UINT64 ReadNode64(CONST UINT8 *Field) {
  return (UINT64)UnalignedRead32(Field) | ((UINT64)UnalignedRead32(Field + 4) << 32);
}

VOID PrintPartitionBlock(CONST UINT8 *Node) {
  // "%g" is handed the address of an aligned copy, never a pointer into the
  // path, so the signature is read from the node field by field.
  CONST UINT8 *Bytes = Node + HARDDRIVE_SIGNATURE;
  EFI_GUID Signature;
  Signature.Data1 = UnalignedRead32(Bytes);
  Signature.Data2 = UnalignedRead16(Bytes + 4);
  Signature.Data3 = UnalignedRead16(Bytes + 6);
  for (UINTN Index = 0; Index < 8; Index++) {
    Signature.Data4[Index] = Bytes[8 + Index];
  }
  ConsolePrint(
      u"    PartitionNumber:%d \n    PartitionStart:0x%lx \n    PartitionSize:0x%lx \n"
      u"    PartitionSig:%g \n    PartitionFormat:%d \n    SignatureType:%d \n",
      UnalignedRead32(Node + HARDDRIVE_PARTITION_NUMBER), ReadNode64(Node + HARDDRIVE_PARTITION_START),
      ReadNode64(Node + HARDDRIVE_PARTITION_SIZE), &Signature, (UINT32)Node[HARDDRIVE_PARTITION_FORMAT],
      (UINT32)Node[HARDDRIVE_SIGNATURE_TYPE]);
}

// Prints one line per node up to the node that stops the walk, then that
// node's line. Returns TRUE when the walk stopped at a sound end node; FALSE
// when it stopped at a node too short to hold its own header or after
// DEVICE_PATH_WALK_MAX_NODES nodes without an end, in which case the path is
// broken and nothing else may walk it.
BOOLEAN PrintNodeLines(CONST EFI_DEVICE_PATH_PROTOCOL *DevicePath) {
  CONST UINT8 *Node = (CONST UINT8 *)DevicePath;
  for (UINTN Seen = 1;; Seen++) {
    UINT16 Length = UnalignedRead16(Node + 2);
    BOOLEAN AtEnd = Node[0] == END_DEVICE_PATH_TYPE || Node[1] == END_ENTIRE_DEVICE_PATH_SUBTYPE;
    // A Length below the header size would never leave this node (0) or
    // would land inside it; either way the next header cannot be trusted.
    BOOLEAN Short = Length < sizeof(EFI_DEVICE_PATH_PROTOCOL);
    PrintNodeLine(Node);
    if (AtEnd || Short || Seen == DEVICE_PATH_WALK_MAX_NODES) {
      return AtEnd && !Short;
    }
    // A hard-drive node shorter than its fields would have them read from
    // the nodes after it, or from beyond the path.
    if (Node[0] == MEDIA_DEVICE_PATH && Node[1] == MEDIA_HARDDRIVE_DP && Length >= HARDDRIVE_NODE_LENGTH) {
      PrintPartitionBlock(Node);
    }
    Node += Length;
  }
}

VOID PrintPathText(CONST EFI_DEVICE_PATH_PROTOCOL *DevicePath) {
  EFI_DEVICE_PATH_TO_TEXT_PROTOCOL *DevicePathToText = nullptr;
  EFI_STATUS Status = AppBootServices->LocateProtocol(&DevicePathToTextGuid, nullptr, (VOID **)&DevicePathToText);
  if (EFI_ERROR(Status) || DevicePathToText == nullptr) {
    return;
  }
  CHAR16 *PathText = DevicePathToText->ConvertDevicePathToText(DevicePath, TRUE, TRUE);
  ConsolePrint(u"%s\n", PathText);
  // The text is ours to release whatever came back; a null is refused
  // harmlessly by the firmware.
  AppBootServices->FreePool(PathText);
}

}  // namespace

EFI_STATUS PrintDevicePathNodes() {
  EFI_DEVICE_PATH_PROTOCOL *DevicePath = nullptr;
  EFI_LOADED_IMAGE_PROTOCOL *LoadedImage = nullptr;
  EFI_STATUS Status = AppBootServices->OpenProtocol(AppImageHandle, &LoadedImageGuid, (VOID **)&LoadedImage,
                                                    AppImageHandle, nullptr, EFI_OPEN_PROTOCOL_GET_PROTOCOL);
  BOOLEAN ImageOpened = !EFI_ERROR(Status);

  // The options come from the loaded image and its volume, and have their
  // say before the report starts, so that their lines stay out of it. Set
  // field by field: a zeroed structure could become a call to memset, which
  // the image does not have.
  APP_OPTIONS Options;
  Options.Wait = FALSE;
  Options.WaitSeconds = 0;
  Options.ReportPath[0] = 0;
  EFI_HANDLE DeviceHandle = nullptr;
  EFI_FILE_PROTOCOL *Root = nullptr;
  EFI_STATUS VolumeStatus = EFI_NOT_FOUND;
  if (ImageOpened && LoadedImage != nullptr) {
    DeviceHandle = LoadedImage->DeviceHandle;
    Root = OpenVolumeRoot(DeviceHandle, &VolumeStatus);
    ReadOptions(&Options, LoadedImage, Root);
  }
  if (Options.ReportPath[0] != 0) {
    OpenReportFile(Root, VolumeStatus, Options.ReportPath);
  }

  ConsolePrint(u"Print Nodes:\n");
  // Without a loaded image nothing was handed over and nothing is open.
  if (ImageOpened) {
    // A firmware that reports success and hands over nothing still gets its
    // open closed.
    if (LoadedImage != nullptr) {
      Status = AppBootServices->OpenProtocol(DeviceHandle, &DevicePathGuid, (VOID **)&DevicePath, AppImageHandle,
                                             nullptr, EFI_OPEN_PROTOCOL_GET_PROTOCOL);
      if (!EFI_ERROR(Status)) {
        // The text form is asked for only when the walk found the path sound:
        // the firmware's conversion walks the same nodes without our limits.
        if (DevicePath != nullptr && PrintNodeLines(DevicePath)) {
          PrintPathText(DevicePath);
        }
        AppBootServices->CloseProtocol(DeviceHandle, &DevicePathGuid, AppImageHandle, nullptr);
      }
    }
    AppBootServices->CloseProtocol(AppImageHandle, &LoadedImageGuid, AppImageHandle, nullptr);
  }

  // The file is closed before any wait: a machine switched off at the prompt
  // keeps its report.
  Status = CloseReportFile();
  CloseVolumeRoot(DeviceHandle, Root);
  if (Options.Wait) {
    WaitForKey(Options.WaitSeconds);
  }
  return Status;
}
