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
// spaces for a text) up to Field, then the body: Length characters of a
// forward text, or Length digits read backwards from the most significant
// one. Used counts the prefix and the body's characters, commas included;
// NOT_COUNTED for a text that nothing stands before, which is counted as it
// is copied.
enum BodyKind : UINT8 { BODY_TEXT8, BODY_TEXT16, BODY_DIGITS, BODY_GROUPED_DIGITS };

#define NOT_COUNTED (~(UINT64)0)

struct Conversion {
  CONST UINT8 *Body;
  UINT64 Length;
  UINT64 Used;
  UINT64 Field;
  BodyKind Kind;
  UINT8 Prefix;
  UINT8 Inner;
};

// Left fill, prefix, zeros or precision spaces, the body, right fill: the
// order of every directive's output.
VOID EmitConversion(OutputWindow &Output, CONST Directive &Parsed, Conversion &Converted) {
  BOOLEAN WidthGiven = (Parsed.Flags & FORMAT_WIDTH_GIVEN) != 0;
  BOOLEAN AlignLeft = (Parsed.Flags & FORMAT_ALIGN_LEFT) != 0;
  BOOLEAN Counted = Converted.Used != NOT_COUNTED;
  if (Counted) {
    if (WidthGiven && !AlignLeft) {
      PutFill(Output, Parsed.Width, Converted.Field, ' ');
    }
    if (Converted.Prefix != 0) {
      PutCharacter(Output, Converted.Prefix);
    }
    PutFill(Output, Converted.Field, Converted.Used, Converted.Inner);
  }
  if (Converted.Kind >= BODY_DIGITS) {
    PutDigits(Output, (CONST CHAR8 *)Converted.Body, Converted.Length, Converted.Kind == BODY_GROUPED_DIGITS);
  } else {
    UINT64 Limit = Counted ? Converted.Length : NOT_COUNTED;
    UINT64 Copied = PutText(Output, Converted.Body, Converted.Kind == BODY_TEXT16, Limit);
    if (!Counted) {
      // Only the one space that an empty text gets from a precision of 1
      // can stand with the characters, and it goes where they would have.
      Converted.Field = Converted.Field > Copied ? Converted.Field : Copied;
      PutFill(Output, Converted.Field, Copied, ' ');
    }
  }
  if (WidthGiven && AlignLeft) {
    PutFill(Output, Parsed.Width, Converted.Field, ' ');
  }
}

// A text with its directive's width and precision.
VOID ConvertText(CONST Directive &Parsed, CONST UINT8 *Text, BOOLEAN TextWide, Conversion &Converted) {
  Converted.Body = Text;
  Converted.Kind = TextWide ? BODY_TEXT16 : BODY_TEXT8;
  Converted.Prefix = 0;
  Converted.Inner = ' ';
  Converted.Field = Parsed.Precision;
  BOOLEAN PrecisionGiven = (Parsed.Flags & FORMAT_PRECISION_GIVEN) != 0;
  if (!PrecisionGiven && (Parsed.Flags & (FORMAT_WIDTH_GIVEN | FORMAT_ALIGN_LEFT)) != FORMAT_WIDTH_GIVEN) {
    // Nothing goes before the characters, so they need not be counted first.
    Converted.Used = NOT_COUNTED;
    return;
  }
  UINT64 Limit = PrecisionGiven ? Parsed.Precision : NOT_COUNTED;
  UINT64 Count = 0;
  while (Count < Limit && TextUnit(Text, TextWide, Count) != 0) {
    Count++;
  }
  Converted.Length = Converted.Used = Count;
  Converted.Field = Parsed.Precision > Count ? Parsed.Precision : Count;
}

// Digits of Value, least significant first after a zero at Text[0]. Two
// decimal digits come from each division by 100, which a 64-bit build's
// compiler turns into a multiplication; a 32-bit build would hand it to a
// runtime helper, so there it is DivU64x32Remainder's 32-bit steps. The tens
// of the remainder, below 100, are Rest * 103 >> 10, exact below 179.
CHAR8 *DecimalDigits(CHAR8 *Text, UINT64 Value) {
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
    Text[1] = (CHAR8)('0' + Rest - 10 * Tens);
    Text[2] = (CHAR8)('0' + Tens);
    Text += 2;
    Value = Quotient;
  }
  if (Value >= 10) {
    UINT32 Tens = ((UINT32)Value * 103) >> 10;
    Text[1] = (CHAR8)('0' + Value - 10 * Tens);
    Text[2] = (CHAR8)('0' + Tens);
    return Text + 2;
  }
  Text[1] = (CHAR8)('0' + Value);
  return Text + 1;
}

// The digits of ValueToDigits. The engine has them written in its own frame:
// a call per integer would cost a frame on the deepest path of a nested
// "%g" run.
__attribute__((always_inline)) inline CHAR8 *WriteDigits(CHAR8 *Text, UINT64 Value, UINT32 Radix) {
  *Text = 0;
  if (Radix == 10) {
    return DecimalDigits(Text, Value);
  }
  if (Radix == 16) {
    do {
      *++Text = DigitTable[Value & 0xF];
      Value >>= 4;
    } while (Value != 0);
    return Text;
  }
  do {
    UINT32 Remainder = 0;
    Value = DivU64x32Remainder(Value, Radix, &Remainder);
    *++Text = DigitTable[Remainder];
  } while (Value != 0);
  return Text;
}

// An integer conversion: its digits in ValueText, its prefix, and zeros up
// to the precision, or up to the width with "0".
VOID ConvertInteger(CONST Directive &Parsed, UINT64 Slot, CHAR8 *ValueText, Conversion &Converted) {
  UINTN Flags = Parsed.Flags;
  BOOLEAN Hexadecimal = (Flags & FORMAT_BASE_16) != 0;
  BOOLEAN Signed = (Flags & (FORMAT_VALUE_UNSIGNED | FORMAT_BASE_16)) == 0;
  UINT64 Value = Slot;
  if ((Flags & FORMAT_VALUE_64) == 0) {
    // The low 32 bits are taken on purpose: a 32-bit argument's slot may
    // carry anything in its upper half.
    Value = Signed ? (UINT64)(INT64)(INT32)(UINT32)Slot : (UINT32)Slot;
  }
  UINT8 Prefix = 0;
  if (Signed && (INT64)Value < 0) {
    Value = 0 - Value;  // unsigned, so the most negative value keeps its magnitude
    Prefix = '-';
  }
  CHAR8 *MostSignificant = WriteDigits(ValueText, Value, Hexadecimal ? 16 : 10);
  UINT64 Digits = (UINT64)(MostSignificant - ValueText);
  Converted.Body = (CONST UINT8 *)MostSignificant;
  Converted.Kind = BODY_DIGITS;
  Converted.Inner = '0';
  UINT64 Precision = Parsed.Precision;
  if ((Flags & (FORMAT_SHOW_PLUS | FORMAT_SHOW_SPACE | FORMAT_GROUP_THOUSANDS | FORMAT_PRECISION_GIVEN)) != 0) {
    if (Prefix == 0) {
      Prefix = (Flags & FORMAT_SHOW_PLUS) != 0 ? '+' : (Flags & FORMAT_SHOW_SPACE) != 0 ? ' ' : 0;
    }
    if (!Hexadecimal && (Flags & FORMAT_GROUP_THOUSANDS) != 0) {
      Flags &= ~(UINTN)FORMAT_FILL_ZERO;
      Precision = 1;
      Converted.Kind = BODY_GROUPED_DIGITS;
    }
    if (Value == 0 && Precision == 0) {
      Digits = 0;
    }
  }
  // Without those flags the precision is 1 and there is at least one digit,
  // so the field is just the characters, or the width with "0".
  UINT64 Used = Digits;
  if (Converted.Kind == BODY_GROUPED_DIGITS && Digits > 0) {
    // At most 20 digits: UINTN holds them, and a 32-bit build divides
    // them without a 64-bit division.
    Used += (UINTN)(Digits - 1) / 3;
  }
  if (Prefix != 0) {
    Used++;
    Precision++;
  }
  if ((Flags & (FORMAT_FILL_ZERO | FORMAT_WIDTH_GIVEN | FORMAT_ALIGN_LEFT | FORMAT_PRECISION_GIVEN)) ==
      (FORMAT_FILL_ZERO | FORMAT_WIDTH_GIVEN)) {
    Precision = Parsed.Width;  // zeros fill the field, prefix included
  }
  Converted.Length = Digits;
  Converted.Used = Used;
  Converted.Field = Precision > Used ? Precision : Used;
  Converted.Prefix = Prefix;
}

// ---------------------------------------------------------------------------
// The format.

inline UINT32 FormatUnit(CONST UINT8 *Format, BOOLEAN FormatWide, UINTN At) {
  return TextUnit(Format, FormatWide, At);
}

// TRUE when one of the characters packed in Word, bytes or 16-bit units, is
// at or below "%": the format's end, a line break or a "%" may be among
// them. A character with its top bit set is never flagged.
template <BOOLEAN Wide>
inline BOOLEAN HasSpecialCharacter(UINT64 Word) {
  constexpr UINT64 Ones = Wide ? 0x0001000100010001ULL : 0x0101010101010101ULL;
  constexpr UINT64 Tops = Wide ? 0x8000800080008000ULL : 0x8080808080808080ULL;
  return ((Word - Ones * ('%' + 1)) & ~Word & Tops) != 0;
}

// Writes the plain format characters from Index on, those that stand for
// themselves and the line breaks; stops at the format's end, at a "%" or
// when the output is full. Returns the index of the character it stopped at.
//
// When format and output characters have the same size, eight bytes of
// plain characters are copied at once. Only characters before the format's
// terminator are read that way: FormatLength is the measured length.
UINTN CopyPlainRun(OutputWindow &Output, CONST UINT8 *Format, BOOLEAN FormatWide, UINTN FormatLength,
                   UINTN Index) {
  UINTN WordUnits = FormatWide ? 4 : 8;
  BOOLEAN WordCopy = FormatWide == Output.Wide;
  while (Output.Position < Output.End) {
    UINT32 Character = FormatUnit(Format, FormatWide, Index);
    if (Character > '%' && WordCopy && FormatLength - Index >= WordUnits) {
      UINT64 Word = ReadUnaligned<UINT64>(Format + (FormatWide ? 2 * Index : Index));
      if (!(FormatWide ? HasSpecialCharacter<TRUE>(Word) : HasSpecialCharacter<FALSE>(Word)) &&
          PutWord(Output, Word)) {
        Index += WordUnits;
        continue;
      }
    }
    // Everything above "%" stands for itself; below it only the format's
    // end and the line breaks are special.
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

UINT64 TakeSlot(ArgumentList &Arguments, UINTN &Taken) {
  // A format that asks for more slots than the caller supplied reads 0, the
  // value that prints as a null pointer or as zero, rather than the memory
  // after the list.
  if (Taken >= Arguments.Count) {
    return 0;
  }
  return Arguments.Slots[Taken++];
}

}  // namespace

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
  return WriteDigits(Text, Value, Radix);
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
  UINTN Taken = 0;
  UINTN Index = 0;
  CHAR8 ValueText[VALUE_TEXT_SIZE];

  for (;;) {
    Index = CopyPlainRun(Output, Format, FormatWide, FormatLength, Index);
    if (ReadUnit(Index) == 0 || Output.Position >= Output.End) {
      break;
    }
    // A "%": the run stopped at nothing else.
    Directive Parsed = ParseDirective(ReadUnit, Index, Flags, [&]() { return TakeSlot(Arguments, Taken); });
    UINT32 Character = Parsed.Conversion;
    Index = Parsed.Next;
    SlotKind Slot = Parsed.Slot;
    UINT64 Value = Slot == SlotKind::None ? 0 : TakeSlot(Arguments, Taken);
    Conversion Converted;
    // The text of "%c" and of a character that is not a conversion; it
    // lives until the tail has written it.
    UINT8 Single[4];
    // An if chain rather than a switch: on this target a switch's jump
    // table would lie among the code, where it reads as instructions.
    if (Slot == SlotKind::Integer || Slot == SlotKind::Pointer) {
      if (Character == 'u') {
        Parsed.Flags = (Parsed.Flags & ~(UINTN)FORMAT_SHOW_PLUS) | FORMAT_VALUE_UNSIGNED;
      } else if (Character == 'x') {
        Parsed.Flags |= FORMAT_BASE_16;
      } else if (Character == 'X') {
        Parsed.Flags |= FORMAT_FILL_ZERO | FORMAT_BASE_16;
      } else if (Character == 'p') {
        Parsed.Flags = (Parsed.Flags & ~(UINTN)(FORMAT_SHOW_PLUS | FORMAT_SHOW_SPACE)) | FORMAT_VALUE_64 |
                       FORMAT_FILL_ZERO | FORMAT_BASE_16;
      }
      ConvertInteger(Parsed, Value, ValueText, Converted);
    } else {
      CONST VOID *Text = Single;
      BOOLEAN Wide = FALSE;
      if (Slot == SlotKind::Character || Slot == SlotKind::None) {
        // "%c" of a zero character, and a format that ended inside the
        // directive, leave the text empty; the precision of 1 then writes
        // one space in the former's place, the latter's is 0.
        if (Slot == SlotKind::Character) {
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
      } else if (Slot == SlotKind::Text16 || Slot == SlotKind::Text8) {
        if ((Parsed.Flags & FORMAT_PRECISION_GIVEN) == 0) {
          Parsed.Precision = 0;
        }
        if (Value == 0) {
          Text = "<null string>";
        } else {
          Text = (CONST VOID *)(UINTN)Value;
          Wide = Slot == SlotKind::Text16;
        }
      } else if (Slot == SlotKind::Guid) {
        Text = BuildGuidText(ValueText, Value);
      } else if (Slot == SlotKind::Time) {
        Text = BuildTimeText(ValueText, Value);
      } else {
        Text = BuildStatusText(ValueText, Value);
      }
      ConvertText(Parsed, (CONST UINT8 *)Text, Wide, Converted);
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
