// libFuzzer target for the disk check's table reader: CheckHardDriveNode and
// CheckCdromNode on disks made from the input, read through the fake
// firmware's Block I/O and CRC32.
//
// Input layout (short inputs read as if padded with zero bytes):
//   byte 0   the disk: 0 a GPT, 1 an MBR with a chain of logical
//            partitions, 2 an El Torito CD, 3 bytes of the input alone;
//            bit 2 leaves the disk sound (no patches, faults or odd sizes)
//   byte 1   the block size: 512 << (b & 7) up to 65536, or from bit 7 on
//            one no table lives on (0, 256, 520, 768, 131072, 2^31, 513,
//            4095)
//   byte 2   the ReadBlocks call that fails (0: none) and its status
//   byte 3   the CalculateCrc32 call that fails (0: none)
//   byte 4   the disk's last block: as many blocks as the bytes fill, less
//            b & 15, or, with bit 7, 2^b blocks more (reads past the bytes
//            give zeros)
//   then     the table's own parameters (see each maker), the node's, and
//            patches: a count, then each a 24-bit offset and a byte
//
// Oracle: properties that hold whatever the reader's code, with the formats'
// offsets written out here. The fake firmware refuses, and counts as a
// mistake, any read the disk does not reach, in part blocks, with another
// media id or a misaligned buffer; a second run gives the same check; a
// failed read or CRC32 is reported as such, and only then; a block size no
// table lives on reads nothing. What the check says of the node is found on
// the disk: for a GPT, a protective MBR, a header whose size and CRC32 (taken
// here) hold and an entry array whose CRC32 holds, with the entry's fields;
// for an MBR, an entry of the MBR or of a record the check read, with the
// disk signature at byte 440; for El Torito, an entry of the catalog that
// loads the node's start. The differing fields are exactly those where the
// node and that answer differ. On a sound disk, the answer is the one the
// disk was made with.

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <memory>
#include <vector>

#include "DiskCheck.h"
#include "DiskImages.h"
#include "FakeFirmware.h"
#include "FuzzCheck.h"

namespace {

struct Input {
  const uint8_t *Data;
  size_t Size;
  size_t At = 0;
  uint8_t Byte() { return At < Size ? Data[At++] : (At++, 0); }
  uint16_t Word() { return (uint16_t)(Byte() | Byte() << 8); }
  uint32_t Long() { return (uint32_t)Word() | (uint32_t)Word() << 16; }
};

UINT64 Le(const DiskBytes &Disk, uint64_t At, int Width) {
  UINT64 Value = 0;
  for (int Index = Width - 1; Index >= 0; Index--) {
    Value = Value << 8 | (At + Index < Disk.size() ? Disk[At + Index] : 0);
  }
  return Value;
}

// What the disk was made to say of the node, when it says anything.
struct Truth {
  CheckReason Reason = DiskChecked;
  UINT64 Start = 0, Size = 0;
  Guid16 Signature = {};
  UINT8 Format = 0, SignatureType = 0;
  UINT32 BootEntry = 0;
};

// A sound GPT of Count entries of EntrySize bytes, the first few used.
DiskBytes MakeGpt(Input &In, UINT32 BlockSize, bool Sound, UINT32 Number, Truth &Known) {
  GptLayout Layout;
  Layout.BlockSize = BlockSize;
  // Off a sound disk, the count and size are mostly near the sound ones,
  // sometimes anything.
  Layout.Count = Sound ? 1 + In.Word() % 512 : In.Byte() & 0x80 ? In.Long() : In.Word() % 1024;
  Layout.EntrySize = Sound ? 128 << (In.Byte() % 3) : In.Byte() & 0x80 ? In.Long() : 64 << (In.Byte() % 4);
  if (Sound && (uint64_t)Layout.Count * Layout.EntrySize > DISK_BUFFER_BYTES) {
    Layout.Count = DISK_BUFFER_BYTES / Layout.EntrySize;
  }
  Layout.ArrayLba = Sound ? 2 + In.Byte() % 8 : In.Byte();
  Layout.HeaderSize = Sound ? 92 + In.Byte() % 32 : In.Word();
  int Used = In.Byte() % 9;
  for (int Index = 0; Index < Used; Index++) {
    GptPartition Partition;
    for (UINT8 &Byte : Partition.Type) Byte = In.Byte();
    for (UINT8 &Byte : Partition.Unique) Byte = In.Byte();
    Partition.Type[0] |= Sound && Index % 3 != 2 ? 1 : 0;  // most used
    Partition.First = In.Long();
    Partition.Last = Partition.First + In.Word() - (Sound ? 0 : 0x100);
    Layout.Partitions.push_back(Partition);
  }
  if (Sound) {
    if (Number == 0 || Number > Layout.Count) {
      Known.Reason = GptEntryMissing;
    } else if (Number > (UINT32)Used || Layout.Partitions[Number - 1].Type == Guid16{}) {
      Known.Reason = GptEntryUnused;
    } else {
      const GptPartition &Entry = Layout.Partitions[Number - 1];
      Known = {DiskChecked, Entry.First, Entry.Last - Entry.First + 1, Entry.Unique, 2, 2, 0};
      if (Entry.Last < Entry.First) {
        Known.Reason = GptEntryEndsBeforeStart;
      }
    }
  }
  return MakeGptDisk(Layout);
}

DiskBytes MakeMbr(Input &In, UINT32 BlockSize, bool Sound, UINT32 Number, Truth &Known) {
  int Records = In.Byte() % (MBR_CHAIN_MAX + 8);
  MbrLayout Layout = ChainedMbr(Records);
  Layout.BlockSize = BlockSize;
  Layout.Signature = In.Byte() < 32 ? 0 : In.Long();
  // A link back to an earlier record (the loop starts there), or none.
  uint8_t Back = In.Byte();
  bool Loops = Records > 0 && Back < 64;
  int LoopTo = Loops ? Back % Records : 0;
  if (Loops) {
    Layout.Chain.back().HasLink = true;
    Layout.Chain.back().Link = LoopTo;
  }
  if (!Sound) {
    Layout.Primary[2] = {In.Byte(), In.Long(), In.Long()};
    Layout.Primary[3] = {In.Byte(), In.Long(), In.Long()};
  }
  if (Sound) {
    Guid16 Signature = {(UINT8)Layout.Signature, (UINT8)(Layout.Signature >> 8), (UINT8)(Layout.Signature >> 16),
                        (UINT8)(Layout.Signature >> 24)};
    Known = {DiskChecked, 0, 0, Signature, 1, (UINT8)(Layout.Signature != 0 ? 1 : 0), 0};
    UINT32 Logical = Number - 4;  // from 1
    if (Number == 0 || Number == 3 || Number == 4) {
      Known.Reason = MbrEntryMissing;
    } else if (Number <= 2) {
      Known.Start = Layout.Primary[Number - 1].First;
      Known.Size = Layout.Primary[Number - 1].Size;
    } else if (Logical <= (UINT32)Records && Logical <= MBR_CHAIN_MAX) {
      Known.Start = Layout.Chain[Logical - 1].Lba + Layout.Chain[Logical - 1].Logical.First;
      Known.Size = Layout.Chain[Logical - 1].Logical.Size;
    } else if (Records == 0) {
      Known.Reason = MbrRecordMissing;  // the extended partition holds no record
    } else if (Records > MBR_CHAIN_MAX || (Records == MBR_CHAIN_MAX && Loops)) {
      // The record after the last one allowed is still to come.
      Known.Reason = MbrChainTooLong;
    } else {
      Known.Reason = Loops ? MbrChainLoops : MbrEntryMissing;
    }
  }
  return MakeMbrDisk(Layout);
}

DiskBytes MakeCd(Input &In, bool Sound, UINT32 Number, UINT64 Start, Truth &Known) {
  ElToritoLayout Layout;
  Layout.CatalogSector = 18 + In.Byte();
  Layout.Default = {(UINT8)(In.Byte() & 1 ? 0x88 : 0), 0x1000u + In.Byte() % 8, 4, 0};
  int Sections = In.Byte() % 4;
  for (int Section = 0; Section < Sections; Section++) {
    uint8_t CountByte = In.Byte();
    std::vector<ElToritoEntry> Entries(CountByte >= 0xF0 ? 60 + (CountByte & 15) * 10 : CountByte % 6);
    for (ElToritoEntry &Entry : Entries) {
      Entry = {(UINT8)(In.Byte() & 1 ? 0x88 : 0), 0x1000u + In.Byte() % 8, 4, In.Byte() % 3};
    }
    Layout.Sections.push_back(Entries);
  }
  if (Sound) {
    // The node's number where an entry with its start has it, else the
    // first entry with its start.
    std::vector<UINT32> Loads = {Layout.Default.LoadRba};
    for (const auto &Section : Layout.Sections) {
      for (const ElToritoEntry &Entry : Section) {
        Loads.push_back(Entry.LoadRba);
      }
    }
    // Every record read before the one that ends the catalog: the
    // validation entry, the entries, the headers and the extensions.
    size_t Records = 2;
    for (const auto &Section : Layout.Sections) {
      Records++;
      for (const ElToritoEntry &Entry : Section) {
        Records += 1 + Entry.Extensions;
      }
    }
    Known.Reason = ElToritoEntryMissing;
    for (UINT32 Entry = 0; Entry < Loads.size(); Entry++) {
      if (Loads[Entry] == Start && (Known.Reason != DiskChecked || Entry == Number)) {
        Known = {DiskChecked, Start, 0, {}, 0, 0, Entry};
      }
    }
    if (Records >= EL_TORITO_ENTRIES_MAX) {
      Known.Reason = ElToritoCatalogTooLong;
    }
  }
  return MakeElToritoDisk(Layout);
}

bool UsableBlockSize(UINT32 BlockSize) {
  return BlockSize >= 512 && BlockSize <= 65536 && (BlockSize & (BlockSize - 1)) == 0;
}

bool Bytes(const DiskBytes &Disk, uint64_t At, const char *Text, size_t Count) {
  for (size_t Index = 0; Index < Count; Index++) {
    if (Le(Disk, At + Index, 1) != (UINT8)Text[Index]) {
      return false;
    }
  }
  return true;
}

UINT32 Crc(const DiskBytes &Disk, uint64_t At, uint64_t Size) {
  std::vector<UINT8> Copy(Size);
  for (uint64_t Index = 0; Index < Size; Index++) {
    Copy[Index] = (UINT8)Le(Disk, At + Index, 1);
  }
  return TestCrc32(Copy.data(), Copy.size());
}

Guid16 GuidAt(const DiskBytes &Disk, uint64_t At) {
  Guid16 Result;
  for (int Index = 0; Index < 16; Index++) {
    Result[Index] = (UINT8)Le(Disk, At + Index, 1);
  }
  return Result;
}

Guid16 GuidOf(const EFI_GUID &Guid) {
  Guid16 Result;
  memcpy(Result.data(), &Guid, 16);
  return Result;
}

bool IsExtended(UINT64 Type) { return Type == 0x05 || Type == 0x0F || Type == 0x85; }

// What the disk's GPT header says, read here.
struct GptHeader {
  bool Protective = false;  // LBA 0: a boot signature and an entry of type 0xEE
  bool Sound = false;  // "EFI PART", its size, its own LBA and its CRC32
  UINT64 Stored = 0, Computed = 0;  // its CRC32, stored and taken over it
  UINT64 Count = 0, Size = 0, Array = 0;
  bool SizeSound = false;  // 128 times a power of two
};

GptHeader ReadGptHeader(const DiskBytes &Disk, UINT32 B) {
  GptHeader Header;
  for (int Index = 0; Index < 4; Index++) {
    Header.Protective = Header.Protective || Le(Disk, 446 + 16 * Index + 4, 1) == 0xEE;
  }
  Header.Protective = Header.Protective && Le(Disk, 510, 2) == 0xAA55;
  UINT64 HeaderSize = Le(Disk, B + 12, 4);
  bool Shaped = Bytes(Disk, B, "EFI PART", 8) && HeaderSize >= 92 && HeaderSize <= B && Le(Disk, B + 24, 8) == 1;
  if (Shaped) {
    DiskBytes Bytes;
    for (uint64_t Index = 0; Index < HeaderSize; Index++) {
      Bytes.push_back(Index >= 16 && Index < 20 ? 0 : (UINT8)Le(Disk, B + Index, 1));
    }
    Header.Computed = TestCrc32(Bytes.data(), Bytes.size());
  }
  Header.Stored = Le(Disk, B + 16, 4);
  Header.Sound = Shaped && Header.Computed == Header.Stored;
  Header.Count = Le(Disk, B + 80, 4);
  Header.Size = Le(Disk, B + 84, 4);
  Header.Array = Le(Disk, B + 72, 8);
  Header.SizeSound = Header.Size >= 128 && (Header.Size & (Header.Size - 1)) == 0;
  return Header;
}

// What a GPT check says holds of the disk: an answer stands on a sound
// header and an entry array whose CRC32 holds; each reason names what it
// found; an array too large for the buffer is always refused as such.
void CheckGpt(const DiskBytes &Disk, UINT32 B, EFI_LBA LastBlock, UINT32 Number, const NodeCheck &Check,
              bool Faulted) {
  GptHeader Header = ReadGptHeader(Disk, B);
  CHECK(Header.Protective);
  bool EntryNamed = Header.Sound && Header.SizeSound && Number >= 1 && Number <= Header.Count;
  UINT64 ArrayBytes = Header.Count * Header.Size;
  if (EntryNamed && ArrayBytes > DISK_BUFFER_BYTES && LastBlock >= 1 && !Faulted) {
    CHECK(Check.Reason == GptEntryArrayTooLarge && Check.Values[0] == ArrayBytes);
  }
  switch (Check.Reason) {
    case GptHeaderCrcWrong:
      CHECK(!Header.Sound && Check.Values[0] == Header.Stored && Check.Values[1] == Header.Computed);
      break;
    case GptEntrySizeBad: CHECK(Header.Sound && !Header.SizeSound && Check.Values[0] == Header.Size); break;
    case GptEntryMissing:
      CHECK(Header.Sound && Header.SizeSound && !EntryNamed && Check.Values[1] == Header.Count);
      break;
    case GptEntryArrayTooLarge: CHECK(EntryNamed && ArrayBytes > DISK_BUFFER_BYTES); break;
    case GptEntryArrayCrcWrong:
      CHECK(EntryNamed && Check.Values[0] == Le(Disk, B + 88, 4) &&
            Check.Values[1] == Crc(Disk, Header.Array * B, ArrayBytes));
      break;
    default: break;
  }
  if (Check.Reason != DiskChecked) {
    return;
  }
  CHECK(EntryNamed && ArrayBytes <= DISK_BUFFER_BYTES && Header.Array <= LastBlock &&
        (ArrayBytes - 1) / B <= LastBlock - Header.Array);
  CHECK(Crc(Disk, Header.Array * B, ArrayBytes) == Le(Disk, B + 88, 4));
  uint64_t Entry = Header.Array * B + (Number - 1) * Header.Size;
  CHECK(GuidAt(Disk, Entry) != Guid16{});
  UINT64 First = Le(Disk, Entry + 32, 8), Last = Le(Disk, Entry + 40, 8);
  CHECK(Last >= First && Check.PartitionStart == First && Check.PartitionSize == Last - First + 1);
  CHECK(GuidOf(Check.Signature) == GuidAt(Disk, Entry + 16));
  CHECK(Check.PartitionFormat == 2 && Check.SignatureType == 2);
}

// An MBR answer: the disk signature, and an entry of the MBR or of a record
// that was read.
void CheckMbrAnswer(const DiskBytes &Disk, UINT32 B, const FakeFirmware &Firmware, UINT32 Number,
                    const NodeCheck &Check) {
  CHECK(Le(Disk, 510, 2) == 0xAA55);
  for (int Index = 0; Index < 4; Index++) {
    CHECK(Le(Disk, 446 + 16 * Index + 4, 1) != 0xEE);
  }
  UINT32 Signature = (UINT32)Le(Disk, 440, 4);
  CHECK(GuidOf(Check.Signature) == (Guid16{(UINT8)Signature, (UINT8)(Signature >> 8), (UINT8)(Signature >> 16),
                                           (UINT8)(Signature >> 24)}));
  CHECK(Check.PartitionFormat == 1 && Check.SignatureType == (Signature != 0 ? 1 : 0));
  CHECK(Number >= 1);
  if (Number <= 4) {
    uint64_t Entry = 446 + 16 * (Number - 1);
    CHECK(Le(Disk, Entry + 4, 1) != 0);
    CHECK(Check.PartitionStart == Le(Disk, Entry + 8, 4) && Check.PartitionSize == Le(Disk, Entry + 12, 4));
    return;
  }
  bool Found = false;
  for (size_t Read = 1; Read < Firmware.Reads.size(); Read++) {
    EFI_LBA Record = Firmware.Reads[Read].first;
    for (int Index = 0; Index < 4 && Le(Disk, Record * B + 510, 2) == 0xAA55; Index++) {
      uint64_t Entry = Record * B + 446 + 16 * Index;
      UINT64 Type = Le(Disk, Entry + 4, 1);
      Found = Found || (Type != 0 && !IsExtended(Type) && Check.PartitionStart == Record + Le(Disk, Entry + 8, 4) &&
                        Check.PartitionSize == Le(Disk, Entry + 12, 4));
    }
  }
  CHECK(Found);
}

// An El Torito answer: a boot record, and an entry of its catalog's first
// sectors that loads the node's start.
void CheckCdAnswer(const DiskBytes &Disk, UINT64 Start, const NodeCheck &Check) {
  CHECK(Le(Disk, 17 * 2048, 1) == 0 && Bytes(Disk, 17 * 2048 + 1, "CD001\1EL TORITO SPECIFICATION", 29));
  uint64_t Catalog = Le(Disk, 17 * 2048 + 0x47, 4) * 2048;
  bool Found = false;
  for (uint64_t Entry = Catalog + 32; Entry < Catalog + EL_TORITO_ENTRIES_MAX * 32; Entry += 32) {
    UINT64 Indicator = Le(Disk, Entry, 1);
    Found = Found || ((Indicator == 0x88 || Indicator == 0) && Le(Disk, Entry + 8, 4) == Start);
  }
  CHECK(Found && Check.PartitionStart == Start && Check.BootEntry < EL_TORITO_ENTRIES_MAX);
}

struct Run {
  NodeCheck Check;
  std::unique_ptr<FakeFirmware> Firmware;
};

Run CheckOnce(const std::shared_ptr<DiskBytes> &Disk, UINT32 BlockSize, EFI_LBA LastBlock,
              const std::vector<UINT8> &Node,
              int FailRead, EFI_STATUS ReadStatus, int FailCrc) {
  Run Result;
  Result.Firmware = std::make_unique<FakeFirmware>();
  FakeFirmware &Firmware = *Result.Firmware;
  Firmware.FailReadCall = FailRead;
  Firmware.ReadStatus = ReadStatus;
  Firmware.FailCrcCall = FailCrc;
  FakeBlockDevice &Device = Firmware.AddBlockDevice({}, Disk, BlockSize, LastBlock);
  // The buffer is exactly as large as the reader is told, so a write past
  // it is a heap overflow.
  std::unique_ptr<UINT8[]> Buffer(new UINT8[DISK_SCRATCH_BYTES]);
  DiskReader Reader = {&Device.Protocol, Device.Media.MediaId, BlockSize, LastBlock,
                       Firmware.BootServices.CalculateCrc32, Buffer.get()};
  // The node in a block of its own size.
  std::vector<UINT8> Exact(Node);
  memset(&Result.Check, 0xCD, sizeof Result.Check);
  if (Node[1] == 0x01) {
    CheckHardDriveNode(&Reader, Exact.data(), &Result.Check);
  } else {
    CheckCdromNode(&Reader, Exact.data(), &Result.Check);
  }
  return Result;
}

bool SameCheck(const NodeCheck &Left, const NodeCheck &Right) {
  bool Same = Left.Reason == Right.Reason && Left.Table == Right.Table && Left.Entry == Right.Entry;
  if (Left.Reason != DiskChecked) {
    return Same && Left.Values[0] == Right.Values[0] && Left.Values[1] == Right.Values[1];
  }
  return Same && Left.Differs == Right.Differs && Left.PartitionStart == Right.PartitionStart &&
         Left.PartitionSize == Right.PartitionSize && GuidOf(Left.Signature) == GuidOf(Right.Signature) &&
         Left.PartitionFormat == Right.PartitionFormat && Left.SignatureType == Right.SignatureType &&
         Left.BootEntry == Right.BootEntry;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  Input In{Data, Size};
  uint8_t Kind = In.Byte();
  bool Sound = (Kind & 4) != 0;
  Kind &= 3;
  uint8_t SizeByte = In.Byte();
  static const UINT32 Unusable[] = {0, 256, 520, 768, 131072, 0x80000000, 513, 4095};
  UINT32 BlockSize = SizeByte & 0x80 && !Sound ? Unusable[SizeByte & 7] : 512u << (SizeByte & 7);
  // An MBR's chain lies some hundred blocks in: with blocks of 64 KiB that
  // would be a disk of megabytes for each run.
  if ((Kind & 3) == 1 && BlockSize > 4096 && BlockSize <= 65536) {
    BlockSize = 4096;
  }
  uint8_t ReadByte = In.Byte(), CrcByte = In.Byte(), LastByte = In.Byte();
  int FailRead = Sound ? 0 : ReadByte & 7;
  static const EFI_STATUS Statuses[] = {EFI_DEVICE_ERROR, EFI_NO_MEDIA, EFI_MEDIA_CHANGED, EFI_INVALID_PARAMETER};
  EFI_STATUS ReadStatus = Statuses[ReadByte >> 3 & 3];
  int FailCrc = Sound ? 0 : CrcByte % 3;

  // The node: a hard-drive node for the tables, a CD-ROM node for El
  // Torito, numbered and placed from the input; its fields are made the
  // disk's own below where the input asks.
  // Mostly small, sometimes past the chains' and catalogs' limits.
  uint8_t NumberByte = In.Byte();
  UINT32 Number = NumberByte >= 0xF0 ? 100 + (NumberByte & 15) * 10 : NumberByte % 12;
  uint8_t Mismatch = In.Byte();
  UINT64 CdStart = 0x1000 + In.Byte() % 9;
  Truth Known;
  DiskBytes Disk;
  bool Cd = Kind == 2 || (Kind == 3 && (Mismatch & 0x80));
  switch (Kind) {
    case 0: Disk = MakeGpt(In, UsableBlockSize(BlockSize) ? BlockSize : 512, Sound, Number, Known); break;
    case 1: Disk = MakeMbr(In, UsableBlockSize(BlockSize) ? BlockSize : 512, Sound, Number, Known); break;
    case 2: Disk = MakeCd(In, Sound, Number, CdStart, Known); break;
    default: {
      size_t Count = In.Word() % 8192;
      for (size_t Index = 0; Index < Count; Index++) {
        Disk.push_back(In.Byte());
      }
      break;
    }
  }
  uint8_t Patches = Sound ? 0 : In.Byte() % 16;
  for (uint8_t Patch = 0; Patch < Patches; Patch++) {
    uint32_t At = In.Byte() | In.Byte() << 8 | In.Byte() << 16;
    uint8_t Value = In.Byte();
    if (!Disk.empty()) {
      Disk[At % Disk.size()] = Value;
    }
  }
  UINT64 DiskBlocks = UsableBlockSize(BlockSize) ? (Disk.size() + BlockSize - 1) / BlockSize : Disk.size() / 512;
  EFI_LBA LastBlock = DiskBlocks + 64;  // the tables' own blocks and more
  if (!Sound) {
    LastBlock = LastByte & 0x80 ? DiskBlocks + ((UINT64)1 << (LastByte & 63)) - 1
                                : (DiskBlocks > (LastByte & 15u) ? DiskBlocks - (LastByte & 15u) : 0);
  }

  std::vector<UINT8> Node;
  if (Cd) {
    UINT32 Entry = Known.Reason == DiskChecked && (Mismatch & 1) == 0 ? Known.BootEntry : Number;
    Node = CdromNode(Entry, CdStart, 4);
  } else {
    bool Take = Known.Reason == DiskChecked;
    Node = HardDriveNode(Number, Take && !(Mismatch & 1) ? Known.Start : In.Long(),
                         Take && !(Mismatch & 2) ? Known.Size : In.Long(),
                         Take && !(Mismatch & 4) ? Known.Signature : Guid16{In.Byte()},
                         Take && !(Mismatch & 8) ? Known.Format : In.Byte() % 4,
                         Take && !(Mismatch & 16) ? Known.SignatureType : In.Byte() % 4);
  }
  UINT32 NodeNumber = (UINT32)Le(Node, 4, 4);

  auto Shared = std::make_shared<DiskBytes>(Disk);
  Run First = CheckOnce(Shared, BlockSize, LastBlock, Node, FailRead, ReadStatus, FailCrc);
  const NodeCheck &Check = First.Check;
  const FakeFirmware &Firmware = *First.Firmware;
  CHECK(Firmware.Mistakes == 0);
  CHECK(Firmware.Reads.size() <= (Cd ? 1 + EL_TORITO_ENTRIES_MAX / 64 : 1 + MBR_CHAIN_MAX));
  CHECK(Check.Entry == NodeNumber);
  CHECK(Check.Reason < DiskReasonCount);
  // The same disk, the same check.
  Run Second = CheckOnce(Shared, BlockSize, LastBlock, Node, FailRead, ReadStatus, FailCrc);
  CHECK(SameCheck(Check, Second.Check));

  CHECK((Check.Reason == DiskBlockSizeUnusable) == !UsableBlockSize(BlockSize));
  if (!UsableBlockSize(BlockSize)) {
    CHECK(Firmware.Reads.empty() && Check.Values[0] == BlockSize);
    return 0;
  }
  bool ReadFailed = FailRead != 0 && (int)Firmware.Reads.size() >= FailRead;
  CHECK((Check.Reason == DiskReadFailed) == ReadFailed);
  if (ReadFailed) {
    CHECK((int)Firmware.Reads.size() == FailRead && Check.Values[0] == Firmware.Reads.back().first &&
          Check.Values[1] == ReadStatus);
  }
  CHECK((Check.Reason == DiskCrcFailed) == (FailCrc != 0 && Firmware.CrcCalls >= FailCrc));
  switch (Check.Reason) {
    case GptEntryMissing:
    case GptEntryUnused:
    case GptEntryEndsBeforeStart:
    case MbrEntryMissing: CHECK(Check.Values[0] == NodeNumber); break;
    case ElToritoEntryMissing: CHECK(Check.Values[0] == CdStart); break;
    default: break;
  }
  CHECK(Cd ? Check.Table == TableElTorito || Check.Table == TableNone : Check.Table != TableElTorito);

  if (Check.Table == TableGpt) {
    bool Faulted = ReadFailed || (FailCrc != 0 && Firmware.CrcCalls >= FailCrc);
    CheckGpt(Disk, BlockSize, LastBlock, NodeNumber, Check, Faulted);
  }
  if (Check.Reason == DiskChecked) {
    switch (Check.Table) {
      case TableGpt: break;
      case TableMbr: CheckMbrAnswer(Disk, BlockSize, Firmware, NodeNumber, Check); break;
      case TableElTorito: CheckCdAnswer(Disk, CdStart, Check); break;
      default: CHECK(false);
    }
    UINT32 Differs = 0;
    if (Cd) {
      Differs = Check.BootEntry != NodeNumber ? DISK_FIELD_BOOT_ENTRY : 0;
    } else {
      Differs |= Le(Node, 8, 8) != Check.PartitionStart ? DISK_FIELD_START : 0;
      Differs |= Le(Node, 16, 8) != Check.PartitionSize ? DISK_FIELD_SIZE : 0;
      Differs |= GuidAt(Node, 24) != GuidOf(Check.Signature) ? DISK_FIELD_SIGNATURE : 0;
      Differs |= Node[40] != Check.PartitionFormat ? DISK_FIELD_FORMAT : 0;
      Differs |= Node[41] != Check.SignatureType ? DISK_FIELD_SIGNATURE_TYPE : 0;
    }
    CHECK(Check.Differs == Differs);
  }
  // A sound disk gives the answer it was made with.
  if (Sound && Kind != 3) {
    CHECK(Check.Reason == Known.Reason);
    if (Known.Reason == DiskChecked) {
      if (Cd) {
        CHECK(Check.BootEntry == Known.BootEntry);
      } else {
        CHECK(Check.PartitionStart == Known.Start && Check.PartitionSize == Known.Size &&
              GuidOf(Check.Signature) == Known.Signature && Check.PartitionFormat == Known.Format &&
              Check.SignatureType == Known.SignatureType);
      }
    }
  }
  return 0;
}
