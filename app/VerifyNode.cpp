#include "Console.h"
#include "DiskCheck.h"

namespace {

// The largest IoAlign taken: a page. The buffer is allocated that much
// larger and its start rounded up to it.
#define DISK_IO_ALIGN_MAX 4096

VOID PrintReason(CheckReason Reason, UINT64 Value) {
  NodeCheck Check;
  Check.Reason = Reason;
  Check.Values[0] = Value;
  Check.Values[1] = 0;
  PrintDiskCheck(&Check);
}

// Finds the Block I/O of the device the path up to Node leads to: the whole
// disk for a partition's node. The partition's own handle carries Block I/O
// too and would be found for the path with the node, so the path is handed
// over cut before it, and only a handle whose path is all of it will do.
EFI_STATUS LocateDisk(CONST EFI_DEVICE_PATH_PROTOCOL *DevicePath, CONST UINT8 *Node, EFI_HANDLE *Disk) {
  UINTN Prefix = (UINTN)(Node - (CONST UINT8 *)DevicePath);
  UINT8 *Path = (UINT8 *)AllocateBootPool(Prefix + sizeof(EFI_DEVICE_PATH_PROTOCOL));
  if (Path == nullptr) {
    return EFI_OUT_OF_RESOURCES;
  }
  for (UINTN Index = 0; Index < Prefix; Index++) {
    Path[Index] = ((CONST UINT8 *)DevicePath)[Index];
  }
  Path[Prefix] = END_DEVICE_PATH_TYPE;
  Path[Prefix + 1] = END_ENTIRE_DEVICE_PATH_SUBTYPE;
  Path[Prefix + 2] = sizeof(EFI_DEVICE_PATH_PROTOCOL);
  Path[Prefix + 3] = 0;
  EFI_DEVICE_PATH_PROTOCOL *Remaining = (EFI_DEVICE_PATH_PROTOCOL *)Path;
  EFI_STATUS Status = LocateDevicePathHandle(&BlockIoGuid, &Remaining, Disk);
  if (!EFI_ERROR(Status) && (UINT8 *)Remaining != Path + Prefix) {
    Status = EFI_NOT_FOUND;
  }
  FreeBootPool(Path);
  return Status;
}

// Checks Node against the disk whose Block I/O is open, and prints what it
// found.
VOID CheckOnDisk(EFI_BLOCK_IO_PROTOCOL *BlockIo, CONST UINT8 *Node) {
  EFI_BLOCK_IO_MEDIA *Media = BlockIo->Media;
  if (Media == nullptr || !Media->MediaPresent) {
    PrintReason(DiskNoMedia, 0);
    return;
  }
  UINT32 IoAlign = Media->IoAlign > 1 ? Media->IoAlign : 1;
  if (IoAlign > DISK_IO_ALIGN_MAX || (IoAlign & (IoAlign - 1)) != 0) {
    PrintReason(DiskIoAlignUnusable, IoAlign);
    return;
  }
  UINT8 *Buffer = (UINT8 *)AllocateBootPool(DISK_SCRATCH_BYTES + IoAlign - 1);
  if (Buffer == nullptr) {
    PrintReason(DiskNoMemory, EFI_OUT_OF_RESOURCES);
    return;
  }
  DiskReader Disk;
  Disk.BlockIo = BlockIo;
  Disk.MediaId = Media->MediaId;
  Disk.BlockSize = Media->BlockSize;
  Disk.LastBlock = Media->LastBlock;
  // The firmware's own CRC32, as the table asks for.
  Disk.CalculateCrc32 = AppBootServices->CalculateCrc32;
  // Pool memory is 8-byte aligned, as the chain's LBAs kept in the buffer
  // need; rounding it up to a power of two keeps that.
  Disk.Buffer = Buffer + ((IoAlign - ((UINTN)Buffer & (IoAlign - 1))) & (IoAlign - 1));
  NodeCheck Check;
  if (Node[1] == MEDIA_HARDDRIVE_DP) {
    CheckHardDriveNode(&Disk, Node, &Check);
  } else {
    CheckCdromNode(&Disk, Node, &Check);
  }
  FreeBootPool(Buffer);
  PrintDiskCheck(&Check);
}

}  // namespace

VOID VerifyNode(CONST EFI_DEVICE_PATH_PROTOCOL *DevicePath, CONST UINT8 *Node, UINT16 NodeLength) {
  if (NodeLength < (Node[1] == MEDIA_HARDDRIVE_DP ? HARDDRIVE_NODE_LENGTH : CDROM_NODE_LENGTH)) {
    PrintReason(DiskNodeTooShort, NodeLength);
    return;
  }
  EFI_HANDLE Handle = nullptr;
  EFI_STATUS Status = LocateDisk(DevicePath, Node, &Handle);
  if (EFI_ERROR(Status)) {
    PrintReason(Status == EFI_OUT_OF_RESOURCES ? DiskNoMemory : DiskNoBlockIo, Status);
    return;
  }
  EFI_BLOCK_IO_PROTOCOL *BlockIo = nullptr;
  Status = OpenProtocolForImage(Handle, &BlockIoGuid, (VOID **)&BlockIo);
  if (EFI_ERROR(Status)) {
    PrintReason(DiskBlockIoNotOpened, Status);
    return;
  }
  if (BlockIo == nullptr) {
    PrintReason(DiskBlockIoNotOpened, EFI_UNSUPPORTED);
  } else {
    CheckOnDisk(BlockIo, Node);
  }
  CloseProtocolForImage(Handle, &BlockIoGuid);
}
