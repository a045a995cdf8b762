// The report file: a copy of everything the console shows from its opening to
// its closing, encoded as UTF-8, in a file on the image's own volume.
#pragma once

#include "Uefi.h"

// OpenReportFile replaces Path under Root with an empty file and hooks
// WriteReportText into the console (SetConsoleCopy), so that from then on
// the file receives every text the console takes. A null Root records
// VolumeStatus as the failure. CloseReportFile ends the copy, flushes and
// closes the file, or deletes it when any step failed so that no partial
// report is left, and prints one line naming the failed step. Returns
// EFI_SUCCESS, or the failed step's status; EFI_SUCCESS too when no report
// file was asked for.
VOID OpenReportFile(EFI_FILE_PROTOCOL *Root, EFI_STATUS VolumeStatus, CHAR16 *Path);
VOID WriteReportText(CONST CHAR16 *Text, UINTN Count);
EFI_STATUS CloseReportFile();
