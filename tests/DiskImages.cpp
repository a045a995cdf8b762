#include "DiskImages.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "FakeFirmware.h"

void PutLe(DiskBytes &Disk, uint64_t Offset, uint64_t Value, int Width) {
  if (Disk.size() < Offset + Width) {
    Disk.resize(Offset + Width, 0);
  }
  for (int Index = 0; Index < Width; Index++) {
    Disk[Offset + Index] = (UINT8)(Value >> (8 * Index));
  }
}

void PutBytes(DiskBytes &Disk, uint64_t Offset, const UINT8 *Bytes, size_t Count) {
  if (Disk.size() < Offset + Count) {
    Disk.resize(Offset + Count, 0);
  }
  memcpy(Disk.data() + Offset, Bytes, Count);
}

namespace {

void PutMbrEntry(DiskBytes &Disk, uint64_t Record, int Index, const MbrPartition &Entry) {
  uint64_t At = Record + 446 + 16 * Index;
  PutLe(Disk, At + 4, Entry.Type, 1);
  PutLe(Disk, At + 8, Entry.First, 4);
  PutLe(Disk, At + 12, Entry.Size, 4);
}

void PutBootSignature(DiskBytes &Disk, uint64_t Record) { PutLe(Disk, Record + 510, 0xAA55, 2); }

}  // namespace

DiskBytes MakeGptDisk(const GptLayout &Layout) {
  DiskBytes Disk;
  const uint64_t Block = Layout.BlockSize;
  PutMbrEntry(Disk, 0, 0, {0xEE, 1, 0xFFFFFFFF});
  PutBootSignature(Disk, 0);
  // The array, then the header that names its CRC32.
  uint64_t Array = Layout.ArrayLba * Block;
  // Entries past the first MiB of the array are not written: an entry size
  // of 2^31 would make a disk of gigabytes.
  for (size_t Index = 0; Index < Layout.Partitions.size() && (Index + 1) * Layout.EntrySize <= (1 << 20); Index++) {
    const GptPartition &Partition = Layout.Partitions[Index];
    uint64_t At = Array + Index * Layout.EntrySize;
    PutBytes(Disk, At, Partition.Type.data(), 16);
    PutBytes(Disk, At + 16, Partition.Unique.data(), 16);
    PutLe(Disk, At + 32, Partition.First, 8);
    PutLe(Disk, At + 40, Partition.Last, 8);
  }
  uint64_t ArrayBytes = (uint64_t)Layout.Count * Layout.EntrySize;
  UINT32 ArrayCrc = 0;
  if (ArrayBytes <= (1 << 20)) {
    Disk.resize(std::max<uint64_t>(Disk.size(), Array + ArrayBytes), 0);
    ArrayCrc = TestCrc32(Disk.data() + Array, ArrayBytes);
  }
  const UINT8 Signature[] = {'E', 'F', 'I', ' ', 'P', 'A', 'R', 'T'};
  PutBytes(Disk, Block, Signature, 8);
  PutLe(Disk, Block + 8, 0x00010000, 4);
  PutLe(Disk, Block + 12, Layout.HeaderSize, 4);
  PutLe(Disk, Block + 24, Layout.MyLba, 8);
  PutLe(Disk, Block + 32, 0x7FFFF, 8);
  PutLe(Disk, Block + 40, 34, 8);
  PutLe(Disk, Block + 48, 0x7FFDE, 8);
  Guid16 DiskGuid = GuidBytes("5A7E1C0D-2B4F-4E8A-9C31-7D05E6F2A819");
  PutBytes(Disk, Block + 56, DiskGuid.data(), 16);
  PutLe(Disk, Block + 72, Layout.ArrayLba, 8);
  PutLe(Disk, Block + 80, Layout.Count, 4);
  PutLe(Disk, Block + 84, Layout.EntrySize, 4);
  PutLe(Disk, Block + 88, ArrayCrc, 4);
  Disk.resize(std::max<uint64_t>(Disk.size(), 2 * Block), 0);
  SealGptHeader(Disk, Layout.BlockSize);
  return Disk;
}

void SealGptHeader(DiskBytes &Disk, UINT32 BlockSize) {
  uint64_t Header = BlockSize;
  UINT32 Size = Disk[Header + 12] | Disk[Header + 13] << 8 | Disk[Header + 14] << 16 | (UINT32)Disk[Header + 15] << 24;
  // A header size past the block still gets a CRC32 of what the disk holds.
  Disk.resize(std::max<uint64_t>(Disk.size(), Header + Size), 0);
  PutLe(Disk, Header + 16, 0, 4);
  PutLe(Disk, Header + 16, TestCrc32(Disk.data() + Header, Size), 4);
}

DiskBytes MakeMbrDisk(const MbrLayout &Layout) {
  DiskBytes Disk;
  const uint64_t Block = Layout.BlockSize;
  PutLe(Disk, 440, Layout.Signature, 4);
  for (int Index = 0; Index < 4; Index++) {
    PutMbrEntry(Disk, 0, Index, Layout.Primary[Index]);
  }
  PutBootSignature(Disk, 0);
  for (const MbrRecord &Record : Layout.Chain) {
    uint64_t At = Record.Lba * Block;
    PutMbrEntry(Disk, At, 0, Record.Logical);
    if (Record.HasLink) {
      PutMbrEntry(Disk, At, 1, {0x05, Record.Link, 0x1000});
    }
    PutBootSignature(Disk, At);
  }
  return Disk;
}

MbrLayout ChainedMbr(int Logical) {
  MbrLayout Layout;
  Layout.Primary[0] = {0x83, 0x20, 0x20};
  Layout.Primary[1] = {0x05, 0x40, 0x4000};
  for (int Index = 0; Index < Logical; Index++) {
    Layout.Chain.push_back({0x40 + (UINT64)Index, {0x0C, 0x100 + 7 * (UINT32)Index, 8}, Index + 1 < Logical,
                            (UINT32)Index + 1});
  }
  return Layout;
}

namespace {

void PutBootEntry(DiskBytes &Disk, uint64_t At, const ElToritoEntry &Entry) {
  PutLe(Disk, At, Entry.Indicator, 1);
  // Media type: no emulation, and whether an extension follows.
  PutLe(Disk, At + 1, Entry.Extensions > 0 ? 0x20 : 0, 1);
  PutLe(Disk, At + 4, 0xEF, 1);
  PutLe(Disk, At + 6, Entry.SectorCount, 2);
  PutLe(Disk, At + 8, Entry.LoadRba, 4);
}

}  // namespace

DiskBytes MakeElToritoDisk(const ElToritoLayout &Layout) {
  DiskBytes Disk;
  const uint64_t Record = 17 * 2048;
  const char Identifier[] = "CD001\1EL TORITO SPECIFICATION";
  PutBytes(Disk, Record + 1, (const UINT8 *)Identifier, sizeof Identifier - 1);
  PutLe(Disk, Record + 0x47, Layout.CatalogSector, 4);

  uint64_t At = (uint64_t)Layout.CatalogSector * 2048;
  // The validation entry: its words add up to 0 with the checksum at 28.
  PutLe(Disk, At, 1, 1);
  PutLe(Disk, At + 1, 0xEF, 1);
  PutBytes(Disk, At + 4, (const UINT8 *)"QUILLMERE TEST", 14);
  PutLe(Disk, At + 30, 0xAA55, 2);
  UINT16 Sum = 0;
  for (int Index = 0; Index < 32; Index += 2) {
    Sum = (UINT16)(Sum + (Disk[At + Index] | Disk[At + Index + 1] << 8));
  }
  PutLe(Disk, At + 28, (UINT16)(0x10000 - Sum), 2);
  At += 32;
  PutBootEntry(Disk, At, Layout.Default);
  At += 32;
  for (size_t Section = 0; Section < Layout.Sections.size(); Section++) {
    PutLe(Disk, At, Section + 1 == Layout.Sections.size() ? 0x91 : 0x90, 1);
    PutLe(Disk, At + 1, 0xEF, 1);
    PutLe(Disk, At + 2, Layout.Sections[Section].size(), 2);
    At += 32;
    for (const ElToritoEntry &Entry : Layout.Sections[Section]) {
      PutBootEntry(Disk, At, Entry);
      At += 32;
      for (int Extension = 0; Extension < Entry.Extensions; Extension++) {
        PutLe(Disk, At, 0x44, 1);
        PutLe(Disk, At + 1, Extension + 1 < Entry.Extensions ? 0x20 : 0, 1);
        At += 32;
      }
    }
  }
  // The sector after the catalog holds something, as a boot image would.
  Disk.resize(std::max<uint64_t>(Disk.size(), (Layout.CatalogSector + 1) * (uint64_t)2048), 0);
  return Disk;
}

namespace {

DiskBytes MediaNode(UINT8 SubType, UINT16 Length) {
  DiskBytes Node(Length, 0);
  PutLe(Node, 0, 0x04, 1);
  PutLe(Node, 1, SubType, 1);
  PutLe(Node, 2, Length, 2);
  return Node;
}

}  // namespace

std::vector<UINT8> HardDriveNode(UINT32 Number, UINT64 Start, UINT64 Size, const Guid16 &Signature, UINT8 Format,
                                 UINT8 SignatureType) {
  DiskBytes Node = MediaNode(0x01, 42);
  PutLe(Node, 4, Number, 4);
  PutLe(Node, 8, Start, 8);
  PutLe(Node, 16, Size, 8);
  PutBytes(Node, 24, Signature.data(), 16);
  PutLe(Node, 40, Format, 1);
  PutLe(Node, 41, SignatureType, 1);
  return Node;
}

std::vector<UINT8> CdromNode(UINT32 BootEntry, UINT64 Start, UINT64 Size) {
  DiskBytes Node = MediaNode(0x02, 24);
  PutLe(Node, 4, BootEntry, 4);
  PutLe(Node, 8, Start, 8);
  PutLe(Node, 16, Size, 8);
  return Node;
}

Guid16 GuidBytes(const char *Text) {
  // 8-4-4-4-12 hexadecimal digits; the first three fields are stored
  // little-endian, the last two byte by byte.
  static const int Order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
  UINT8 InText[16];
  int Byte = 0;
  for (const char *At = Text; *At != 0 && Byte < 16; At++) {
    if (*At == '-') {
      continue;
    }
    char Pair[3] = {At[0], At[1], 0};
    InText[Byte++] = (UINT8)strtoul(Pair, nullptr, 16);
    At++;
  }
  Guid16 Result;
  for (int Index = 0; Index < 16; Index++) {
    Result[Index] = InText[Order[Index]];
  }
  return Result;
}
