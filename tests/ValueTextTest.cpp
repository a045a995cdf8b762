#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FormatTestSupport.h"
#include "PageEnd.h"
#include "ValueText.h"

namespace {

const unsigned char TextGuidBytes[17] = {0x20, 0x3E, 0x84, 0x8B, 0x32, 0x81, 0x52, 0x48, 0x90,
                                         0xCC, 0x55, 0x1A, 0x4E, 0x4A, 0x7F, 0x1C, 0};
const unsigned char ZeroGuid[16] = {};
const unsigned char CountingGuid[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
const std::string TextGuid = "8B843E20-8132-4852-90CC-551A4E4A7F1C";
const UINT64 Guid = PointerSlot(TextGuidBytes);

// Year 2017, month 3, day 4, 05:06:07, and a record of all-ones fields.
const unsigned char Time2017[16] = {0xE1, 0x07, 3, 4, 5, 6, 7};
const unsigned char TimeZero[16] = {};
const unsigned char TimeMax[16] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

TEST(GuidText, Conversions) {
  const PageEndCopy GuidAtPageEnd(TextGuidBytes, 16);  // its last byte the last readable one
  RunTable({
      {"mixed-endian fields", "%g", {Guid}, TextGuid},
      {"all zero", "%g", {PointerSlot(ZeroGuid)}, "00000000-0000-0000-0000-000000000000"},
      {"byte order", "%g", {PointerSlot(CountingGuid)}, "04030201-0605-0807-090A-0B0C0D0E0F10"},
      {"null", "%g", {0}, "<null guid>"},
      {"null in a field", "%20g|", {0}, "         <null guid>|"},
      {"null cut by precision", "%.4g|", {0}, "<nul|"},
      {"wide field", "%40g|", {Guid}, "    " + TextGuid + "|"},
      {"wide field left aligned", "%-40g|", {Guid}, TextGuid + "    |"},
      {"narrow field adds nothing", "%20g|", {Guid}, TextGuid + "|"},
      {"precision cuts", "%.8g", {Guid}, "8B843E20"},
      {"star precision", "%.*g", {8, Guid}, "8B843E20"},
      {"precision 0", "%.0g|", {Guid}, "|"},
      {"field of nothing", "%5.0g|", {Guid}, "     |"},
      {"dot alone is precision 1", "%.g|", {Guid}, "8|"},
      {"large precision pads on the left", "%.40g|", {Guid}, "    " + TextGuid + "|"},
      {"padding stays left with minus", "%-.40g|", {Guid}, "    " + TextGuid + "|"},
      {"precision field in a left width", "%-44.40g|", {Guid}, "    " + TextGuid + "    |"},
      {"zero flag does not fill with zeros", "%040g|", {Guid}, "    " + TextGuid + "|"},
      {"plus adds nothing", "%+g", {Guid}, TextGuid},
      {"space adds nothing", "% g", {Guid}, TextGuid},
      {"comma adds nothing", "%,g", {Guid}, TextGuid},
      {"l changes nothing", "%lg", {Guid}, TextGuid},
      {"one slot", "%g%d", {Guid, 5}, TextGuid + "5"},
      {"two GUIDs, independent runs", "%g %.4g", {Guid, PointerSlot(ZeroGuid)}, TextGuid + " 0000"},
      {"upper case is no conversion", "%G", {Guid}, "G"},
      {"record ending at a page", "%g|", {PointerSlot(GuidAtPageEnd.Start)}, TextGuid + "|"},
      {"record ending at a page, cut", "%-12.10g|", {PointerSlot(GuidAtPageEnd.Start)}, "8B843E20-8  |"},
  });
  // Any alignment: the same bytes one past an even address.
  alignas(8) unsigned char Shifted[17];
  for (int Index = 0; Index < 16; Index++) {
    Shifted[Index + 1] = TextGuidBytes[Index];
  }
  ExpectEveryWidth("%g", {PointerSlot(Shifted + 1)}, TextGuid);
}

TEST(TimeText, Conversions) {
  // Only the six bytes that are read, the last of them the last readable one.
  const PageEndCopy TimeAtPageEnd(Time2017, 6), TimeMaxAtPageEnd(TimeMax, 6);
  RunTable({
      {"date and time", "%t", {PointerSlot(Time2017)}, "03/04/2017  05:06"},
      {"all zero", "%t", {PointerSlot(TimeZero)}, "00/00/0000  00:00"},
      {"no calendar range", "%t", {PointerSlot(TimeMax)}, "255/255/65535  255:255"},
      {"null", "%t", {0}, "<null time>"},
      {"in a field", "%20t|", {PointerSlot(Time2017)}, "   03/04/2017  05:06|"},
      {"precision cuts", "%.5t|", {PointerSlot(Time2017)}, "03/04|"},
      {"dot alone is precision 1", "%.t|", {PointerSlot(Time2017)}, "0|"},
      {"upper case is no conversion", "%T", {PointerSlot(Time2017)}, "T"},
      {"six bytes ending at a page", "%t|", {PointerSlot(TimeAtPageEnd.Start)}, "03/04/2017  05:06|"},
      {"widest ending at a page", "%24t|", {PointerSlot(TimeMaxAtPageEnd.Start)}, "  255/255/65535  255:255|"},
  });
}

TEST(StatusText, Conversions) {
  RunTable({
      {"success", "%r", {0}, "Success"},
      {"last warning", "%r", {5}, "Warning Stale Data"},
      {"no warning 6", "%r", {6}, "00000006"},
      {"first error", "%r", {0x8000000000000001}, "Load Error"},
      {"not found", "%r", {0x800000000000000E}, "Not Found"},
      {"last error", "%r", {0x8000000000000021}, "Compromised Data"},
      {"past the last error", "%r", {0x8000000000000022}, "00000022"},
      {"error code 0", "%r", {0x8000000000000000}, "00000000"},
      {"upper half only", "%r", {0x100000000}, "00000000"},
      {"error in the upper half", "%r", {0x8000000100000001}, "00000001"},
      {"all ones", "%r", {0xFFFFFFFFFFFFFFFF}, "FFFFFFFF"},
      {"largest positive", "%r", {0x7FFFFFFFFFFFFFFF}, "FFFFFFFF"},
      {"in a field", "%20r|", {0x800000000000000E}, "           Not Found|"},
      {"left aligned", "%-20r|", {0x800000000000000E}, "Not Found           |"},
      {"precision cuts", "%.3r|", {0x800000000000000E}, "Not|"},
      {"large precision pads left", "%.10r|", {0}, "   Success|"},
      {"padding stays left with minus", "%-.10r|", {0}, "   Success|"},
      {"precision field in a left width", "%-12.10r|", {0}, "   Success  |"},
      {"zero flag fills with spaces", "%020r|", {0}, "             Success|"},
      {"dot alone is precision 1", "%.r|", {0}, "S|"},
      {"one slot", "%r%d", {0x8000000000000022, 7}, "000000227"},
      {"two statuses", "%r %r", {0, 1}, "Success Warning Unknown Glyph"},
      {"upper case is no conversion", "%R", {0}, "R"},
  });
}

// Every name, each with the status value that names it written out.
TEST(StatusText, EveryName) {
  const struct {
    UINT64 Status;
    const char *Name;
  } Rows[] = {
      {0x0000000000000000, "Success"},
      {0x0000000000000001, "Warning Unknown Glyph"},
      {0x0000000000000002, "Warning Delete Failure"},
      {0x0000000000000003, "Warning Write Failure"},
      {0x0000000000000004, "Warning Buffer Too Small"},
      {0x0000000000000005, "Warning Stale Data"},
      {0x8000000000000001, "Load Error"},
      {0x8000000000000002, "Invalid Parameter"},
      {0x8000000000000003, "Unsupported"},
      {0x8000000000000004, "Bad Buffer Size"},
      {0x8000000000000005, "Buffer Too Small"},
      {0x8000000000000006, "Not Ready"},
      {0x8000000000000007, "Device Error"},
      {0x8000000000000008, "Write Protected"},
      {0x8000000000000009, "Out of Resources"},
      {0x800000000000000A, "Volume Corrupt"},
      {0x800000000000000B, "Volume Full"},
      {0x800000000000000C, "No Media"},
      {0x800000000000000D, "Media changed"},
      {0x800000000000000E, "Not Found"},
      {0x800000000000000F, "Access Denied"},
      {0x8000000000000010, "No Response"},
      {0x8000000000000011, "No mapping"},
      {0x8000000000000012, "Time out"},
      {0x8000000000000013, "Not started"},
      {0x8000000000000014, "Already started"},
      {0x8000000000000015, "Aborted"},
      {0x8000000000000016, "ICMP Error"},
      {0x8000000000000017, "TFTP Error"},
      {0x8000000000000018, "Protocol Error"},
      {0x8000000000000019, "Incompatible Version"},
      {0x800000000000001A, "Security Violation"},
      {0x800000000000001B, "CRC Error"},
      {0x800000000000001C, "End of Media"},
      {0x800000000000001D, "Reserved (29)"},
      {0x800000000000001E, "Reserved (30)"},
      {0x800000000000001F, "End of File"},
      {0x8000000000000020, "Invalid Language"},
      {0x8000000000000021, "Compromised Data"},
  };
  for (const auto &Row : Rows) {
    SCOPED_TRACE(Row.Name);
    ExpectEveryWidth("%r", {Row.Status}, Row.Name);
  }
}

TEST(ValueText, CutAtTheBuffer) {
  for (bool OutputWide : {false, true}) {
    SCOPED_TRACE(OutputWide ? "16-bit output" : "8-bit output");
    Rendered Status = RenderGuarded("%r", false, OutputWide, 5, {0x8000000000000014});
    EXPECT_EQ(Status.Text, u"Alre");
    Rendered GuidCut = RenderGuarded("%g", false, OutputWide, 10, {Guid});
    EXPECT_EQ(GuidCut.Text, u"8B843E20-");
    EXPECT_EQ(GuidCut.Count, 9u);
  }
}

}  // namespace
