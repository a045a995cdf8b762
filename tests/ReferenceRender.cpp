// The engine as the format language describes it, read plainly: one format
// character at a time, every character through one emission, one division
// per digit, the GUID, time and status texts spelled out here. The tests
// hold the engine to it byte for byte, so it takes nothing from the engine:
// its own reading of a directive, its own flags, its own value texts. Host
// code only: it may use the host's division and strings.
#include "ReferenceRender.h"

#include <string>

namespace {

// The caller's mode flags, as the engine's callers pass them.
constexpr UINTN OutputWideFlag = 0x40;
constexpr UINTN FormatWideFlag = 0x100;
// Bounds the buffer size and the format length, in characters.
constexpr UINT64 LengthLimit = 1000000;

const char DigitCharacters[] = "0123456789ABCDEF";

// What the characters of one directive asked for.
struct Directive {
  bool Left = false;            // "-"
  bool Plus = false;            // "+"
  bool Space = false;           // " "
  bool Comma = false;           // ","
  bool Long = false;            // "l" or "L"
  bool ZeroFill = false;        // a "0" that starts a digit run before any "."
  bool WidthGiven = false;      // a digit run or "*" before any "."
  bool PrecisionGiven = false;  // any "."
  UINT64 Width = 0;
  UINT64 Precision = 1;
  UINT32 Conversion = 0;  // 0 when the format ended inside the directive
  size_t Next = 0;        // index of the first format character after it
};

// Reads the directive whose "%" stands at index Percent. Unit(i) is the
// format character at index i; Star() takes the slot of a "*".
template <typename UnitFn, typename StarFn>
Directive ReadDirective(UnitFn Unit, size_t Percent, StarFn Star) {
  Directive Read;
  size_t At = Percent + 1;
  for (;;) {
    UINT32 Character = Unit(At);
    if (Character == '-') {
      Read.Left = true;
    } else if (Character == '+') {
      Read.Plus = true;
    } else if (Character == ' ') {
      Read.Space = true;
    } else if (Character == ',') {
      Read.Comma = true;
    } else if (Character == 'l' || Character == 'L') {
      Read.Long = true;
    } else if (Character == '.') {
      Read.PrecisionGiven = true;
    } else if (Character == '*') {
      UINT64 Value = Star();
      if (Read.PrecisionGiven) {
        Read.Precision = Value;
      } else {
        Read.Width = Value;
        Read.WidthGiven = true;
      }
    } else if (Character >= '0' && Character <= '9') {
      if (Character == '0' && !Read.PrecisionGiven) {
        Read.ZeroFill = true;
      }
      UINT64 Value = 0;
      for (; Unit(At) >= '0' && Unit(At) <= '9'; At++) {
        Value = Value * 10 + (Unit(At) - '0');  // unchecked: it wraps modulo 2^64
      }
      if (Read.PrecisionGiven) {
        Read.Precision = Value;
      } else {
        Read.Width = Value;
        Read.WidthGiven = true;
      }
      continue;  // At stands on the character after the run
    } else if (Character == 0) {
      Read.Precision = 0;  // only the width fill is written
      Read.Next = At;      // the terminator ends the main loop
      return Read;
    } else {
      Read.Conversion = Character;
      Read.Next = At + 1;
      return Read;
    }
    At++;
  }
}

// Whether Conversion takes a slot, and of what.
bool SlotOf(UINT32 Conversion, ModelSlot &Slot) {
  switch (Conversion) {
    case 'd':
    case 'u':
    case 'x':
    case 'X':
    case 'p': Slot = ModelSlot::Number; return true;
    case 'c': Slot = ModelSlot::Character; return true;
    case 's':
    case 'S': Slot = ModelSlot::Text16; return true;
    case 'a': Slot = ModelSlot::Text8; return true;
    case 'g': Slot = ModelSlot::Guid; return true;
    case 't': Slot = ModelSlot::Time; return true;
    case 'r': Slot = ModelSlot::Status; return true;
    default: return false;
  }
}

// "%g": Data1, Data2 and Data3 as little-endian numbers, most significant
// digit first, then the eight Data4 bytes in memory order.
std::string GuidText(const UINT8 *Guid) {
  const int ByteOrder[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
  std::string Text;
  for (int Place = 0; Place < 16; Place++) {
    if (Place == 4 || Place == 6 || Place == 8 || Place == 10) {
      Text += '-';
    }
    UINT8 Byte = Guid[ByteOrder[Place]];
    Text += DigitCharacters[Byte >> 4];
    Text += DigitCharacters[Byte & 0xF];
  }
  return Text;
}

// Value in decimal, with leading zeros up to MinimumDigits.
std::string Decimal(UINT64 Value, size_t MinimumDigits) {
  std::string Text;
  do {
    Text.insert(Text.begin(), (char)('0' + Value % 10));
    Value /= 10;
  } while (Value != 0);
  while (Text.size() < MinimumDigits) {
    Text.insert(Text.begin(), '0');
  }
  return Text;
}

// "%t": month/day/year, two blanks, hour:minute; the first six bytes only.
std::string TimeText(const UINT8 *Time) {
  UINT64 Year = Time[0] | (Time[1] << 8);
  return Decimal(Time[2], 2) + "/" + Decimal(Time[3], 2) + "/" + Decimal(Year, 4) + "  " + Decimal(Time[4], 2) +
         ":" + Decimal(Time[5], 2);
}

const char *const StatusNames[39] = {
    "Success", "Warning Unknown Glyph", "Warning Delete Failure", "Warning Write Failure",
    "Warning Buffer Too Small", "Warning Stale Data",
    // The errors 1 to 33.
    "Load Error", "Invalid Parameter", "Unsupported", "Bad Buffer Size", "Buffer Too Small", "Not Ready",
    "Device Error", "Write Protected", "Out of Resources", "Volume Corrupt", "Volume Full", "No Media",
    "Media changed", "Not Found", "Access Denied", "No Response", "No mapping", "Time out", "Not started",
    "Already started", "Aborted", "ICMP Error", "TFTP Error", "Protocol Error", "Incompatible Version",
    "Security Violation", "CRC Error", "End of Media", "Reserved (29)", "Reserved (30)", "End of File",
    "Invalid Language", "Compromised Data"};

// "%r": the name of success, a warning 1 to 5 or an error 1 to 33, or the
// eight hexadecimal digits of the low 32 bits. A status is as wide as UINTN:
// on a 32-bit build only the slot's low half is the status, and its error bit
// is bit 31.
std::string StatusText(UINT64 Slot) {
  const bool Wide = sizeof(UINTN) == 8;
  const UINT64 Status = Wide ? Slot : (Slot & 0xFFFFFFFF);
  const UINT64 ErrorBit = Wide ? 0x8000000000000000 : 0x80000000;
  if ((Status & ErrorBit) != 0) {
    UINT64 Code = Status & ~ErrorBit;
    if (Code >= 1 && Code <= 33) {
      return StatusNames[Code + 5];
    }
  } else if (Status <= 5) {
    return StatusNames[Status];
  }
  std::string Text;
  for (int Shift = 28; Shift >= 0; Shift -= 4) {
    Text += DigitCharacters[(Status >> Shift) & 0xF];
  }
  return Text;
}

// One run's output: characters go only to positions before End, the last
// character slot of the buffer, which is kept for the terminator.
struct Output {
  UINT8 *Position;
  UINT8 *End;
  size_t CharacterSize;

  void Write(UINT16 Character) {
    if (Position >= End) {
      return;  // dropped
    }
    *Position++ = (UINT8)Character;
    if (CharacterSize == 2) {
      *Position++ = (UINT8)(Character >> 8);
    }
  }
  // Count copies, none when Count is 0 or less.
  void Repeat(INT64 Count, UINT16 Character) {
    for (; Count > 0 && Position < End; Count--) {
      Write(Character);
    }
  }
};

// A forward text: 8-bit characters, or 16-bit ones low byte first at any
// address, up to the first zero character.
struct Text {
  const UINT8 *Start;
  bool Wide;

  UINT16 Unit(UINT64 Index) const {
    return Wide ? (UINT16)(Start[2 * Index] | (Start[2 * Index + 1] << 8)) : Start[Index];
  }
};

void WriteText(Output &Out, const Directive &Read, UINT64 Precision, Text Argument) {
  UINT64 Count = 0;
  while ((!Read.PrecisionGiven || Count < Precision) && Argument.Unit(Count) != 0) {
    Count++;
  }
  if (Precision < Count) {
    Precision = Count;
  }
  if (Read.WidthGiven && !Read.Left) {
    Out.Repeat((INT64)(Read.Width - Precision), ' ');
  }
  Out.Repeat((INT64)(Precision - Count), ' ');
  for (UINT64 Index = 0; Index < Count && Out.Position < Out.End; Index++) {
    Out.Write(Argument.Unit(Index));
  }
  if (Read.WidthGiven && Read.Left) {
    Out.Repeat((INT64)(Read.Width - Precision), ' ');
  }
}

void WriteInteger(Output &Out, const Directive &Read, UINT32 Conversion, UINT64 Slot) {
  bool Plus = Read.Plus;
  bool Space = Read.Space;
  bool ZeroFill = Read.ZeroFill;
  bool All64 = Read.Long;
  bool Unsigned = false;
  bool Hexadecimal = false;
  if (Conversion == 'u') {
    Plus = false;
    Unsigned = true;
  } else if (Conversion == 'x') {
    Hexadecimal = true;
  } else if (Conversion == 'X') {
    ZeroFill = true;
    Hexadecimal = true;
  } else if (Conversion == 'p') {
    Plus = false;
    Space = false;
    All64 = true;
    ZeroFill = true;
    Hexadecimal = true;
  }
  bool Signed = !Unsigned && !Hexadecimal;
  UINT64 Value = Slot;
  if (!All64) {
    Value = Signed ? (UINT64)(INT64)(INT32)(UINT32)Slot : (UINT64)(UINT32)Slot;
  }

  char Prefix = 0;
  if (Plus) {
    Prefix = '+';
  } else if (Space) {
    Prefix = ' ';
  }
  bool Grouping = Read.Comma;
  UINT64 Precision = Read.Precision;
  if (Hexadecimal) {
    Grouping = false;
  } else {
    if (Grouping) {
      ZeroFill = false;
      Precision = 1;
    }
    if (Signed && (INT64)Value < 0) {
      Prefix = '-';
      Value = 0 - Value;
    }
  }
  std::string Digits;  // most significant first
  UINT64 Radix = Hexadecimal ? 16 : 10;
  for (UINT64 Rest = Value; Digits.empty() || Rest != 0; Rest /= Radix) {
    Digits.insert(Digits.begin(), DigitCharacters[Rest % Radix]);
  }
  if (Value == 0 && Precision == 0) {
    Digits.clear();
  }
  UINT64 DigitCount = Digits.size();
  UINT64 GroupPhase = (3 - DigitCount % 3) % 3;
  UINT64 Count = DigitCount;
  if (Grouping && DigitCount > 0) {
    Count += (DigitCount - 1) / 3;
  }
  if (Prefix != 0) {
    Count++;
    Precision++;
  }
  if (ZeroFill && Read.WidthGiven && !Read.Left && !Read.PrecisionGiven) {
    Precision = Read.Width;
  }

  if (Precision < Count) {
    Precision = Count;
  }
  if (Read.WidthGiven && !Read.Left) {
    Out.Repeat((INT64)(Read.Width - Precision), ' ');
  }
  if (Prefix != 0) {
    Out.Write((UINT8)Prefix);
  }
  Out.Repeat((INT64)(Precision - Count), '0');
  for (UINT64 Index = 0; Index < DigitCount; Index++) {
    Out.Write((UINT8)Digits[Index]);
    if (Grouping && ++GroupPhase == 3) {
      GroupPhase = 0;
      if (Index + 1 < DigitCount) {
        Out.Write(',');
      }
    }
  }
  if (Read.WidthGiven && Read.Left) {
    Out.Repeat((INT64)(Read.Width - Precision), ' ');
  }
}

}  // namespace

UINTN ReferenceRenderFormat(VOID *Buffer, UINTN BufferSize, UINTN Flags, CONST VOID *Format, CONST UINT64 *Slots,
                            UINTN SlotCount) {
  if (BufferSize != 0 && (Buffer == nullptr || Format == nullptr)) {
    return 0;
  }
  if (BufferSize > LengthLimit) {
    return 0;
  }
  bool FormatWide = (Flags & FormatWideFlag) != 0;
  const UINT8 *FormatBytes = (const UINT8 *)Format;
  auto Unit = [FormatBytes, FormatWide](size_t Index) -> UINT32 {
    return FormatWide ? (UINT32)(FormatBytes[2 * Index] | (FormatBytes[2 * Index + 1] << 8)) : FormatBytes[Index];
  };
  if (Format != nullptr) {
    UINT64 Length = 0;
    while (Length <= LengthLimit && Unit(Length) != 0) {
      Length++;
    }
    if (Length > LengthLimit) {
      return 0;
    }
  }
  if (BufferSize == 0) {
    return 0;
  }

  size_t CharacterSize = (Flags & OutputWideFlag) != 0 ? 2 : 1;
  Output Out = {(UINT8 *)Buffer, (UINT8 *)Buffer + (BufferSize - 1) * CharacterSize, CharacterSize};
  UINTN Taken = 0;
  auto TakeSlot = [&]() -> UINT64 { return Taken < SlotCount ? Slots[Taken++] : 0; };

  size_t Index = 0;
  for (;;) {
    UINT32 Character = Unit(Index);
    if (Character == 0 || Out.Position >= Out.End) {
      break;
    }
    Directive Read;  // a plain character: no flags, no width, precision 1
    Read.Conversion = Character;
    Read.Next = Index + 1;
    if (Character == '%') {
      Read = ReadDirective(Unit, Index, TakeSlot);
    }
    Index = Read.Next;

    ModelSlot Slot = ModelSlot::Star;
    bool TakesSlot = Character == '%' && SlotOf(Read.Conversion, Slot);
    UINT8 Single[4] = {0, 0, 0, 0};  // one 16-bit character and its terminator
    std::string Built;
    Text Argument = {Single, false};
    UINT64 Precision = Read.Precision;
    if (TakesSlot) {
      UINT64 Value = TakeSlot();
      switch (Slot) {
        case ModelSlot::Number: WriteInteger(Out, Read, Read.Conversion, Value); continue;
        case ModelSlot::Character:
          Single[0] = (UINT8)Value;
          Single[1] = (UINT8)(Value >> 8);
          Argument.Wide = true;
          break;
        case ModelSlot::Text16:
        case ModelSlot::Text8:
          if (!Read.PrecisionGiven) {
            Precision = 0;
          }
          if (Value == 0) {
            Argument.Start = (const UINT8 *)"<null string>";
          } else {
            Argument = {(const UINT8 *)(UINTN)Value, Slot == ModelSlot::Text16};
          }
          break;
        case ModelSlot::Guid:
          Built = Value == 0 ? "<null guid>" : GuidText((const UINT8 *)(UINTN)Value);
          Argument.Start = (const UINT8 *)Built.c_str();
          break;
        case ModelSlot::Time:
          Built = Value == 0 ? "<null time>" : TimeText((const UINT8 *)(UINTN)Value);
          Argument.Start = (const UINT8 *)Built.c_str();
          break;
        case ModelSlot::Status:
          Built = StatusText(Value);
          Argument.Start = (const UINT8 *)Built.c_str();
          break;
        case ModelSlot::Star: break;
      }
    } else if (Read.Conversion == '\n') {
      Argument.Start = (const UINT8 *)"\r\n";  // and a "\r" after it goes with it
      Index += Unit(Index) == '\r' ? 1 : 0;
    } else if (Read.Conversion == '\r' && Unit(Index) == '\n') {
      Argument.Start = (const UINT8 *)"\r\n";
      Index++;
    } else if (Read.Conversion == '\r') {
      Argument.Start = (const UINT8 *)"\r";
    } else {
      // The character itself; an empty text when the format ended inside
      // the directive.
      Single[0] = (UINT8)Read.Conversion;
      Single[1] = (UINT8)(Read.Conversion >> 8);
      Argument.Wide = true;
    }
    WriteText(Out, Read, Precision, Argument);
  }

  Out.Position[0] = 0;
  if (CharacterSize == 2) {
    Out.Position[1] = 0;
  }
  return (UINTN)(Out.Position - (UINT8 *)Buffer) / CharacterSize;
}

std::vector<ModelSlot> ReferenceSlotUses(const UINT16 *Units, size_t Count) {
  auto Unit = [Units, Count](size_t Index) -> UINT32 { return Index < Count ? Units[Index] : 0; };
  std::vector<ModelSlot> Uses;
  size_t Index = 0;
  while (Unit(Index) != 0) {
    if (Unit(Index) != '%') {
      Index++;
      continue;
    }
    Directive Read = ReadDirective(Unit, Index, [&Uses]() -> UINT64 {
      Uses.push_back(ModelSlot::Star);
      return 0;
    });
    ModelSlot Slot = ModelSlot::Star;
    if (SlotOf(Read.Conversion, Slot)) {
      Uses.push_back(Slot);
    }
    Index = Read.Next;
  }
  return Uses;
}
