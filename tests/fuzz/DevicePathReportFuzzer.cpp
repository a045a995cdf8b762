// libFuzzer target for the whole application: ApplicationEntry run against
// the fake firmware, with the device path taken from the input.
//
// Input layout (short inputs read as if padded with zero bytes):
//   byte 0   firmware: bit 0 ends the path right after the header of the
//            first node with a Length below 4 (no end node then), bit 1
//            has LocateProtocol fail, bit 2 has the conversion to text
//            return null, bit 3 has every pool allocation fail, bit 4
//            has the Loaded Image open succeed with a null interface, bit 5
//            has LocateProtocol succeed with a null interface, bit 6 has
//            every open, locate and console output end in a warning
//   then     nodes, each a Type, a SubType, a 16-bit little-endian Length
//            and Length - 4 bytes of payload (zeros where the input ends);
//            a Length below 4 still occupies its 4-byte header, and a
//            Length that would take the path past PathLimit is cut down
//
// The path always ends with an end node (but see bit 0) and sits in a heap
// block of exactly its size, so any read past it is a heap overflow. The run
// must return EFI_SUCCESS and leave nothing allocated or open. What it shows
// is checked by properties that hold whatever the walk's code, with the node
// layout written out here rather than taken from the application's headers:
// the heading comes first and once; each node line gives the Type, SubType
// and Length bytes of the node that lies where the lines before it lead,
// inside the path; a node line is followed by at most one partition block,
// only for a hard-drive node (4/1) of at least 42 bytes that does not stop
// the walk, and then always, with that node's bytes; the lines stop at the
// first end node (Type 0x7F or SubType 0xFF), the first Length below 4 or
// the 256th node, whichever comes first; the text form follows once, only
// when the walk stopped at a sound end node.

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
  const UINT8 EndNode[4] = {0x7F, 0xFF, 4, 0};
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

// A hard-drive node's fields at the offsets of the UEFI node layout: number
// at 4, start at 8, size at 16, signature at 24, format at 40, signature
// type at 41.
std::u16string PartitionBlock(const UINT8 *Node) {
  const UINT8 *Sig = Node + 24;
  char Text[400];
  snprintf(Text, sizeof Text,
           "    PartitionNumber:%d \r\n    PartitionStart:0x%llX \r\n    PartitionSize:0x%llX \r\n"
           "    PartitionSig:%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X \r\n"
           "    PartitionFormat:%u \r\n    SignatureType:%u \r\n",
           (int)(UINT32)Read(Node + 4, 4), (unsigned long long)Read(Node + 8, 8),
           (unsigned long long)Read(Node + 16, 8), (unsigned)Read(Sig, 4), (unsigned)Read(Sig + 4, 2),
           (unsigned)Read(Sig + 6, 2), Sig[8], Sig[9], Sig[10], Sig[11], Sig[12], Sig[13], Sig[14], Sig[15],
           Node[40], Node[41]);
  return Widen(Text);
}

bool IsNodeLine(const std::u16string &Line) { return Line.rfind(u"type:", 0) == 0; }

// Checks the node lines and partition blocks that follow the heading in
// Shown against Path, as the header says. Returns the index of the first line
// after them; sets Sound when the last node line is of a sound end node.
size_t CheckNodeLines(const std::vector<std::u16string> &Shown, const std::vector<UINT8> &Path, bool &Sound) {
  size_t Line = 1;
  size_t Offset = 0;
  for (size_t Seen = 1;; Seen++) {
    // A node line for each node up to the stopping one: none may be missing.
    CHECK(Line < Shown.size() && IsNodeLine(Shown[Line]));
    // The node it names lies inside the path, where the lines before lead.
    CHECK(Offset + 4 <= Path.size());
    const UINT8 *Node = Path.data() + Offset;
    UINT16 Length = (UINT16)Read(Node + 2, 2);
    CHECK(Shown[Line] == Widen("type:" + std::to_string(Node[0]) + ",subType:" + std::to_string(Node[1]) +
                               ",length:" + std::to_string(Length) + "\r\n"));
    Line++;
    bool End = Node[0] == 0x7F || Node[1] == 0xFF;
    if (End || Length < 4 || Seen == 256) {
      Sound = End && Length >= 4;
      return Line;
    }
    if (Node[0] == 0x04 && Node[1] == 0x01 && Length >= 42) {
      CHECK(Line < Shown.size() && Shown[Line] == PartitionBlock(Node));
      Line++;
    }
    // Any other line here would be a second block, or a block for a node
    // that has none: the next line must be a node line, checked above.
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
  if ((Mode & 64) != 0) {
    // EFI_WARN_UNKNOWN_GLYPH and EFI_WARN_STALE_DATA.
    Firmware.OutputWarning = 1;
    Firmware.LoadedImageOpenWarning = Firmware.DevicePathOpenWarning = Firmware.LocateWarning = 5;
  }
  Firmware.SetDevicePath(Path);
  CHECK(Firmware.Run() == EFI_SUCCESS);

  // With no Loaded Image handed over there is no device path to open, and
  // the heading is all there is to show.
  CHECK(Firmware.Opens.size() == (Firmware.LoadedImageIsNull ? 1u : 2u));
  CHECK(DescribeLeftovers(Firmware).empty());

  const std::vector<std::u16string> &Shown = Firmware.Shown;
  if (Firmware.FailAllAllocations) {
    CHECK(Shown.empty());  // no buffer, no line
    return 0;
  }
  CHECK(!Shown.empty() && Shown[0] == u"Print Nodes:\r\n");
  bool Sound = false;
  size_t Line = 1;
  if (!Firmware.LoadedImageIsNull) {
    Line = CheckNodeLines(Shown, Path, Sound);
  }
  bool Converted = Sound && !Firmware.FailLocate && !Firmware.LocateGivesNull;
  CHECK(Firmware.LocateCalls == (Sound ? 1 : 0));
  CHECK(Firmware.ConvertCalls == (Converted ? 1 : 0));
  // After the node lines only the text form, once, and only when converted.
  CHECK(Shown.size() == Line + (Converted ? 1 : 0));
  if (Converted) {
    CHECK(Shown[Line] == (Firmware.ConvertReturnsNull ? u"<null string>" : Firmware.PathText) + u"\r\n");
  }
  // The heading once: no node line or text form repeats it.
  size_t Headings = 0;
  for (const std::u16string &Text : Shown) {
    Headings += Text == u"Print Nodes:\r\n";
  }
  CHECK(Headings == 1);
  return 0;
}
