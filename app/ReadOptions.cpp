#include "Options.h"

#include "BaseLib.h"
#include "Console.h"

namespace {

// Room for the longest report path behind "quillmere.report=" and the
// terminator; a longer word is cut, and its length tells that it was.
#define OPTION_WORD_CHARACTERS (17 + REPORT_PATH_CHARACTERS)

// Text after Literal at the start of Text, or null when Text does not start
// with it.
CONST CHAR16 *SkipLiteral(CONST CHAR16 *Text, CONST CHAR8 *Literal) {
  for (; *Literal != 0; Literal++, Text++) {
    if (*Text != (CHAR16)*Literal) {
      return nullptr;
    }
  }
  return Text;
}

// TRUE when Value is a decimal number of at most WAIT_SECONDS_MAX, which
// goes to *Seconds. Digits are counted so that no run of them overflows.
BOOLEAN ReadSeconds(CONST CHAR16 *Value, UINT32 *Seconds) {
  UINT32 Number = 0;
  UINTN Digits = 0;
  for (; *Value != 0; Value++, Digits++) {
    if (*Value < u'0' || *Value > u'9' || Digits == 6) {
      return FALSE;
    }
    Number = Number * 10 + (*Value - u'0');
  }
  *Seconds = Number;
  return Digits > 0 && Number <= WAIT_SECONDS_MAX;
}

// Word is terminated; Length is the word's whole length, which is more than
// the buffer held when the word was cut.
VOID ApplyOptionWord(RunOptions *Options, CONST CHAR16 *Word, UINTN Length) {
  CONST CHAR16 *Name = SkipLiteral(Word, "quillmere.");
  if (Name == nullptr) {
    return;
  }
  CONST CHAR16 *Value = SkipLiteral(Name, "wait");
  if (Value != nullptr && (*Value == 0 || *Value == u'=')) {
    UINT32 Seconds = 0;
    if (*Value == 0 || ReadSeconds(Value + 1, &Seconds)) {
      // wait=0 takes back a wait the options file asked for.
      Options->Wait = *Value == 0 || Seconds != 0;
      Options->WaitSeconds = Seconds;
      return;
    }
  } else if ((Value = SkipLiteral(Name, "report")) != nullptr && (*Value == 0 || *Value == u'=')) {
    if (*Value++ == u'=' && Length < OPTION_WORD_CHARACTERS) {
      // An empty path takes back a report file the options file asked for.
      // Folders may be written with "/" as under Linux; UEFI paths use "\".
      UINTN Index = 0;
      for (; Value[Index] != 0; Index++) {
        Options->ReportPath[Index] = Value[Index] == u'/' ? u'\\' : Value[Index];
      }
      Options->ReportPath[Index] = 0;
      return;
    }
  } else if ((Value = SkipLiteral(Name, "verify")) != nullptr && (*Value == 0 || *Value == u'=')) {
    // verify=0 takes back a check the options file asked for.
    if (*Value == 0 || ((Value[1] == u'0' || Value[1] == u'1') && Value[2] == 0)) {
      Options->Verify = *Value == 0 || Value[1] == u'1';
      return;
    }
  } else {
    ConsolePrint(u"%s: not an option, ignored\n", Word);
    return;
  }
  ConsolePrint(u"%s: bad value, ignored\n", Word);
}

BOOLEAN IsBlank(CHAR16 Character) {
  return Character == u' ' || Character == u'\t' || Character == u'\r' || Character == u'\n';
}

}  // namespace

VOID SetDefaultOptions(RunOptions *Options) {
  Options->Wait = FALSE;
  Options->WaitSeconds = 0;
  Options->ReportPath[0] = 0;
  Options->Verify = FALSE;
}

VOID ReadOptionWords(RunOptions *Options, CONST VOID *Text, UINTN Size, BOOLEAN Wide) {
  if (Text == nullptr) {
    return;
  }
  CONST UINT8 *Bytes = (CONST UINT8 *)Text;
  // An odd last byte of UCS-2 text is half a character, and is not read.
  UINTN Count = Wide ? Size / 2 : Size;
  UINTN At = 0;
  CHAR16 Character = 1;
  while (Character != 0) {
    CHAR16 Word[OPTION_WORD_CHARACTERS];
    UINTN Length = 0;
    for (;; At++) {
      // The caller's size bounds the text as much as its terminator does.
      Character = At == Count ? 0 : Wide ? ReadUnaligned<UINT16>(Bytes + 2 * At) : Bytes[At];
      if (Character == 0 || IsBlank(Character)) {
        break;
      }
      if (Length < OPTION_WORD_CHARACTERS - 1) {
        Word[Length] = Character;
      }
      Length++;
    }
    At++;
    if (Length > 0) {
      Word[Length < OPTION_WORD_CHARACTERS - 1 ? Length : OPTION_WORD_CHARACTERS - 1] = 0;
      ApplyOptionWord(Options, Word, Length);
    }
  }
}

VOID ReadOptions(RunOptions *Options, CONST EFI_LOADED_IMAGE_PROTOCOL *LoadedImage, EFI_FILE_PROTOCOL *Root) {
  EFI_FILE_PROTOCOL *File = nullptr;
  // No file is the usual case and says nothing; neither does a volume that
  // cannot be read, where the load options still count.
  if (Root != nullptr &&
      !EFI_ERROR(Root->Open(Root, &File, (CHAR16 *)OPTIONS_FILE_PATH, EFI_FILE_MODE_READ, 0)) && File != nullptr) {
    // One byte more than is read, so that a longer file is seen.
    UINT8 Text[OPTIONS_FILE_BYTES + 1];
    UINTN Size = sizeof Text;
    EFI_STATUS Status = File->Read(File, &Size, Text);
    File->Close(File);
    if (EFI_ERROR(Status) || Size > OPTIONS_FILE_BYTES) {
      ConsolePrint(u"%s: not read (%r), ignored\n", OPTIONS_FILE_PATH,
                   EFI_ERROR(Status) ? Status : EFI_BUFFER_TOO_SMALL);
    } else {
      ReadOptionWords(Options, Text, Size, FALSE);
    }
  }
  ReadOptionWords(Options, LoadedImage->LoadOptions, LoadedImage->LoadOptionsSize, TRUE);
}
