#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "DiskCheck.h"
#include "DiskImages.h"
#include "FakeFirmware.h"
#include "PageEnd.h"

namespace {

using Bytes = std::vector<UINT8>;

// The path in front of every node: a PCI root and a device behind it. The
// disk's handle carries this path; the partition's, the path with the node.
const Bytes DiskPath = {0x02, 0x01, 12, 0, 0xD0, 0x41, 0x03, 0x0A, 0, 0, 0, 0, 0x01, 0x01, 6, 0, 1, 2};

const Guid16 EspGuid = GuidBytes("3F0A9C2E-71B4-4D6A-8E5C-B2D49A07F1E3");
const Guid16 DataGuid = GuidBytes("1D5C3B2A-0E4F-4A6B-8C7D-9E0F1A2B3C4D");
const Guid16 OtherGuid = GuidBytes("0FC63DAF-8483-4772-8E79-3D69D8477DE4");
const Guid16 EspType = GuidBytes("C12A7328-F81F-11D2-BA4B-00A0C93EC93B");
const Guid16 LinuxType = GuidBytes("0FC63DAF-8483-4772-8E79-3D69D8477DE4");
const Guid16 MbrSignature = {0xB2, 0xA1, 0xC7, 0x5E};
const Guid16 NoSignature = {};

// The disk of scripts/make-disk.sh's GPT layout, and a third partition.
GptLayout SoundGpt() {
  GptLayout Layout;
  Layout.Partitions = {{LinuxType, DataGuid, 0x800, 0x27FF},
                       {EspType, EspGuid, 0x2800, 0x113FF},
                       {LinuxType, OtherGuid, 0x11400, 0x7FFDE}};
  return Layout;
}

Bytes EspNode(UINT32 Number = 2) { return HardDriveNode(Number, 0x2800, 0xEC00, EspGuid, 2, 2); }
Bytes LogicalNode(UINT32 Number, UINT64 Start) { return HardDriveNode(Number, Start, 8, MbrSignature, 1, 1); }
Bytes PrimaryNode(const Guid16 &Signature = MbrSignature, UINT8 SignatureType = 1) {
  return HardDriveNode(1, 0x20, 0x20, Signature, 1, SignatureType);
}

MbrLayout WithBlockSize(MbrLayout Layout, UINT32 BlockSize) {
  Layout.BlockSize = BlockSize;
  return Layout;
}

MbrLayout WithPrimary(MbrLayout Layout, int Index, MbrPartition Partition) {
  Layout.Primary[Index] = Partition;
  return Layout;
}

ElToritoLayout SoundCd() {
  ElToritoLayout Layout;
  Layout.Default.LoadRba = 0x23;
  Layout.Sections = {{{0x88, 0x40, 8, 2}, {0x00, 0x50, 8, 0}}, {{0x88, 0x60, 8, 1}}};
  return Layout;
}

// One check: the disk and the node, what the firmware does, the lines.
struct Scene {
  std::string Name;
  DiskBytes Disk;
  Bytes Node;
  std::vector<std::string> Lines;
  std::function<void(FakeFirmware &, FakeBlockDevice &)> Firmware = nullptr;
  UINT32 BlockSize = 512;
  EFI_LBA LastBlock = 0x7FFFF;
};

void PrintTo(const Scene &Case, std::ostream *Stream) { *Stream << Case.Name; }

std::string Line(const std::string &Text) { return "    DiskCheck:" + Text + " "; }
std::string NotChecked(const std::string &Reason) { return Line("not checked: " + Reason); }

template <typename Change>
DiskBytes Changed(DiskBytes Disk, Change Apply) {
  Apply(Disk);
  return Disk;
}

GptLayout WithGpt(std::function<void(GptLayout &)> Apply) {
  GptLayout Layout = SoundGpt();
  Apply(Layout);
  return Layout;
}

// A sound GPT disk with a header field changed and the header's CRC32 made
// right again, so that only the field's own check can refuse it.
DiskBytes GptWithField(int Offset, uint64_t Value, int Width, UINT32 BlockSize = 512) {
  GptLayout Layout = SoundGpt();
  Layout.BlockSize = BlockSize;
  DiskBytes Disk = MakeGptDisk(Layout);
  PutLe(Disk, BlockSize + Offset, Value, Width);
  SealGptHeader(Disk, BlockSize);
  return Disk;
}

std::string Hex(uint64_t Value, int Digits = 0) {
  char Text[24];
  snprintf(Text, sizeof Text, "0x%0*llX", Digits, (unsigned long long)Value);
  return Text;
}

UINT32 Le32(const DiskBytes &Disk, uint64_t At) {
  return Disk[At] | Disk[At + 1] << 8 | Disk[At + 2] << 16 | (UINT32)Disk[At + 3] << 24;
}

// The CRC32 line for a header or array whose stored CRC32 is Stored and
// whose bytes give Computed.
std::string CrcLine(const std::string &What, UINT32 Stored, UINT32 Computed) {
  return NotChecked(What + " CRC32 " + Hex(Stored, 8) + ", computed " + Hex(Computed, 8));
}

Scene HeaderBitFlipped() {
  DiskBytes Disk = MakeGptDisk(SoundGpt());
  UINT32 Stored = Le32(Disk, 512 + 16);
  Disk[512 + 40] ^= 0x08;  // one bit of FirstUsableLBA
  DiskBytes Zeroed = Disk;
  PutLe(Zeroed, 512 + 16, 0, 4);
  return {"GptHeaderCrcOffByOneBit", Disk, EspNode(), {CrcLine("GPT header", Stored, TestCrc32(&Zeroed[512], 92))}};
}

Scene ArrayBitFlipped() {
  DiskBytes Disk = MakeGptDisk(SoundGpt());
  UINT32 Stored = Le32(Disk, 512 + 88);
  Disk[1024 + 128 * 127] ^= 0x01;  // in the last, unused entry
  return {"GptEntryArrayCrcOffByOneBit", Disk, EspNode(),
          {CrcLine("GPT entry array", Stored, TestCrc32(&Disk[1024], 128 * 128))}};
}

std::vector<Scene> Scenes() {
  MbrLayout Loop = ChainedMbr(3);
  Loop.Chain[2].HasLink = true;
  Loop.Chain[2].Link = 1;  // back to the second record
  MbrLayout SelfLoop = ChainedMbr(1);
  SelfLoop.Chain[0].HasLink = true;
  SelfLoop.Chain[0].Link = 0;
  MbrLayout Long = ChainedMbr(MBR_CHAIN_MAX + 1);
  MbrLayout Unsigned = ChainedMbr(2);
  MbrLayout NoExtended = ChainedMbr(0);
  NoExtended.Primary[1] = {};
  MbrLayout Zero = ChainedMbr(0);
  Zero.Signature = 0;
  ElToritoLayout LongCatalog = SoundCd();
  LongCatalog.Sections = {std::vector<ElToritoEntry>(EL_TORITO_ENTRIES_MAX, ElToritoEntry{0x00, 0x99, 4, 0})};
  ElToritoLayout Shared = SoundCd();
  Shared.Sections[1][0].LoadRba = 0x40;  // entries 1 and 3 load the same image

  std::vector<Scene> Cases = {
      // Sound disks: one line.
      {"GptEntry2Matches", MakeGptDisk(SoundGpt()), EspNode(), {Line("GPT entry 2 matches")}},
      {"GptEntry3Matches", MakeGptDisk(SoundGpt()), HardDriveNode(3, 0x11400, 0x6EBDF, OtherGuid, 2, 2),
       {Line("GPT entry 3 matches")}},
      {"GptOn4096ByteBlocks", MakeGptDisk(WithGpt([](GptLayout &L) { L.BlockSize = 4096; })), EspNode(),
       {Line("GPT entry 2 matches")}, nullptr, 4096},
      {"GptEntriesOf256Bytes", MakeGptDisk(WithGpt([](GptLayout &L) { L.EntrySize = 256; })), EspNode(),
       {Line("GPT entry 2 matches")}},
      // The largest array taken, exactly the buffer.
      {"GptArrayOf65536Bytes", MakeGptDisk(WithGpt([](GptLayout &L) { L.Count = 512; })), EspNode(),
       {Line("GPT entry 2 matches")}},
      {"GptHeaderFillsItsBlock", GptWithField(12, 512, 4), EspNode(), {Line("GPT entry 2 matches")}},
      {"MbrPrimaryMatches", MakeMbrDisk(ChainedMbr(0)), PrimaryNode(), {Line("MBR entry 1 matches")}},
      {"MbrLogical5Matches", MakeMbrDisk(ChainedMbr(2)), LogicalNode(5, 0x140), {Line("MBR entry 5 matches")}},
      {"MbrLogical6Matches", MakeMbrDisk(ChainedMbr(2)), LogicalNode(6, 0x148), {Line("MBR entry 6 matches")}},
      {"MbrLogical6On4096ByteBlocks", MakeMbrDisk(WithBlockSize(ChainedMbr(2), 4096)), LogicalNode(6, 0x148),
       {Line("MBR entry 6 matches")}, nullptr, 4096},
      {"MbrWithoutSignatureHasSignatureType0", MakeMbrDisk(Zero), PrimaryNode(NoSignature, 0),
       {Line("MBR entry 1 matches")}},
      // A hybrid ISO's first partition covers the disk from sector 0.
      {"MbrPartitionFromSector0", MakeMbrDisk(WithPrimary(ChainedMbr(0), 0, {0x17, 0, 0x5000})),
       HardDriveNode(1, 0, 0x5000, MbrSignature, 1, 1), {Line("MBR entry 1 matches")}},
      {"ElToritoDefaultEntryIs0", MakeElToritoDisk(SoundCd()), CdromNode(0, 0x23, 0x5A0),
       {Line("El Torito entry 0 matches")}, nullptr, 2048},
      {"ElToritoEntriesAfterExtensions", MakeElToritoDisk(SoundCd()), CdromNode(3, 0x60, 8),
       {Line("El Torito entry 3 matches")}, nullptr, 2048},
      {"ElToritoNonBootableEntryCounts", MakeElToritoDisk(SoundCd()), CdromNode(2, 0x50, 8),
       {Line("El Torito entry 2 matches")}, nullptr, 2048},
      {"ElToritoSameImageTwiceTakesTheNodesNumber", MakeElToritoDisk(Shared), CdromNode(3, 0x40, 8),
       {Line("El Torito entry 3 matches")}, nullptr, 2048},
      {"ElToritoOn512ByteBlocks", MakeElToritoDisk(SoundCd()), CdromNode(0, 0x23, 0x5A0),
       {Line("El Torito entry 0 matches")}, nullptr, 512},
      {"ElToritoOn4096ByteBlocks", MakeElToritoDisk(SoundCd()), CdromNode(1, 0x40, 8),
       {Line("El Torito entry 1 matches")}, nullptr, 4096},

      // Each field that differs: its line, with the disk's value.
      {"StartDiffers", MakeGptDisk(SoundGpt()), HardDriveNode(2, 0x2801, 0xEC00, EspGuid, 2, 2),
       {Line("GPT entry 2 differs: PartitionStart 0x2800")}},
      {"SizeDiffers", MakeGptDisk(SoundGpt()), HardDriveNode(2, 0x2800, 0xEBFF, EspGuid, 2, 2),
       {Line("GPT entry 2 differs: PartitionSize 0xEC00")}},
      {"SignatureDiffers", MakeGptDisk(SoundGpt()), HardDriveNode(2, 0x2800, 0xEC00, OtherGuid, 2, 2),
       {Line("GPT entry 2 differs: PartitionSig 3F0A9C2E-71B4-4D6A-8E5C-B2D49A07F1E3")}},
      {"FormatDiffers", MakeGptDisk(SoundGpt()), HardDriveNode(2, 0x2800, 0xEC00, EspGuid, 1, 2),
       {Line("GPT entry 2 differs: PartitionFormat 2")}},
      {"SignatureTypeDiffers", MakeGptDisk(SoundGpt()), HardDriveNode(2, 0x2800, 0xEC00, EspGuid, 2, 1),
       {Line("GPT entry 2 differs: SignatureType 2")}},
      {"MbrSignatureDiffers", MakeMbrDisk(ChainedMbr(0)), PrimaryNode(OtherGuid),
       {Line("MBR entry 1 differs: PartitionSig 5EC7A1B2-0000-0000-0000-000000000000")}},
      {"MbrSignature0SaysType0", MakeMbrDisk(Zero), PrimaryNode(),
       {Line("MBR entry 1 differs: PartitionSig 00000000-0000-0000-0000-000000000000"),
        Line("MBR entry 1 differs: SignatureType 0")}},
      {"EveryFieldDiffersInTheBlocksOrder", MakeGptDisk(SoundGpt()), HardDriveNode(2, 1, 2, MbrSignature, 1, 1),
       {Line("GPT entry 2 differs: PartitionStart 0x2800"), Line("GPT entry 2 differs: PartitionSize 0xEC00"),
        Line("GPT entry 2 differs: PartitionSig 3F0A9C2E-71B4-4D6A-8E5C-B2D49A07F1E3"),
        Line("GPT entry 2 differs: PartitionFormat 2"), Line("GPT entry 2 differs: SignatureType 2")}},
      // A node the firmware made from an MBR, on a disk with a GPT.
      {"MbrNodeOnAGptDisk", MakeGptDisk(SoundGpt()), HardDriveNode(2, 0x2800, 0xEC00, MbrSignature, 1, 1),
       {Line("GPT entry 2 differs: PartitionSig 3F0A9C2E-71B4-4D6A-8E5C-B2D49A07F1E3"),
        Line("GPT entry 2 differs: PartitionFormat 2"), Line("GPT entry 2 differs: SignatureType 2")}},
      // U-Boot's numbering: the only entry, the initial/default one, as 1.
      {"ElToritoDefaultEntryNumbered1", MakeElToritoDisk(SoundCd()), CdromNode(1, 0x23, 0x5A0),
       {Line("El Torito entry 1 differs: BootEntry 0")}, nullptr, 2048},

      // Each reason: its line.
      {"NoBlockIo", MakeGptDisk(SoundGpt()), EspNode(), {NotChecked("no Block I/O for the disk (Not Found)")},
       [](FakeFirmware &F, FakeBlockDevice &) { F.FailLocateDevicePath = true; }},
      // Only a controller in front of the disk carries Block I/O: not the disk.
      {"BlockIoOnlyAhead", MakeGptDisk(SoundGpt()), EspNode(), {NotChecked("no Block I/O for the disk (Not Found)")},
       [](FakeFirmware &, FakeBlockDevice &Disk) { Disk.Path.resize(12); }},
      {"BlockIoOpenFails", MakeGptDisk(SoundGpt()), EspNode(),
       {NotChecked("Block I/O of the disk not opened (Unsupported)")},
       [](FakeFirmware &F, FakeBlockDevice &) { F.FailBlockIoOpen = true; }},
      {"BlockIoOpenGivesNull", MakeGptDisk(SoundGpt()), EspNode(),
       {NotChecked("Block I/O of the disk not opened (Unsupported)")},
       [](FakeFirmware &F, FakeBlockDevice &) { F.BlockIoIsNull = true; }},
      {"NoMedium", MakeGptDisk(SoundGpt()), EspNode(), {NotChecked("no medium")},
       [](FakeFirmware &, FakeBlockDevice &Disk) { Disk.Media.MediaPresent = FALSE; }},
      {"NoMediaRecord", MakeGptDisk(SoundGpt()), EspNode(), {NotChecked("no medium")},
       [](FakeFirmware &, FakeBlockDevice &Disk) { Disk.Protocol.Media = nullptr; }},
      {"IoAlignOf512IsKept", MakeGptDisk(SoundGpt()), EspNode(), {Line("GPT entry 2 matches")},
       [](FakeFirmware &, FakeBlockDevice &Disk) { Disk.Media.IoAlign = 512; }},
      {"IoAlignNotAPowerOfTwo", MakeGptDisk(SoundGpt()), EspNode(), {NotChecked("unusable I/O alignment 24")},
       [](FakeFirmware &, FakeBlockDevice &Disk) { Disk.Media.IoAlign = 24; }},
      {"IoAlignPastAPage", MakeGptDisk(SoundGpt()), EspNode(), {NotChecked("unusable I/O alignment 8192")},
       [](FakeFirmware &, FakeBlockDevice &Disk) { Disk.Media.IoAlign = 8192; }},
      {"NoPoolForThePath", MakeGptDisk(SoundGpt()), EspNode(), {NotChecked("no pool memory (Out of Resources)")},
       [](FakeFirmware &F, FakeBlockDevice &) { F.FailAllocationCall = 1; }},
      {"NoPoolForTheBuffer", MakeGptDisk(SoundGpt()), EspNode(), {NotChecked("no pool memory (Out of Resources)")},
       [](FakeFirmware &F, FakeBlockDevice &) { F.FailAllocationCall = 2; }},
      {"BlockSize0", MakeGptDisk(SoundGpt()), EspNode(), {NotChecked("unusable block size 0")}, nullptr, 0},
      {"BlockSize256", MakeGptDisk(SoundGpt()), EspNode(), {NotChecked("unusable block size 256")}, nullptr, 256},
      {"BlockSize520", MakeGptDisk(SoundGpt()), EspNode(), {NotChecked("unusable block size 520")}, nullptr, 520},
      {"BlockSizePastTheBuffer", MakeGptDisk(SoundGpt()), EspNode(), {NotChecked("unusable block size 131072")},
       nullptr, 131072},
      {"CdBlockSize1000", MakeElToritoDisk(SoundCd()), CdromNode(0, 0x23, 0), {NotChecked("unusable block size 1000")},
       nullptr, 1000},
      {"DiskOfOneBlock", MakeGptDisk(SoundGpt()), EspNode(), {NotChecked("read at LBA 0x1 passes the last block 0x0")},
       nullptr, 512, 0},
      {"GptArrayPastTheDisk", GptWithField(72, 0x7FFF0, 8), EspNode(),
       {NotChecked("read at LBA 0x7FFF0 passes the last block 0x7FFFF")}},
      {"GptArrayFarPastTheDisk", GptWithField(72, 0xFFFFFFFFFFFFFFF0, 8), EspNode(),
       {NotChecked("read at LBA 0xFFFFFFFFFFFFFFF0 passes the last block 0x7FFFF")}},
      {"ReadOfLba0Fails", MakeGptDisk(SoundGpt()), EspNode(), {NotChecked("read of LBA 0x0 failed (Device Error)")},
       [](FakeFirmware &F, FakeBlockDevice &) { F.FailReadCall = 1; }},
      {"ReadOfTheHeaderFails", MakeGptDisk(SoundGpt()), EspNode(), {NotChecked("read of LBA 0x1 failed (No Media)")},
       [](FakeFirmware &F, FakeBlockDevice &) {
         F.FailReadCall = 2;
         F.ReadStatus = EFI_NO_MEDIA;
       }},
      {"ReadOfTheArrayFails", MakeGptDisk(SoundGpt()), EspNode(),
       {NotChecked("read of LBA 0x2 failed (Media changed)")},
       [](FakeFirmware &F, FakeBlockDevice &) {
         F.FailReadCall = 3;
         F.ReadStatus = EFI_MEDIA_CHANGED;
       }},
      {"ReadOfARecordFails", MakeMbrDisk(ChainedMbr(2)), LogicalNode(6, 0x148),
       {NotChecked("read of LBA 0x41 failed (Device Error)")},
       [](FakeFirmware &F, FakeBlockDevice &) { F.FailReadCall = 3; }},
      {"ReadOfTheCatalogFails", MakeElToritoDisk(SoundCd()), CdromNode(0, 0x23, 0),
       {NotChecked("read of LBA 0x22 failed (Device Error)")},
       [](FakeFirmware &F, FakeBlockDevice &) { F.FailReadCall = 2; }, 2048},
      {"HeaderCrcFails", MakeGptDisk(SoundGpt()), EspNode(), {NotChecked("CalculateCrc32 failed (Invalid Parameter)")},
       [](FakeFirmware &F, FakeBlockDevice &) { F.FailCrcCall = 1; }},
      {"ArrayCrcFails", MakeGptDisk(SoundGpt()), EspNode(), {NotChecked("CalculateCrc32 failed (Invalid Parameter)")},
       [](FakeFirmware &F, FakeBlockDevice &) { F.FailCrcCall = 2; }},
      {"NoMbr", DiskBytes(4096, 0), EspNode(), {NotChecked("no MBR at LBA 0")}},
      {"NoGptHeader", Changed(MakeGptDisk(SoundGpt()), [](DiskBytes &D) { D[512] = 'e'; }), EspNode(),
       {NotChecked("no GPT header at LBA 1")}},
      {"GptHeaderOf91Bytes", GptWithField(12, 91, 4), EspNode(), {NotChecked("GPT header size 91")}},
      {"GptHeaderPastItsBlock", GptWithField(12, 513, 4), EspNode(), {NotChecked("GPT header size 513")}},
      {"GptHeaderOfAnotherLba", GptWithField(24, 0x7FFFF, 8), EspNode(),
       {NotChecked("GPT header at LBA 1 names LBA 0x7FFFF")}},
      HeaderBitFlipped(),
      {"GptEntrySize0", GptWithField(84, 0, 4), EspNode(), {NotChecked("GPT entry size 0")}},
      {"GptEntrySize64", GptWithField(84, 64, 4), EspNode(), {NotChecked("GPT entry size 64")}},
      {"GptEntrySize192", GptWithField(84, 192, 4), EspNode(), {NotChecked("GPT entry size 192")}},
      // 2^25 entries of 128 bytes: 2^32 bytes, which a 32-bit product
      // would take for 0.
      {"GptArrayOf2To32Bytes", GptWithField(80, 1 << 25, 4), EspNode(),
       {NotChecked("GPT entry array of 4294967296 bytes, too large")}},
      {"GptEntryCountOf2To32Less1", GptWithField(80, 0xFFFFFFFF, 4), EspNode(),
       {NotChecked("GPT entry array of 549755813760 bytes, too large")}},
      {"GptArrayOneEntryPastTheBuffer", GptWithField(80, 513, 4), EspNode(),
       {NotChecked("GPT entry array of 65664 bytes, too large")}},
      ArrayBitFlipped(),
      {"GptEntry0", MakeGptDisk(SoundGpt()), EspNode(0), {NotChecked("no GPT entry 0 of 128")}},
      {"GptEntryPastTheCount", MakeGptDisk(SoundGpt()), EspNode(129), {NotChecked("no GPT entry 129 of 128")}},
      {"GptEntryCount0", GptWithField(80, 0, 4), EspNode(), {NotChecked("no GPT entry 2 of 0")}},
      {"GptEntryUnused", MakeGptDisk(SoundGpt()), EspNode(4), {NotChecked("GPT entry 4 unused")}},
      {"GptEntryBackwards",
       MakeGptDisk(WithGpt([](GptLayout &L) { L.Partitions[1].Last = L.Partitions[1].First - 1; })), EspNode(),
       {NotChecked("GPT entry 2 ends before it starts")}},
      {"MbrEntry0", MakeMbrDisk(ChainedMbr(2)), LogicalNode(0, 0x140), {NotChecked("no MBR entry 0")}},
      {"MbrPrimaryUnused", MakeMbrDisk(ChainedMbr(2)), LogicalNode(3, 0x140), {NotChecked("no MBR entry 3")}},
      {"MbrLogicalWithoutExtended", MakeMbrDisk(NoExtended), LogicalNode(5, 0x140), {NotChecked("no MBR entry 5")}},
      {"MbrLogicalPastTheChain", MakeMbrDisk(ChainedMbr(2)), LogicalNode(7, 0x150), {NotChecked("no MBR entry 7")}},
      {"MbrRecordWithoutSignature", Changed(MakeMbrDisk(Unsigned), [](DiskBytes &D) { D[0x41 * 512 + 511] = 0; }),
       LogicalNode(6, 0x148), {NotChecked("no extended boot record at LBA 0x41")}},
      // The third record leads back to the second: partitions 8 and on
      // would be the loop's partitions counted again.
      {"MbrChainLoops", MakeMbrDisk(Loop), LogicalNode(8, 0x158), {NotChecked("MBR chain loops at LBA 0x41")}},
      {"MbrRecordLinksToItself", MakeMbrDisk(SelfLoop), LogicalNode(6, 0x148),
       {NotChecked("MBR chain loops at LBA 0x40")}},
      {"MbrChainPastItsLimit", MakeMbrDisk(Long), LogicalNode(200, 0x140),
       {NotChecked("MBR chain of more than 128 records")}},
      {"MbrLastRecordOfTheLimit", MakeMbrDisk(Long), LogicalNode(4 + MBR_CHAIN_MAX, 0x140 + 8 * 127),
       {Line("MBR entry 132 matches")}},
      {"NoElTorito", DiskBytes(40 * 2048, 0), CdromNode(0, 0x23, 0), {NotChecked("no El Torito boot record")},
       nullptr, 2048},
      {"ElToritoChecksumWrong", Changed(MakeElToritoDisk(SoundCd()), [](DiskBytes &D) { D[0x22 * 2048 + 5]++; }),
       CdromNode(0, 0x23, 0), {NotChecked("bad El Torito catalog at sector 0x22")}, nullptr, 2048},
      {"ElToritoDefaultEntryNotAnEntry",
       Changed(MakeElToritoDisk(SoundCd()), [](DiskBytes &D) { D[0x22 * 2048 + 32] = 0x44; }), CdromNode(0, 0x23, 0),
       {NotChecked("bad El Torito catalog at sector 0x22")}, nullptr, 2048},
      {"ElToritoCatalogPastItsLimit", MakeElToritoDisk(LongCatalog), CdromNode(0, 0x77, 0),
       {NotChecked("El Torito catalog not ended within 256 entries")}, nullptr, 2048},
      {"ElToritoNoEntryAtTheStart", MakeElToritoDisk(SoundCd()), CdromNode(0, 0x24, 0),
       {NotChecked("no El Torito entry at RBA 0x24")}, nullptr, 2048},
  };
  return Cases;
}

class Verify : public testing::TestWithParam<Scene> {};

// The node lies in a path at the end of a page, so that reading one byte
// past it faults.
TEST_P(Verify, PrintsOneLineAFinding) {
  const Scene &Case = GetParam();
  FakeFirmware Firmware;
  Firmware.InstallGlobals();
  auto Held = std::make_shared<DiskBytes>(Case.Disk);
  FakeBlockDevice &Disk = Firmware.AddBlockDevice(DiskPath, Held, Case.BlockSize, Case.LastBlock);
  // The partition's own Block I/O reads the disk from the node's start: a
  // check that took it for the disk would find no table there.
  Bytes PartitionPath = DiskPath;
  PartitionPath.insert(PartitionPath.end(), Case.Node.begin(), Case.Node.end());
  Firmware.AddBlockDevice(PartitionPath, Held, Case.BlockSize, 0xEBFF, 0x2800 * (UINT64)Case.BlockSize);
  if (Case.Firmware) {
    Case.Firmware(Firmware, Disk);
  }
  Bytes Path = PartitionPath;
  Path.insert(Path.end(), {0x7F, 0xFF, 4, 0});
  PageEndCopy Copy(Path.data(), Path.size());
  const UINT8 *Start = (const UINT8 *)Copy.Start;
  VerifyNode((const EFI_DEVICE_PATH_PROTOCOL *)Start, Start + DiskPath.size(), (UINT16)Case.Node.size());

  std::vector<std::u16string> Expected;
  for (const std::string &Text : Case.Lines) {
    Expected.emplace_back(Text.begin(), Text.end());
    Expected.back() += u"\r\n";
  }
  EXPECT_EQ(Firmware.Shown, Expected);
  ExpectFirmwareLeftClean(Firmware);
  // The disk is looked for by the path up to the node, and nothing else.
  if (!Firmware.LocatedPaths.empty()) {
    Bytes Cut = DiskPath;
    Cut.insert(Cut.end(), {0x7F, 0xFF, 4, 0});
    EXPECT_EQ(Firmware.LocatedPaths, std::vector<Bytes>{Cut});
  }
}

INSTANTIATE_TEST_SUITE_P(DiskCheck, Verify, testing::ValuesIn(Scenes()),
                         [](const testing::TestParamInfo<Scene> &Info) { return Info.param.Name; });

// A node too short for its fields is not looked at beyond its length.
TEST(DiskCheck, ShortNodesAreNotChecked) {
  for (auto [Node, Length] : {std::pair{HardDriveNode(2, 1, 2, EspGuid, 2, 2), 41}, {CdromNode(0, 1, 2), 23}}) {
    FakeFirmware Firmware;
    Firmware.InstallGlobals();
    Bytes Path = DiskPath;
    Path.insert(Path.end(), Node.begin(), Node.begin() + Length);
    Path[DiskPath.size() + 2] = (UINT8)Length;
    PageEndCopy Copy(Path.data(), Path.size());
    const UINT8 *Start = (const UINT8 *)Copy.Start;
    VerifyNode((const EFI_DEVICE_PATH_PROTOCOL *)Start, Start + DiskPath.size(), (UINT16)Length);
    std::string Text = NotChecked("node of " + std::to_string(Length) + " bytes, too short for its fields");
    EXPECT_EQ(Firmware.Shown, std::vector<std::u16string>{std::u16string(Text.begin(), Text.end()) + u"\r\n"});
    EXPECT_TRUE(Firmware.Reads.empty() && Firmware.LocatedPaths.empty());
    ExpectFirmwareLeftClean(Firmware);
  }
}

}  // namespace

namespace {

// ---------------------------------------------------------------------------
// The whole application: with quillmere.verify among the load options the
// check's line follows a hard-drive node's block and a CD-ROM node's line;
// without it nothing looks at a disk.

struct WalkCase {
  std::string Name;
  std::u16string LoadOptions;
  Bytes Node;
  DiskBytes Disk;
  UINT32 BlockSize;
  std::vector<std::u16string> NodeLines;  // after the path's first two node lines
};

void PrintTo(const WalkCase &Case, std::ostream *Stream) { *Stream << Case.Name; }

const std::u16string EspBlock =
    u"    PartitionNumber:2 \r\n    PartitionStart:0x2800 \r\n    PartitionSize:0xEC00 \r\n"
    u"    PartitionSig:3F0A9C2E-71B4-4D6A-8E5C-B2D49A07F1E3 \r\n    PartitionFormat:2 \r\n    SignatureType:2 \r\n";

std::vector<WalkCase> WalkCases() {
  return {
      {"HardDriveNode", u"quillmere.verify", EspNode(), MakeGptDisk(SoundGpt()), 512,
       {u"type:4,subType:1,length:42\r\n", EspBlock, u"    DiskCheck:GPT entry 2 matches \r\n"}},
      {"CdromNode", u"ro quillmere.verify", CdromNode(1, 0x23, 0x5A0), MakeElToritoDisk(SoundCd()), 2048,
       {u"type:4,subType:2,length:24\r\n", u"    DiskCheck:El Torito entry 1 differs: BootEntry 0 \r\n"}},
      {"WithoutTheOption", u"quillmere.wait=0", EspNode(), MakeGptDisk(SoundGpt()), 512,
       {u"type:4,subType:1,length:42\r\n", EspBlock}},
      {"TakenBack", u"quillmere.verify quillmere.verify=0", CdromNode(1, 0x23, 0x5A0), MakeElToritoDisk(SoundCd()),
       2048, {u"type:4,subType:2,length:24\r\n"}},
  };
}

class Walk : public testing::TestWithParam<WalkCase> {};

TEST_P(Walk, ChecksNodesOnlyWithTheOption) {
  const WalkCase &Case = GetParam();
  FakeFirmware Firmware;
  Bytes Path = DiskPath;
  Path.insert(Path.end(), Case.Node.begin(), Case.Node.end());
  Path.insert(Path.end(), {0x7F, 0xFF, 4, 0});
  Firmware.SetDevicePath(Path);
  Firmware.AddBlockDevice(DiskPath, std::make_shared<DiskBytes>(Case.Disk), Case.BlockSize, 0x7FFFF);
  std::u16string LoadOptions = Case.LoadOptions;
  Firmware.LoadedImage.LoadOptions = LoadOptions.data();
  Firmware.LoadedImage.LoadOptionsSize = (UINT32)(LoadOptions.size() * 2);
  EXPECT_EQ(Firmware.Run(), EFI_SUCCESS);

  std::vector<std::u16string> Expected = {u"Print Nodes:\r\n", u"type:2,subType:1,length:12\r\n",
                                          u"type:1,subType:1,length:6\r\n"};
  Expected.insert(Expected.end(), Case.NodeLines.begin(), Case.NodeLines.end());
  Expected.insert(Expected.end(), {u"type:127,subType:255,length:4\r\n", Firmware.PathText + u"\r\n"});
  EXPECT_EQ(Firmware.Shown, Expected);
  EXPECT_EQ(Firmware.Reads.empty(), Case.NodeLines.size() == 1 || Case.NodeLines.back() == EspBlock);
  ExpectFirmwareLeftClean(Firmware);
}

INSTANTIATE_TEST_SUITE_P(DiskCheck, Walk, testing::ValuesIn(WalkCases()),
                         [](const testing::TestParamInfo<WalkCase> &Info) { return Info.param.Name; });

}  // namespace
