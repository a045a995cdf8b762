// The output window of one engine run: the one place that stores
// characters. Text goes only to positions before End, the last character
// slot of the buffer, which is kept for the terminator; each Put function
// checks End itself and drops what does not fit, so nothing else needs to.
// Single characters, fills, words of plain format text, texts and digits all
// go through it. Everything here is inline: it is the engine's inner loop.
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

// Copies up to Count characters of an 8-bit or, with TextWide, 16-bit text
// into 8-bit output, stopping at its first zero character; returns how many
// it copied. Four a step while four more may be copied, each checked for
// the terminator before it is written, so nothing past it is read.
template <BOOLEAN TextWide>
inline UINTN CopyNarrowText(UINT8 *To, CONST UINT8 *From, UINTN Count) {
  UINTN Copied = 0;
  for (; Count - Copied >= 4; Copied += 4) {
#pragma clang loop unroll(full)
    for (UINTN Step = 0; Step < 4; Step++) {
      UINT16 Character = TextUnit(From, TextWide, Copied + Step);
      if (Character == 0) {
        return Copied + Step;
      }
      To[Copied + Step] = (UINT8)Character;
    }
  }
  for (; Copied < Count && TextUnit(From, TextWide, Copied) != 0; Copied++) {
    To[Copied] = (UINT8)TextUnit(From, TextWide, Copied);
  }
  return Copied;
}

// Copies the characters of Text up to its first zero character, at most
// Limit of them. Returns how many it copied.
// Inlined at its one call, in the tail, where the engine spends its time.
__attribute__((always_inline)) inline UINT64 PutText(OutputWindow &Output, CONST UINT8 *Text, BOOLEAN TextWide,
                                                    UINT64 Limit) {
  UINTN Fits = Room(Output);
  UINTN Count = Limit < Fits ? (UINTN)Limit : Fits;
  UINT8 *To = Output.Position;
  UINTN Copied = 0;
  if (!Output.Wide) {
    Copied = TextWide ? CopyNarrowText<TRUE>(To, Text, Count) : CopyNarrowText<FALSE>(To, Text, Count);
  } else {
    for (UINT16 Character; Copied < Count && (Character = TextUnit(Text, TextWide, Copied)) != 0; Copied++) {
      To[2 * Copied] = (UINT8)Character;
      To[2 * Copied + 1] = (UINT8)(Character >> 8);
    }
  }
  Output.Position += Output.Wide ? 2 * Copied : Copied;
  return Copied;
}

// Eight bytes of characters, when they fit before End. Returns whether they
// did; when not, nothing is written.
inline BOOLEAN PutWord(OutputWindow &Output, UINT64 Word) {
  if ((UINTN)(Output.End - Output.Position) < 8) {
    return FALSE;
  }
  __builtin_memcpy(Output.Position, &Word, 8);
  Output.Position += 8;
  return TRUE;
}

// Copies Count digits that run from MostSignificant towards lower addresses,
// with a "," before every group of three counted from the least significant
// digit when Grouped.
inline VOID PutDigits(OutputWindow &Output, CONST CHAR8 *MostSignificant, UINT64 Count, BOOLEAN Grouped) {
  if (Grouped) {
    UINTN Phase = (3 - (UINTN)Count % 3) % 3;
    for (UINT64 Index = 0; Index < Count; Index++) {
      PutCharacter(Output, (UINT8)MostSignificant[-(INTN)Index]);
      if (++Phase == 3 && Index + 1 < Count) {
        Phase = 0;
        PutCharacter(Output, ',');
      }
    }
    return;
  }
  UINTN Fits = Room(Output);
  CONST CHAR8 *Stop = MostSignificant - (Count < Fits ? Count : Fits);
  UINT8 *To = Output.Position;
  CONST CHAR8 *From = MostSignificant;
  // At most 20 digits: the plain loops beat unrolled or vectorised ones.
  if (Output.Wide) {
#pragma clang loop vectorize(disable) unroll(disable)
    for (; From != Stop; From--, To += 2) {
      To[0] = (UINT8)*From;
      To[1] = 0;
    }
  } else {
    // Eight digits at a time: the eight bytes that end at the most
    // significant digit, in reverse order. They lie in the scratch text,
    // whose digits start after its first byte.
    for (; From - Stop >= 8; From -= 8, To += 8) {
      UINT64 Eight = __builtin_bswap64(ReadUnaligned<UINT64>(From - 7));
      __builtin_memcpy(To, &Eight, 8);
    }
#pragma clang loop vectorize(disable) unroll(disable)
    for (; From != Stop; From--) {
      *To++ = (UINT8)*From;
    }
  }
  Output.Position = To;
}
