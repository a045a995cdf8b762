#include <gtest/gtest.h>

#include <functional>

#include "CaseName.h"
#include "FakeFirmware.h"

namespace {

using Bytes = std::vector<UINT8>;
using Lines = std::vector<std::u16string>;

// A node of Length bytes, zero-filled after its header; a Length below 4
// still occupies its 4-byte header.
Bytes Node(UINT8 Type, UINT8 SubType, UINT16 Length) {
  Bytes Result(Length < 4 ? 4 : Length, 0);
  Result[0] = Type;
  Result[1] = SubType;
  Result[2] = (UINT8)Length;
  Result[3] = (UINT8)(Length >> 8);
  return Result;
}

Bytes EndNode(UINT8 SubType = 0xFF) { return Node(0x7F, SubType, 4); }

Bytes HardDriveNode(UINT32 Number, UINT64 Start, UINT64 Size, const UINT8 (&Signature)[16], UINT8 Format,
                    UINT8 SignatureType) {
  Bytes Result = Node(0x04, 0x01, 42);
  auto Put = [&](size_t Offset, UINT64 Value, int Width) {
    for (int Index = 0; Index < Width; Index++) {
      Result[Offset + Index] = (UINT8)(Value >> (8 * Index));
    }
  };
  Put(4, Number, 4);
  Put(8, Start, 8);
  Put(16, Size, 8);
  std::copy(Signature, Signature + 16, Result.begin() + 24);
  Result[40] = Format;
  Result[41] = SignatureType;
  return Result;
}

Bytes Join(const std::vector<Bytes> &Parts) {
  Bytes Result;
  for (const Bytes &Part : Parts) {
    Result.insert(Result.end(), Part.begin(), Part.end());
  }
  return Result;
}

Bytes ExamplePath() {
  static const UINT8 Signature[16] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF,
                                      0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77};
  return Join(
      {Node(0x02, 0x01, 12), Node(0x01, 0x01, 6), HardDriveNode(1, 0x800, 0x100000, Signature, 2, 2), EndNode()});
}

Lines ExampleReport(const std::u16string &PathText) {
  return {u"Print Nodes:\r\n",
          u"type:2,subType:1,length:12\r\n",
          u"type:1,subType:1,length:6\r\n",
          u"type:4,subType:1,length:42\r\n",
          u"    PartitionNumber:1 \r\n"
          u"    PartitionStart:0x800 \r\n"
          u"    PartitionSize:0x100000 \r\n"
          u"    PartitionSig:67452301-AB89-EFCD-0011-223344556677 \r\n"
          u"    PartitionFormat:2 \r\n"
          u"    SignatureType:2 \r\n",
          u"type:127,subType:255,length:4\r\n",
          PathText + u"\r\n"};
}

// One OutputString call per text, each ending in "\r\n".
Lines Calls(const std::vector<std::string> &Texts) {
  Lines Result;
  for (const std::string &Text : Texts) {
    Result.emplace_back(Text.begin(), Text.end());
    Result.back() += u"\r\n";
  }
  return Result;
}

std::string NodeLine(int Type, int SubType, int Length) {
  return "type:" + std::to_string(Type) + ",subType:" + std::to_string(SubType) + ",length:" + std::to_string(Length);
}

void ExpectOpen(const OpenRecord &Open, EFI_HANDLE Handle, const EFI_GUID &Protocol, EFI_HANDLE Agent) {
  EXPECT_EQ(Open.Handle, Handle);
  EXPECT_TRUE(SameGuid(Open.Protocol, Protocol));
  EXPECT_EQ(Open.AgentHandle, Agent);
  EXPECT_EQ(Open.ControllerHandle, nullptr);
  EXPECT_EQ(Open.Attributes, (UINT32)EFI_OPEN_PROTOCOL_GET_PROTOCOL);
}

TEST(PrintDevicePathNodes, FourNodeExampleGivesItsLinesInSevenCalls) {
  FakeFirmware Firmware;
  Firmware.SetDevicePath(ExamplePath());
  EXPECT_EQ(Firmware.Run(), EFI_SUCCESS);

  EXPECT_EQ(Firmware.Shown, ExampleReport(Firmware.PathText));
  EXPECT_EQ(Firmware.OutputCalls, 7);
  ASSERT_EQ(Firmware.Shown.size(), 7u);
  EXPECT_EQ(Firmware.Shown[4].size(), 182u);

  EXPECT_EQ(AppImageHandle, Firmware.ImageHandle());
  EXPECT_EQ(AppSystemTable, &Firmware.SystemTable);
  EXPECT_EQ(AppBootServices, &Firmware.BootServices);
  ASSERT_EQ(Firmware.Opens.size(), 2u);
  ExpectOpen(Firmware.Opens[0], Firmware.ImageHandle(), TestLoadedImageGuid, Firmware.ImageHandle());
  ExpectOpen(Firmware.Opens[1], Firmware.DeviceHandle(), TestDevicePathGuid, Firmware.ImageHandle());
  ASSERT_EQ(Firmware.CloseOrder.size(), 2u);
  EXPECT_TRUE(SameGuid(Firmware.CloseOrder[0], TestDevicePathGuid));
  EXPECT_TRUE(SameGuid(Firmware.CloseOrder[1], TestLoadedImageGuid));
  EXPECT_EQ((const void *)Firmware.ConvertedPath, (const void *)Firmware.DevicePathBytes());
  EXPECT_EQ(Firmware.DisplayOnly, TRUE);
  EXPECT_EQ(Firmware.AllowShortcuts, TRUE);
  EXPECT_EQ(Firmware.AllocationSizes, std::vector<UINTN>(7, 642));
  ExpectFirmwareLeftClean(Firmware);
}

// ---------------------------------------------------------------------------
// Paths: the node lines between the heading and the text form.

struct PathCase {
  std::string Name;
  Bytes Path;
  std::vector<std::string> NodeLines;
  bool TextShown;
};

void PrintTo(const PathCase &Case, std::ostream *Stream) { *Stream << Case.Name; }

class Paths : public testing::TestWithParam<PathCase> {};

// Each path twice: in a heap block of its size (AddressSanitizer sees a read
// before or past it) and at the end of a page (a read past it faults in any
// build).
void RunPathCase(const PathCase &Case, bool AtPageEnd) {
  SCOPED_TRACE(AtPageEnd ? "path at a page end" : "path in a heap block");
  FakeFirmware Firmware;
  if (AtPageEnd) {
    Firmware.SetDevicePathAtPageEnd(Case.Path);
  } else {
    Firmware.SetDevicePath(Case.Path);
  }
  EXPECT_EQ(Firmware.Run(), EFI_SUCCESS);

  Lines Expected = Calls({"Print Nodes:"});
  Lines NodeCalls = Calls(Case.NodeLines);
  Expected.insert(Expected.end(), NodeCalls.begin(), NodeCalls.end());
  if (Case.TextShown) {
    Expected.push_back(Firmware.PathText + u"\r\n");
  }
  EXPECT_EQ(Firmware.Shown, Expected);
  EXPECT_EQ(Firmware.ConvertCalls, Case.TextShown ? 1 : 0);
  ExpectFirmwareLeftClean(Firmware);
}

TEST_P(Paths, ListNodesUpToTheStoppingNode) {
  RunPathCase(GetParam(), false);
  RunPathCase(GetParam(), true);
}

Bytes WithSubType(Bytes Path, UINT8 SubType) {
  Path[1] = SubType;
  return Path;
}

const UINT8 CountingSignature[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

// A node of another kind with a hard-drive node's fields in place, every
// byte after its header nonzero: printed as a block, it would show.
Bytes LookAlikeNode(UINT8 Type, UINT8 SubType, UINT16 Length) {
  Bytes Result = HardDriveNode(7, 0x5000, 0x6000, CountingSignature, 1, 2);
  Result.resize(Length, 0x33);
  Result[0] = Type;
  Result[1] = SubType;
  Result[2] = (UINT8)Length;
  Result[3] = (UINT8)(Length >> 8);
  return Result;
}

// A hard-drive node of Length bytes, its fields those of a 42-byte node as
// far as they fit; any bytes past them are 0xEE, so a walk that steps by 42
// instead of Length meets a header of its own. Every printed field differs
// from every other, so a field read for another shows.
Bytes HardDriveNodeOfLength(UINT16 Length) {
  Bytes Result = HardDriveNode(3, 0x22, 0x1000, CountingSignature, 1, 2);
  Result.resize(Length, 0xEE);
  Result[2] = (UINT8)Length;
  Result[3] = (UINT8)(Length >> 8);
  return Result;
}

const char HardDriveNodeOfLengthBlock[] =
    "    PartitionNumber:3 \r\n    PartitionStart:0x22 \r\n    PartitionSize:0x1000 \r\n"
    "    PartitionSig:04030201-0605-0807-090A-0B0C0D0E0F10 \r\n"
    "    PartitionFormat:1 \r\n    SignatureType:2 ";

// A sound path: Nodes and then the end node, listed as Lines and then the
// end node's line, and converted to text.
PathCase Ended(std::string Name, const std::vector<Bytes> &Nodes, std::vector<std::string> Lines) {
  Lines.push_back(NodeLine(127, 255, 4));
  return {Name, Join({Join(Nodes), EndNode()}), Lines, true};
}

std::vector<PathCase> PathCases() {
  std::vector<PathCase> Cases = {
      {"EndNodeAlone", EndNode(), {NodeLine(127, 255, 4)}, true},
      {"SubTypeFFStopsAnyType",
       Join({WithSubType(HardDriveNode(1, 2, 3, CountingSignature, 2, 2), 0xFF), Node(1, 1, 6), EndNode()}),
       {NodeLine(4, 255, 42)},
       true},
      {"FirstInstanceOnly",
       Join({Node(1, 1, 6), EndNode(0x01), Node(2, 1, 12), EndNode()}),
       {NodeLine(1, 1, 6), NodeLine(127, 1, 4)},
       true},
      Ended("OtherMediaNodeHasNoBlock", {Node(4, 4, 10)}, {NodeLine(4, 4, 10)}),
      Ended("LengthOf256OrMoreAdvancesByIt", {Node(3, 10, 300), Node(1, 1, 6)},
            {NodeLine(3, 10, 300), NodeLine(1, 1, 6)}),
      // The odd first node puts the hard-drive fields at odd addresses.
      Ended("WideFieldsAtOddAddressesAndNegativePartitionNumber",
            {Node(1, 1, 5), HardDriveNode(0x80000000, 0xFEDCBA9876543210, 0x100000000, CountingSignature, 255, 254)},
            {NodeLine(1, 1, 5), NodeLine(4, 1, 42),
             "    PartitionNumber:-2147483648 \r\n    PartitionStart:0xFEDCBA9876543210 \r\n"
             "    PartitionSize:0x100000000 \r\n"
             "    PartitionSig:04030201-0605-0807-090A-0B0C0D0E0F10 \r\n"
             "    PartitionFormat:255 \r\n    SignatureType:254 "}),
      // Its fields would lie in the end node and beyond the path.
      Ended("HardDriveNodeTooShortForItsFields", {Node(4, 1, 6)}, {NodeLine(4, 1, 6)}),
      // One byte short of its last field: that byte would be the end node's.
      Ended("HardDriveNodeOfLength41HasNoBlock", {HardDriveNodeOfLength(41)}, {NodeLine(4, 1, 41)}),
      Ended("HardDriveNodeOfLength42HasItsBlock", {HardDriveNodeOfLength(42)},
            {NodeLine(4, 1, 42), HardDriveNodeOfLengthBlock}),
      Ended("HardDriveNodeOfLength43HasItsBlockAndAdvancesBy43", {HardDriveNodeOfLength(43)},
            {NodeLine(4, 1, 43), HardDriveNodeOfLengthBlock}),
      // Nodes long enough to hold a hard-drive node's fields, and holding
      // them, but of another kind: no block.
      Ended("FilePathNodeOf50BytesHasNoBlock", {LookAlikeNode(4, 4, 50)}, {NodeLine(4, 4, 50)}),
      Ended("CdromNodeOf42BytesHasNoBlock", {LookAlikeNode(4, 2, 42)}, {NodeLine(4, 2, 42)}),
      Ended("SubType1OfAnotherTypeHasNoBlock", {LookAlikeNode(1, 1, 42), LookAlikeNode(3, 1, 44)},
            {NodeLine(1, 1, 42), NodeLine(3, 1, 44)}),
      // A partition on a USB stick behind a hub and two PCI bridges, as
      // firmware hands it over: eight nodes, each listed, and the text form.
      Ended("EightNodesOfARealPath",
            {Node(2, 1, 12), Node(1, 1, 6), Node(1, 1, 6), Node(1, 1, 6), Node(3, 5, 6), Node(3, 5, 6),
             HardDriveNodeOfLength(42)},
            {NodeLine(2, 1, 12), NodeLine(1, 1, 6), NodeLine(1, 1, 6), NodeLine(1, 1, 6), NodeLine(3, 5, 6),
             NodeLine(3, 5, 6), NodeLine(4, 1, 42), HardDriveNodeOfLengthBlock}),
  };
  // A Length below the header size ends the walk wherever it stands, and the
  // path ends right after that header, so any read beyond it is caught.
  for (int Length = 0; Length < 4; Length++) {
    std::string Suffix = "Length" + std::to_string(Length);
    Cases.push_back({"FirstNode" + Suffix, Node(1, 1, Length), {NodeLine(1, 1, Length)}, false});
    Cases.push_back({"MiddleNode" + Suffix,
                     Join({Node(2, 1, 12), Node(3, 5, Length)}),
                     {NodeLine(2, 1, 12), NodeLine(3, 5, Length)},
                     false});
    Cases.push_back({"EndNode" + Suffix,
                     Join({Node(2, 1, 12), Node(0x7F, 0xFF, Length)}),
                     {NodeLine(2, 1, 12), NodeLine(127, 255, Length)},
                     false});
  }

  // The walk looks at 256 nodes at most: an end node as the 256th still makes
  // a sound path; a path with no end among its first 256 nodes is reported
  // up to its 256th and is not converted to text. The counts are literal, so
  // that a change of the limit shows.
  auto Run = [](int Count, bool EndNode) {
    Bytes Path = Join(std::vector<Bytes>(Count - EndNode, Node(1, 1, 4)));
    return EndNode ? Join({Path, Node(0x7F, 0xFF, 4)}) : Path;
  };
  auto Listed = [](int Count, bool EndsInEndNode) {
    std::vector<std::string> Result(Count - EndsInEndNode, NodeLine(1, 1, 4));
    if (EndsInEndNode) {
      Result.push_back(NodeLine(127, 255, 4));
    }
    return Result;
  };
  Cases.push_back({"255NodesEndingInAnEndNode", Run(255, true), Listed(255, true), true});
  Cases.push_back({"256NodesEndingInAnEndNode", Run(256, true), Listed(256, true), true});
  Cases.push_back({"257NodesEndingInAnEndNodeStopAt256", Run(257, true), Listed(256, false), false});
  Cases.push_back({"256NodesWithoutEndNode", Run(256, false), Listed(256, false), false});
  Cases.push_back({"257NodesWithoutEndNodeStopAt256", Run(257, false), Listed(256, false), false});
  Cases.push_back({"512NodesWithoutEndNodeStopAt256", Run(512, false), Listed(256, false), false});
  return Cases;
}

INSTANTIATE_TEST_SUITE_P(PrintDevicePathNodes, Paths, testing::ValuesIn(PathCases()), CaseName());

// ---------------------------------------------------------------------------
// Faults: the example path with one firmware call failing.

struct FaultCase {
  std::string Name;
  std::function<void(FakeFirmware &)> Inject;
  std::function<Lines(Lines)> Expect;  // from the normal report
};

void PrintTo(const FaultCase &Case, std::ostream *Stream) { *Stream << Case.Name; }

std::function<Lines(Lines)> FirstCalls(size_t Count) {
  return [Count](Lines Normal) { return Lines(Normal.begin(), Normal.begin() + Count); };
}

std::function<Lines(Lines)> AllCallsBut(size_t Index) {
  return [Index](Lines Normal) {
    Normal.erase(Normal.begin() + Index);
    return Normal;
  };
}

// A fault that one flag of the fake firmware makes.
std::function<void(FakeFirmware &)> Set(bool FakeFirmware::*Flag) {
  return [Flag](FakeFirmware &F) { F.*Flag = true; };
}

// EFI_WARN_UNKNOWN_GLYPH and EFI_WARN_STALE_DATA: not errors.
const EFI_STATUS WarnUnknownGlyph = 1;
const EFI_STATUS WarnStaleData = 5;

std::vector<FaultCase> FaultCases() {
  std::vector<FaultCase> Cases = {
      {"LoadedImageOpenFails", Set(&FakeFirmware::FailLoadedImageOpen), FirstCalls(1)},
      {"DevicePathOpenFails", Set(&FakeFirmware::FailDevicePathOpen), FirstCalls(1)},
      {"DevicePathOpenGivesNull", Set(&FakeFirmware::DevicePathIsNull), FirstCalls(1)},
      {"LoadedImageOpenGivesNull", Set(&FakeFirmware::LoadedImageIsNull), FirstCalls(1)},
      {"LocateProtocolFails", Set(&FakeFirmware::FailLocate), FirstCalls(6)},
      {"LocateProtocolGivesNull", Set(&FakeFirmware::LocateGivesNull), FirstCalls(6)},
      {"ConversionGivesNull", Set(&FakeFirmware::ConvertReturnsNull),
       [](Lines Normal) {
         Normal.back() = u"<null string>\r\n";
         return Normal;
       }},
      {"EveryAllocationFails", Set(&FakeFirmware::FailAllAllocations), FirstCalls(0)},
      {"EveryOutputFails", Set(&FakeFirmware::FailAllOutput), FirstCalls(0)},
      {"NoConsole", Set(&FakeFirmware::NoConsole), FirstCalls(0)},
      // Warnings: what was asked for was done, so the report goes on whole.
      {"EveryOutputWarns", [](FakeFirmware &F) { F.OutputWarning = WarnUnknownGlyph; }, FirstCalls(7)},
      {"LoadedImageOpenWarns", [](FakeFirmware &F) { F.LoadedImageOpenWarning = WarnStaleData; }, FirstCalls(7)},
      {"DevicePathOpenWarns", [](FakeFirmware &F) { F.DevicePathOpenWarning = WarnStaleData; }, FirstCalls(7)},
      {"LocateProtocolWarns", [](FakeFirmware &F) { F.LocateWarning = WarnStaleData; }, FirstCalls(7)},
      // The text form is the firmware's: one longer than a print's 320
      // characters is cut there, line break and all; an empty one leaves
      // the line break alone.
      {"TextFormLongerThanAPrint", [](FakeFirmware &F) { F.PathText = std::u16string(400, u'P'); },
       [](Lines Normal) {
         Normal.back() = std::u16string(320, u'P');
         return Normal;
       }},
      {"TextFormEmpty", [](FakeFirmware &F) { F.PathText = u""; },
       [](Lines Normal) {
         Normal.back() = u"\r\n";
         return Normal;
       }},
  };
  for (int Call = 1; Call <= 7; Call++) {
    Cases.push_back({"AllocationFails" + std::to_string(Call), [Call](FakeFirmware &F) { F.FailAllocationCall = Call; },
                     AllCallsBut(Call - 1)});
    Cases.push_back({"OutputFails" + std::to_string(Call), [Call](FakeFirmware &F) { F.FailOutputCall = Call; },
                     AllCallsBut(Call - 1)});
  }
  return Cases;
}

class Faults : public testing::TestWithParam<FaultCase> {};

TEST_P(Faults, LeaveNothingOpenOrAllocated) {
  FakeFirmware Firmware;
  Firmware.SetDevicePath(ExamplePath());
  GetParam().Inject(Firmware);
  EXPECT_EQ(Firmware.Run(), EFI_SUCCESS);

  EXPECT_EQ(Firmware.Shown, GetParam().Expect(ExampleReport(Firmware.PathText)));
  ExpectFirmwareLeftClean(Firmware);

  // Each step runs only on what the step before handed over; a success
  // with a null interface hands over nothing, though its open is still
  // closed (which the leftovers above check).
  ASSERT_GE(Firmware.Opens.size(), 1u);
  bool ImageOpened = !EFI_ERROR(Firmware.Opens[0].Status) && !Firmware.LoadedImageIsNull;
  EXPECT_EQ(Firmware.Opens.size(), ImageOpened ? 2u : 1u);
  bool PathOpened = ImageOpened && !EFI_ERROR(Firmware.Opens[1].Status) && !Firmware.DevicePathIsNull;
  EXPECT_EQ(Firmware.LocateCalls, PathOpened ? 1 : 0);
  EXPECT_EQ(Firmware.ConvertCalls, PathOpened && !Firmware.FailLocate && !Firmware.LocateGivesNull ? 1 : 0);
  // Every print gives its buffer back, a failed allocation's null included,
  // and so does the report with a null text.
  int FailedAllocations = Firmware.FailAllAllocations ? Firmware.AllocationCalls : Firmware.FailAllocationCall != 0;
  EXPECT_EQ(Firmware.NullFrees, FailedAllocations + (Firmware.ConvertReturnsNull ? 1 : 0));
}

INSTANTIATE_TEST_SUITE_P(PrintDevicePathNodes, Faults, testing::ValuesIn(FaultCases()), CaseName());

}  // namespace
