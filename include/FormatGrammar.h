// The directive grammar of the format language, in one place.
//
// The engine parses every directive with ParseDirective and learns from
// ConversionSlot which conversions take an argument slot; the compile-time
// format check in Format.h runs the very same code on string literals, so
// the check and the engine cannot disagree about what a format consumes.
#pragma once

#include "UefiTypes.h"

// Mode flags, chosen by the caller.
#define FORMAT_OUTPUT_WIDE 0x40   // output characters are 16-bit, low byte first
#define FORMAT_FORMAT_WIDE 0x100  // the format is UCS-2

// Directive flags: the engine's own, kept in the same word as the mode flags
// while one format character is handled.
#define FORMAT_ALIGN_LEFT 0x1
#define FORMAT_SHOW_PLUS 0x2
#define FORMAT_SHOW_SPACE 0x4
#define FORMAT_GROUP_THOUSANDS 0x8
#define FORMAT_VALUE_64 0x10
#define FORMAT_FILL_ZERO 0x20
#define FORMAT_BASE_16 0x80
#define FORMAT_WIDTH_GIVEN 0x200
#define FORMAT_TEXT_WIDE 0x400
#define FORMAT_PRECISION_GIVEN 0x800
#define FORMAT_TEXT_BACKWARD 0x1000
#define FORMAT_VALUE_UNSIGNED 0x4000

// Bounds both the buffer size and the length of the format, in characters.
#define FORMAT_MAX_LENGTH 1000000

// What the argument slot of a conversion holds.
enum class SlotKind : UINT8 {
  None,       // takes no slot: "%%", "%q", "%G", a line break, ...
  Integer,    // "d", "u", "x", "X"
  Pointer,    // "p": any pointer or integer, all 64 bits
  Character,  // "c": a UCS-2 character in the low 16 bits
  Text16,     // "s", "S": a UCS-2 string
  Text8,      // "a": an 8-bit string
  Guid,       // "g": an EFI_GUID
  Time,       // "t": an EFI_TIME
  Status,     // "r": an EFI_STATUS
};

// Only these characters are conversions; "S" is the one upper-case alias.
constexpr SlotKind ConversionSlot(UINT32 Character) {
  switch (Character) {
    case 'd': case 'u': case 'x': case 'X': return SlotKind::Integer;
    case 'p': return SlotKind::Pointer;
    case 'c': return SlotKind::Character;
    case 's': case 'S': return SlotKind::Text16;
    case 'a': return SlotKind::Text8;
    case 'g': return SlotKind::Guid;
    case 't': return SlotKind::Time;
    case 'r': return SlotKind::Status;
    default: return SlotKind::None;
  }
}

// One parsed directive. Conversion is 0 when the format ended inside it.
struct Directive {
  UINTN Flags;
  UINT64 Width;
  UINT64 Precision;
  UINT32 Conversion;
  UINTN Next;  // index of the first format character after the directive
};

// Parses the directive that follows the "%" at index Percent. ReadUnit(i)
// returns the format character at index i; TakeStar() returns the slot of a
// "*". Flags enters as the mode flags and leaves with the directive's flags.
template <typename ReadUnitFn, typename TakeStarFn>
constexpr Directive ParseDirective(ReadUnitFn ReadUnit, UINTN Percent, UINTN Flags, TakeStarFn TakeStar) {
  Directive Parsed = {Flags, 0, 1, 0, Percent + 1};
  for (;;) {
    UINT32 Character = ReadUnit(Parsed.Next);
    switch (Character) {
      case '-': Parsed.Flags |= FORMAT_ALIGN_LEFT; break;
      case '+': Parsed.Flags |= FORMAT_SHOW_PLUS; break;
      case ' ': Parsed.Flags |= FORMAT_SHOW_SPACE; break;
      case ',': Parsed.Flags |= FORMAT_GROUP_THOUSANDS; break;
      case '.': Parsed.Flags |= FORMAT_PRECISION_GIVEN; break;
      case 'l': case 'L': Parsed.Flags |= FORMAT_VALUE_64; break;
      case '*': {
        UINT64 Value = TakeStar();
        if ((Parsed.Flags & FORMAT_PRECISION_GIVEN) != 0) {
          Parsed.Precision = Value;
        } else {
          Parsed.Width = Value;
          Parsed.Flags |= FORMAT_WIDTH_GIVEN;
        }
        break;
      }
      case 0:
        // The format ended inside the directive: nothing to convert, and
        // the terminator stays unconsumed so that the main loop stops on it.
        Parsed.Conversion = 0;
        Parsed.Precision = 0;
        return Parsed;
      default:
        if (Character >= '0' && Character <= '9') {
          // A "0" that starts a run before any "." asks for zero fill, so
          // "%010d" fills with zeros while "%10d" and "%.05d" do not.
          if (Character == '0' && (Parsed.Flags & FORMAT_PRECISION_GIVEN) == 0) {
            Parsed.Flags |= FORMAT_FILL_ZERO;
          }
          UINT64 Value = 0;  // no overflow check: any width costs at most the buffer
          while ((Character = ReadUnit(Parsed.Next)) >= '0' && Character <= '9') {
            Value = Value * 10 + (Character - '0');
            Parsed.Next++;
          }
          if ((Parsed.Flags & FORMAT_PRECISION_GIVEN) != 0) {
            Parsed.Precision = Value;
          } else {
            Parsed.Width = Value;
            Parsed.Flags |= FORMAT_WIDTH_GIVEN;
          }
          continue;  // the character after the run is the next directive character
        }
        Parsed.Conversion = Character;
        Parsed.Next++;
        return Parsed;
    }
    Parsed.Next++;
  }
}

// Walks a format the way the engine consumes its argument slots and calls
// TakeSlot(DirectiveAt, Kind) for each slot in order: an integer for every
// "*", then the conversion's own kind. DirectiveAt is the index of the
// directive's "%". ReadUnit(i) returns the format character at index i, and
// 0 at the end of the format.
template <typename ReadUnitFn, typename TakeSlotFn>
constexpr void ForEachSlot(ReadUnitFn ReadUnit, TakeSlotFn TakeSlot) {
  UINTN Index = 0;
  for (UINT32 Character = ReadUnit(0); Character != 0; Character = ReadUnit(Index)) {
    if (Character != '%') {
      Index++;
      continue;
    }
    UINTN DirectiveAt = Index;
    Directive Parsed = ParseDirective(ReadUnit, Index, 0, [&]() -> UINT64 {
      TakeSlot(DirectiveAt, SlotKind::Integer);
      return 0;
    });
    SlotKind Slot = ConversionSlot(Parsed.Conversion);
    if (Slot != SlotKind::None) {
      TakeSlot(DirectiveAt, Slot);
    }
    Index = Parsed.Next;
  }
}
