// The directive grammar of the format language, in one place.
//
// The engine parses every directive with ParseDirective, which also tells
// what slot its conversion takes (the same class table that ConversionSlot
// reads); the compile-time format check in Format.h runs the very same code
// on string literals, so the check and the engine cannot disagree about
// what a format consumes.
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
#define FORMAT_PRECISION_GIVEN 0x800
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

// What a character means after a "%", in one lookup: a flag to set (its
// FORMAT_ bit, 0x1 to 0x10), a digit, "*", ".", the format's end, or the
// character that ends the directive: DIRECTIVE_CONVERSION and the SlotKind
// of its slot, SlotKind::None for one that takes none.
#define DIRECTIVE_DIGIT 0x20
#define DIRECTIVE_STAR 0x21
#define DIRECTIVE_DOT 0x22
#define DIRECTIVE_END 0x23
#define DIRECTIVE_CONVERSION 0x40

// The classes of the characters below 'y'; every character from 'y' on
// ends a directive and takes no slot.
constexpr struct DirectiveClassTable {
  UINT8 Class['x' + 1];
  constexpr DirectiveClassTable() : Class() {
    for (UINT8 &Each : Class) {
      Each = DIRECTIVE_CONVERSION | (UINT8)SlotKind::None;
    }
    Class[0] = DIRECTIVE_END;
    Class[(UINTN)'-'] = FORMAT_ALIGN_LEFT;
    Class[(UINTN)'+'] = FORMAT_SHOW_PLUS;
    Class[(UINTN)' '] = FORMAT_SHOW_SPACE;
    Class[(UINTN)','] = FORMAT_GROUP_THOUSANDS;
    Class[(UINTN)'l'] = Class[(UINTN)'L'] = FORMAT_VALUE_64;
    Class[(UINTN)'.'] = DIRECTIVE_DOT;
    Class[(UINTN)'*'] = DIRECTIVE_STAR;
    for (UINTN Digit = '0'; Digit <= '9'; Digit++) {
      Class[Digit] = DIRECTIVE_DIGIT;
    }
    // Only these characters are conversions; "S" is the one upper-case alias.
    Class[(UINTN)'d'] = Class[(UINTN)'u'] = Class[(UINTN)'x'] = Class[(UINTN)'X'] = DIRECTIVE_CONVERSION | (UINT8)SlotKind::Integer;
    Class[(UINTN)'p'] = DIRECTIVE_CONVERSION | (UINT8)SlotKind::Pointer;
    Class[(UINTN)'c'] = DIRECTIVE_CONVERSION | (UINT8)SlotKind::Character;
    Class[(UINTN)'s'] = Class[(UINTN)'S'] = DIRECTIVE_CONVERSION | (UINT8)SlotKind::Text16;
    Class[(UINTN)'a'] = DIRECTIVE_CONVERSION | (UINT8)SlotKind::Text8;
    Class[(UINTN)'g'] = DIRECTIVE_CONVERSION | (UINT8)SlotKind::Guid;
    Class[(UINTN)'t'] = DIRECTIVE_CONVERSION | (UINT8)SlotKind::Time;
    Class[(UINTN)'r'] = DIRECTIVE_CONVERSION | (UINT8)SlotKind::Status;
  }
} DirectiveClasses;

constexpr UINT8 DirectiveClass(UINT32 Character) {
  return Character < sizeof(DirectiveClasses.Class) ? DirectiveClasses.Class[Character]
                                                    : DIRECTIVE_CONVERSION | (UINT8)SlotKind::None;
}

constexpr SlotKind ConversionSlot(UINT32 Character) {
  UINT8 Class = DirectiveClass(Character);
  return Class >= DIRECTIVE_CONVERSION ? (SlotKind)(Class - DIRECTIVE_CONVERSION) : SlotKind::None;
}

// One parsed directive. Conversion is 0 when the format ended inside it.
struct Directive {
  UINTN Flags;
  UINT64 Width;
  UINT64 Precision;
  UINT32 Conversion;
  SlotKind Slot;  // what the conversion's slot holds; None when it takes none
  UINTN Next;     // index of the first format character after the directive
};

// Parses the directive that follows the "%" at index Percent. ReadUnit(i)
// returns the format character at index i; TakeStar() returns the slot of a
// "*". Flags enters as the mode flags and leaves with the directive's flags.
template <typename ReadUnitFn, typename TakeStarFn>
constexpr Directive ParseDirective(ReadUnitFn ReadUnit, UINTN Percent, UINTN Flags, TakeStarFn TakeStar) {
  Directive Parsed = {Flags, 0, 1, 0, SlotKind::None, Percent + 1};
  // A number from a digit run or a "*" is the precision after a ".", the
  // width before it.
  auto StoreNumber = [&Parsed](UINT64 Value) {
    if ((Parsed.Flags & FORMAT_PRECISION_GIVEN) != 0) {
      Parsed.Precision = Value;
    } else {
      Parsed.Width = Value;
      Parsed.Flags |= FORMAT_WIDTH_GIVEN;
    }
  };
  // Each character is read once: a digit run hands on the character that
  // ended it.
  UINT32 Character = ReadUnit(Parsed.Next);
  for (;;) {
    UINT8 Class = DirectiveClass(Character);
    if (Class >= DIRECTIVE_CONVERSION) {
      Parsed.Conversion = Character;
      Parsed.Slot = (SlotKind)(Class - DIRECTIVE_CONVERSION);
      Parsed.Next++;
      return Parsed;
    }
    if (Class == DIRECTIVE_DIGIT) {
      // A "0" that starts a run before any "." asks for zero fill, so
      // "%010d" fills with zeros while "%10d" and "%.05d" do not. Marked
      // unlikely so that it stays a branch: the conditional moves the
      // compiler would choose instead cost a dozen instructions every run.
      if (Character == '0' && (Parsed.Flags & FORMAT_PRECISION_GIVEN) == 0) [[unlikely]] {
        Parsed.Flags |= FORMAT_FILL_ZERO;
      }
      UINT64 Value = 0;  // no overflow check: any width costs at most the buffer
      do {
        Value = Value * 10 + (Character - '0');
        Character = ReadUnit(++Parsed.Next);
      } while (Character - '0' <= 9);
      StoreNumber(Value);
      continue;  // the character after the run is the next directive character
    }
    if (Class < DIRECTIVE_DIGIT) {
      Parsed.Flags |= Class;
    } else if (Class == DIRECTIVE_DOT) {
      Parsed.Flags |= FORMAT_PRECISION_GIVEN;
    } else if (Class == DIRECTIVE_STAR) {
      StoreNumber(TakeStar());
    } else {
      // The format ended inside the directive: nothing to convert, and
      // the terminator stays unconsumed so that the main loop stops on it.
      Parsed.Precision = 0;
      return Parsed;
    }
    Character = ReadUnit(++Parsed.Next);
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
    if (Parsed.Slot != SlotKind::None) {
      TakeSlot(DirectiveAt, Parsed.Slot);
    }
    Index = Parsed.Next;
  }
}
