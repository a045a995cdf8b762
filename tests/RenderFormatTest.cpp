#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "FormatTestSupport.h"
#include "PageEnd.h"

namespace {

constexpr UINT64 Minus(UINT64 Value) { return 0 - Value; }
// The slot a 32-bit argument may arrive in: its bits, with a zero upper half.
constexpr UINT64 Low32(INT64 Value) { return (UINT32)Value; }

const char Ab[] = "ab";
const char Abcd[] = "abcd";
const char Empty[] = "";
const CHAR16 WideAbcdef[] = u"abcdef";
const EFI_GUID ZeroGuidForCuts = {};

TEST(RenderFormat, Integers) {
  RunTable({
      {"upper half ignored by d", "%d", {0x100000005}, "5"},
      {"upper half ignored by u", "%u", {0x100000005}, "5"},
      {"upper half ignored by x", "%x", {0x100000005}, "5"},
      {"32-bit pattern of -5", "%d", {Low32(-5)}, "-5"},
      {"64-bit -1", "%ld", {Minus(1)}, "-1"},
      {"u of -1", "%u", {Minus(1)}, "4294967295"},
      {"lu of -1", "%lu", {Minus(1)}, "18446744073709551615"},
      {"x of -1", "%x", {Minus(1)}, "FFFFFFFF"},
      {"lx of -1", "%lx", {Minus(1)}, "FFFFFFFFFFFFFFFF"},
      {"L is l", "%Lx", {Minus(1)}, "FFFFFFFFFFFFFFFF"},
      {"most negative 64-bit", "%ld", {0x8000000000000000}, "-9223372036854775808"},
      {"most negative 32-bit", "%d", {0x80000000}, "-2147483648"},
      {"zero", "%d", {0}, "0"},
      {"right aligned", "%5d|", {42}, "   42|"},
      {"left aligned", "%-5d|", {42}, "42   |"},
      {"zero fill", "%05d", {42}, "00042"},
      {"zero fill counts the sign", "%05d", {Low32(-42)}, "-0042"},
      {"plus in a field", "%+5d", {42}, "  +42"},
      {"left cancels zero fill", "%-05d|", {42}, "42   |"},
      {"plus beats space", "% +d", {42}, "+42"},
      {"plus beats space either order", "%+ d", {42}, "+42"},
      {"minus beats plus", "%+d", {Low32(-42)}, "-42"},
      {"precision pads digits", "%.3d", {7}, "007"},
      {"precision in a field", "%5.3d|", {7}, "  007|"},
      {"precision cancels zero fill", "%05.3d|", {7}, "  007|"},
      {"precision left aligned", "%-5.3d|", {7}, "007  |"},
      {"precision after prefix", "%+.3d", {7}, "+007"},
      {"zero with precision 0 has no digits", "%.0d", {0}, ""},
      {"field of nothing", "%5.0d|", {0}, "     |"},
      {"prefix alone", "%+.0d", {0}, "+"},
      {"precision 0 of non-zero", "%.0d", {5}, "5"},
      {"zero fill flag alone", "%0d", {0}, "0"},
      {"precision counts digits only", "%5.3d|", {Low32(-7)}, " -007|"},
      {"first 0 is fill, second a digit", "%010d", {5}, "0000000005"},
      {"0 after . is a digit", "%.05d", {5}, "00005"},
      {"later width replaces earlier", "%3-5d|", {1}, "1    |"},
      {"repeated flags", "%--5d|", {1}, "1    |"},
      {"u drops plus", "%+u", {5}, "5"},
      {"u keeps space", "% u", {5}, " 5"},
      // Decimal digits come two at a time: values whose leading pair, or
      // what is left of them after each pair, is exactly 10, 99, 100 or 101.
      {"9", "%u", {9}, "9"},
      {"10", "%u", {10}, "10"},
      {"11", "%u", {11}, "11"},
      {"99", "%u", {99}, "99"},
      {"100", "%u", {100}, "100"},
      {"101", "%u", {101}, "101"},
      {"1000", "%u", {1000}, "1000"},
      {"1010", "%u", {1010}, "1010"},
      {"9999", "%u", {9999}, "9999"},
      {"10000", "%u", {10000}, "10000"},
      {"10050", "%u", {10050}, "10050"},
      {"10099", "%u", {10099}, "10099"},
      {"100000", "%u", {100000}, "100000"},
      {"1000000", "%d", {1000000}, "1000000"},
      {"eight digits", "%u", {99999999}, "99999999"},
      {"100000000", "%u", {100000000}, "100000000"},
      {"1e18", "%lu", {1000000000000000000}, "1000000000000000000"},
      {"1e19", "%lu", {10000000000000000000u}, "10000000000000000000"},
      {"-100", "%d", {Low32(-100)}, "-100"},
      {"-1e18", "%ld", {Minus(1000000000000000000)}, "-1000000000000000000"},
      {"100 in a field", "%5d|", {100}, "  100|"},
      {"10000 left aligned", "%-6d|", {10000}, "10000 |"},
      {"100 with precision", "%.4d", {100}, "0100"},
      {"10050 zero filled", "%08d", {10050}, "00010050"},
      {"1000000 with plus", "%+d", {1000000}, "+1000000"},
      {"100000000 with precision", "%.10lu", {100000000}, "0100000000"},
  });
}

TEST(RenderFormat, GroupedThousands) {
  RunTable({
      {"seven digits", "%,d", {1234567}, "1,234,567"},
      {"three digits", "%,d", {123}, "123"},
      {"four digits", "%,d", {1234}, "1,234"},
      {"five digits", "%,d", {12345}, "12,345"},
      {"six digits", "%,d", {123456}, "123,456"},
      {"negative", "%,d", {Low32(-1234567)}, "-1,234,567"},
      {"zero", "%,d", {0}, "0"},
      {"grouping cancels zero fill", "%08,d", {1234}, "   1,234"},
      {"grouping resets precision", "%,.8d", {1234}, "1,234"},
      {"grouping keeps the zero digit", "%,.0d", {0}, "0"},
      {"with space prefix", "% ,d", {1234}, " 1,234"},
      {"64-bit", "%,ld", {1234567890123}, "1,234,567,890,123"},
      {"hexadecimal is never grouped", "%,x", {0x123456}, "123456"},
      {"unsigned", "%,u", {4294967295}, "4,294,967,295"},
      {"99", "%,d", {99}, "99"},
      {"100", "%,d", {100}, "100"},
      {"101", "%,d", {101}, "101"},
      {"1000", "%,d", {1000}, "1,000"},
      {"9999", "%,d", {9999}, "9,999"},
      {"10000", "%,d", {10000}, "10,000"},
      {"10050", "%,d", {10050}, "10,050"},
      {"100000", "%,d", {100000}, "100,000"},
      {"1000000", "%,d", {1000000}, "1,000,000"},
      {"100000000", "%,u", {100000000}, "100,000,000"},
      {"1e19", "%,lu", {10000000000000000000u}, "10,000,000,000,000,000,000"},
      {"largest 64-bit", "%,lu", {Minus(1)}, "18,446,744,073,709,551,615"},
      {"most negative 64-bit", "%,ld", {0x8000000000000000}, "-9,223,372,036,854,775,808"},
      {"-10000 in a field", "%8,d|", {Low32(-10000)}, " -10,000|"},
  });
}

TEST(RenderFormat, Hexadecimal) {
  RunTable({
      {"lower x is upper case", "%x", {255}, "FF"},
      {"upper X", "%X", {255}, "FF"},
      {"X fills with zeros", "%8X", {255}, "000000FF"},
      {"x fills with spaces", "%8x|", {255}, "      FF|"},
      {"explicit zero fill", "%08x", {255}, "000000FF"},
      {"precision", "%.4x", {255}, "00FF"},
      {"plus prefix stays", "%+x", {255}, "+FF"},
      {"space prefix stays", "% x", {255}, " FF"},
      {"prefix inside zero fill", "%+08x", {255}, "+00000FF"},
      {"pointer", "%p", {0x1234}, "1234"},
      {"pointer field is zero filled", "%20p|", {0x1234}, "00000000000000001234|"},
      {"pointer left aligned", "%-20p|", {0x1234}, "1234                |"},
      {"pointer drops plus", "%+p", {0x1234}, "1234"},
      {"pointer drops space", "% p", {0x1234}, "1234"},
      {"null pointer", "%p", {0}, "0"},
      {"pointer takes 64 bits", "%p", {0xFEDCBA9876543210}, "FEDCBA9876543210"},
  });
}

TEST(RenderFormat, TextsAndCharacters) {
  RunTable({
      {"null a", "%a", {0}, "<null string>"},
      {"null s", "%s", {0}, "<null string>"},
      {"null with precision", "%.4s", {0}, "<nul"},
      {"right aligned", "%5a|", {PointerSlot(Ab)}, "   ab|"},
      {"left aligned", "%-5a|", {PointerSlot(Ab)}, "ab   |"},
      {"zero flag fills with spaces", "%08a", {PointerSlot(Ab)}, "      ab"},
      {"precision is a right-aligned field", "%.5a", {PointerSlot(Ab)}, "   ab"},
      {"precision field inside a left width", "%-8.5a|", {PointerSlot(Ab)}, "   ab   |"},
      {"precision cuts", "%.2a", {PointerSlot(Abcd)}, "ab"},
      {"dot alone is precision 1 for a", "%.a", {PointerSlot(Abcd)}, "a"},
      {"dot alone is precision 1 for s", "%.s", {PointerSlot(WideAbcdef)}, "a"},
      {"precision 0", "%.0a|", {PointerSlot(Abcd)}, "|"},
      {"empty string", "[%a]", {PointerSlot(Empty)}, "[]"},
      {"UCS-2 in a field", "%5.3s|", {PointerSlot(WideAbcdef)}, "  abc|"},
      {"UCS-2 left aligned", "%-5.3s|", {PointerSlot(WideAbcdef)}, "abc  |"},
      {"S is s", "%S", {PointerSlot(WideAbcdef)}, "abcdef"},
      {"character", "%c", {0x41}, "A"},
      {"character takes the low 16 bits", "%c", {0x10041}, "A"},
      {"zero character is a space", "%c", {0}, " "},
      {"character with precision 0", "%.0c", {0x41}, ""},
      {"character with precision 3", "%.3c", {0x41}, "  A"},
      {"zero character in a field", "%5c|", {0}, "     |"},
  });

  // Texts that end where the readable memory ends, at every length up to
  // two four-character steps: the terminator is the last readable
  // character, or, where a precision stops the reading, there is none.
  const std::string Letters = "abcdefghi";
  for (size_t Length = 0; Length <= Letters.size(); Length++) {
    SCOPED_TRACE(testing::Message() << Length << " characters ending at a page");
    std::string Text = Letters.substr(0, Length);
    std::string Field = std::string(12 - Length, ' ');
    const PageEndCopy Narrow(Text), Wide(Widen(Text));
    const PageEndCopy NarrowUnterminated(Text.data(), Length), WideUnterminated(Widen(Text).data(), 2 * Length);
    std::string Precision = std::to_string(Length);
    RunTable({
        {"8-bit", "%a|", {PointerSlot(Narrow.Start)}, Text + "|"},
        {"8-bit in a field", "%12a|", {PointerSlot(Narrow.Start)}, Field + Text + "|"},
        {"8-bit left aligned", "%-12a|", {PointerSlot(Narrow.Start)}, Text + Field + "|"},
        {"8-bit with a larger precision", "%.12a|", {PointerSlot(Narrow.Start)}, Field + Text + "|"},
        {"16-bit", "%s|", {PointerSlot(Wide.Start)}, Text + "|"},
        {"S", "%S|", {PointerSlot(Wide.Start)}, Text + "|"},
        {"16-bit in a field", "%12s|", {PointerSlot(Wide.Start)}, Field + Text + "|"},
        {"16-bit left aligned", "%-12S|", {PointerSlot(Wide.Start)}, Text + Field + "|"},
        {"8-bit cut by its precision", "%." + Precision + "a|", {PointerSlot(NarrowUnterminated.Start)}, Text + "|"},
        {"8-bit cut by a star precision", "%-12.*a|", {Length, PointerSlot(NarrowUnterminated.Start)},
         Text + Field + "|"},
        {"16-bit cut by its precision", "%." + Precision + "s|", {PointerSlot(WideUnterminated.Start)}, Text + "|"},
        {"16-bit cut in a field", "%12.*s|", {Length, PointerSlot(WideUnterminated.Start)}, Field + Text + "|"},
    });
  }
}

TEST(RenderFormat, WidthAndPrecisionFromSlots) {
  RunTable({
      {"star width", "%*d|", {6, 42}, "    42|"},
      {"star width left aligned", "%-*d|", {6, 42}, "42    |"},
      {"star width and precision", "%*.*d|", {8, 4, 42}, "    0042|"},
      {"star precision", "%.*a", {2, PointerSlot(Abcd)}, "ab"},
      {"star precision 0 of 0", "%.*d|", {0, 0}, "|"},
      {"negative width is no fill", "%*a|", {Minus(5), PointerSlot(Ab)}, "ab|"},
      {"negative width left aligned", "%-*a|", {Minus(5), PointerSlot(Ab)}, "ab|"},
  });
  // All 64 bits of a width slot count: 0x100000003 is no width of 3.
  Rendered Result = Render8("%*d|", {0x100000003, 5}, 10);
  EXPECT_EQ(Result.Text, u"         ");
  EXPECT_EQ(Result.Count, 9u);
}

TEST(RenderFormat, OtherCharacters) {
  RunTable({
      {"percent", "%%", {}, "%"},
      {"unknown conversion is itself", "%q", {}, "q"},
      {"unknown conversion in a field", "%-3q|", {}, "q  |"},
      {"characters past the class table are themselves", "%-3y|%|%~%\x7F", {}, "y  ||~\x7F"},
      {"no alternate form", "%#x", {}, "#x"},
      {"percent in a field", "%5%|", {}, "    %|"},
      {"percent with precision", "%.%", {}, "%"},
      {"percent with precision 0", "%.0%", {}, ""},
      {"format ends after percent", "ab%", {}, "ab"},
      {"format ends after a flag", "%-", {}, ""},
      {"format ends after l", "%l", {}, ""},
      {"format ends in a width", "%5", {}, "     "},
      {"format ends in a left width", "x%-3", {}, "x   "},
      {"upper-case letters are not conversions", "%G%T%R%D", {}, "GTRD"},
      {"huge width stops at the buffer", "%99999999999999999999d", {1}, std::string(399, ' ')},
      {"huge precision stops at the buffer", "%.9223372036854775807d", {1}, std::string(399, '0')},
  });
}

TEST(RenderFormat, LineBreaks) {
  RunTable({
      {"LF", "a\nb", {}, "a\r\nb"},
      {"CR LF", "a\r\nb", {}, "a\r\nb"},
      {"LF CR", "a\n\rb", {}, "a\r\nb"},
      {"lone CR", "a\rb", {}, "a\rb"},
      {"two LF", "\n\n", {}, "\r\n\r\n"},
      {"CR CR LF", "\r\r\n", {}, "\r\r\n"},
      {"LF as a conversion", "%\n", {}, "\r\n"},
      {"LF in a field", "%5\n|", {}, "   \r\n|"},
      {"LF left aligned", "%-5\n|", {}, "\r\n   |"},
      {"precision 1 keeps the CR", "%.1\n", {}, "\r"},
      {"CR LF as a conversion", "%\r\nX", {}, "\r\nX"},
  });
}

// Plain characters go to the output eight bytes at a time where they can.
// Whatever stands at each place of a word, and wherever the buffer ends, the
// text must be the one character at a time would give.
TEST(RenderFormat, PlainRunsEndAnywhereInAWord) {
  const std::string Run = "0123456789abcdefghij";
  struct Special {
    const char *Format;
    std::vector<UINT64> Slots;
    const char *Output;
  };
  // Then characters a word's test may take for special or not, each of
  // which stands for itself: those next to "%" and to the line breaks, and
  // control characters below them.
  const Special Specials[] = {
      {"%%", {}, "%"}, {"%d", {42}, "42"}, {"\n", {}, "\r\n"}, {"\r\n", {}, "\r\n"},
      {"\n\r", {}, "\r\n"}, {"\r", {}, "\r"}, {"\xE9", {}, "\xE9"}, {"", {}, ""},
      {" ", {}, " "}, {"$", {}, "$"}, {"&", {}, "&"}, {"\x01", {}, "\x01"},
      {"\x0B", {}, "\x0B"}, {"\x0C", {}, "\x0C"}, {"\x0E", {}, "\x0E"},
  };
  for (const Special &Each : Specials) {
    for (size_t At = 0; At <= Run.size(); At++) {
      std::string Format = Run.substr(0, At) + Each.Format + Run.substr(At);
      std::string Expected = Run.substr(0, At) + Each.Output + Run.substr(At);
      for (UINTN Size = 1; Size <= Expected.size() + 2; Size++) {
        SCOPED_TRACE(testing::Message() << "\"" << Each.Format << "\" at " << At << ", size " << Size);
        ExpectEveryWidth(Format, Each.Slots, Expected.substr(0, Size - 1), Size);
        if (HasFailure()) {
          return;
        }
      }
    }
  }
}

// A UCS-2 unit above 0xFF is plain wherever it stands in a word: its low
// byte may look like "%" or a line break, the unit does not.
TEST(RenderFormat, UnitsAboveFFArePlainInAWord) {
  for (CHAR16 Unit : {u'\u0125', u'\u0A0A', u'\u0D0D', u'\u2500', u'\uFF00', u'\u0100', u'\u010A', u'\u010D',
                      u'\u0124', u'\u0120'}) {
    for (size_t At = 0; At <= 9; At++) {
      std::u16string Format = u"abcdefghi";
      Format.insert(At, 1, Unit);
      SCOPED_TRACE(testing::Message() << "unit " << (unsigned)Unit << " at " << At);
      EXPECT_EQ(RenderGuarded(Format.c_str(), true, true, 40, {}).Text, Format);
      std::u16string Narrow;
      for (CHAR16 Each : Format) {
        Narrow.push_back((UINT8)Each);
      }
      EXPECT_EQ(RenderGuarded(Format.c_str(), true, false, 40, {}).Text, Narrow);
    }
  }
}

// Texts and digits go to the output eight bytes at a time where format,
// text and output allow it, and a character at a time across widths. At
// every length past two such steps, and wherever the buffer ends, the text
// must be the one a character at a time would give; a text is read no
// further than its terminator, which is the last readable character.
TEST(RenderFormat, TextsAndDigitsEndAnywhere) {
  const std::string Letters = "abcdefghijklmnopq";
  for (size_t Length = 0; Length <= Letters.size(); Length++) {
    std::string Text = Letters.substr(0, Length);
    const PageEndCopy Narrow(Text), Wide(Widen(Text));
    for (UINTN Size = 1; Size <= Length + 3; Size++) {
      SCOPED_TRACE(testing::Message() << Length << " characters, size " << Size);
      std::string Expected = ("<" + Text + ">").substr(0, Size - 1);
      ExpectEveryWidth("<%a>", {PointerSlot(Narrow.Start)}, Expected, Size);
      ExpectEveryWidth("<%s>", {PointerSlot(Wide.Start)}, Expected, Size);
      if (HasFailure()) {
        return;
      }
    }
  }
  const FormatCase Integers[] = {
      {"20 digits", "%lu", {Minus(1)}, "18446744073709551615"},
      {"20 digits and commas", "%,lu", {Minus(1)}, "18,446,744,073,709,551,615"},
      {"16 hexadecimal digits", "%lX", {0x123456789ABCDEF0}, "123456789ABCDEF0"},
      {"zeros and 9 digits", "%+020d", {123456789}, "+0000000000123456789"},
      {"GUID form", "%g", {PointerSlot(&ZeroGuidForCuts)}, "00000000-0000-0000-0000-000000000000"},
  };
  for (const FormatCase &Row : Integers) {
    for (UINTN Size = 1; Size <= Row.Expected.size() + 2; Size++) {
      SCOPED_TRACE(testing::Message() << Row.Name << ", size " << Size);
      ExpectEveryWidth(Row.Format, Row.Slots, Row.Expected.substr(0, Size - 1), Size);
      if (HasFailure()) {
        return;
      }
    }
  }
}

TEST(RenderFormat, Truncation) {
  struct TruncationCase {
    const char *Name;
    std::string Format;
    std::vector<UINT64> Slots;
    UINTN Size;
    std::string Expected;
  };
  const std::vector<TruncationCase> Cases = {
      {"plain text", "abcdefgh", {}, 5, "abcd"},
      {"between CR and LF", "a\nb", {}, 3, "a\r"},
      {"inside a fill", "%5d", {1}, 3, "  "},
      {"between a digit and its comma", "%,d", {1234567}, 6, "1,234"},
      {"size 1 is the terminator alone", "abc", {}, 1, ""},
      {"exact fit", "abc", {}, 4, "abc"},
      {"one character into a one-character buffer", "x", {}, 1, ""},
      {"one character, exact fit", "x", {}, 2, "x"},
      {"one converted character, exact fit", "%c", {'Z'}, 2, "Z"},
      {"conversion into a one-character buffer", "%d", {5}, 1, ""},
      {"empty format into a one-character buffer", "", {}, 1, ""},
      {"empty format", "", {}, 400, ""},
      {"inside a prefix and zeros", "%+08d", {5}, 4, "+00"},
      {"status name", "%r", {StatusErrorBit | 0x14}, 5, "Alre"},
      {"GUID form", "%g", {0}, 6, "<null"},
  };
  for (const TruncationCase &Row : Cases) {
    SCOPED_TRACE(Row.Name);
    ExpectEveryWidth(Row.Format, Row.Slots, Row.Expected, Row.Size);
  }
  // The rest of a cut format is not read: its slots are not consumed, so a
  // bogus pointer after the cut is never touched.
  Rendered Result = Render8("ab%s", {0x10}, 3);
  EXPECT_EQ(Result.Text, u"ab");
}

TEST(RenderFormat, EntryChecks) {
  // A size of 0 writes nothing, not even a terminator.
  EXPECT_TRUE(Render8("abc", {}, 0).Refused);
  // A null buffer or format with a size is refused.
  UINT16 Unused = 0x5555;
  EXPECT_EQ(RenderFormat(nullptr, 10, 0, "abc", ArgumentList{nullptr, 0}), 0u);
  EXPECT_EQ(RenderFormat(&Unused, 1, FORMAT_OUTPUT_WIDE, nullptr, ArgumentList{nullptr, 0}), 0u);
  EXPECT_EQ(Unused, 0x5555);
  EXPECT_EQ(RenderFormat(nullptr, 0, 0, nullptr, ArgumentList{nullptr, 0}), 0u);
  // An empty format writes the terminator alone.
  Rendered EmptyFormat = Render8("", {}, 5);
  EXPECT_FALSE(EmptyFormat.Refused);
  EXPECT_EQ(EmptyFormat.Count, 0u);

  // The bound on the buffer size.
  EXPECT_TRUE(Render8("abc", {}, FORMAT_MAX_LENGTH + 1).Refused);
  Rendered Largest = Render8("abc", {}, FORMAT_MAX_LENGTH);
  EXPECT_EQ(Largest.Text, u"abc");

  // The bound on the format length, in both format widths.
  std::string LongFormat(FORMAT_MAX_LENGTH, 'x');
  EXPECT_EQ(Render8(LongFormat, {}, 4).Text, u"xxx");
  LongFormat.push_back('x');
  EXPECT_TRUE(Render8(LongFormat, {}, 4).Refused);
  std::u16string LongWide(FORMAT_MAX_LENGTH, u'y');
  EXPECT_EQ(Render16(LongWide, {}, 3).Text, u"yy");
  LongWide.push_back(u'y');
  EXPECT_TRUE(Render16(LongWide, {}, 3).Refused);
}

TEST(RenderFormat, CharacterWidths) {
  // A 16-bit format unit is compared whole: U+0125 is not "%", U+0A25 not a
  // line break.
  Rendered Percent = Render16(u"\u0125d\u0A0A", {7});
  EXPECT_EQ(Percent.Text, u"\u0125d\u0A0A");
  // 16-bit output keeps the low byte first.
  const CHAR16 Format[] = u"\u263A%s";
  const CHAR16 Text[] = u"\u1234";
  unsigned char Bytes[8] = {};
  UINT64 Slot = PointerSlot(Text);
  EXPECT_EQ(RenderFormat(Bytes, 4, FORMAT_FORMAT_WIDE | FORMAT_OUTPUT_WIDE, Format, ArgumentList{&Slot, 1}), 2u);
  const unsigned char Expected[8] = {0x3A, 0x26, 0x34, 0x12, 0, 0, 0, 0};
  EXPECT_EQ(std::vector<unsigned char>(Bytes, Bytes + 8), std::vector<unsigned char>(Expected, Expected + 8));

  // Bytes of 8-bit texts are not sign-extended.
  const char HighByte[] = "\xE9";
  EXPECT_EQ(RenderGuarded("\xE9", false, true, 10, {}).Text, u"\u00E9");
  EXPECT_EQ(RenderGuarded("%a", false, true, 10, {PointerSlot(HighByte)}).Text, u"\u00E9");
  // 16-bit characters keep only their low byte in 8-bit output.
  EXPECT_EQ(RenderGuarded(u"\u263A", true, false, 10, {}).Text, u":");
  EXPECT_EQ(RenderGuarded("%c", false, false, 10, {0x263A}).Text, u":");
  EXPECT_EQ(RenderGuarded("%c", false, true, 10, {0x263A}).Text, u"\u263A");
  EXPECT_EQ(RenderGuarded(u"%\u263A", true, true, 10, {}).Text, u"\u263A");
  // U+0100 becomes a zero byte that still counts as written.
  const CHAR16 LowZero[] = {0x100, 'a', 'b', 0};
  Rendered Zero = RenderGuarded("%s|", false, false, 10, {PointerSlot(LowZero)});
  EXPECT_EQ(Zero.Count, 4u);
  EXPECT_EQ(Zero.Text, std::u16string(u"\0ab|", 4));
  // A UCS-2 string at an odd address is read unit by unit all the same.
  alignas(2) unsigned char Odd[7] = {0, 'o', 0, 'k', 0, 0, 0};
  EXPECT_EQ(Render8("%s", {PointerSlot(Odd + 1)}).Text, u"ok");
}

// The argument list knows its length: a directive that finds no slot left
// reads 0 and nothing past the list is touched.
TEST(RenderFormat, MissingSlots) {
  RunTable({
      {"string", "%s", {}, "<null string>"},
      {"8-bit string", "%a", {}, "<null string>"},
      {"integer", "%d", {}, "0"},
      {"second of two", "%d,%d", {7}, "7,0"},
      {"star", "%*d|", {}, "0|"},
      {"GUID", "%g", {}, "<null guid>"},
      {"time", "%t", {}, "<null time>"},
      {"status", "%r", {}, "Success"},
      {"character", "[%c]", {}, "[ ]"},
  });
  // Slots beyond Count are never read, even when the memory is there.
  const UINT64 Slots[2] = {1, 2};
  char Buffer[8];
  EXPECT_EQ(RenderFormat(Buffer, sizeof Buffer, 0, "%d%d", ArgumentList{Slots, 1}), 2u);
  EXPECT_STREQ(Buffer, "10");
}

TEST(RenderFormat, ParsesDirectivesAtCompileTime) {
  constexpr auto Parse = [](const char *Format) {
    auto ReadUnit = [Format](UINTN Index) -> UINT32 { return (unsigned char)Format[Index]; };
    return ParseDirective(ReadUnit, 0, 0, [] { return (UINT64)9; });
  };
  static_assert(Parse("%42d").Width == 42);
  static_assert(Parse("%42d").Flags == FORMAT_WIDTH_GIVEN);
  static_assert(Parse("%-08.3lx").Flags ==
                (FORMAT_ALIGN_LEFT | FORMAT_FILL_ZERO | FORMAT_WIDTH_GIVEN | FORMAT_PRECISION_GIVEN |
                 FORMAT_VALUE_64));
  static_assert(Parse("%-08.3lx").Precision == 3 && Parse("%-08.3lx").Conversion == 'x');
  static_assert(Parse("%.05d").Flags == FORMAT_PRECISION_GIVEN && Parse("%.05d").Precision == 5);
  static_assert(Parse("%*.*d").Width == 9 && Parse("%*.*d").Precision == 9);
  static_assert(Parse("%.d").Precision == 1);
  static_assert(Parse("%5").Conversion == 0 && Parse("%5").Precision == 0 && Parse("%5").Next == 2);
  static_assert(Parse("%%x").Conversion == '%' && Parse("%%x").Next == 2);
}

// The smallest calls of the variadic entry, with both literal widths. The
// buffer's slots after the terminator must stay as they were.
TEST(FormatToBuffer, SmallestCases) {
  struct Row {
    const char *Name;
    UINTN Size;
    UINTN (*Print)(CHAR16 *Buffer, UINTN Size);
    std::u16string Expected;
  };
  const Row Rows[] = {
      {"one character", 2,
       [](CHAR16 *Buffer, UINTN Size) { return FormatToBuffer(Buffer, Size, FORMAT_OUTPUT_WIDE, u"x"); }, u"x"},
      {"one character, 8-bit literal", 2,
       [](CHAR16 *Buffer, UINTN Size) { return FormatToBuffer(Buffer, Size, FORMAT_OUTPUT_WIDE, "x"); }, u"x"},
      {"one converted character", 2,
       [](CHAR16 *Buffer, UINTN Size) { return FormatToBuffer(Buffer, Size, FORMAT_OUTPUT_WIDE, u"%c", u'Z'); }, u"Z"},
      {"empty format", 4,
       [](CHAR16 *Buffer, UINTN Size) { return FormatToBuffer(Buffer, Size, FORMAT_OUTPUT_WIDE, u""); }, u""},
      {"empty 8-bit format", 4,
       [](CHAR16 *Buffer, UINTN Size) { return FormatToBuffer(Buffer, Size, FORMAT_OUTPUT_WIDE, ""); }, u""},
      {"one-character buffer", 1,
       [](CHAR16 *Buffer, UINTN Size) { return FormatToBuffer(Buffer, Size, FORMAT_OUTPUT_WIDE, u"abc"); }, u""},
      {"one-character buffer, a conversion", 1,
       [](CHAR16 *Buffer, UINTN Size) { return FormatToBuffer(Buffer, Size, FORMAT_OUTPUT_WIDE, "%d", 5); }, u""},
  };
  for (const Row &Case : Rows) {
    SCOPED_TRACE(Case.Name);
    CHAR16 Buffer[8];
    std::fill(Buffer, Buffer + 8, 0xCCCC);
    EXPECT_EQ(Case.Print(Buffer, Case.Size), Case.Expected.size());
    EXPECT_EQ(std::u16string(Buffer, Case.Expected.size()), Case.Expected);
    EXPECT_EQ(Buffer[Case.Expected.size()], 0) << "no terminator";
    for (size_t Index = Case.Expected.size() + 1; Index < 8; Index++) {
      EXPECT_EQ(Buffer[Index], 0xCCCC) << "written after the terminator at " << Index;
    }
  }
}

TEST(FormatToBuffer, LaysOneSlotPerArgument) {
  char Narrow[64];
  const CHAR16 Wide[] = u"wide";
  // Signed arguments are sign-extended, so a 64-bit directive sees the value.
  EXPECT_EQ(FormatToBuffer(Narrow, sizeof Narrow, 0, "%ld %d %u %s %a %c", (INT8)-3, -4, 5u, Wide, "x", u'Z'), 16u);
  EXPECT_STREQ(Narrow, "-3 -4 5 wide x Z");
  enum Colour : UINT16 { Red = 7 };
  EXPECT_EQ(FormatToBuffer(Narrow, sizeof Narrow, 0, "%d%p%s", Red, nullptr, nullptr), 15u);
  EXPECT_STREQ(Narrow, "70<null string>");

  CHAR16 WideOut[16];
  EXPECT_EQ(FormatToBuffer(WideOut, 16, FORMAT_OUTPUT_WIDE, u"%d\n", 12), 4u);
  EXPECT_EQ(std::u16string(WideOut), u"12\r\n");
  // The literal's own character type decides how the format is read.
  EXPECT_EQ(FormatToBuffer(Narrow, sizeof Narrow, FORMAT_FORMAT_WIDE, "%d", 3), 1u);
  EXPECT_STREQ(Narrow, "3");
}

}  // namespace
