// What a person at a real machine can ask for around the report: a wait for
// a key before the application returns (WaitForKey.h), and a copy of the
// report in a file on the image's own volume (ReportFile.h). Options are
// words quillmere.NAME or quillmere.NAME=VALUE among the load options and in
// the options file.
#pragma once

#include "Uefi.h"

// The options file, read from the image's volume before the load options,
// which come last and so win. It sits beside the removable-media boot file.
#define OPTIONS_FILE_PATH u"\\EFI\\BOOT\\quillmere-options.txt"
// The most bytes of the options file that are read; a longer file is refused
// whole rather than read cut, where a word could end early.
#define OPTIONS_FILE_BYTES 512
// A report path of at most 127 characters, its terminator making 128.
#define REPORT_PATH_CHARACTERS 128
// The longest wait a timed quillmere.wait takes: a day.
#define WAIT_SECONDS_MAX 86400

struct RunOptions {
  BOOLEAN Wait;
  UINT32 WaitSeconds;  // 0: until a key arrives
  CHAR16 ReportPath[REPORT_PATH_CHARACTERS];  // empty: no report file
  BOOLEAN Verify;  // hard-drive and CD-ROM nodes checked against the disk (DiskCheck.h)
};

// No wait, no report file, no disk check: what a run does when nothing asks otherwise.
// Set field by field: a zeroed structure could become a call to memset,
// which the image does not have.
VOID SetDefaultOptions(RunOptions *Options);

// Applies the option words of the Size bytes at Text, UCS-2 when Wide and
// 8-bit otherwise, to Options; the text ends at its first zero character or
// after Size bytes, whichever comes first, and is read at any alignment.
// Other words are passed over; a quillmere. word that is not an option or
// has a bad value gets one console line and changes nothing.
VOID ReadOptionWords(RunOptions *Options, CONST VOID *Text, UINTN Size, BOOLEAN Wide);

// The options file from Root, when there is a volume and the file, then the
// image's load options.
VOID ReadOptions(RunOptions *Options, CONST EFI_LOADED_IMAGE_PROTOCOL *LoadedImage, EFI_FILE_PROTOCOL *Root);
