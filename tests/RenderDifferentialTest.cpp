// The engine against its plain model on many generated formats: every byte
// of the buffer and the result must agree, in all four width combinations
// and at buffer sizes that cut the text anywhere. Formats, texts and records
// each end where the readable memory ends.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "Format.h"
#include "PageEnd.h"
#include "ReferenceRender.h"

namespace {

struct Generated {
  std::vector<UINT16> Format;  // without the terminator
  std::vector<UINT64> Slots;
};

// Texts and records the slots point at, each copied once to the end of a
// page of its own so that a read past it faults, in the engine as in the
// model; they live as long as the test. A time record is only the six bytes
// that are read.
const std::string Texts8[] = {"", "a", "ab", "abcdef", "\xE9t\xE9", "0123456789012345678901234567890123456789x"};
const std::u16string Texts16[] = {u"",           u"Z",           u"abcdef",
                                  u"\u0100ab", u"\u263A smile", u"long text, longer than a field"};
const UINT8 GuidRecords[][16] = {
    {0x3A, 0x4E, 0x2C, 0x1D, 0x10, 0x9B, 0x7E, 0x4F, 0x8A, 0x61, 0x0C, 0x5E, 0xB2, 0x77, 0x19, 0xD4}, {}};
const UINT8 TimeRecords[][6] = {{0xEA, 0x07, 12, 8, 19, 5}, {0xFF, 0xFF, 255, 255, 255, 255}};

struct PlacedInputs {
  std::vector<std::unique_ptr<PageEndCopy>> Copies;
  std::vector<UINT64> Narrow, Wide, Guids, Times;

  UINT64 Place(std::unique_ptr<PageEndCopy> Copy) {
    Copies.push_back(std::move(Copy));
    return (UINT64)(UINTN)Copies.back()->Start;
  }
  PlacedInputs() {
    for (const std::string &Text : Texts8) {
      Narrow.push_back(Place(std::make_unique<PageEndCopy>(Text)));
    }
    for (const std::u16string &Text : Texts16) {
      Wide.push_back(Place(std::make_unique<PageEndCopy>(Text)));
    }
    for (const UINT8(&Record)[16] : GuidRecords) {
      Guids.push_back(Place(std::make_unique<PageEndCopy>(Record, sizeof Record)));
    }
    for (const UINT8(&Record)[6] : TimeRecords) {
      Times.push_back(Place(std::make_unique<PageEndCopy>(Record, sizeof Record)));
    }
  }
};

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

// Widths and precisions where a 32-bit reading, a signed comparison or a
// carry past 2^64 would show: around 2^31, 2^32, 2^63 and 2^64.
const UINT64 HugeSlots[] = {0x7FFFFFFF,         0x80000000,         0xFFFFFFFF,         0x100000000,
                            0x100000003,        0x100000014,        0x7FFFFFFFFFFFFFFF, 0x8000000000000000,
                            0x8000000000000010, 0xFFFFFFFFFFFFFFEC, 0xFFFFFFFFFFFFFFFE, 0xFFFFFFFFFFFFFFFF};

// Digit runs with the same pitfalls, and runs past 2^64, which wrap.
const char *const LongRuns[] = {"2147483648",           "4294967295",           "4294967296",
                                "4294967299",           "4294967316",           "9223372036854775807",
                                "9223372036854775808",  "18446744073709551596", "18446744073709551615",
                                "18446744073709551616", "18446744073709551619", "36893488147419103235",
                                "99999999999999999999", "0000000000000000000000000000012",
                                "1000000000000",        "340282366920938463463374607431768211470"};

// An index into Choices, or one past its end, each as likely.
size_t PickIndex(std::mt19937_64 &Random, size_t Count) {
  return std::uniform_int_distribution<size_t>(0, Count)(Random);
}

// One of the placed inputs, or null for the pick past the end.
UINT64 PickPlaced(std::mt19937_64 &Random, const std::vector<UINT64> &Choices) {
  size_t Index = PickIndex(Random, Choices.size());
  return Index == Choices.size() ? 0 : Choices[Index];
}

// One of Numbers, or any 64-bit value for the pick past the end.
UINT64 PickNumber(std::mt19937_64 &Random) {
  size_t Count = sizeof(Numbers) / sizeof(Numbers[0]);
  size_t Index = PickIndex(Random, Count);
  return Index == Count ? Random() : Numbers[Index];
}

// A format of plain runs and directives, with one slot for everything that
// takes one, of the kind it takes as the plain model reads the format. Now
// and then the slots run short, which the engine must read as zeros.
Generated Generate(std::mt19937_64 &Random, bool WideFormat, const PlacedInputs &Inputs) {
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
      int Kind = Percent(Random);
      if (Kind < 8) {
        for (const char *Digit = LongRuns[Random() % (sizeof(LongRuns) / sizeof(LongRuns[0]))]; *Digit; Digit++) {
          Made.Format.push_back((UINT8)*Digit);
        }
      } else if (Kind < 11) {
        for (size_t Length = 1 + Random() % 30; Length > 0; Length--) {
          Made.Format.push_back((UINT16)('0' + Random() % 10));
        }
      } else {
        Made.Format.push_back((UINT8)Modifiers[Random() % (sizeof(Modifiers) - 1)]);
      }
    }
    if (Percent(Random) < 3) {
      break;  // the format ends inside the directive
    }
    Made.Format.push_back((UINT8)Conversions[Random() % (sizeof(Conversions) - 1)]);
  }
  for (ModelSlot Use : ReferenceSlotUses(Made.Format.data(), Made.Format.size())) {
    switch (Use) {
      case ModelSlot::Star: {
        // Small widths and precisions mostly, so that most texts still fit.
        int Kind = Percent(Random);
        Made.Slots.push_back(Kind < 80   ? Random() % 30
                             : Kind < 92 ? HugeSlots[Random() % (sizeof(HugeSlots) / sizeof(HugeSlots[0]))]
                                         : PickNumber(Random));
        break;
      }
      case ModelSlot::Number: Made.Slots.push_back(PickNumber(Random)); break;
      case ModelSlot::Status: {
        // Every named status and those just past the names, mostly.
        int Kind = Percent(Random);
        Made.Slots.push_back(Kind < 40   ? 0x8000000000000000 | (Random() % 36)
                             : Kind < 60 ? Random() % 8
                                         : PickNumber(Random));
        break;
      }
      case ModelSlot::Character: Made.Slots.push_back(Percent(Random) < 80 ? 0x20 + Random() % 0x5F : Random()); break;
      case ModelSlot::Text16: Made.Slots.push_back(PickPlaced(Random, Inputs.Wide)); break;
      case ModelSlot::Text8: Made.Slots.push_back(PickPlaced(Random, Inputs.Narrow)); break;
      case ModelSlot::Guid: Made.Slots.push_back(PickPlaced(Random, Inputs.Guids)); break;
      case ModelSlot::Time: Made.Slots.push_back(PickPlaced(Random, Inputs.Times)); break;
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
  const PlacedInputs Inputs;
  const UINTN Sizes[] = {1, 2, 3, 4, 5, 7, 9, 13, 17, 24, 37, 38, 64, 100, 321, 1000};
  constexpr size_t Guard = 8;
  size_t Mismatches = 0;
  for (int Case = 0; Case < 100000 && Mismatches < 5; Case++) {
    UINTN Flags = (Case & 1 ? FORMAT_FORMAT_WIDE : 0) | (Case & 2 ? FORMAT_OUTPUT_WIDE : 0);
    bool WideFormat = (Flags & FORMAT_FORMAT_WIDE) != 0;
    Generated Made = Generate(Random, WideFormat, Inputs);
    std::vector<UINT8> Units = PlaceFormat(Made.Format, WideFormat);
    const PageEndCopy Format(Units.data(), Units.size());  // its terminator the last readable character
    UINTN CharacterSize = (Flags & FORMAT_OUTPUT_WIDE) != 0 ? 2 : 1;
    for (UINTN Size : {Sizes[Random() % (sizeof(Sizes) / sizeof(Sizes[0]))], (UINTN)1000}) {
      size_t Bytes = Size * CharacterSize + 2 * Guard;
      std::vector<UINT8> Engine(Bytes, 0xA5), Model(Bytes, 0xA5);
      UINTN EngineCount = RenderFormat(Engine.data() + Guard, Size, Flags, Format.Start,
                                       ArgumentList{Made.Slots.data(), Made.Slots.size()});
      UINTN ModelCount = ReferenceRenderFormat(Model.data() + Guard, Size, Flags, Format.Start, Made.Slots.data(),
                                               Made.Slots.size());
      if (EngineCount != ModelCount || Engine != Model) {
        ADD_FAILURE() << "format \"" << Describe(Made.Format) << "\", flags 0x" << std::hex << Flags << std::dec
                      << ", size " << Size << ": engine " << EngineCount << ", model " << ModelCount;
        Mismatches++;
      }
    }
  }
}

}  // namespace
