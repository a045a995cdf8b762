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
  // A character takes at most four UTF-8 bytes (a surrogate pair); a report
  // line is mostly ASCII and fits one chunk.
  UINT8 Chunk[192];
  UINTN Used = 0;
  for (UINTN Index = 0; Index <= Count; Index++) {
    if (Index == Count || Used > sizeof Chunk - 4) {
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
    // A high surrogate (D800-DBFF) followed by a low one (DC00-DFFF) is one
    // character beyond U+FFFF. A half without its partner stands for no
    // character, and UTF-8 has no form for it: it becomes U+FFFD, so that
    // the file stays valid UTF-8.
    if ((Character & 0xF800) == 0xD800) {
      UINT32 Next = Index + 1 < Count ? Text[Index + 1] : 0;
      if (Character < 0xDC00 && (Next & 0xFC00) == 0xDC00) {
        Character = 0x10000 + ((Character - 0xD800) << 10) + (Next - 0xDC00);
        Index++;
      } else {
        Character = 0xFFFD;
      }
    }
    if (Character < 0x80) {
      Chunk[Used++] = (UINT8)Character;
      continue;
    }
    // Six bits a byte after the first, the lowest last; the first byte has
    // as many top bits set as the sequence has bytes (0xFF00 >> Length, cut
    // to 8 bits: C0, E0, F0).
    UINTN Length = Character < 0x800 ? 2 : Character < 0x10000 ? 3 : 4;
    for (UINTN Byte = Length - 1; Byte > 0; Byte--) {
      Chunk[Used + Byte] = (UINT8)(0x80 | (Character & 0x3F));
      Character >>= 6;
    }
    Chunk[Used] = (UINT8)((0xFF00 >> Length) | Character);
    Used += Length;
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
