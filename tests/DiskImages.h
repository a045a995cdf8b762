// Disks made of bytes, for the disk check's tests and its fuzz target: a
// GPT, an MBR with a chain of logical partitions, an El Torito CD. Laid out
// here from the on-disk formats; nothing is taken from the application.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "UefiTypes.h"

using DiskBytes = std::vector<UINT8>;
using Guid16 = std::array<UINT8, 16>;

// Writes Value's Width low bytes, little-endian, at Offset, growing Disk as
// needed.
void PutLe(DiskBytes &Disk, uint64_t Offset, uint64_t Value, int Width);
void PutBytes(DiskBytes &Disk, uint64_t Offset, const UINT8 *Bytes, size_t Count);

struct GptPartition {
  Guid16 Type;
  Guid16 Unique;
  UINT64 First;
  UINT64 Last;
};

// A GPT as a disk holds it: a protective MBR, the header at LBA 1 and the
// entry array. The defaults are those of a sound disk.
struct GptLayout {
  UINT32 BlockSize = 512;
  UINT32 HeaderSize = 92;
  UINT64 MyLba = 1;
  UINT64 ArrayLba = 2;
  UINT32 Count = 128;
  UINT32 EntrySize = 128;
  std::vector<GptPartition> Partitions;  // entries 1, 2, ...
};

// The disk's first blocks, with both CRC32s right (the array's taken over
// Count * EntrySize bytes, when that is at most 1 MiB; 0 otherwise).
DiskBytes MakeGptDisk(const GptLayout &Layout);
// The header's CRC32 worked out anew, after a change to its fields.
void SealGptHeader(DiskBytes &Disk, UINT32 BlockSize);

struct MbrPartition {
  UINT8 Type;
  UINT32 First;
  UINT32 Size;
};

// An extended boot record: its LBA, its logical partition (First counted
// from the record) and, when there is one, the link to the next record
// (counted from the extended partition's start).
struct MbrRecord {
  UINT64 Lba;
  MbrPartition Logical;
  bool HasLink;
  UINT32 Link;
};

struct MbrLayout {
  UINT32 BlockSize = 512;
  UINT32 Signature = 0x5EC7A1B2;
  std::array<MbrPartition, 4> Primary = {};
  std::vector<MbrRecord> Chain;
};

DiskBytes MakeMbrDisk(const MbrLayout &Layout);
// Primary 1: data at 0x20; primary 2: the extended partition at 0x40. Its
// records lie one after another from 0x40 on, each with a link to the next
// but the last; their partitions, 8 blocks each, follow one another from
// 0x140 on: logical partition 5 at 0x140, 6 at 0x148, ...
MbrLayout ChainedMbr(int Logical);

struct ElToritoEntry {
  UINT8 Indicator = 0x88;  // bootable
  UINT32 LoadRba = 0;
  UINT16 SectorCount = 4;
  int Extensions = 0;  // selection-criteria extensions after it
};

// An ISO 9660 volume's boot record (sector 17) and its El Torito catalog:
// the validation entry, the initial/default entry and sections of entries,
// each under a header, the last one's header final.
struct ElToritoLayout {
  UINT32 CatalogSector = 0x22;
  ElToritoEntry Default;
  std::vector<std::vector<ElToritoEntry>> Sections;
};

DiskBytes MakeElToritoDisk(const ElToritoLayout &Layout);

// Device-path nodes.
std::vector<UINT8> HardDriveNode(UINT32 Number, UINT64 Start, UINT64 Size, const Guid16 &Signature, UINT8 Format,
                                 UINT8 SignatureType);
std::vector<UINT8> CdromNode(UINT32 BootEntry, UINT64 Start, UINT64 Size);
// The GUID text's bytes as a disk and a node hold them: the first three
// fields little-endian.
Guid16 GuidBytes(const char *Text);
