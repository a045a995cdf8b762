#include "BaseLib.h"
#include "DiskCheck.h"

namespace {

// The GPT header, as far as it is read: byte offsets.
#define GPT_HEADER_SIZE 12
#define GPT_HEADER_CRC32 16
#define GPT_MY_LBA 24
#define GPT_ENTRY_ARRAY_LBA 72
#define GPT_ENTRY_COUNT 80
#define GPT_ENTRY_SIZE 84
#define GPT_ENTRY_ARRAY_CRC32 88
#define GPT_HEADER_SIZE_MIN 92
// An entry: type GUID, unique GUID, first and last LBA.
#define GPT_ENTRY_UNIQUE_GUID 16
#define GPT_ENTRY_FIRST_LBA 32
#define GPT_ENTRY_LAST_LBA 40
#define GPT_ENTRY_SIZE_MIN 128

// The MBR and every extended boot record: the disk signature, four 16-byte
// entries, the 0x55 0xAA signature.
#define MBR_DISK_SIGNATURE 440
#define MBR_ENTRIES 446
#define MBR_BOOT_SIGNATURE 510
#define MBR_BYTES 512
#define MBR_ENTRY_TYPE 4
#define MBR_ENTRY_FIRST_LBA 8
#define MBR_ENTRY_SIZE 12
#define MBR_TYPE_PROTECTIVE 0xEE

// ISO 9660 sectors are 2048 bytes (2^11) on every medium; the El Torito boot
// record is sector 17, and its catalog is a run of 32-byte entries.
#define ISO_SECTOR_SHIFT 11
#define ISO_SECTOR_BYTES 2048
#define EL_TORITO_BOOT_RECORD_SECTOR 17
#define EL_TORITO_CATALOG_POINTER 0x47
#define EL_TORITO_ENTRY_BYTES 32
#define EL_TORITO_LOAD_RBA 8
#define EL_TORITO_BOOTABLE 0x88
#define EL_TORITO_NOT_BOOTABLE 0x00
#define EL_TORITO_HEADER 0x90
#define EL_TORITO_FINAL_HEADER 0x91
#define EL_TORITO_EXTENSION 0x44

BOOLEAN SameBytes(CONST UINT8 *Left, CONST CHAR8 *Right, UINTN Count) {
  for (UINTN Index = 0; Index < Count; Index++) {
    if (Left[Index] != (UINT8)Right[Index]) {
      return FALSE;
    }
  }
  return TRUE;
}

// Sets the reason; always FALSE, so that a failed step reads
// "return Fail(...)".
BOOLEAN Fail(NodeCheck *Check, CheckReason Reason, UINT64 First = 0, UINT64 Second = 0) {
  Check->Reason = Reason;
  Check->Values[0] = First;
  Check->Values[1] = Second;
  return FALSE;
}

// log2 of the block size, or 0 when no table can live on it: a power of two
// from DISK_BLOCK_SIZE_MIN (2^9) to DISK_BUFFER_BYTES. Shifts stand in for
// every division by it, which a 32-bit image could not do without a helper.
UINT32 BlockShift(UINT32 BlockSize) {
  static_assert(DISK_BLOCK_SIZE_MIN == 1 << 9, "the smallest block size is 2^9 bytes");
  for (UINT32 Shift = 9; (1U << Shift) <= DISK_BUFFER_BYTES; Shift++) {
    if ((1U << Shift) == BlockSize) {
      return Shift;
    }
  }
  return 0;
}

// Reads the blocks holding Size bytes (1 to DISK_BUFFER_BYTES) from Lba on
// into the buffer. A read the disk does not reach is never asked for.
BOOLEAN ReadDisk(CONST DiskReader *Disk, UINT32 Shift, EFI_LBA Lba, UINT64 Size, NodeCheck *Check) {
  UINT64 Blocks = (Size + Disk->BlockSize - 1) >> Shift;
  if (Lba > Disk->LastBlock || Blocks - 1 > Disk->LastBlock - Lba) {
    return Fail(Check, DiskReadPastEnd, Lba, Disk->LastBlock);
  }
  EFI_STATUS Status =
      Disk->BlockIo->ReadBlocks(Disk->BlockIo, Disk->MediaId, Lba, (UINTN)(Blocks << Shift), Disk->Buffer);
  if (EFI_ERROR(Status)) {
    return Fail(Check, DiskReadFailed, Lba, Status);
  }
  return TRUE;
}

// The firmware's CRC32 of Size bytes of the buffer, Size at least 1.
BOOLEAN CalculateCrc(CONST DiskReader *Disk, UINTN Size, UINT32 *Crc, NodeCheck *Check) {
  EFI_STATUS Status = Disk->CalculateCrc32(Disk->Buffer, Size, Crc);
  if (EFI_ERROR(Status)) {
    return Fail(Check, DiskCrcFailed, Status);
  }
  return TRUE;
}

// ---------------------------------------------------------------------------
// GPT: the primary header at LBA 1 and its entry array, each only once its
// CRC32 holds.

BOOLEAN ReadGptEntry(CONST DiskReader *Disk, UINT32 Shift, UINT32 Number, NodeCheck *Check) {
  Check->Table = TableGpt;
  if (!ReadDisk(Disk, Shift, 1, Disk->BlockSize, Check)) {
    return FALSE;
  }
  UINT8 *Header = Disk->Buffer;
  if (!SameBytes(Header, "EFI PART", 8)) {
    return Fail(Check, GptHeaderMissing);
  }
  UINT32 HeaderSize = ReadUnaligned<UINT32>(Header + GPT_HEADER_SIZE);
  if (HeaderSize < GPT_HEADER_SIZE_MIN || HeaderSize > Disk->BlockSize) {
    return Fail(Check, GptHeaderSizeBad, HeaderSize);
  }
  UINT64 MyLba = ReadUnaligned<UINT64>(Header + GPT_MY_LBA);
  if (MyLba != 1) {
    return Fail(Check, GptHeaderLbaWrong, MyLba);
  }
  // The CRC32 covers the header with its own field taken as zero.
  UINT32 Stored = ReadUnaligned<UINT32>(Header + GPT_HEADER_CRC32);
  for (UINTN Index = 0; Index < 4; Index++) {
    Header[GPT_HEADER_CRC32 + Index] = 0;
  }
  UINT32 Crc = 0;
  if (!CalculateCrc(Disk, HeaderSize, &Crc, Check)) {
    return FALSE;
  }
  if (Crc != Stored) {
    return Fail(Check, GptHeaderCrcWrong, Stored, Crc);
  }

  // 128 times a power of two; the array's size is taken in 64 bits, where
  // no count and size of 32 bits each can wrap it around.
  UINT32 EntrySize = ReadUnaligned<UINT32>(Header + GPT_ENTRY_SIZE);
  if (EntrySize < GPT_ENTRY_SIZE_MIN || (EntrySize & (EntrySize - 1)) != 0) {
    return Fail(Check, GptEntrySizeBad, EntrySize);
  }
  UINT32 Count = ReadUnaligned<UINT32>(Header + GPT_ENTRY_COUNT);
  if (Number == 0 || Number > Count) {
    return Fail(Check, GptEntryMissing, Number, Count);
  }
  UINT64 ArrayBytes = (UINT64)Count * EntrySize;
  if (ArrayBytes > DISK_BUFFER_BYTES) {
    return Fail(Check, GptEntryArrayTooLarge, ArrayBytes);
  }
  EFI_LBA ArrayLba = ReadUnaligned<UINT64>(Header + GPT_ENTRY_ARRAY_LBA);
  Stored = ReadUnaligned<UINT32>(Header + GPT_ENTRY_ARRAY_CRC32);
  // The header is gone from here on: the array takes the buffer.
  if (!ReadDisk(Disk, Shift, ArrayLba, ArrayBytes, Check) || !CalculateCrc(Disk, (UINTN)ArrayBytes, &Crc, Check)) {
    return FALSE;
  }
  if (Crc != Stored) {
    return Fail(Check, GptEntryArrayCrcWrong, Stored, Crc);
  }

  CONST UINT8 *Entry = Disk->Buffer + (UINTN)(Number - 1) * EntrySize;
  BOOLEAN Unused = TRUE;
  for (UINTN Index = 0; Index < 16; Index++) {
    Unused = Unused && Entry[Index] == 0;
  }
  if (Unused) {
    return Fail(Check, GptEntryUnused, Number);
  }
  UINT64 First = ReadUnaligned<UINT64>(Entry + GPT_ENTRY_FIRST_LBA);
  UINT64 Last = ReadUnaligned<UINT64>(Entry + GPT_ENTRY_LAST_LBA);
  if (Last < First) {
    return Fail(Check, GptEntryEndsBeforeStart, Number);
  }
  Check->PartitionStart = First;
  Check->PartitionSize = Last - First + 1;
  Check->Signature = ReadUnalignedGuid(Entry + GPT_ENTRY_UNIQUE_GUID);
  Check->PartitionFormat = MBR_TYPE_EFI_PARTITION_TABLE_HEADER;
  Check->SignatureType = SIGNATURE_TYPE_GUID;
  return TRUE;
}

// ---------------------------------------------------------------------------
// MBR: primary entries 1 to 4 in the MBR, logical partitions from 5 on in
// the chain of extended boot records.

BOOLEAN IsExtendedType(UINT8 Type) { return Type == 0x05 || Type == 0x0F || Type == 0x85; }

BOOLEAN HasBootSignature(CONST UINT8 *Record) {
  return Record[MBR_BOOT_SIGNATURE] == 0x55 && Record[MBR_BOOT_SIGNATURE + 1] == 0xAA;
}

// The MBR is in the buffer.
BOOLEAN ReadMbrEntry(CONST DiskReader *Disk, UINT32 Shift, UINT32 Number, NodeCheck *Check) {
  Check->Table = TableMbr;
  // The signature first: the chain's reads take the buffer. A signature of 0
  // is no signature.
  UINT32 Signature = ReadUnaligned<UINT32>(Disk->Buffer + MBR_DISK_SIGNATURE);
  Check->Signature.Data1 = Signature;
  Check->PartitionFormat = MBR_TYPE_PCAT;
  Check->SignatureType = Signature == 0 ? NO_DISK_SIGNATURE : SIGNATURE_TYPE_MBR;

  CONST UINT8 *Entries = Disk->Buffer + MBR_ENTRIES;
  if (Number == 0) {
    return Fail(Check, MbrEntryMissing, Number);
  }
  if (Number <= 4) {
    CONST UINT8 *Entry = Entries + 16 * (Number - 1);
    if (Entry[MBR_ENTRY_TYPE] == 0) {
      return Fail(Check, MbrEntryMissing, Number);
    }
    Check->PartitionStart = ReadUnaligned<UINT32>(Entry + MBR_ENTRY_FIRST_LBA);
    Check->PartitionSize = ReadUnaligned<UINT32>(Entry + MBR_ENTRY_SIZE);
    return TRUE;
  }

  // The first extended entry of the MBR starts the chain; in each record,
  // every other used entry is the next logical partition, and the first
  // extended entry, counted from the extended partition's start, leads on.
  EFI_LBA Extended = 0;
  BOOLEAN Found = FALSE;
  for (UINTN Index = 0; Index < 4 && !Found; Index++) {
    Found = IsExtendedType(Entries[16 * Index + MBR_ENTRY_TYPE]);
    Extended = ReadUnaligned<UINT32>(Entries + 16 * Index + MBR_ENTRY_FIRST_LBA);
  }
  if (!Found) {
    return Fail(Check, MbrEntryMissing, Number);
  }
  // Each record's LBA is kept after the buffer's read area, so that a chain
  // that comes back to a record is seen as a loop before that record's
  // partitions are counted again.
  EFI_LBA *Visited = (EFI_LBA *)(Disk->Buffer + DISK_BUFFER_BYTES);
  EFI_LBA Record = Extended;
  UINT32 Logical = 4;
  for (UINT32 Records = 0; Records < MBR_CHAIN_MAX; Records++) {
    for (UINT32 Index = 0; Index < Records; Index++) {
      if (Visited[Index] == Record) {
        return Fail(Check, MbrChainLoops, Record);
      }
    }
    Visited[Records] = Record;
    if (!ReadDisk(Disk, Shift, Record, MBR_BYTES, Check)) {
      return FALSE;
    }
    if (!HasBootSignature(Disk->Buffer)) {
      return Fail(Check, MbrRecordMissing, Record);
    }
    BOOLEAN Next = FALSE;
    EFI_LBA NextRecord = 0;
    // The record is in the buffer now, where the MBR was: Entries are its.
    for (UINTN Index = 0; Index < 4; Index++) {
      CONST UINT8 *Entry = Entries + 16 * Index;
      UINT8 Type = Entry[MBR_ENTRY_TYPE];
      if (Type == 0) {
        continue;
      }
      UINT64 Relative = ReadUnaligned<UINT32>(Entry + MBR_ENTRY_FIRST_LBA);
      if (IsExtendedType(Type)) {
        if (!Next) {
          Next = TRUE;
          NextRecord = Extended + Relative;
        }
      } else if (++Logical == Number) {
        Check->PartitionStart = Record + Relative;
        Check->PartitionSize = ReadUnaligned<UINT32>(Entry + MBR_ENTRY_SIZE);
        return TRUE;
      }
    }
    if (!Next) {
      return Fail(Check, MbrEntryMissing, Number);
    }
    Record = NextRecord;
  }
  return Fail(Check, MbrChainTooLong, MBR_CHAIN_MAX);
}

// ---------------------------------------------------------------------------
// El Torito: the boot record, the catalog it names, and its entries. The
// initial/default entry is entry 0; the entries of the sections that follow
// are numbered on from 1, in the catalog's order.

// Reads ISO sector Sector and returns where its 2048 bytes lie in the
// buffer, or null. A block larger than a sector holds several.
CONST UINT8 *ReadIsoSector(CONST DiskReader *Disk, UINT32 Shift, UINT64 Sector, NodeCheck *Check) {
  if (Shift <= ISO_SECTOR_SHIFT) {
    return ReadDisk(Disk, Shift, Sector << (ISO_SECTOR_SHIFT - Shift), ISO_SECTOR_BYTES, Check) ? Disk->Buffer
                                                                                                : nullptr;
  }
  if (!ReadDisk(Disk, Shift, Sector >> (Shift - ISO_SECTOR_SHIFT), Disk->BlockSize, Check)) {
    return nullptr;
  }
  return Disk->Buffer + (UINTN)((Sector << ISO_SECTOR_SHIFT) & (Disk->BlockSize - 1));
}

// The validation entry: header ID 1, the key 0x55 0xAA, and 16-bit words
// that add up to 0.
BOOLEAN IsValidationEntry(CONST UINT8 *Entry) {
  UINT16 Sum = 0;
  for (UINTN Index = 0; Index < EL_TORITO_ENTRY_BYTES; Index += 2) {
    Sum = (UINT16)(Sum + ReadUnaligned<UINT16>(Entry + Index));
  }
  return Entry[0] == 1 && Entry[30] == 0x55 && Entry[31] == 0xAA && Sum == 0;
}

BOOLEAN IsBootEntry(CONST UINT8 *Entry) {
  return Entry[0] == EL_TORITO_BOOTABLE || Entry[0] == EL_TORITO_NOT_BOOTABLE;
}

BOOLEAN ReadElToritoEntry(CONST DiskReader *Disk, UINT32 Shift, UINT64 Start, UINT32 Number, NodeCheck *Check) {
  Check->Table = TableElTorito;
  CONST UINT8 *Record = ReadIsoSector(Disk, Shift, EL_TORITO_BOOT_RECORD_SECTOR, Check);
  if (Record == nullptr) {
    return FALSE;
  }
  if (Record[0] != 0 || !SameBytes(Record + 1, "CD001\1EL TORITO SPECIFICATION", 29)) {
    return Fail(Check, ElToritoMissing);
  }
  UINT64 Catalog = ReadUnaligned<UINT32>(Record + EL_TORITO_CATALOG_POINTER);

  // Entries of the current section still to come, whether its header was
  // the last, and whether the record before was an entry or an extension,
  // which more extensions may follow.
  UINT32 SectionLeft = 0;
  BOOLEAN FinalSection = FALSE;
  BOOLEAN AfterEntry = FALSE;
  UINT32 BootEntry = 0;
  BOOLEAN Found = FALSE;
  CONST UINT8 *Sector = nullptr;
  for (UINT32 Index = 0;; Index++) {
    if (Index == EL_TORITO_ENTRIES_MAX) {
      return Fail(Check, ElToritoCatalogTooLong, EL_TORITO_ENTRIES_MAX);
    }
    UINT32 InSector = Index & (ISO_SECTOR_BYTES / EL_TORITO_ENTRY_BYTES - 1);
    if (InSector == 0) {
      Sector = ReadIsoSector(Disk, Shift, Catalog + Index / (ISO_SECTOR_BYTES / EL_TORITO_ENTRY_BYTES), Check);
      if (Sector == nullptr) {
        return FALSE;
      }
    }
    CONST UINT8 *Entry = Sector + InSector * EL_TORITO_ENTRY_BYTES;
    // Extensions follow an entry, inside a section or after its last entry,
    // and are passed over; the record before them stays an entry.
    if (Entry[0] == EL_TORITO_EXTENSION && AfterEntry) {
      continue;
    }
    BOOLEAN IsEntry = FALSE;
    if (Index == 0) {
      if (!IsValidationEntry(Entry)) {
        return Fail(Check, ElToritoCatalogBad, Catalog);
      }
    } else if (Index == 1 || SectionLeft > 0) {
      if (!IsBootEntry(Entry)) {
        return Fail(Check, ElToritoCatalogBad, Catalog);
      }
      SectionLeft -= Index == 1 ? 0 : 1;
      IsEntry = TRUE;
    } else if (!FinalSection && (Entry[0] == EL_TORITO_HEADER || Entry[0] == EL_TORITO_FINAL_HEADER)) {
      SectionLeft = ReadUnaligned<UINT16>(Entry + 2);
      FinalSection = Entry[0] == EL_TORITO_FINAL_HEADER;
    } else {
      // The catalog ends after the last section's entries, or where no
      // header follows one.
      break;
    }
    AfterEntry = IsEntry;
    if (IsEntry) {
      // The first entry that loads the node's start answers, unless a later
      // one has the node's own number.
      if (ReadUnaligned<UINT32>(Entry + EL_TORITO_LOAD_RBA) == Start && (!Found || BootEntry == Number)) {
        Check->BootEntry = BootEntry;
        Found = TRUE;
      }
      BootEntry++;
    }
  }
  if (!Found) {
    return Fail(Check, ElToritoEntryMissing, Start);
  }
  Check->PartitionStart = Start;
  return TRUE;
}

// Clears Check for the node whose partition number or boot entry is Entry.
// Returns the block size's shift, or 0 with the reason set when no table
// lives on that block size.
UINT32 StartCheck(CONST DiskReader *Disk, NodeCheck *Check, UINT32 Entry) {
  Check->Reason = DiskChecked;
  Check->Table = TableNone;
  Check->Entry = Entry;
  Check->Values[0] = Check->Values[1] = 0;
  Check->Differs = 0;
  Check->PartitionStart = Check->PartitionSize = 0;
  Check->Signature.Data1 = 0;
  Check->Signature.Data2 = Check->Signature.Data3 = 0;
  for (UINTN Index = 0; Index < 8; Index++) {
    Check->Signature.Data4[Index] = 0;
  }
  Check->PartitionFormat = Check->SignatureType = 0;
  Check->BootEntry = 0;
  UINT32 Shift = BlockShift(Disk->BlockSize);
  if (Shift == 0) {
    Fail(Check, DiskBlockSizeUnusable, Disk->BlockSize);
  }
  return Shift;
}

UINT32 DifferingField(BOOLEAN Differs, UINT32 Field) { return Differs ? Field : 0; }

}  // namespace

VOID CheckHardDriveNode(CONST DiskReader *Disk, CONST UINT8 *Node, NodeCheck *Check) {
  UINT32 Number = ReadUnaligned<UINT32>(Node + HARDDRIVE_PARTITION_NUMBER);
  UINT32 Shift = StartCheck(Disk, Check, Number);
  // LBA 0 decides the table: a GPT behind a protective MBR, or the MBR.
  if (Shift == 0 || !ReadDisk(Disk, Shift, 0, MBR_BYTES, Check)) {
    return;
  }
  if (!HasBootSignature(Disk->Buffer)) {
    Fail(Check, DiskNoMbr);
    return;
  }
  BOOLEAN Protective = FALSE;
  for (UINTN Index = 0; Index < 4; Index++) {
    Protective = Protective || Disk->Buffer[MBR_ENTRIES + 16 * Index + MBR_ENTRY_TYPE] == MBR_TYPE_PROTECTIVE;
  }
  if (!(Protective ? ReadGptEntry(Disk, Shift, Number, Check) : ReadMbrEntry(Disk, Shift, Number, Check))) {
    return;
  }
  EFI_GUID Signature = ReadUnalignedGuid(Node + HARDDRIVE_SIGNATURE);
  BOOLEAN SameSignature = Signature.Data1 == Check->Signature.Data1 && Signature.Data2 == Check->Signature.Data2 &&
                          Signature.Data3 == Check->Signature.Data3;
  for (UINTN Index = 0; Index < 8; Index++) {
    SameSignature = SameSignature && Signature.Data4[Index] == Check->Signature.Data4[Index];
  }
  UINT64 Start = ReadUnaligned<UINT64>(Node + HARDDRIVE_PARTITION_START);
  UINT64 Size = ReadUnaligned<UINT64>(Node + HARDDRIVE_PARTITION_SIZE);
  Check->Differs = DifferingField(Start != Check->PartitionStart, DISK_FIELD_START) |
                   DifferingField(Size != Check->PartitionSize, DISK_FIELD_SIZE) |
                   DifferingField(!SameSignature, DISK_FIELD_SIGNATURE) |
                   DifferingField(Node[HARDDRIVE_PARTITION_FORMAT] != Check->PartitionFormat, DISK_FIELD_FORMAT) |
                   DifferingField(Node[HARDDRIVE_SIGNATURE_TYPE] != Check->SignatureType, DISK_FIELD_SIGNATURE_TYPE);
}

VOID CheckCdromNode(CONST DiskReader *Disk, CONST UINT8 *Node, NodeCheck *Check) {
  UINT32 Number = ReadUnaligned<UINT32>(Node + CDROM_BOOT_ENTRY);
  UINT32 Shift = StartCheck(Disk, Check, Number);
  UINT64 Start = ReadUnaligned<UINT64>(Node + CDROM_PARTITION_START);
  if (Shift != 0 && ReadElToritoEntry(Disk, Shift, Start, Number, Check)) {
    Check->Differs = DifferingField(Check->BootEntry != Number, DISK_FIELD_BOOT_ENTRY);
  }
}
