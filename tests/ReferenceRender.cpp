// The engine as it was first written: one format character at a time, every
// character through the one emission, one division per digit. It is kept as
// the model the tests hold the engine to, byte for byte, so that a faster
// engine can never change what it writes.
#include "ReferenceRender.h"

#include "BaseLib.h"
#include "ValueText.h"

namespace {

CONST CHAR8 DigitTable[] = "0123456789ABCDEF";

UINT8 *ModelFillCharacters(UINT8 *Position, UINT8 *End, INT64 Repeat, UINT16 Character, UINTN CharacterSize) {
  for (; Repeat > 0 && Position < End; Repeat--) {
    *Position++ = (UINT8)Character;
    if (CharacterSize == 2) {
      *Position++ = (UINT8)(Character >> 8);
    }
  }
  return Position;
}

CHAR8 *ModelValueToDigits(CHAR8 *Text, UINT64 Value, UINT32 Radix) {
  *Text = 0;
  do {
    UINT32 Remainder = 0;
    Value = DivU64x32Remainder(Value, Radix, &Remainder);
    *++Text = DigitTable[Remainder];
  } while (Value != 0);
  return Text;
}

// The text a format character or a conversion hands to the emission.
struct ArgumentText {
  CONST UINT8 *Start;  // first character; for integer digits the most significant one
  BOOLEAN Wide;        // 16-bit characters, low byte first
  BOOLEAN Backward;    // integer digits, read towards lower addresses
};

// The state of one format character, rebuilt before each.
struct CharacterState {
  UINTN Flags;
  UINT64 Width;
  UINT64 Precision;
  UINT64 Count;
  UINT64 Digits;  // an integer's digits, without prefix and commas
  CHAR8 Prefix;   // 0 for none
  UINTN GroupPhase;
  BOOLEAN Integer;
  ArgumentText Text;
};

// One run's output window: text goes only to positions before End, the last
// character slot of the buffer, which is kept for the terminator.
struct OutputWindow {
  UINT8 *Position;
  UINT8 *End;
  UINTN CharacterSize;
};

UINT32 ReadFormatUnit(CONST UINT8 *Format, UINTN Index, BOOLEAN Wide) {
  if (Wide) {
    return (UINT32)Format[2 * Index] | ((UINT32)Format[2 * Index + 1] << 8);
  }
  return Format[Index];
}

UINT16 ReadTextUnit(CONST ArgumentText &Text, UINTN Index) {
  if (Text.Backward) {
    return *(Text.Start - Index);
  }
  if (Text.Wide) {
    return (UINT16)(Text.Start[2 * Index] | (Text.Start[2 * Index + 1] << 8));
  }
  return Text.Start[Index];
}

VOID WriteCharacter(OutputWindow &Output, UINT16 Character) {
  Output.Position = ModelFillCharacters(Output.Position, Output.End, 1, Character, Output.CharacterSize);
}

VOID WriteFill(OutputWindow &Output, UINT64 Width, UINT64 Field) {
  Output.Position = ModelFillCharacters(Output.Position, Output.End, (INT64)(Width - Field), ' ', Output.CharacterSize);
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

ArgumentText ForwardText(CONST VOID *Start, BOOLEAN Wide) {
  return ArgumentText{(CONST UINT8 *)Start, Wide, FALSE};
}

// Reduces an integer conversion to its prefix, digits and counts.
VOID ConvertInteger(CharacterState &State, UINT64 Slot, CHAR8 *ValueText) {
  UINT64 Value = Slot;
  BOOLEAN Signed = (State.Flags & (FORMAT_VALUE_UNSIGNED | FORMAT_BASE_16)) == 0;
  if ((State.Flags & FORMAT_VALUE_64) == 0) {
    // The low 32 bits are taken on purpose: a 32-bit argument's slot may
    // carry anything in its upper half.
    Value = Signed ? (UINT64)(INT64)(INT32)(UINT32)Slot : (UINT32)Slot;
  }

  if ((State.Flags & FORMAT_SHOW_PLUS) != 0) {
    State.Prefix = '+';
  } else if ((State.Flags & FORMAT_SHOW_SPACE) != 0) {
    State.Prefix = ' ';
  }
  BOOLEAN Grouping = (State.Flags & FORMAT_GROUP_THOUSANDS) != 0;
  UINT32 Radix = 10;
  if ((State.Flags & FORMAT_BASE_16) != 0) {
    Radix = 16;
    Grouping = FALSE;
  } else {
    if (Grouping) {
      State.Flags &= ~(UINTN)FORMAT_FILL_ZERO;
      State.Precision = 1;
    }
    if (Signed && (INT64)Value < 0) {
      State.Prefix = '-';
      Value = 0 - Value;  // unsigned, so the most negative value keeps its magnitude
    }
  }
  if (!Grouping) {
    State.Flags &= ~(UINTN)FORMAT_GROUP_THOUSANDS;
  }

  CHAR8 *MostSignificant = ModelValueToDigits(ValueText, Value, Radix);
  UINT64 Digits = (UINT64)(MostSignificant - ValueText);
  if (Value == 0 && State.Precision == 0) {
    Digits = 0;
    MostSignificant = ValueText;
  }
  State.Digits = Digits;
  State.GroupPhase = (3 - Digits % 3) % 3;
  State.Count = Digits;
  if (Grouping && Digits > 0) {
    State.Count += (Digits - 1) / 3;
  }
  if (State.Prefix != 0) {
    State.Count++;
    State.Precision++;
  }
  if ((State.Flags & (FORMAT_FILL_ZERO | FORMAT_WIDTH_GIVEN | FORMAT_ALIGN_LEFT | FORMAT_PRECISION_GIVEN)) ==
      (FORMAT_FILL_ZERO | FORMAT_WIDTH_GIVEN)) {
    State.Precision = State.Width;  // zeros fill the field, prefix included
  }
  State.Flags |= FORMAT_TEXT_BACKWARD;
  State.Integer = TRUE;
  State.Text = ArgumentText{(CONST UINT8 *)MostSignificant, FALSE, TRUE};
}

// Takes the argument of a conversion that has a slot and makes its text.
VOID ConvertArgument(CharacterState &State, SlotKind Slot, UINT32 Conversion, UINT64 Value, CHAR8 *ValueText,
                     CHAR16 *SingleCharacter) {
  switch (Slot) {
    case SlotKind::Integer:
    case SlotKind::Pointer:
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
      ConvertInteger(State, Value, ValueText);
      return;
    case SlotKind::Character:
      // A zero character leaves the text empty; the precision of 1 then
      // writes one space in its place.
      SingleCharacter[0] = (CHAR16)Value;
      State.Flags |= FORMAT_TEXT_WIDE;
      State.Text = ForwardText(SingleCharacter, TRUE);
      return;
    case SlotKind::Text16:
    case SlotKind::Text8:
      if ((State.Flags & FORMAT_PRECISION_GIVEN) == 0) {
        State.Precision = 0;
      }
      if (Value == 0) {
        State.Text = ForwardText("<null string>", FALSE);
      } else {
        if (Slot == SlotKind::Text16) {
          State.Flags |= FORMAT_TEXT_WIDE;
        }
        State.Text = ForwardText((CONST VOID *)(UINTN)Value, Slot == SlotKind::Text16);
      }
      return;
    case SlotKind::Guid:
      State.Text = ForwardText(BuildGuidText(ValueText, Value), FALSE);
      return;
    case SlotKind::Time:
      State.Text = ForwardText(BuildTimeText(ValueText, Value), FALSE);
      return;
    case SlotKind::Status:
      State.Text = ForwardText(BuildStatusText(ValueText, Value), FALSE);
      return;
    case SlotKind::None:
      return;
  }
}

// The one tail every format character ends in: left fill, prefix, zeros or
// precision spaces, the characters, right fill.
VOID EmitText(OutputWindow &Output, CharacterState &State) {
  if (!State.Integer) {
    UINT64 Count = 0;
    BOOLEAN Limited = (State.Flags & FORMAT_PRECISION_GIVEN) != 0;
    while ((!Limited || Count < State.Precision) && ReadTextUnit(State.Text, Count) != 0) {
      Count++;
    }
    State.Count = Count;
  }
  if (State.Precision < State.Count) {
    State.Precision = State.Count;
  }
  BOOLEAN WidthGiven = (State.Flags & FORMAT_WIDTH_GIVEN) != 0;
  BOOLEAN AlignLeft = (State.Flags & FORMAT_ALIGN_LEFT) != 0;
  if (WidthGiven && !AlignLeft) {
    WriteFill(Output, State.Width, State.Precision);
  }

  if (State.Integer) {
    if (State.Prefix != 0) {
      WriteCharacter(Output, (UINT8)State.Prefix);
    }
    Output.Position = ModelFillCharacters(Output.Position, Output.End, (INT64)(State.Precision - State.Count), '0',
                                     Output.CharacterSize);
    BOOLEAN Grouping = (State.Flags & FORMAT_GROUP_THOUSANDS) != 0;
    for (UINT64 Index = 0; Index < State.Digits; Index++) {
      WriteCharacter(Output, ReadTextUnit(State.Text, Index));
      if (Grouping && ++State.GroupPhase == 3) {
        State.GroupPhase = 0;
        if (Index + 1 < State.Digits) {
          WriteCharacter(Output, ',');
        }
      }
    }
  } else {
    Output.Position = ModelFillCharacters(Output.Position, Output.End, (INT64)(State.Precision - State.Count), ' ',
                                     Output.CharacterSize);
    for (UINT64 Index = 0; Index < State.Count && Output.Position < Output.End; Index++) {
      WriteCharacter(Output, ReadTextUnit(State.Text, Index));
    }
  }

  if (WidthGiven && AlignLeft) {
    WriteFill(Output, State.Width, State.Precision);
  }
}

}  // namespace

UINTN ReferenceRenderFormat(VOID *Buffer, UINTN BufferSize, UINTN Flags, CONST VOID *Format, ArgumentList Arguments) {
  if (BufferSize != 0 && (Buffer == nullptr || Format == nullptr)) {
    return 0;
  }
  if (BufferSize > FORMAT_MAX_LENGTH) {
    return 0;
  }
  BOOLEAN FormatWide = (Flags & FORMAT_FORMAT_WIDE) != 0;
  // The one extra pass over the format: it also guarantees that the main
  // loop meets a terminator.
  UINTN FormatLength = FormatWide ? BoundedLength16((CONST CHAR16 *)Format, FORMAT_MAX_LENGTH + 1)
                                  : BoundedLength8((CONST CHAR8 *)Format, FORMAT_MAX_LENGTH + 1);
  if (FormatLength > FORMAT_MAX_LENGTH) {
    return 0;
  }
  if (BufferSize == 0) {
    return 0;
  }

  OutputWindow Output;
  Output.CharacterSize = (Flags & FORMAT_OUTPUT_WIDE) != 0 ? 2 : 1;
  Output.Position = (UINT8 *)Buffer;
  Output.End = Output.Position + (BufferSize - 1) * Output.CharacterSize;
  CONST UINT8 *FormatBytes = (CONST UINT8 *)Format;
  auto ReadUnit = [&](UINTN Index) { return ReadFormatUnit(FormatBytes, Index, FormatWide); };
  UINTN Taken = 0;
  UINTN Index = 0;
  CHAR8 ValueText[VALUE_TEXT_SIZE];
  CHAR16 SingleCharacter[2] = {0, 0};

  for (;;) {
    UINT32 Character = ReadUnit(Index);
    if (Character == 0 || Output.Position >= Output.End) {
      break;
    }
    CharacterState State = {};
    State.Flags = Flags;
    State.Precision = 1;
    UINTN Next = Index + 1;

    BOOLEAN Converted = FALSE;
    if (Character == '%') {
      Directive Parsed = ParseDirective(ReadUnit, Index, Flags, [&]() { return TakeSlot(Arguments, Taken); });
      State.Flags = Parsed.Flags;
      State.Width = Parsed.Width;
      State.Precision = Parsed.Precision;
      Character = Parsed.Conversion;
      Next = Parsed.Next;
      SlotKind Slot = ConversionSlot(Character);
      if (Slot != SlotKind::None) {
        ConvertArgument(State, Slot, Character, TakeSlot(Arguments, Taken), ValueText, SingleCharacter);
        Converted = TRUE;
      }
    }
    if (!Converted) {
      // Plain characters, and directives whose conversion character is not
      // a conversion: a line break, the character itself, or nothing at all
      // when the format ended inside the directive.
      if (Character == 0) {
        State.Text = ForwardText("", FALSE);
      } else if (Character == '\n') {
        // Both halves of "\n\r" leave as one "\r\n".
        State.Text = ForwardText("\r\n", FALSE);
        Next += ReadUnit(Next) == '\r' ? 1 : 0;
      } else if (Character == '\r' && ReadUnit(Next) == '\n') {
        State.Text = ForwardText("\r\n", FALSE);
        Next++;
      } else if (Character == '\r') {
        State.Text = ForwardText("\r", FALSE);
      } else {
        SingleCharacter[0] = (CHAR16)Character;
        State.Flags |= FORMAT_TEXT_WIDE;
        State.Text = ForwardText(SingleCharacter, TRUE);
      }
    }

    EmitText(Output, State);
    Index = Next;
  }

  // Every write stopped before End, so the terminator always fits.
  Output.Position[0] = 0;
  if (Output.CharacterSize == 2) {
    Output.Position[1] = 0;
  }
  return (UINTN)(Output.Position - (UINT8 *)Buffer) / Output.CharacterSize;
}
