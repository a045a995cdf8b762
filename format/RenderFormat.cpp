#include "BaseLib.h"
#include "Format.h"
#include "ValueText.h"

namespace {

CONST CHAR8 DigitTable[] = "0123456789ABCDEF";

// One run's output window: text goes only to positions before End, the last
// character slot of the buffer, which is kept for the terminator.
struct OutputWindow {
  UINT8 *Position;
  UINT8 *End;
  BOOLEAN Wide;  // 16-bit characters, low byte first
};

// What one directive asks for.
struct DirectiveState {
  UINTN Flags;
  UINT64 Width;
  UINT64 Precision;
};

// The 16-bit unit at Bytes, low byte first, wherever it lies; the copy is
// one load.
inline UINT16 Unit16(CONST UINT8 *Bytes) {
  static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "units are stored low byte first");
  UINT16 Unit;
  __builtin_memcpy(&Unit, Bytes, 2);
  return Unit;
}

// Characters that still fit before End.
inline UINTN Room(CONST OutputWindow &Output) {
  UINTN Bytes = (UINTN)(Output.End - Output.Position);
  return Output.Wide ? Bytes >> 1 : Bytes;
}

inline VOID PutCharacter(OutputWindow &Output, UINT16 Character) {
  if (Output.Position < Output.End) {
    *Output.Position++ = (UINT8)Character;
    if (Output.Wide) {
      *Output.Position++ = (UINT8)(Character >> 8);
    }
  }
}

// Field - Used copies of Character, none when that difference, taken as a
// signed number, is 0 or less.
inline VOID PutFill(OutputWindow &Output, UINT64 Field, UINT64 Used, UINT16 Character) {
  INT64 Repeat = (INT64)(Field - Used);
  if (Repeat > 0) {
    Output.Position = FillCharacters(Output.Position, Output.End, Repeat, Character, Output.Wide ? 2 : 1);
  }
}

// A text that a directive hands to the emission runs forward up to its first
// zero character, in 8-bit or, with TextWide, 16-bit characters. A 16-bit
// text may start at any address; Unit16 reads its units wherever they lie.

// Copies up to Count characters of an 8-bit or, with TextWide, 16-bit text
// into 8-bit output, stopping at its first zero character; returns how many
// it copied. Four a step while four more may be copied, each checked for
// the terminator before it is written, so nothing past it is read.
template <BOOLEAN TextWide>
inline UINTN CopyNarrowText(UINT8 *To, CONST UINT8 *From, UINTN Count) {
  auto Unit = [From](UINTN At) -> UINT16 { return TextWide ? Unit16(From + 2 * At) : From[At]; };
  UINTN Copied = 0;
  for (; Count - Copied >= 4; Copied += 4) {
#pragma clang loop unroll(full)
    for (UINTN Step = 0; Step < 4; Step++) {
      UINT16 Character = Unit(Copied + Step);
      if (Character == 0) {
        return Copied + Step;
      }
      To[Copied + Step] = (UINT8)Character;
    }
  }
  for (; Copied < Count && Unit(Copied) != 0; Copied++) {
    To[Copied] = (UINT8)Unit(Copied);
  }
  return Copied;
}

// Copies the characters of Text up to its first zero character, at most
// Limit of them and no further than End. Returns how many it copied.
UINT64 CopyText(OutputWindow &Output, CONST UINT8 *Text, BOOLEAN TextWide, UINT64 Limit) {
  UINTN Fits = Room(Output);
  UINTN Count = Limit < Fits ? (UINTN)Limit : Fits;
  CONST UINT8 *From = Text;
  UINT8 *To = Output.Position;
  UINTN Copied = 0;
  if (!Output.Wide) {
    Copied = TextWide ? CopyNarrowText<TRUE>(To, From, Count) : CopyNarrowText<FALSE>(To, From, Count);
  } else if (!TextWide) {
    for (; Copied < Count && From[Copied] != 0; Copied++) {
      To[2 * Copied] = From[Copied];
      To[2 * Copied + 1] = 0;
    }
  } else {
    for (; Copied < Count && Unit16(From + 2 * Copied) != 0; Copied++) {
      To[2 * Copied] = From[2 * Copied];
      To[2 * Copied + 1] = From[2 * Copied + 1];
    }
  }
  Output.Position += Output.Wide ? 2 * Copied : Copied;
  return Copied;
}

// The number of characters of Text before its first zero, counting no
// further than Limit.
UINT64 CountText(CONST UINT8 *Text, BOOLEAN TextWide, UINT64 Limit) {
  UINT64 Count = 0;
  if (TextWide) {
    while (Count < Limit && Unit16(Text + 2 * Count) != 0) {
      Count++;
    }
  } else {
    while (Count < Limit && Text[Count] != 0) {
      Count++;
    }
  }
  return Count;
}

// Writes one text with its directive's width and precision: left fill,
// precision spaces, the characters, right fill.
VOID EmitText(OutputWindow &Output, CONST DirectiveState &State, CONST UINT8 *Text, BOOLEAN TextWide) {
  BOOLEAN WidthGiven = (State.Flags & FORMAT_WIDTH_GIVEN) != 0;
  BOOLEAN AlignLeft = (State.Flags & FORMAT_ALIGN_LEFT) != 0;
  UINT64 Field;
  if ((State.Flags & FORMAT_PRECISION_GIVEN) == 0 && (!WidthGiven || AlignLeft)) {
    // Nothing stands before the characters but the one space an empty text
    // gets from a precision of 1, so they are counted as they are copied.
    // A copy cut by End leaves no room for anything after it.
    UINT64 Count = CopyText(Output, Text, TextWide, ~(UINT64)0);
    Field = State.Precision > Count ? State.Precision : Count;
    PutFill(Output, Field, Count, ' ');
  } else {
    UINT64 Count =
        CountText(Text, TextWide, (State.Flags & FORMAT_PRECISION_GIVEN) != 0 ? State.Precision : ~(UINT64)0);
    Field = State.Precision > Count ? State.Precision : Count;
    if (WidthGiven && !AlignLeft) {
      PutFill(Output, State.Width, Field, ' ');
    }
    PutFill(Output, Field, Count, ' ');
    CopyText(Output, Text, TextWide, Count);
  }
  if (WidthGiven && AlignLeft) {
    PutFill(Output, State.Width, Field, ' ');
  }
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

// Copies Count digits that run from MostSignificant towards lower addresses,
// no further than End.
VOID CopyDigits(OutputWindow &Output, CONST CHAR8 *MostSignificant, UINT64 Count) {
  UINTN Fits = Room(Output);
  CONST CHAR8 *Stop = MostSignificant - (Count < Fits ? Count : Fits);
  UINT8 *To = Output.Position;
  // At most 20 digits: the plain loop beats an unrolled or vectorised one.
  if (Output.Wide) {
#pragma clang loop vectorize(disable) unroll(disable)
    for (CONST CHAR8 *From = MostSignificant; From != Stop; From--) {
      To[0] = (UINT8)*From;
      To[1] = 0;
      To += 2;
    }
  } else {
    // Eight digits at a time: the eight bytes that end at the most
    // significant digit, in reverse order. They lie in the scratch text,
    // whose digits start after its first byte.
    CONST CHAR8 *From = MostSignificant;
    for (; From - Stop >= 8; From -= 8, To += 8) {
      UINT64 Eight;
      __builtin_memcpy(&Eight, From - 7, 8);
      Eight = __builtin_bswap64(Eight);
      __builtin_memcpy(To, &Eight, 8);
    }
#pragma clang loop vectorize(disable) unroll(disable)
    for (; From != Stop; From--) {
      *To++ = (UINT8)*From;
    }
  }
  Output.Position = To;
}

// Writes an integer conversion: prefix, zeros, digits and commas, with the
// directive's width and precision.
VOID EmitInteger(OutputWindow &Output, CONST DirectiveState &State, UINT64 Slot, CHAR8 *ValueText) {
  UINTN Flags = State.Flags;
  BOOLEAN Hexadecimal = (Flags & FORMAT_BASE_16) != 0;
  BOOLEAN Signed = (Flags & (FORMAT_VALUE_UNSIGNED | FORMAT_BASE_16)) == 0;
  UINT64 Value = Slot;
  if ((Flags & FORMAT_VALUE_64) == 0) {
    // The low 32 bits are taken on purpose: a 32-bit argument's slot may
    // carry anything in its upper half.
    Value = Signed ? (UINT64)(INT64)(INT32)(UINT32)Slot : (UINT32)Slot;
  }
  BOOLEAN Negative = Signed && (INT64)Value < 0;
  if (Negative) {
    Value = 0 - Value;  // unsigned, so the most negative value keeps its magnitude
  }
  CHAR8 *MostSignificant = WriteDigits(ValueText, Value, Hexadecimal ? 16 : 10);
  UINT64 Digits = (UINT64)(MostSignificant - ValueText);
  BOOLEAN WidthGiven = (Flags & FORMAT_WIDTH_GIVEN) != 0;
  if ((Flags & (FORMAT_SHOW_PLUS | FORMAT_SHOW_SPACE | FORMAT_GROUP_THOUSANDS | FORMAT_PRECISION_GIVEN |
                FORMAT_ALIGN_LEFT)) == 0) {
    // "%d", "%lx", "%08X", "%5u" and the like: no precision, no sign to
    // show, no commas and no right fill, so a field is spaces before a "-"
    // or zeros after it, then the digits.
    UINT64 Used = Digits + (Negative ? 1 : 0);
    UINT64 Field = WidthGiven ? State.Width : 0;
    BOOLEAN Zeros = (Flags & FORMAT_FILL_ZERO) != 0;
    if (!Zeros) {
      PutFill(Output, Field, Used, ' ');
    }
    if (Negative) {
      PutCharacter(Output, '-');
    }
    if (Zeros) {
      PutFill(Output, Field, Used, '0');
    }
    CopyDigits(Output, MostSignificant, Digits);
    return;
  }

  CHAR8 Prefix = 0;
  if (Negative) {
    Prefix = '-';
  } else if ((Flags & FORMAT_SHOW_PLUS) != 0) {
    Prefix = '+';
  } else if ((Flags & FORMAT_SHOW_SPACE) != 0) {
    Prefix = ' ';
  }
  BOOLEAN Grouping = !Hexadecimal && (Flags & FORMAT_GROUP_THOUSANDS) != 0;
  UINT64 Precision = State.Precision;
  if (Grouping) {
    Flags &= ~(UINTN)FORMAT_FILL_ZERO;
    Precision = 1;
  }
  if (Value == 0 && Precision == 0) {
    Digits = 0;
  }
  UINT64 Count = Digits;
  if (Grouping && Digits > 0) {
    // At most 20 digits: UINTN holds them, and a 32-bit build divides
    // them without a 64-bit division.
    Count += (UINTN)(Digits - 1) / 3;
  }
  if (Prefix != 0) {
    Count++;
    Precision++;
  }
  if ((Flags & (FORMAT_FILL_ZERO | FORMAT_WIDTH_GIVEN | FORMAT_ALIGN_LEFT | FORMAT_PRECISION_GIVEN)) ==
      (FORMAT_FILL_ZERO | FORMAT_WIDTH_GIVEN)) {
    Precision = State.Width;  // zeros fill the field, prefix included
  }
  if (Precision < Count) {
    Precision = Count;
  }

  BOOLEAN AlignLeft = (Flags & FORMAT_ALIGN_LEFT) != 0;
  if (WidthGiven && !AlignLeft) {
    PutFill(Output, State.Width, Precision, ' ');
  }
  if (Prefix != 0) {
    PutCharacter(Output, (UINT8)Prefix);
  }
  PutFill(Output, Precision, Count, '0');
  if (!Grouping) {
    CopyDigits(Output, MostSignificant, Digits);
  } else {
    // A "," before every group of three counted from the least significant
    // digit, never at the front.
    UINTN Phase = (3 - (UINTN)Digits % 3) % 3;
    for (UINT64 Index = 0; Index < Digits; Index++) {
      PutCharacter(Output, (UINT8)MostSignificant[-(INTN)Index]);
      if (++Phase == 3) {
        Phase = 0;
        if (Index + 1 < Digits) {
          PutCharacter(Output, ',');
        }
      }
    }
  }
  if (WidthGiven && AlignLeft) {
    PutFill(Output, State.Width, Precision, ' ');
  }
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

// Copies a run of plain format characters, those that stand for themselves
// and line breaks, straight to the output; stops at the format's end, at a
// "%" or at End. Returns the index of the character it stopped at.
//
// When format and output characters have the same size, eight bytes of
// plain characters are copied at once. Only characters before the format's
// terminator are read that way: FormatLength is the measured length.
UINTN CopyPlainRun(OutputWindow &Output, CONST UINT8 *Format, BOOLEAN FormatWide, UINTN FormatLength,
                   UINTN Index) {
  auto ReadUnit = [Format, FormatWide](UINTN At) -> UINT16 {
    return FormatWide ? Unit16(Format + 2 * At) : Format[At];
  };
  BOOLEAN OutputWide = Output.Wide;
  auto Put = [OutputWide](UINT8 *&To, UINT16 Character) {
    *To++ = (UINT8)Character;
    if (OutputWide) {
      *To++ = (UINT8)(Character >> 8);
    }
  };
  UINTN WordUnits = FormatWide ? 4 : 8;
  BOOLEAN WordCopy = FormatWide == OutputWide;
  UINT8 *To = Output.Position;
  UINT8 *End = Output.End;
  while (To < End) {
    UINT16 Character = ReadUnit(Index);
    if (Character > '%' && WordCopy && FormatLength - Index >= WordUnits && (UINTN)(End - To) >= 8) {
      UINT64 Word;
      __builtin_memcpy(&Word, Format + (FormatWide ? 2 * Index : Index), 8);
      if (!(FormatWide ? HasSpecialCharacter<TRUE>(Word) : HasSpecialCharacter<FALSE>(Word))) {
        __builtin_memcpy(To, &Word, 8);
        To += 8;
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
        UINT16 Pair = Character == '\n' ? '\r' : '\n';
        BOOLEAN Paired = ReadUnit(Index + 1) == Pair;
        Index += Paired ? 2 : 1;
        Put(To, '\r');
        if (Character == '\r' && !Paired) {
          continue;
        }
        if (To == End) {
          break;  // the cut falls between the "\r" and the "\n"
        }
        Put(To, '\n');
        continue;
      }
    }
    Put(To, Character);
    Index++;
  }
  Output.Position = To;
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
  // Plain runs are copied as they stand; each directive is parsed and its
  // text emitted.
  CONST UINT8 *Format = (CONST UINT8 *)FormatText;
  auto ReadUnit = [Format, FormatWide](UINTN At) -> UINT32 {
    return FormatWide ? (UINT32)Unit16(Format + 2 * At) : Format[At];
  };
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
    DirectiveState State = {Parsed.Flags, Parsed.Width, Parsed.Precision};
    UINT32 Conversion = Parsed.Conversion;
    Index = Parsed.Next;
    SlotKind Slot = Parsed.Slot;
    UINT64 Value = Slot == SlotKind::None ? 0 : TakeSlot(Arguments, Taken);
    UINT8 Single[4];
    CONST VOID *Text = Single;
    BOOLEAN Wide = FALSE;
    // An if chain rather than a switch: on this target a switch's jump
    // table would lie among the code, where it reads as instructions.
    if (Slot == SlotKind::Integer || Slot == SlotKind::Pointer) {
      if (Conversion == 'u') {
        State.Flags = (State.Flags & ~(UINTN)FORMAT_SHOW_PLUS) | FORMAT_VALUE_UNSIGNED;
      } else if (Conversion == 'x') {
        State.Flags |= FORMAT_BASE_16;
      } else if (Conversion == 'X') {
        State.Flags |= FORMAT_FILL_ZERO | FORMAT_BASE_16;
      } else if (Conversion == 'p') {
        State.Flags = (State.Flags & ~(UINTN)(FORMAT_SHOW_PLUS | FORMAT_SHOW_SPACE)) | FORMAT_VALUE_64 |
                      FORMAT_FILL_ZERO | FORMAT_BASE_16;
      }
      EmitInteger(Output, State, Value, ValueText);
      continue;
    }
    if (Slot == SlotKind::Character) {
      // A zero character leaves the text empty; the precision of 1 then
      // writes one space in its place.
      Single[0] = (UINT8)Value;
      Single[1] = (UINT8)(Value >> 8);
      Single[2] = Single[3] = 0;
      Wide = TRUE;
    } else if (Slot == SlotKind::Text16 || Slot == SlotKind::Text8) {
      if ((State.Flags & FORMAT_PRECISION_GIVEN) == 0) {
        State.Precision = 0;
      }
      if (Value == 0) {
        Text = "<null string>";
      } else {
        Text = (CONST VOID *)(UINTN)Value;
        Wide = Slot == SlotKind::Text16;
      }
    } else if (Slot == SlotKind::None) {
      // Not a conversion: a line break, the character itself, or nothing
      // at all when the format ended inside the directive.
      if (Conversion == '\n') {
        // Both halves of "\n\r" leave as one "\r\n".
        Text = "\r\n";
        Index += ReadUnit(Index) == '\r' ? 1 : 0;
      } else if (Conversion == '\r' && ReadUnit(Index) == '\n') {
        Text = "\r\n";
        Index++;
      } else if (Conversion == '\r') {
        Text = "\r";
      } else {
        // Empty when the format ended inside the directive.
        Single[0] = (UINT8)Conversion;
        Single[1] = (UINT8)(Conversion >> 8);
        Single[2] = Single[3] = 0;
        Wide = TRUE;
      }
    } else if (Slot == SlotKind::Guid) {
      Text = BuildGuidText(ValueText, Value);
    } else if (Slot == SlotKind::Time) {
      Text = BuildTimeText(ValueText, Value);
    } else {
      Text = BuildStatusText(ValueText, Value);
    }
    EmitText(Output, State, (CONST UINT8 *)Text, Wide);
  }

  // Every write stopped before End, so the terminator always fits.
  Output.Position[0] = 0;
  if (Output.Wide) {
    Output.Position[1] = 0;
  }
  return (UINTN)(Output.Position - (UINT8 *)Buffer) >> (Output.Wide ? 1 : 0);
}

