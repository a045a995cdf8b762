// The engine against its plain model on many generated formats: every byte
// of the buffer and the result must agree, in all four width combinations
// and at buffer sizes that cut the text anywhere.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "Format.h"
#include "ReferenceRender.h"

namespace {

struct Generated {
  std::vector<UINT16> Format;  // without the terminator
  std::vector<UINT64> Slots;
};

// Texts the slots point at; they live as long as the test.
const CHAR8 *const Texts8[] = {"", "a", "ab", "abcdef", "\xE9t\xE9", "0123456789012345678901234567890123456789x"};
const CHAR16 *const Texts16[] = {u"", u"Z", u"abcdef", u"\u0100ab", u"\u263A smile", u"long text, longer than a field"};
const EFI_GUID Guids[] = {{0x1D2C4E3A, 0x9B10, 0x4F7E, {0x8A, 0x61, 0x0C, 0x5E, 0xB2, 0x77, 0x19, 0xD4}},
                          {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}}};
const EFI_TIME Times[] = {{2026, 12, 8, 19, 5, 7, 0, 0, 0, 0, 0}, {65535, 255, 255, 255, 255, 255, 0, 0, 0, 0, 0}};
const UINT64 Numbers[] = {0,
                          1,
                          5,
                          42,
                          255,
                          999,
                          1000,
                          // Where the two-at-a-time decimal digits end in a
                          // pair of exactly 10, 99, 100 or 101.
                          10,
                          99,
                          100,
                          101,
                          1010,
                          9999,
                          10000,
                          10050,
                          1000000,
                          99999999,
                          100000000,
                          1000000000000000000,
                          10000000000000000000u,
                          1234567,
                          0x7FFFFFFF,
                          0x80000000,
                          0xFFFFFFFF,
                          0x100000005,
                          0x8000000000000000,
                          0xFFFFFFFFFFFFFFFF,
                          0xFFFFFFFFFFFFFFD6,  // -42
                          1234567890123,
                          0x8000000000000007,  // an error status
                          0x0000000000000003};  // a warning status

// An index into Choices, or one past its end, each as likely.
template <typename Type, size_t Count>
size_t PickIndex(std::mt19937_64 &Random, const Type (&)[Count]) {
  return std::uniform_int_distribution<size_t>(0, Count)(Random);
}

// The address of one of Choices, or null for the pick past the end.
template <typename Type, size_t Count>
UINT64 PickPointer(std::mt19937_64 &Random, const Type (&Choices)[Count]) {
  size_t Index = PickIndex(Random, Choices);
  return Index == Count ? 0 : (UINT64)(UINTN)&Choices[Index];
}

// One of the texts, or null for the pick past the end.
template <typename Type, size_t Count>
UINT64 PickText(std::mt19937_64 &Random, Type *const (&Texts)[Count]) {
  size_t Index = PickIndex(Random, Texts);
  return Index == Count ? 0 : (UINT64)(UINTN)Texts[Index];
}

// One of Numbers, or any 64-bit value for the pick past the end.
UINT64 PickNumber(std::mt19937_64 &Random) {
  size_t Index = PickIndex(Random, Numbers);
  return Index == sizeof(Numbers) / sizeof(Numbers[0]) ? Random() : Numbers[Index];
}

// A format of plain runs and directives, with one slot for everything that
// takes one, of the kind it takes. Now and then the slots run short, which
// the engine must read as zeros.
Generated Generate(std::mt19937_64 &Random, bool WideFormat) {
  static const char Plain[] = "abcXYZ 019|:-,.%\n\r";
  static const char Modifiers[] = "-+ ,.0123456789*lL";
  // "y" and what follows it lie past the end of the directive class table.
  static const char Conversions[] = "duxXpcsSagtr%q\n\rGy|\xE9";
  Generated Made;
  std::uniform_int_distribution<int> Percent(0, 99);
  size_t Pieces = Random() % 12;
  for (size_t Piece = 0; Piece < Pieces; Piece++) {
    if (Percent(Random) < 45) {
      size_t Run = Random() % 20;
      for (size_t Index = 0; Index < Run; Index++) {
        UINT16 Unit = (UINT8)Plain[Random() % (sizeof(Plain) - 1)];
        int Odd = Percent(Random);
        if (Odd < 3) {
          Unit = 0xE9;
        } else if (Odd < 6 && WideFormat) {
          Unit = Odd == 3 ? 0x263A : (Odd == 4 ? 0x0100 : 0x0125);
        }
        if (Unit != '%') {
          Made.Format.push_back(Unit);
        }
      }
      continue;
    }
    Made.Format.push_back('%');
    size_t ModifierCount = Random() % 5;
    for (size_t Index = 0; Index < ModifierCount; Index++) {
      char Modifier = Modifiers[Random() % (sizeof(Modifiers) - 1)];
      Made.Format.push_back((UINT8)Modifier);
      if (Modifier == '*') {
        // Widths and precisions from slots, small ones mostly.
        Made.Slots.push_back(Percent(Random) < 90 ? Random() % 30 : PickNumber(Random));
      }
    }
    if (Percent(Random) < 3) {
      break;  // the format ends inside the directive
    }
    char Conversion = Conversions[Random() % (sizeof(Conversions) - 1)];
    Made.Format.push_back((UINT8)Conversion);
    switch (ConversionSlot((UINT8)Conversion)) {
      case SlotKind::Integer:
      case SlotKind::Pointer:
      case SlotKind::Status: Made.Slots.push_back(PickNumber(Random)); break;
      case SlotKind::Character: Made.Slots.push_back(Percent(Random) < 80 ? 0x20 + Random() % 0x5F : Random()); break;
      case SlotKind::Text16: Made.Slots.push_back(PickText(Random, Texts16)); break;
      case SlotKind::Text8: Made.Slots.push_back(PickText(Random, Texts8)); break;
      case SlotKind::Guid: Made.Slots.push_back(PickPointer(Random, Guids)); break;
      case SlotKind::Time: Made.Slots.push_back(PickPointer(Random, Times)); break;
      case SlotKind::None: break;
    }
  }
  if (!Made.Slots.empty() && Percent(Random) < 5) {
    Made.Slots.resize(Random() % Made.Slots.size());
  }
  return Made;
}

std::vector<UINT8> PlaceFormat(const std::vector<UINT16> &Units, bool Wide) {
  std::vector<UINT8> Bytes;
  for (UINT16 Unit : Units) {
    Bytes.push_back((UINT8)Unit);
    if (Wide) {
      Bytes.push_back((UINT8)(Unit >> 8));
    }
  }
  Bytes.push_back(0);
  if (Wide) {
    Bytes.push_back(0);
  }
  return Bytes;
}

std::string Describe(const std::vector<UINT16> &Units) {
  std::string Text;
  for (UINT16 Unit : Units) {
    if (Unit >= 0x20 && Unit < 0x7F) {
      Text += (char)Unit;
    } else {
      char Escape[12];
      snprintf(Escape, sizeof(Escape), "\\u%04X", Unit);
      Text += Escape;
    }
  }
  return Text;
}

TEST(RenderDifferential, GeneratedFormatsMatchThePlainModelByteForByte) {
  std::mt19937_64 Random(20261208);
  const UINTN Sizes[] = {1, 2, 3, 4, 5, 7, 9, 13, 17, 24, 37, 38, 64, 100, 321, 1000};
  constexpr size_t Guard = 8;
  size_t Mismatches = 0;
  for (int Case = 0; Case < 100000 && Mismatches < 5; Case++) {
    UINTN Flags = (Case & 1 ? FORMAT_FORMAT_WIDE : 0) | (Case & 2 ? FORMAT_OUTPUT_WIDE : 0);
    bool WideFormat = (Flags & FORMAT_FORMAT_WIDE) != 0;
    Generated Made = Generate(Random, WideFormat);
    std::vector<UINT8> Format = PlaceFormat(Made.Format, WideFormat);
    UINTN CharacterSize = (Flags & FORMAT_OUTPUT_WIDE) != 0 ? 2 : 1;
    for (UINTN Size : {Sizes[Random() % (sizeof(Sizes) / sizeof(Sizes[0]))], (UINTN)1000}) {
      size_t Bytes = Size * CharacterSize + 2 * Guard;
      std::vector<UINT8> Engine(Bytes, 0xA5), Model(Bytes, 0xA5);
      ArgumentList Arguments = {Made.Slots.data(), Made.Slots.size()};
      UINTN EngineCount = RenderFormat(Engine.data() + Guard, Size, Flags, Format.data(), Arguments);
      UINTN ModelCount = ReferenceRenderFormat(Model.data() + Guard, Size, Flags, Format.data(), Arguments);
      if (EngineCount != ModelCount || Engine != Model) {
        ADD_FAILURE() << "format \"" << Describe(Made.Format) << "\", flags 0x" << std::hex << Flags << std::dec
                      << ", size " << Size << ": engine " << EngineCount << ", model " << ModelCount;
        Mismatches++;
      }
    }
  }
}

}  // namespace
