#include "FormatTestSupport.h"

#include <gtest/gtest.h>

#include <cstring>

#include "PageEnd.h"

namespace {
constexpr size_t GuardSize = 16;
constexpr unsigned char GuardByte = 0xA5;
constexpr unsigned char UnwrittenByte = 0xCC;
}  // namespace

std::u16string Widen(const std::string &Text) {
  std::u16string Wide;
  for (unsigned char Character : Text) {
    Wide.push_back(Character);
  }
  return Wide;
}

UINT64 PointerSlot(const void *Pointer) { return (UINT64)(UINTN)Pointer; }

Rendered RenderGuarded(const void *Format, bool FormatWide, bool OutputWide, UINTN BufferSize,
                       const std::vector<UINT64> &Slots) {
  const size_t CharacterSize = OutputWide ? 2 : 1;
  const size_t BufferBytes = BufferSize * CharacterSize;
  std::vector<unsigned char> Memory(GuardSize + BufferBytes + GuardSize, UnwrittenByte);
  memset(Memory.data(), GuardByte, GuardSize);
  memset(Memory.data() + GuardSize + BufferBytes, GuardByte, GuardSize);
  unsigned char *Buffer = Memory.data() + GuardSize;

  // The format's terminator is the last readable character: reading past
  // it faults.
  size_t FormatUnits = 0;
  if (FormatWide) {
    while (((const CHAR16 *)Format)[FormatUnits] != 0) {
      FormatUnits++;
    }
  } else {
    FormatUnits = strlen((const char *)Format);
  }
  PageEndCopy PlacedFormat(Format, (FormatUnits + 1) * (FormatWide ? 2 : 1));

  UINTN Flags = (FormatWide ? FORMAT_FORMAT_WIDE : 0) | (OutputWide ? FORMAT_OUTPUT_WIDE : 0);
  Rendered Result = {};
  Result.Count =
      RenderFormat(Buffer, BufferSize, Flags, PlacedFormat.Start, ArgumentList{Slots.data(), Slots.size()});

  for (size_t Index = 0; Index < GuardSize; Index++) {
    EXPECT_EQ(Memory[Index], GuardByte) << "byte written before the buffer at -" << GuardSize - Index;
    EXPECT_EQ(Memory[GuardSize + BufferBytes + Index], GuardByte) << "byte written past the buffer at +" << Index;
  }
  Result.Refused = true;
  for (size_t Index = 0; Index < BufferBytes; Index++) {
    Result.Refused = Result.Refused && Buffer[Index] == UnwrittenByte;
  }
  if (Result.Refused) {
    EXPECT_EQ(Result.Count, 0u) << "a result without writing anything";
    return Result;
  }
  EXPECT_LT(Result.Count, BufferSize);
  if (Result.Count >= BufferSize) {
    return Result;
  }
  for (UINTN Index = 0; Index <= Result.Count; Index++) {
    char16_t Character = Buffer[Index * CharacterSize];
    if (OutputWide) {
      Character |= (char16_t)(Buffer[Index * CharacterSize + 1] << 8);
    }
    if (Index == Result.Count) {
      EXPECT_EQ(Character, 0) << "no terminator after the counted characters";
    } else {
      Result.Text.push_back(Character);
    }
  }
  for (size_t Index = (Result.Count + 1) * CharacterSize; Index < BufferBytes; Index++) {
    EXPECT_EQ(Buffer[Index], UnwrittenByte) << "byte written after the terminator at " << Index;
  }
  return Result;
}

Rendered Render8(const std::string &Format, const std::vector<UINT64> &Slots, UINTN BufferSize) {
  return RenderGuarded(Format.c_str(), false, false, BufferSize, Slots);
}

Rendered Render16(const std::u16string &Format, const std::vector<UINT64> &Slots, UINTN BufferSize) {
  return RenderGuarded(Format.c_str(), true, true, BufferSize, Slots);
}

void ExpectEveryWidth(const std::string &Format, const std::vector<UINT64> &Slots, const std::string &Expected,
                      UINTN BufferSize) {
  std::u16string WideFormat = Widen(Format);
  for (int FormatWide = 0; FormatWide < 2; FormatWide++) {
    for (int OutputWide = 0; OutputWide < 2; OutputWide++) {
      SCOPED_TRACE(testing::Message() << (FormatWide ? "UCS-2" : "8-bit") << " format, "
                                      << (OutputWide ? "16-bit" : "8-bit") << " output");
      const void *FormatPointer = FormatWide ? (const void *)WideFormat.c_str() : (const void *)Format.c_str();
      Rendered Result = RenderGuarded(FormatPointer, FormatWide, OutputWide, BufferSize, Slots);
      EXPECT_FALSE(Result.Refused) << "no terminator written";
      EXPECT_EQ(Result.Text, Widen(Expected));
      EXPECT_EQ(Result.Count, Expected.size());
    }
  }
}

void RunTable(const std::vector<FormatCase> &Cases) {
  for (const FormatCase &Row : Cases) {
    SCOPED_TRACE(testing::Message() << Row.Name << ": \"" << Row.Format << "\"");
    ExpectEveryWidth(Row.Format, Row.Slots, Row.Expected);
  }
}
