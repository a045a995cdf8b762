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
      {"first error", "%r", {StatusErrorBit | 0x1}, "Load Error"},
      {"not found", "%r", {StatusErrorBit | 0xE}, "Not Found"},
      {"last error", "%r", {StatusErrorBit | 0x21}, "Compromised Data"},
      {"past the last error", "%r", {StatusErrorBit | 0x22}, Status64 ? "00000022" : "80000022"},
      {"error code 0", "%r", {StatusErrorBit}, Status64 ? "00000000" : "80000000"},
      // A 32-bit build's status is the low half of its slot; the upper half
      // does not count.
      {"upper half only", "%r", {0x100000000}, Status64 ? "00000000" : "Success"},
      {"error in the upper half", "%r", {0x8000000100000001}, Status64 ? "00000001" : "Warning Unknown Glyph"},
      {"all ones", "%r", {0xFFFFFFFFFFFFFFFF}, "FFFFFFFF"},
      {"largest positive", "%r", {0x7FFFFFFFFFFFFFFF}, "FFFFFFFF"},
      // EFI_UNSUPPORTED is 0x8000000000000003 on 64-bit firmware and
      // 0x80000003 on 32-bit firmware; each build names its own.
      {"EFI_UNSUPPORTED on every architecture", "%r", {EFI_UNSUPPORTED}, "Unsupported"},
      {"a 32-bit firmware's error", "%r", {0x80000003}, Status64 ? "80000003" : "Unsupported"},
      {"a 32-bit error sign-extended", "%r", {0xFFFFFFFF80000003}, Status64 ? "80000003" : "Unsupported"},
      {"a 32-bit warning in a 64-bit slot", "%r", {0x0000000100000004},
       Status64 ? "00000004" : "Warning Buffer Too Small"},
      {"in a field", "%20r|", {StatusErrorBit | 0xE}, "           Not Found|"},
      {"left aligned", "%-20r|", {StatusErrorBit | 0xE}, "Not Found           |"},
      {"precision cuts", "%.3r|", {StatusErrorBit | 0xE}, "Not|"},
      {"large precision pads left", "%.10r|", {0}, "   Success|"},
      {"padding stays left with minus", "%-.10r|", {0}, "   Success|"},
      {"precision field in a left width", "%-12.10r|", {0}, "   Success  |"},
      {"zero flag fills with spaces", "%020r|", {0}, "             Success|"},
      {"dot alone is precision 1", "%.r|", {0}, "S|"},
      {"one slot", "%r%d", {StatusErrorBit | 0x22, 7}, Status64 ? "000000227" : "800000227"},
      {"two statuses", "%r %r", {0, 1}, "Success Warning Unknown Glyph"},
      {"upper case is no conversion", "%R", {0}, "R"},
  });
}

// Every name, each with the status values that name it written out: with
// 64-bit UINTN the error bit is bit 63, with 32-bit UINTN bit 31.
TEST(StatusText, EveryName) {
  const struct {
    UINT64 Status64;
    UINT32 Status32;
    const char *Name;
  } Rows[] = {
      {0x0000000000000000, 0x00000000, "Success"},
      {0x0000000000000001, 0x00000001, "Warning Unknown Glyph"},
      {0x0000000000000002, 0x00000002, "Warning Delete Failure"},
      {0x0000000000000003, 0x00000003, "Warning Write Failure"},
      {0x0000000000000004, 0x00000004, "Warning Buffer Too Small"},
      {0x0000000000000005, 0x00000005, "Warning Stale Data"},
      {0x8000000000000001, 0x80000001, "Load Error"},
      {0x8000000000000002, 0x80000002, "Invalid Parameter"},
      {0x8000000000000003, 0x80000003, "Unsupported"},
      {0x8000000000000004, 0x80000004, "Bad Buffer Size"},
      {0x8000000000000005, 0x80000005, "Buffer Too Small"},
      {0x8000000000000006, 0x80000006, "Not Ready"},
      {0x8000000000000007, 0x80000007, "Device Error"},
      {0x8000000000000008, 0x80000008, "Write Protected"},
      {0x8000000000000009, 0x80000009, "Out of Resources"},
      {0x800000000000000A, 0x8000000A, "Volume Corrupt"},
      {0x800000000000000B, 0x8000000B, "Volume Full"},
      {0x800000000000000C, 0x8000000C, "No Media"},
      {0x800000000000000D, 0x8000000D, "Media changed"},
      {0x800000000000000E, 0x8000000E, "Not Found"},
      {0x800000000000000F, 0x8000000F, "Access Denied"},
      {0x8000000000000010, 0x80000010, "No Response"},
      {0x8000000000000011, 0x80000011, "No mapping"},
      {0x8000000000000012, 0x80000012, "Time out"},
      {0x8000000000000013, 0x80000013, "Not started"},
      {0x8000000000000014, 0x80000014, "Already started"},
      {0x8000000000000015, 0x80000015, "Aborted"},
      {0x8000000000000016, 0x80000016, "ICMP Error"},
      {0x8000000000000017, 0x80000017, "TFTP Error"},
      {0x8000000000000018, 0x80000018, "Protocol Error"},
      {0x8000000000000019, 0x80000019, "Incompatible Version"},
      {0x800000000000001A, 0x8000001A, "Security Violation"},
      {0x800000000000001B, 0x8000001B, "CRC Error"},
      {0x800000000000001C, 0x8000001C, "End of Media"},
      {0x800000000000001D, 0x8000001D, "Reserved (29)"},
      {0x800000000000001E, 0x8000001E, "Reserved (30)"},
      {0x800000000000001F, 0x8000001F, "End of File"},
      {0x8000000000000020, 0x80000020, "Invalid Language"},
      {0x8000000000000021, 0x80000021, "Compromised Data"},
  };
  for (const auto &Row : Rows) {
    SCOPED_TRACE(Row.Name);
    ExpectEveryWidth("%r", {sizeof(UINTN) == 8 ? Row.Status64 : Row.Status32}, Row.Name);
  }
}

// Statuses as the firmware returns them, each an EFI_STATUS passed through
// the variadic entry as a caller passes it, on every architecture.
TEST(StatusText, FirmwareStatusesThroughTheVariadicEntry) {
  struct Row {
    EFI_STATUS Status;
    const char *Name;
  };
  for (const Row &Case : {Row{EFI_SUCCESS, "Success"}, Row{EFI_UNSUPPORTED, "Unsupported"},
                          Row{EFI_NOT_FOUND, "Not Found"}, Row{EFI_BUFFER_TOO_SMALL, "Buffer Too Small"},
                          Row{EFI_OUT_OF_RESOURCES, "Out of Resources"}}) {
    char Text[40];
    FormatToBuffer(Text, sizeof Text, 0, "%r|%r", Case.Status, Case.Status);
    EXPECT_EQ(std::string(Text), std::string(Case.Name) + "|" + Case.Name);
  }
}

TEST(ValueText, CutAtTheBuffer) {
  for (bool OutputWide : {false, true}) {
    SCOPED_TRACE(OutputWide ? "16-bit output" : "8-bit output");
    Rendered Status = RenderGuarded("%r", false, OutputWide, 5, {StatusErrorBit | 0x14});
    EXPECT_EQ(Status.Text, u"Alre");
    Rendered GuidCut = RenderGuarded("%g", false, OutputWide, 10, {Guid});
    EXPECT_EQ(GuidCut.Text, u"8B843E20-");
    EXPECT_EQ(GuidCut.Count, 9u);
  }
}

}  // namespace
