#include "ReportFile.h"

#include "Console.h"

namespace {

// The report file of this run. File is set only while the report goes to
// it; Path is set from the moment a report file was asked for.
struct ReportFile {
  CHAR16 *Path;
  EFI_FILE_PROTOCOL *File;
  EFI_STATUS Status;
  CONST CHAR16 *Step;  // what Status failed at
};

ReportFile AppReportFile;

#define REPORT_MODE (EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE | EFI_FILE_MODE_CREATE)

VOID FailReportStep(EFI_STATUS Status, CONST CHAR16 *Step) {
  AppReportFile.Status = Status;
  AppReportFile.Step = Step;
}

}  // namespace

VOID OpenReportFile(EFI_FILE_PROTOCOL *Root, EFI_STATUS VolumeStatus, CHAR16 *Path) {
  AppReportFile.Path = Path;
  AppReportFile.File = nullptr;
  AppReportFile.Status = EFI_SUCCESS;
  if (Root == nullptr) {
    FailReportStep(VolumeStatus, u"volume");
    return;
  }
  // Opening with "create" keeps the content of a file that is there, and
  // not every firmware can cut a file short: a file that is there is
  // deleted and made anew, so that nothing of an older, longer report stays.
  EFI_FILE_PROTOCOL *File = nullptr;
  EFI_STATUS Status = Root->Open(Root, &File, Path, REPORT_MODE, 0);
  if (EFI_ERROR(Status) || File == nullptr) {
    FailReportStep(EFI_ERROR(Status) ? Status : EFI_NOT_FOUND, u"create");
    return;
  }
  Status = File->Delete(File);
  if (Status != EFI_SUCCESS) {
    // A warning too: the handle is closed, but the old file is still there.
    FailReportStep(EFI_ERROR(Status) ? Status : EFI_ACCESS_DENIED, u"replace");
    return;
  }
  File = nullptr;
  Status = Root->Open(Root, &File, Path, REPORT_MODE, 0);
  if (EFI_ERROR(Status) || File == nullptr) {
    FailReportStep(EFI_ERROR(Status) ? Status : EFI_NOT_FOUND, u"create");
    return;
  }
  AppReportFile.File = File;
  SetConsoleCopy(WriteReportText);
}

VOID WriteReportText(CONST CHAR16 *Text, UINTN Count) {
  EFI_FILE_PROTOCOL *File = AppReportFile.File;
  if (File == nullptr || EFI_ERROR(AppReportFile.Status)) {
    return;
  }
  // Each console character is one UCS-2 unit, so it takes at most three
  // UTF-8 bytes; a report line is mostly ASCII and fits one chunk.
  UINT8 Chunk[192];
  UINTN Used = 0;
  for (UINTN Index = 0; Index <= Count; Index++) {
    if (Index == Count || Used > sizeof Chunk - 3) {
      UINTN Size = Used;
      EFI_STATUS Status = File->Write(File, &Size, Chunk);
      if (EFI_ERROR(Status) || Size != Used) {
        // A write that took less than it was given without an error has
        // still left the file short.
        FailReportStep(EFI_ERROR(Status) ? Status : EFI_VOLUME_FULL, u"write");
        return;
      }
      Used = 0;
      if (Index == Count) {
        return;
      }
    }
    UINT32 Character = Text[Index];
    if (Character < 0x80) {
      Chunk[Used++] = (UINT8)Character;
    } else if (Character < 0x800) {
      Chunk[Used++] = (UINT8)(0xC0 | (Character >> 6));
      Chunk[Used++] = (UINT8)(0x80 | (Character & 0x3F));
    } else {
      Chunk[Used++] = (UINT8)(0xE0 | (Character >> 12));
      Chunk[Used++] = (UINT8)(0x80 | ((Character >> 6) & 0x3F));
      Chunk[Used++] = (UINT8)(0x80 | (Character & 0x3F));
    }
  }
}

EFI_STATUS CloseReportFile() {
  if (AppReportFile.Path == nullptr) {
    return EFI_SUCCESS;
  }
  EFI_FILE_PROTOCOL *File = AppReportFile.File;
  // The line below, and anything after it, is not part of the report.
  SetConsoleCopy(nullptr);
  AppReportFile.File = nullptr;
  if (File != nullptr) {
    if (!EFI_ERROR(AppReportFile.Status)) {
      EFI_STATUS Status = File->Flush(File);
      if (EFI_ERROR(Status)) {
        FailReportStep(Status, u"flush");
      }
    }
    if (EFI_ERROR(AppReportFile.Status)) {
      // A report cut short is not left to look like a whole one.
      File->Delete(File);
    } else {
      EFI_STATUS Status = File->Close(File);
      if (EFI_ERROR(Status)) {
        FailReportStep(Status, u"close");
      }
    }
  }
  EFI_STATUS Status = AppReportFile.Status;
  if (EFI_ERROR(Status)) {
    ConsolePrint(u"quillmere.report=%s: %s failed (%r)\n", AppReportFile.Path, AppReportFile.Step, Status);
  }
  AppReportFile.Path = nullptr;
  return Status;
}
