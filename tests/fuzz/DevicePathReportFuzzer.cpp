// libFuzzer target for the whole application: ApplicationEntry run against
// the fake firmware, with the device path taken from the input.
//
// Input layout (short inputs read as if padded with zero bytes):
//   byte 0   firmware: bit 0 ends the path right after the header of the
//            first node with a Length below 4 (no end node then), bit 1
//            has LocateProtocol fail, bit 2 has the conversion to text
//            return null, bit 3 has every pool allocation fail, bit 4
//            has the Loaded Image open succeed with a null interface, bit 5
//            has LocateProtocol succeed with a null interface
//   then     nodes, each a Type, a SubType, a 16-bit little-endian Length
//            and Length - 4 bytes of payload (zeros where the input ends);
//            a Length below 4 still occupies its 4-byte header, and a
//            Length that would take the path past PathLimit is cut down
//
// The path always ends with an end node (but see bit 0) and sits in a heap
// block of exactly its size, so any read past it is a heap overflow. The run
// must return EFI_SUCCESS, leave nothing allocated or open, and show exactly
// the lines worked out here from the path: the heading, one line per node up
// to the one the walk stops at, the partition block of every hard-drive node
// before it, and the text form when the walk ended on an end node.

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "FakeFirmware.h"
#include "FuzzCheck.h"

namespace {

constexpr size_t PathLimit = 1 << 13;  // room for Lengths well past 256

std::vector<UINT8> BuildPath(const uint8_t *Data, size_t Size, bool CutAfterShort) {
  std::vector<UINT8> Path;
  Path.reserve(PathLimit);
  size_t At = 1;
  auto Byte = [&]() -> UINT8 { return At < Size ? Data[At++] : (At++, 0); };
  const UINT8 EndNode[4] = {END_DEVICE_PATH_TYPE, END_ENTIRE_DEVICE_PATH_SUBTYPE, 4, 0};
  while (At < Size) {
    UINT8 Type = Byte();
    UINT8 SubType = Byte();
    UINT16 Length = Byte();
    Length |= (UINT16)(Byte() << 8);
    if (Length >= 4 && Path.size() + Length > PathLimit - sizeof EndNode) {
      Length = 4 + Length % 64;
    }
    Path.insert(Path.end(), {Type, SubType, (UINT8)Length, (UINT8)(Length >> 8)});
    if (Length > 4) {
      // The payload: what the input still has, then zeros.
      size_t Payload = Length - 4;
      size_t Taken = At < Size ? (Size - At < Payload ? Size - At : Payload) : 0;
      Path.insert(Path.end(), Data + (At < Size ? At : Size), Data + (At < Size ? At : Size) + Taken);
      Path.resize(Path.size() + Payload - Taken, 0);
      At += Payload;
    }
    if (Length < 4 && CutAfterShort) {
      return Path;
    }
  }
  Path.insert(Path.end(), EndNode, EndNode + sizeof EndNode);
  return Path;
}

std::u16string Widen(const std::string &Text) { return std::u16string(Text.begin(), Text.end()); }

UINT64 Read(const UINT8 *Bytes, int Width) {
  UINT64 Value = 0;
  for (int Index = Width - 1; Index >= 0; Index--) {
    Value = Value << 8 | Bytes[Index];
  }
  return Value;
}

std::string PartitionBlock(const UINT8 *Node) {
  const UINT8 *Sig = Node + HARDDRIVE_SIGNATURE;
  char Text[400];
  snprintf(Text, sizeof Text,
           "    PartitionNumber:%d \r\n    PartitionStart:0x%llX \r\n    PartitionSize:0x%llX \r\n"
           "    PartitionSig:%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X \r\n"
           "    PartitionFormat:%u \r\n    SignatureType:%u \r\n",
           (int)(UINT32)Read(Node + HARDDRIVE_PARTITION_NUMBER, 4),
           (unsigned long long)Read(Node + HARDDRIVE_PARTITION_START, 8),
           (unsigned long long)Read(Node + HARDDRIVE_PARTITION_SIZE, 8), (unsigned)Read(Sig, 4),
           (unsigned)Read(Sig + 4, 2), (unsigned)Read(Sig + 6, 2), Sig[8], Sig[9], Sig[10], Sig[11], Sig[12],
           Sig[13], Sig[14], Sig[15], Node[HARDDRIVE_PARTITION_FORMAT], Node[HARDDRIVE_SIGNATURE_TYPE]);
  return Text;
}

// The lines a sound run shows for Path. Sets Sound when the walk ends on an
// end node, which is when the text form is asked for.
std::vector<std::u16string> ExpectedLines(const std::vector<UINT8> &Path, bool &Sound) {
  std::vector<std::u16string> Lines = {u"Print Nodes:\r\n"};
  size_t Offset = 0;
  for (size_t Seen = 1;; Seen++) {
    // The walk reads only headers that lie inside the path; one that does
    // not would be the application's fault and is caught as an overflow.
    CHECK(Offset + 4 <= Path.size());
    const UINT8 *Node = Path.data() + Offset;
    UINT16 Length = (UINT16)Read(Node + 2, 2);
    Lines.push_back(Widen("type:" + std::to_string(Node[0]) + ",subType:" + std::to_string(Node[1]) +
                          ",length:" + std::to_string(Length) + "\r\n"));
    bool AtEnd = Node[0] == END_DEVICE_PATH_TYPE || Node[1] == END_ENTIRE_DEVICE_PATH_SUBTYPE;
    bool Short = Length < 4;
    if (AtEnd || Short || Seen == DEVICE_PATH_WALK_MAX_NODES) {
      Sound = AtEnd && !Short;
      return Lines;
    }
    if (Node[0] == MEDIA_DEVICE_PATH && Node[1] == MEDIA_HARDDRIVE_DP && Length >= HARDDRIVE_NODE_LENGTH) {
      Lines.push_back(Widen(PartitionBlock(Node)));
    }
    Offset += Length;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  uint8_t Mode = Size > 0 ? Data[0] : 0;
  std::vector<UINT8> Path = BuildPath(Data, Size, (Mode & 1) != 0);

  FakeFirmware Firmware;
  Firmware.FailLocate = (Mode & 2) != 0;
  Firmware.ConvertReturnsNull = (Mode & 4) != 0;
  Firmware.FailAllAllocations = (Mode & 8) != 0;
  Firmware.LoadedImageIsNull = (Mode & 16) != 0;
  Firmware.LocateGivesNull = (Mode & 32) != 0;
  Firmware.SetDevicePath(Path);
  CHECK(Firmware.Run() == EFI_SUCCESS);

  // With no Loaded Image handed over there is no device path to open, and
  // the heading is all there is to show.
  CHECK(Firmware.Opens.size() == (Firmware.LoadedImageIsNull ? 1u : 2u));
  CHECK(DescribeLeftovers(Firmware).empty());

  bool Sound = false;
  std::vector<std::u16string> Expected = {u"Print Nodes:\r\n"};
  if (!Firmware.LoadedImageIsNull) {
    Expected = ExpectedLines(Path, Sound);
  }
  bool Converted = Sound && !Firmware.FailLocate && !Firmware.LocateGivesNull;
  if (Converted) {
    Expected.push_back((Firmware.ConvertReturnsNull ? u"<null string>" : Firmware.PathText) + u"\r\n");
  }
  CHECK(Firmware.LocateCalls == (Sound ? 1 : 0));
  CHECK(Firmware.ConvertCalls == (Converted ? 1 : 0));
  if (Firmware.FailAllAllocations) {
    Expected.clear();  // no buffer, no line
  }
  CHECK(Firmware.Shown == Expected);
  return 0;
}
