#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "BaseLib.h"
#include "Format.h"
#include "PageEnd.h"

namespace {

TEST(DivU64x32Remainder, AgreesWithTheHostAtPowersAndEdges) {
  std::vector<UINT64> Dividends = {0, 1, 9, 10, 11, 15, 16, 17, 0xFFFFFFFF, 0x100000000, 0xFFFFFFFFFFFFFFFF,
                                   0x8000000000000000};
  for (UINT64 Power = 1; Power != 0 && Power <= 0xFFFFFFFFFFFFFFFF / 10; Power *= 10) {
    Dividends.push_back(Power);
    Dividends.push_back(Power - 1);
  }
  for (int Shift = 0; Shift < 64; Shift++) {
    Dividends.push_back(1ULL << Shift);
    Dividends.push_back((1ULL << Shift) - 1);
  }
  // 100 is the engine's decimal divisor; from 0x80000001 on, the 32-bit
  // steps' running rest passes 32 bits before each subtraction.
  for (UINT32 Divisor : {1u, 2u, 10u, 16u, 7u, 100u, 0xFFFFFFFFu, 0x80000000u, 0x80000001u, 0xFFFFu}) {
    for (UINT64 Dividend : Dividends) {
      UINT32 Remainder = 0xDEADBEEF;
      EXPECT_EQ(DivU64x32Remainder(Dividend, Divisor, &Remainder), Dividend / Divisor) << Dividend << "/" << Divisor;
      EXPECT_EQ(Remainder, Dividend % Divisor) << Dividend << "%" << Divisor;
      // What DivU64x32Remainder does on 32-bit builds, checked on every host.
      UINT32 HalvesRemainder = 0xDEADBEEF;
      EXPECT_EQ(DivU64x32InHalves(Dividend, Divisor, &HalvesRemainder), Dividend / Divisor)
          << Dividend << "/" << Divisor << " in halves";
      EXPECT_EQ(HalvesRemainder, Dividend % Divisor) << Dividend << "%" << Divisor << " in halves";
    }
  }
  EXPECT_EQ(DivU64x32Remainder(100, 7, nullptr), 14u);
}

TEST(ValueToDigits, WritesLeastSignificantFirstAfterAZero) {
  struct Row {
    UINT64 Value;
    UINT32 Radix;
    const char *Digits;  // most significant first
  };
  for (const Row &Case : {Row{0, 10, "0"}, Row{7, 16, "7"}, Row{1234, 10, "1234"}, Row{0xABC, 16, "ABC"},
                          Row{0xFFFFFFFFFFFFFFFF, 10, "18446744073709551615"},
                          Row{0xFFFFFFFFFFFFFFFF, 16, "FFFFFFFFFFFFFFFF"}}) {
    CHAR8 Text[38];
    CHAR8 *Last = ValueToDigits(Text, Case.Value, Case.Radix);
    std::string Digits;
    for (CHAR8 *Position = Last; Position > Text; Position--) {
      Digits.push_back(*Position);
    }
    EXPECT_EQ(Text[0], 0);
    EXPECT_EQ(Digits, Case.Digits);
  }
}

TEST(FillCharacters, StopsAtTheEndAndIgnoresNegativeCounts) {
  UINT8 Buffer[8] = {};
  UINT8 *End = Buffer + 6;
  EXPECT_EQ(FillCharacters(Buffer, End, -3, 'x', 1), Buffer);
  EXPECT_EQ(FillCharacters(Buffer, End, 0, 'x', 1), Buffer);
  EXPECT_EQ(FillCharacters(Buffer, End, 100, 'x', 1), End);
  EXPECT_EQ(Buffer[6], 0);
  UINT8 Wide[8] = {};
  EXPECT_EQ(FillCharacters(Wide, Wide + 4, 5, 0x1234, 2), Wide + 4);
  const UINT8 Expected[8] = {0x34, 0x12, 0x34, 0x12, 0, 0, 0, 0};
  EXPECT_EQ(std::vector<UINT8>(Wide, Wide + 8), std::vector<UINT8>(Expected, Expected + 8));
}

TEST(BoundedLength, StopsAtTheTerminatorOrTheLimit) {
  const CHAR8 Narrow[] = {'a', 'b', 'c'};  // no terminator: nothing past the limit may be read
  EXPECT_EQ(BoundedLength8(Narrow, 3), 3u);
  EXPECT_EQ(BoundedLength8("ab", 10), 2u);
  EXPECT_EQ(BoundedLength8("", 10), 0u);
  EXPECT_EQ(BoundedLength8("abc", 0), 0u);
  EXPECT_EQ(BoundedLength8(nullptr, 10), 0u);
  const CHAR16 Wide[] = {u'a', 0x100, 0x001};  // units with a zero byte are not terminators
  EXPECT_EQ(BoundedLength16(Wide, 3), 3u);
  EXPECT_EQ(BoundedLength16(u"ab", 10), 2u);
  EXPECT_EQ(BoundedLength16(u"ab", 1), 1u);
  EXPECT_EQ(BoundedLength16(nullptr, 10), 0u);
  EXPECT_EQ(BoundedLength16(u"ab", 0), 0u);

  // A limit below the array's size with a non-zero unit right after it.
  EXPECT_EQ(BoundedLength8("abcd", 2), 2u);
  EXPECT_EQ(BoundedLength16(u"abcd", 2), 2u);
  // The limit is the array's end, and nothing after it is readable.
  PageEndCopy NarrowAtEnd(Narrow, sizeof Narrow);
  EXPECT_EQ(BoundedLength8((const CHAR8 *)NarrowAtEnd.Start, 3), 3u);
  PageEndCopy WideAtEnd(Wide, sizeof Wide);
  EXPECT_EQ(BoundedLength16((const CHAR16 *)WideAtEnd.Start, 3), 3u);
}

TEST(UnalignedRead, ReadsLittleEndianAtAnyAddress) {
  alignas(8) const UINT8 Bytes[17] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99,
                                      0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF, 0x00, 0x01};
  // Each offset's values written out: the first byte read is the low one.
  const struct {
    int Offset;
    UINT16 Value16;
    UINT32 Value32;
    UINT64 Value64;
  } Rows[] = {
      {0, 0x2211, 0x44332211, 0x8877665544332211}, {1, 0x3322, 0x55443322, 0x9988776655443322},
      {2, 0x4433, 0x66554433, 0xAA99887766554433}, {3, 0x5544, 0x77665544, 0xBBAA998877665544},
      {7, 0x9988, 0xBBAA9988, 0xFFEEDDCCBBAA9988}, {8, 0xAA99, 0xCCBBAA99, 0x00FFEEDDCCBBAA99},
  };
  for (const auto &Row : Rows) {
    SCOPED_TRACE(Row.Offset);
    EXPECT_EQ(UnalignedRead16(Bytes + Row.Offset), Row.Value16);
    EXPECT_EQ(UnalignedRead32(Bytes + Row.Offset), Row.Value32);
    EXPECT_EQ(ReadUnaligned<UINT16>(Bytes + Row.Offset), Row.Value16);
    EXPECT_EQ(ReadUnaligned<UINT32>(Bytes + Row.Offset), Row.Value32);
    EXPECT_EQ(ReadUnaligned<UINT64>(Bytes + Row.Offset), Row.Value64);
  }
  // A GUID at an odd address: three numbers, then eight bytes in memory order.
  EFI_GUID Guid = ReadUnalignedGuid(Bytes + 1);
  EXPECT_EQ(Guid.Data1, 0x55443322u);
  EXPECT_EQ(Guid.Data2, 0x7766);
  EXPECT_EQ(Guid.Data3, 0x9988);
  const UINT8 Data4[8] = {0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF, 0x00, 0x01};
  EXPECT_EQ(std::vector<UINT8>(Guid.Data4, Guid.Data4 + 8), std::vector<UINT8>(Data4, Data4 + 8));
}

// The terminator at every place of the four-character steps, before, at and
// after the limit. Each text lies once in an allocation of exactly the
// characters that may be read (AddressSanitizer reports a read past them)
// and once followed by characters that are not terminators. The 16-bit text
// starts at an odd address and its units have one zero byte.
TEST(BoundedLength, FindsTheTerminatorAtEveryPlaceOfAStep) {
  for (UINTN Place = 0; Place < 10; Place++) {
    for (UINTN Limit = 1; Limit < 12; Limit++) {
      UINTN Readable = Place < Limit ? Place + 1 : Limit;
      UINTN Expected = Place < Limit ? Place : Limit;
      for (UINTN Padding : {0, 8}) {
        std::vector<CHAR8> Narrow(Readable + Padding, 'x');
        std::vector<UINT8> Wide(1 + 2 * (Readable + Padding));
        for (UINTN Unit = 0; Unit < Readable + Padding; Unit++) {
          Wide[1 + 2 * Unit] = Unit % 2 == 0 ? 0 : 'x';
          Wide[2 + 2 * Unit] = Unit % 2 == 0 ? 1 : 0;
        }
        if (Place < Limit) {
          Narrow[Place] = 0;
          Wide[1 + 2 * Place] = Wide[2 + 2 * Place] = 0;
        }
        EXPECT_EQ(BoundedLength8(Narrow.data(), Limit), Expected) << Place << " " << Limit;
        EXPECT_EQ(BoundedLength16((CONST CHAR16 *)(Wide.data() + 1), Limit), Expected) << Place << " " << Limit;
      }
    }
  }
}

}  // namespace
