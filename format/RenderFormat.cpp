#include "BaseLib.h"
#include "Format.h"
#include "OutputWindow.h"
#include "ValueText.h"

namespace {

CONST CHAR8 DigitTable[] = "0123456789ABCDEF";

// ---------------------------------------------------------------------------
// The one tail of every conversion.

// What a conversion hands to the tail, in the order the tail writes it:
// Prefix ("-", "+", " " or none), Inner characters ("0" for an integer,
// spaces for a text) up to Field, then the Length characters of the forward
// text Body, 8-bit or, with BodyWide, 16-bit.
struct Conversion {
  CONST UINT8 *Body;
  UINT64 Length;
  UINT64 Field;
  BOOLEAN BodyWide;
  UINT8 Prefix;
  UINT8 Inner;
};

// Left fill, prefix, zeros or precision spaces, the body, right fill: the
// order of every directive's output.
VOID EmitConversion(OutputWindow &Output, CONST Directive &Parsed, CONST Conversion &Converted) {
  BOOLEAN WidthGiven = (Parsed.Flags & FORMAT_WIDTH_GIVEN) != 0;
  BOOLEAN AlignLeft = (Parsed.Flags & FORMAT_ALIGN_LEFT) != 0;
  if (WidthGiven && !AlignLeft) {
    PutFill(Output, Parsed.Width, Converted.Field, ' ');
  }
  UINT64 Used = Converted.Length;
  if (Converted.Prefix != 0) {
    PutCharacter(Output, Converted.Prefix);
    Used++;
  }
  PutFill(Output, Converted.Field, Used, Converted.Inner);
  PutText(Output, Converted.Body, Converted.BodyWide, Converted.Length);
  if (WidthGiven && AlignLeft) {
    PutFill(Output, Parsed.Width, Converted.Field, ' ');
  }
}

// A text with its directive's width and precision: its characters up to
// the precision, when one is given, right-aligned in a field of the
// precision. Length is the text's length when its maker knows it, otherwise
// UNCOUNTED, and then it is counted here, no further than the precision.
#define UNCOUNTED (~(UINTN)0)

VOID ConvertText(CONST Directive &Parsed, CONST UINT8 *Text, BOOLEAN TextWide, UINTN Length,
                 Conversion &Converted) {
  UINTN Limit = UNCOUNTED;
  if ((Parsed.Flags & FORMAT_PRECISION_GIVEN) != 0 && Parsed.Precision < Limit) {
    Limit = (UINTN)Parsed.Precision;
  }
  UINT64 Count = Length == UNCOUNTED ? CharacterCount(Text, TextWide, Limit) : Length < Limit ? Length : Limit;
  Converted.Body = Text;
  Converted.Length = Count;
  Converted.Field = Parsed.Precision > Count ? Parsed.Precision : Count;
  Converted.BodyWide = TextWide;
  Converted.Prefix = 0;
  Converted.Inner = ' ';
}

// Digits of Value, written backwards so that they end just before End;
// returns the most significant one. Two decimal digits come from each
// division by 100, which a 64-bit build's compiler turns into a
// multiplication; a 32-bit build would hand it to a runtime helper, so there
// it is DivU64x32Remainder's 32-bit steps. The tens of the remainder, below
// 100, are Rest * 103 >> 10, exact below 179. The engine has them written in
// its own frame: a call per integer would cost a frame on the deepest path of
// a nested "%g" run.
__attribute__((always_inline)) inline CHAR8 *WriteDigits(CHAR8 *End, UINT64 Value, UINT32 Radix) {
  if (Radix == 16) {
    do {
      *--End = DigitTable[Value & 0xF];
      Value >>= 4;
    } while (Value != 0);
    return End;
  }
  if (Radix != 10) {
    do {
      UINT32 Remainder = 0;
      Value = DivU64x32Remainder(Value, Radix, &Remainder);
      *--End = DigitTable[Remainder];
    } while (Value != 0);
    return End;
  }
  while (Value >= 100) {
    UINT64 Quotient;
    UINT32 Rest;
    if constexpr (sizeof(UINTN) == 8) {
      Quotient = Value / 100;
      Rest = (UINT32)(Value - Quotient * 100);
    } else {
      Quotient = DivU64x32Remainder(Value, 100, &Rest);
    }
    UINT32 Tens = (Rest * 103) >> 10;
    *--End = (CHAR8)('0' + Rest - 10 * Tens);
    *--End = (CHAR8)('0' + Tens);
    Value = Quotient;
  }
  if (Value >= 10) {
    UINT32 Tens = ((UINT32)Value * 103) >> 10;
    *--End = (CHAR8)('0' + Value - 10 * Tens);
    Value = Tens;
  }
  *--End = (CHAR8)('0' + Value);
  return End;
}

// An integer conversion: its digits at the end of ValueText, a "," before
// every group of three counted from the least significant digit when
// grouped, its prefix, and zeros up to the precision, or up to the width
// with "0".
VOID ConvertInteger(CONST Directive &Parsed, UINT64 Slot, CHAR8 *ValueText, Conversion &Converted) {
  UINTN Flags = Parsed.Flags;
  BOOLEAN Signed = (Flags & (FORMAT_VALUE_UNSIGNED | FORMAT_BASE_16)) == 0;
  UINT64 Value = Slot;
  if ((Flags & FORMAT_VALUE_64) == 0) {
    // The low 32 bits are taken on purpose: a 32-bit argument's slot may
    // carry anything in its upper half.
    Value = Signed ? (UINT64)(INT64)(INT32)(UINT32)Slot : (UINT32)Slot;
  }
  UINT8 Prefix = 0;
  if (Signed && (INT64)Value < 0) [[unlikely]] {
    Value = 0 - Value;  // unsigned, so the most negative value keeps its magnitude
    Prefix = '-';
  }
  CHAR8 *End = ValueText + VALUE_TEXT_SIZE;
  CHAR8 *First = WriteDigits(End, Value, (Flags & FORMAT_BASE_16) != 0 ? 16 : 10);
  UINT64 Precision = Parsed.Precision;
  // A sign to show, commas and a precision are rare in a format; the usual
  // integer skips their work in one test.
  UINTN Rare = FORMAT_SHOW_PLUS | FORMAT_SHOW_SPACE | FORMAT_GROUP_THOUSANDS | FORMAT_PRECISION_GIVEN;
  if ((Flags & Rare) != 0) [[unlikely]] {
    if (Prefix == 0) {
      Prefix = (Flags & FORMAT_SHOW_PLUS) != 0 ? '+' : (Flags & FORMAT_SHOW_SPACE) != 0 ? ' ' : 0;
    }
    if ((Flags & (FORMAT_BASE_16 | FORMAT_GROUP_THOUSANDS)) == FORMAT_GROUP_THOUSANDS) [[unlikely]] {
      Flags &= ~(UINTN)FORMAT_FILL_ZERO;
      Precision = 1;
      // At most 20 digits and 6 commas, moved to the front of their places.
      UINTN Digits = (UINTN)(End - First);
      CHAR8 *From = First;
      First -= (Digits - 1) / 3;
      CHAR8 *To = First;
      for (UINTN Phase = (3 - Digits % 3) % 3; From != End;) {
        *To++ = *From++;
        if (++Phase == 3 && From != End) {
          Phase = 0;
          *To++ = ',';
        }
      }
    }
    if (Value == 0 && Precision == 0) {
      First = End;
    }
  }
  // Without those flags the precision is 1 and there is at least one digit,
  // so the field is just the characters, or the width with "0".
  UINT64 Used = (UINT64)(End - First);
  Converted.Length = Used;
  if (Prefix != 0) {
    Used++;
    Precision++;
  }
  if ((Flags & (FORMAT_FILL_ZERO | FORMAT_WIDTH_GIVEN | FORMAT_ALIGN_LEFT | FORMAT_PRECISION_GIVEN)) ==
      (FORMAT_FILL_ZERO | FORMAT_WIDTH_GIVEN)) {
    Precision = Parsed.Width;  // zeros fill the field, prefix included
  }
  Converted.Body = (CONST UINT8 *)First;
  Converted.BodyWide = FALSE;
  Converted.Inner = '0';
  Converted.Field = Precision > Used ? Precision : Used;
  Converted.Prefix = Prefix;
}

// ---------------------------------------------------------------------------
// The format.

inline UINT32 FormatUnit(CONST UINT8 *Format, BOOLEAN FormatWide, UINTN At) {
  return TextUnit(Format, FormatWide, At);
}

// The top bit of each byte of Word that may be special in a format: below
// 0x0E (the format's end, the line breaks and a few control characters) or
// "%". The lowest flagged byte is exactly the first such byte; bytes above
// it may be flagged by a borrow. A 16-bit format's word is tested with every
// high byte set, so that only a unit whose low byte is flagged counts: one
// flagged in vain is just handled as a character on its own.
inline UINT64 SpecialBytes(UINT64 Word) {
  constexpr UINT64 Ones = 0x0101010101010101ULL;
  UINT64 Percent = Word ^ (Ones * '%');
  return (((Word - Ones * 0x0E) & ~Word) | ((Percent - Ones) & ~Percent)) & (Ones * 0x80);
}

// Writes the plain format characters from Index on, those that stand for
// themselves and the line breaks; stops at the format's end, at a "%" or
// when the output is full. Returns the index of the character it stopped at.
//
// When format and output characters have the same size, the format is read
// eight bytes at a time: the bytes before the first special one are copied
// at once. Only characters before the format's terminator are read that way:
// FormatLength is the measured length.
UINTN CopyPlainRun(OutputWindow &Output, CONST UINT8 *Format, BOOLEAN FormatWide, UINTN FormatLength,
                   UINTN Index) {
  BOOLEAN WordCopy = FormatWide == Output.Wide;
  UINT64 HighBytes = FormatWide ? 0xFF00FF00FF00FF00ULL : 0;
  while (Output.Position < Output.End) {
    if (WordCopy) {
      UINTN Copied = PutWordsUntil(Output, Format + (FormatWide ? 2 * Index : Index),
                                   FormatWide ? 2 * (FormatLength - Index) : FormatLength - Index,
                                   [HighBytes](UINT64 Word) { return SpecialBytes(Word | HighBytes); });
      Index += FormatWide ? Copied >> 1 : Copied;
    }
    // Everything above "%" stands for itself; below it only the format's
    // end and the line breaks are special.
    UINT32 Character = FormatUnit(Format, FormatWide, Index);
    if (Character <= '%') {
      if (Character == '%' || Character == 0) {
        break;
      }
      if (Character == '\n' || Character == '\r') {
        // "\n", "\r\n" and "\n\r" each leave as "\r\n"; a lone "\r" stays.
        // The output may be cut between the "\r" and the "\n".
        BOOLEAN Paired = FormatUnit(Format, FormatWide, Index + 1) == (Character == '\n' ? '\r' : '\n');
        Index += Paired ? 2 : 1;
        PutCharacter(Output, '\r');
        if (Character == '\n' || Paired) {
          PutCharacter(Output, '\n');
        }
        continue;
      }
    }
    PutCharacter(Output, (UINT16)Character);
    Index++;
  }
  return Index;
}

}  // namespace

UINT8 *CopyTextAcrossWidths(UINT8 *To, CONST UINT8 *Text, UINTN Count, BOOLEAN OutputWide) {
  if (!OutputWide) {
    // A 16-bit character keeps only its low byte.
    for (UINTN Index = 0; Index < Count; Index++) {
      To[Index] = Text[2 * Index];
    }
    return To + Count;
  }
  // An 8-bit character gets a zero high byte.
  for (UINTN Index = 0; Index < Count; Index++) {
    To[2 * Index] = Text[Index];
    To[2 * Index + 1] = 0;
  }
  return To + 2 * Count;
}

UINT8 *FillCharacters(UINT8 *Position, UINT8 *End, INT64 Repeat, UINT16 Character, UINTN CharacterSize) {
  for (; Repeat > 0 && Position < End; Repeat--) {
    *Position++ = (UINT8)Character;
    if (CharacterSize == 2) {
      *Position++ = (UINT8)(Character >> 8);
    }
  }
  return Position;
}

CHAR8 *ValueToDigits(CHAR8 *Text, UINT64 Value, UINT32 Radix) {
  // The engine's digits run forwards from the most significant one; these
  // run the other way, after a zero. Room for 64 digits, as in radix 2.
  CHAR8 Digits[64];
  CHAR8 *End = Digits + sizeof(Digits);
  CHAR8 *From = WriteDigits(End, Value, Radix);
  *Text = 0;
  while (From != End) {
    *++Text = *--End;
  }
  return Text;
}

UINTN RenderFormat(VOID *Buffer, UINTN BufferSize, UINTN Flags, CONST VOID *FormatText, ArgumentList Arguments) {
  if (BufferSize != 0 && (Buffer == nullptr || FormatText == nullptr)) {
    return 0;
  }
  if (BufferSize > FORMAT_MAX_LENGTH) {
    return 0;
  }
  BOOLEAN FormatWide = (Flags & FORMAT_FORMAT_WIDE) != 0;
  // The one extra pass over the format: it also guarantees that the main
  // loop meets a terminator, and tells the plain-run copy how far it may
  // read a word at a time.
  UINTN FormatLength = FormatWide ? BoundedLength16((CONST CHAR16 *)FormatText, FORMAT_MAX_LENGTH + 1)
                                  : BoundedLength8((CONST CHAR8 *)FormatText, FORMAT_MAX_LENGTH + 1);
  if (FormatLength > FORMAT_MAX_LENGTH) {
    return 0;
  }
  if (BufferSize == 0) {
    return 0;
  }

  OutputWindow Output;
  Output.Wide = (Flags & FORMAT_OUTPUT_WIDE) != 0;
  Output.Position = (UINT8 *)Buffer;
  Output.End = Output.Position + (Output.Wide ? 2 * (BufferSize - 1) : BufferSize - 1);
  // Plain runs are copied as they stand; each directive is parsed, converted
  // and emitted.
  CONST UINT8 *Format = (CONST UINT8 *)FormatText;
  auto ReadUnit = [Format, FormatWide](UINTN At) { return FormatUnit(Format, FormatWide, At); };
  // A format that asks for more slots than the caller supplied reads 0, the
  // value that prints as a null pointer or as zero, rather than the memory
  // after the list.
  CONST UINT64 *Slot = Arguments.Slots;
  CONST UINT64 *SlotEnd = Arguments.Slots + Arguments.Count;
  auto TakeSlot = [&Slot, SlotEnd]() -> UINT64 { return Slot < SlotEnd ? *Slot++ : 0; };
  UINTN Index = 0;
  CHAR8 ValueText[VALUE_TEXT_SIZE];

  for (;;) {
    UINT32 Character = ReadUnit(Index);
    if (Character == 0 || Output.Position >= Output.End) {
      break;
    }
    if (Character != '%') {
      Index = CopyPlainRun(Output, Format, FormatWide, FormatLength, Index);
      continue;
    }
    Directive Parsed = ParseDirective(ReadUnit, Index, Flags, TakeSlot);
    Character = Parsed.Conversion;
    Index = Parsed.Next;
    SlotKind Kind = Parsed.Slot;
    UINT64 Value = Kind == SlotKind::None ? 0 : TakeSlot();
    Conversion Converted;
    // The text of "%c" and of a character that is not a conversion; it
    // lives until the tail has written it.
    UINT8 Single[4];
    // An if chain rather than a switch: on this target a switch's jump
    // table would lie among the code, where it reads as instructions.
    if (Kind == SlotKind::Integer || Kind == SlotKind::Pointer) {
      if ((Character | 0x20) == 'x') {  // "x" or "X"
        Parsed.Flags |= Character == 'X' ? FORMAT_FILL_ZERO | FORMAT_BASE_16 : FORMAT_BASE_16;
      } else if (Character == 'u') {
        Parsed.Flags = (Parsed.Flags & ~(UINTN)FORMAT_SHOW_PLUS) | FORMAT_VALUE_UNSIGNED;
      } else if (Character == 'p') {
        Parsed.Flags = (Parsed.Flags & ~(UINTN)(FORMAT_SHOW_PLUS | FORMAT_SHOW_SPACE)) | FORMAT_VALUE_64 |
                       FORMAT_FILL_ZERO | FORMAT_BASE_16;
      }
      ConvertInteger(Parsed, Value, ValueText, Converted);
    } else {
      CONST VOID *Text = Single;
      BOOLEAN Wide = FALSE;
      UINTN Length = UNCOUNTED;
      if (Kind == SlotKind::Character || Kind == SlotKind::None) [[unlikely]] {
        // "%c" of a zero character, and a format that ended inside the
        // directive, leave the text empty; the precision of 1 then writes
        // one space in the former's place, the latter's is 0.
        if (Kind == SlotKind::Character) {
          Character = (UINT16)Value;
        } else if (Character == '\n' || Character == '\r') {
          // Not a conversion but a line break, as in plain text.
          BOOLEAN Paired = ReadUnit(Index) == (Character == '\n' ? '\r' : '\n');
          Index += Paired ? 1 : 0;
          Text = Character == '\n' || Paired ? "\r\n" : "\r";
        }
        Single[0] = (UINT8)Character;
        Single[1] = (UINT8)(Character >> 8);
        Single[2] = Single[3] = 0;
        Wide = Text == Single;
      } else if (Kind == SlotKind::Text16 || Kind == SlotKind::Text8) {
        if ((Parsed.Flags & FORMAT_PRECISION_GIVEN) == 0) {
          Parsed.Precision = 0;
        }
        if (Value == 0) {
          Text = "<null string>";
        } else {
          Text = (CONST VOID *)(UINTN)Value;
          Wide = Kind == SlotKind::Text16;
        }
      } else {
        ValueTextResult Built = Kind == SlotKind::Guid   ? BuildGuidText(ValueText, Value)
                                : Kind == SlotKind::Time ? BuildTimeText(ValueText, Value)
                                                         : BuildStatusText(ValueText, Value);
        Text = Built.Text;
        Length = Built.Length;
      }
      ConvertText(Parsed, (CONST UINT8 *)Text, Wide, Length, Converted);
    }
    EmitConversion(Output, Parsed, Converted);
  }

  // Every write stopped before End, so the terminator always fits.
  Output.Position[0] = 0;
  if (Output.Wide) {
    Output.Position[1] = 0;
  }
  return (UINTN)(Output.Position - (UINT8 *)Buffer) >> (Output.Wide ? 1 : 0);
}
