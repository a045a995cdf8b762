// quillmere.verify: a hard-drive or CD-ROM node checked against the disk
// behind it. The table reader (CheckHardDriveNode, CheckCdromNode) reads the
// disk through the Block I/O and CRC32 services it is handed and knows
// nothing else of the firmware; VerifyNode finds the disk, runs the reader and
// prints its findings.
//
// The disk is untrusted input: every count, size and sector number read from
// it is checked before it is used, and nothing read from one structure is
// trusted in the next. A check ends after a bounded number of reads, whatever
// the disk holds.
#pragma once

#include "Uefi.h"

// The buffer every read of one check goes to, and so the most one read
// takes: the largest GPT entry array checked (512 entries of 128 bytes, four
// times the usual array) and the largest block size.
#define DISK_BUFFER_BYTES 65536
// The smallest block size a partition table or an ISO 9660 volume lives on.
#define DISK_BLOCK_SIZE_MIN 512
// The most extended boot records followed in an MBR's chain of logical
// partitions.
#define MBR_CHAIN_MAX 128
// The most El Torito catalog entries read: four 2048-byte sectors.
#define EL_TORITO_ENTRIES_MAX 256
// The buffer: the reads, then the LBAs of the chain's records.
#define DISK_SCRATCH_BYTES (DISK_BUFFER_BYTES + MBR_CHAIN_MAX * sizeof(EFI_LBA))

// The disk behind a node: its own Block I/O (not a partition's), the media
// facts read once before the check, the firmware's CRC32 and the buffer.
struct DiskReader {
  EFI_BLOCK_IO_PROTOCOL *BlockIo;
  UINT32 MediaId;
  UINT32 BlockSize;
  EFI_LBA LastBlock;
  EFI_CALCULATE_CRC32 CalculateCrc32;
  UINT8 *Buffer;  // DISK_SCRATCH_BYTES, at the alignment the Block I/O asks for and of 8 bytes
};

// The table a check read, as its lines name it.
enum PartitionTable : UINT8 { TableNone, TableGpt, TableMbr, TableElTorito };

// Why a node could not be checked. Each has one text (PrintDiskCheck), which
// shows Values[0] and Values[1] in that order as far as it uses them.
enum CheckReason : UINT8 {
  DiskChecked,             // no reason: the disk's fields are in the check
  DiskNodeTooShort,        // the node's length
  DiskNoBlockIo,           // LocateDevicePath's status
  DiskBlockIoNotOpened,    // OpenProtocol's status
  DiskNoMedia,
  DiskIoAlignUnusable,     // IoAlign
  DiskNoMemory,            // AllocatePool's status
  DiskBlockSizeUnusable,   // the block size
  DiskReadPastEnd,         // first LBA of the read, last block
  DiskReadFailed,          // LBA, ReadBlocks' status
  DiskCrcFailed,           // CalculateCrc32's status
  DiskNoMbr,
  GptHeaderMissing,
  GptHeaderSizeBad,        // the header's size
  GptHeaderLbaWrong,       // the LBA the header gives for itself
  GptHeaderCrcWrong,       // stored CRC32, computed CRC32
  GptEntrySizeBad,         // the entry size
  GptEntryArrayTooLarge,   // the array's bytes
  GptEntryArrayCrcWrong,   // stored CRC32, computed CRC32
  GptEntryMissing,         // N, the header's entry count
  GptEntryUnused,          // N
  GptEntryEndsBeforeStart, // N
  MbrEntryMissing,         // N
  MbrRecordMissing,        // LBA of the extended boot record
  MbrChainLoops,           // an LBA in the loop
  MbrChainTooLong,         // MBR_CHAIN_MAX
  ElToritoMissing,
  ElToritoCatalogBad,      // the catalog's sector
  ElToritoCatalogTooLong,  // EL_TORITO_ENTRIES_MAX
  ElToritoEntryMissing,    // the node's start
  DiskReasonCount
};

// The node fields a check compares, each a bit of NodeCheck::Differs, in
// the order of their lines.
#define DISK_FIELD_START 0x01
#define DISK_FIELD_SIZE 0x02
#define DISK_FIELD_SIGNATURE 0x04
#define DISK_FIELD_FORMAT 0x08
#define DISK_FIELD_SIGNATURE_TYPE 0x10
#define DISK_FIELD_BOOT_ENTRY 0x20

// What one check found. With DiskChecked the fields below say what the disk
// holds for the node, and Differs which of them the node has otherwise.
struct NodeCheck {
  CheckReason Reason;
  PartitionTable Table;
  UINT32 Entry;  // the node's partition number or boot entry: the N of the lines
  UINT64 Values[2];
  UINT32 Differs;
  UINT64 PartitionStart;
  UINT64 PartitionSize;
  EFI_GUID Signature;
  UINT8 PartitionFormat;
  UINT8 SignatureType;
  UINT32 BootEntry;
};

// Checks a hard-drive node of at least HARDDRIVE_NODE_LENGTH bytes against
// the GPT (when LBA 0 holds a protective MBR) or the MBR of Disk: the entry
// of the node's partition number, then the node's start, size, signature,
// partition format and signature type.
VOID CheckHardDriveNode(CONST DiskReader *Disk, CONST UINT8 *Node, NodeCheck *Check);
// Checks a CD-ROM node of at least CDROM_NODE_LENGTH bytes against the El
// Torito boot catalog of Disk: the entry whose load RBA is the node's start,
// then the node's boot entry number (the initial/default entry is 0).
VOID CheckCdromNode(CONST DiskReader *Disk, CONST UINT8 *Node, NodeCheck *Check);

// Prints Check as the lines after a node: one line a differing field, or
// one "matches" line, or one "not checked" line with its reason.
VOID PrintDiskCheck(CONST NodeCheck *Check);

// With quillmere.verify: checks Node, a hard-drive or CD-ROM node of
// NodeLength bytes lying in DevicePath, against the disk that the path up to
// it leads to, and prints what was found.
VOID VerifyNode(CONST EFI_DEVICE_PATH_PROTOCOL *DevicePath, CONST UINT8 *Node, UINT16 NodeLength);
