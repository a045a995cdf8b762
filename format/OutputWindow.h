// The output window of one engine run: the one place that stores
// characters. Text goes only to positions before End, the last character
// slot of the buffer, which is kept for the terminator; each Put function
// checks End itself and drops what does not fit, so nothing else needs to.
// Single characters, fills, words of plain format text and texts (an
// integer's digits are a text too) all go through it. Everything here but
// the copy across character widths is inline: it is the engine's inner loop.
#pragma once

#include "BaseLib.h"
#include "Format.h"

struct OutputWindow {
  UINT8 *Position;
  UINT8 *End;
  BOOLEAN Wide;  // 16-bit characters, low byte first
};

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

// A text runs forward in 8-bit or, with TextWide, 16-bit characters; a
// 16-bit text may start at any address.
inline UINT16 TextUnit(CONST UINT8 *Text, BOOLEAN TextWide, UINTN At) {
  return TextWide ? ReadUnaligned<UINT16>(Text + 2 * At) : Text[At];
}

// Copies Count characters of Text to To, which has room for them, and
// returns the position after them: 16-bit ones into 8-bit output (OutputWide
// clear) or 8-bit ones into 16-bit output. Out of line, so that its loops do
// not crowd the engine's registers.
UINT8 *CopyTextAcrossWidths(UINT8 *To, CONST UINT8 *Text, UINTN Count, BOOLEAN OutputWide);

// Copies the first Count characters of Text, as many as fit before End; the
// caller has counted them, so none is the terminator and nothing past them is
// read.
inline VOID PutText(OutputWindow &Output, CONST UINT8 *Text, BOOLEAN TextWide, UINT64 Count) {
  UINTN Fits = Room(Output);
  UINTN Copied = Count < Fits ? (UINTN)Count : Fits;
  if (TextWide != Output.Wide) {
    Output.Position = CopyTextAcrossWidths(Output.Position, Text, Copied, Output.Wide);
    return;
  }
  UINT8 *To = Output.Position;
  UINTN Bytes = TextWide ? 2 * Copied : Copied;
  UINTN Index = 0;
  for (; Bytes - Index >= 8; Index += 8) {
    UINT64 Word = ReadUnaligned<UINT64>(Text + Index);
    __builtin_memcpy(To + Index, &Word, 8);
  }
#pragma clang loop vectorize(disable) unroll(disable)
  for (; Index < Bytes; Index++) {
    To[Index] = Text[Index];
  }
  Output.Position = To + Bytes;
}

// Copies the bytes of From, of which Available may be read, eight at a time
// while eight more may be read and fit before End, up to the first byte that
// StopMask flags: StopMask(Word) has the top bit of each flagged byte of the
// word set, and the lowest one set marks the first flagged byte. Returns how
// many bytes it copied.
template <typename StopMaskFn>
inline UINTN PutWordsUntil(OutputWindow &Output, CONST UINT8 *From, UINTN Available, StopMaskFn StopMask) {
  UINTN Fits = (UINTN)(Output.End - Output.Position);
  UINTN Limit = Available < Fits ? Available : Fits;
  UINT8 *To = Output.Position;
  UINTN Copied = 0;
  for (; Limit - Copied >= 8; Copied += 8) {
    UINT64 Word = ReadUnaligned<UINT64>(From + Copied);
    UINT64 Stop = StopMask(Word);
    if (Stop != 0) {
      for (UINTN Plain = (UINTN)__builtin_ctzll(Stop) >> 3; Plain != 0; Plain--, Word >>= 8) {
        To[Copied++] = (UINT8)Word;
      }
      break;
    }
    __builtin_memcpy(To + Copied, &Word, 8);
  }
  Output.Position = To + Copied;
  return Copied;
}
