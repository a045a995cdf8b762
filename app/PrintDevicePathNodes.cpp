#include "Application.h"
#include "BaseLib.h"
#include "Console.h"
#include "DiskCheck.h"

namespace {

// Nodes carry no alignment: every field is read in place with ReadUnaligned.

VOID PrintNodeLine(CONST UINT8 *Node) {
  ConsolePrint(u"type:%d,subType:%d,length:%d\n", (UINT32)Node[0], (UINT32)Node[1],
               (UINT32)ReadUnaligned<UINT16>(Node + 2));
}

VOID PrintPartitionBlock(CONST UINT8 *Node) {
  // "%g" is handed the address of an aligned copy, never a pointer into the
  // path.
  EFI_GUID Signature = ReadUnalignedGuid(Node + HARDDRIVE_SIGNATURE);
  ConsolePrint(
      u"    PartitionNumber:%d \n    PartitionStart:0x%lx \n    PartitionSize:0x%lx \n"
      u"    PartitionSig:%g \n    PartitionFormat:%d \n    SignatureType:%d \n",
      ReadUnaligned<UINT32>(Node + HARDDRIVE_PARTITION_NUMBER), ReadUnaligned<UINT64>(Node + HARDDRIVE_PARTITION_START),
      ReadUnaligned<UINT64>(Node + HARDDRIVE_PARTITION_SIZE), &Signature, (UINT32)Node[HARDDRIVE_PARTITION_FORMAT],
      (UINT32)Node[HARDDRIVE_SIGNATURE_TYPE]);
}

// Prints one line per node up to the node that stops the walk, then that
// node's line. Returns TRUE when the walk stopped at a sound end node; FALSE
// when it stopped at a node too short to hold its own header or after
// DEVICE_PATH_WALK_MAX_NODES nodes without an end, in which case the path is
// broken and nothing else may walk it.
//
// A node of a new kind that should get lines of its own is tested for here,
// beside the hard-drive node, and printed by a function like
// PrintPartitionBlock; it is printed only when its Length holds every field
// it reads. With Verify, every hard-drive and CD-ROM node is checked against
// its disk after its lines, however long it is: a node too short for its
// fields gets a line saying so.
BOOLEAN PrintNodeLines(CONST EFI_DEVICE_PATH_PROTOCOL *DevicePath, BOOLEAN Verify) {
  CONST UINT8 *Node = (CONST UINT8 *)DevicePath;
  for (UINTN Seen = 1;; Seen++) {
    UINT16 Length = ReadUnaligned<UINT16>(Node + 2);
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
    BOOLEAN Media = Node[0] == MEDIA_DEVICE_PATH;
    if (Media && Node[1] == MEDIA_HARDDRIVE_DP && Length >= HARDDRIVE_NODE_LENGTH) {
      PrintPartitionBlock(Node);
    }
    if (Verify && Media && (Node[1] == MEDIA_HARDDRIVE_DP || Node[1] == MEDIA_CDROM_DP)) {
      VerifyNode(DevicePath, Node, Length);
    }
    Node += Length;
  }
}

VOID PrintPathText(CONST EFI_DEVICE_PATH_PROTOCOL *DevicePath) {
  EFI_DEVICE_PATH_TO_TEXT_PROTOCOL *DevicePathToText = nullptr;
  EFI_STATUS Status = LocateProtocolInterface(&DevicePathToTextGuid, (VOID **)&DevicePathToText);
  if (EFI_ERROR(Status) || DevicePathToText == nullptr) {
    return;
  }
  CHAR16 *PathText = DevicePathToText->ConvertDevicePathToText(DevicePath, TRUE, TRUE);
  ConsolePrint(u"%s\n", PathText);
  // The text is ours to release whatever came back, a null included.
  FreeBootPool(PathText);
}

}  // namespace

EFI_STATUS PrintDevicePathNodes(CONST EFI_LOADED_IMAGE_PROTOCOL *LoadedImage, BOOLEAN Verify) {
  ConsolePrint(u"Print Nodes:\n");
  if (LoadedImage == nullptr) {
    return EFI_SUCCESS;
  }
  EFI_HANDLE DeviceHandle = LoadedImage->DeviceHandle;
  EFI_DEVICE_PATH_PROTOCOL *DevicePath = nullptr;
  if (!EFI_ERROR(OpenProtocolForImage(DeviceHandle, &DevicePathGuid, (VOID **)&DevicePath))) {
    // The text form is asked for only when the walk found the path sound:
    // the firmware's conversion walks the same nodes without our limits.
    if (DevicePath != nullptr && PrintNodeLines(DevicePath, Verify)) {
      PrintPathText(DevicePath);
    }
    CloseProtocolForImage(DeviceHandle, &DevicePathGuid);
  }
  return EFI_SUCCESS;
}
