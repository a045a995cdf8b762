// What a person at a real machine can ask for around the report: a wait for
// a key before the application returns, and a copy of the report in a file
// on the image's own volume. Options are words quillmere.NAME or
// quillmere.NAME=VALUE among the load options and in the options file.
#pragma once

#include "Application.h"

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

struct APP_OPTIONS {
  BOOLEAN Wait;
  UINT32 WaitSeconds;  // 0: until a key arrives
  CHAR16 ReportPath[REPORT_PATH_CHARACTERS];  // empty: no report file
};

// Applies the option words of the Size bytes at Text, UCS-2 when Wide and
// 8-bit otherwise, to Options; the text ends at its first zero character or
// after Size bytes, whichever comes first, and is read at any alignment.
// Other words are passed over; a quillmere. word that is not an option or
// has a bad value gets one console line and changes nothing.
VOID ReadOptionWords(APP_OPTIONS *Options, CONST VOID *Text, UINTN Size, BOOLEAN Wide);

// The options file from Root, when there is a volume and the file, then the
// image's load options.
VOID ReadOptions(APP_OPTIONS *Options, CONST EFI_LOADED_IMAGE_PROTOCOL *LoadedImage, EFI_FILE_PROTOCOL *Root);

// The root folder of the volume on DeviceHandle, or null (with *Status
// saying why) when it has no file system. CloseVolumeRoot undoes it; a null
// Root closes nothing.
EFI_FILE_PROTOCOL *OpenVolumeRoot(EFI_HANDLE DeviceHandle, EFI_STATUS *Status);
VOID CloseVolumeRoot(EFI_HANDLE DeviceHandle, EFI_FILE_PROTOCOL *Root);

// The report file. OpenReportFile replaces Path under Root with an empty
// file, which from then on receives, encoded as UTF-8, every text the
// console takes (WriteReportText, called by ConsolePrintList). A null Root
// records VolumeStatus as the failure. CloseReportFile ends the copy,
// flushes and closes the file, or deletes it when any step failed so that no
// partial report is left, and prints one line naming the failed step.
// Returns EFI_SUCCESS, or the failed step's status; EFI_SUCCESS too when no
// report file was asked for.
VOID OpenReportFile(EFI_FILE_PROTOCOL *Root, EFI_STATUS VolumeStatus, CHAR16 *Path);
VOID WriteReportText(CONST CHAR16 *Text, UINTN Count);
EFI_STATUS CloseReportFile();

// Prints the prompt and waits for a key on the console input that arrives
// after it, or Seconds seconds when Seconds is not 0, counting down on the
// prompt's line. The firmware's watchdog is off while it waits.
VOID WaitForKey(UINT32 Seconds);
