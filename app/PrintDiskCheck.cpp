#include "Console.h"
#include "DiskCheck.h"

namespace {

// Room for the longest reason or field value: a read of the last LBA there
// can be that failed with the longest status name is 57 characters.
#define DISK_TEXT_CHARACTERS 96

// The texts of the reasons, by CheckReason. Each takes the two values of the
// check, as many as it uses, in order; each is checked against that many
// while compiling.
#define TEXT0(Literal) CheckedFormat8<>(Literal).Text
#define TEXT1(Literal) CheckedFormat8<UINT64>(Literal).Text
#define TEXT2(Literal) CheckedFormat8<UINT64, UINT64>(Literal).Text

CONST CHAR8 *CONST ReasonFormats[DiskReasonCount] = {
    TEXT0(""),
    TEXT1("node of %lu bytes, too short for its fields"),
    TEXT1("no Block I/O for the disk (%r)"),
    TEXT1("Block I/O of the disk not opened (%r)"),
    TEXT0("no medium"),
    TEXT1("unusable I/O alignment %lu"),
    TEXT1("no pool memory (%r)"),
    TEXT1("unusable block size %lu"),
    TEXT2("read at LBA 0x%lx passes the last block 0x%lx"),
    TEXT2("read of LBA 0x%lx failed (%r)"),
    TEXT1("CalculateCrc32 failed (%r)"),
    TEXT0("no MBR at LBA 0"),
    TEXT0("no GPT header at LBA 1"),
    TEXT1("GPT header size %lu"),
    TEXT1("GPT header at LBA 1 names LBA 0x%lx"),
    TEXT2("GPT header CRC32 0x%08lx, computed 0x%08lx"),
    TEXT1("GPT entry size %lu"),
    TEXT1("GPT entry array of %lu bytes, too large"),
    TEXT2("GPT entry array CRC32 0x%08lx, computed 0x%08lx"),
    TEXT2("no GPT entry %lu of %lu"),
    TEXT1("GPT entry %lu unused"),
    TEXT1("GPT entry %lu ends before it starts"),
    TEXT1("no MBR entry %lu"),
    TEXT1("no extended boot record at LBA 0x%lx"),
    TEXT1("MBR chain loops at LBA 0x%lx"),
    TEXT1("MBR chain of more than %lu records"),
    TEXT0("no El Torito boot record"),
    TEXT1("bad El Torito catalog at sector 0x%lx"),
    TEXT1("El Torito catalog not ended within %lu entries"),
    TEXT1("no El Torito entry at RBA 0x%lx"),
};

CONST CHAR8 *CONST TableNames[] = {"", "GPT", "MBR", "El Torito"};

// The value of each field, by its bit's position, as the partition block
// writes it.
CONST CHAR8 *CONST FieldFormats[] = {
    TEXT1("PartitionStart 0x%lx"), TEXT1("PartitionSize 0x%lx"),
    CheckedFormat8<EFI_GUID *>("PartitionSig %g").Text, TEXT1("PartitionFormat %u"),
    TEXT1("SignatureType %u"), TEXT1("BootEntry %u"),
};

VOID RenderText(CHAR16 *Text, CONST CHAR8 *Format, UINT64 First, UINT64 Second) {
  UINT64 Slots[2] = {First, Second};
  RenderFormat(Text, DISK_TEXT_CHARACTERS, FORMAT_OUTPUT_WIDE, Format, ArgumentList{Slots, 2});
}

}  // namespace

VOID PrintDiskCheck(CONST NodeCheck *Check) {
  CHAR16 Text[DISK_TEXT_CHARACTERS];
  if (Check->Reason != DiskChecked) {
    RenderText(Text, ReasonFormats[Check->Reason], Check->Values[0], Check->Values[1]);
    ConsolePrint(u"    DiskCheck:not checked: %s \n", Text);
    return;
  }
  CONST CHAR8 *Table = TableNames[Check->Table];
  if (Check->Differs == 0) {
    ConsolePrint(u"    DiskCheck:%a entry %u matches \n", Table, Check->Entry);
    return;
  }
  CONST UINT64 Values[] = {Check->PartitionStart,  Check->PartitionSize, (UINT64)(UINTN)&Check->Signature,
                           Check->PartitionFormat, Check->SignatureType, Check->BootEntry};
  for (UINTN Field = 0; Field < sizeof Values / sizeof Values[0]; Field++) {
    if ((Check->Differs >> Field & 1) != 0) {
      RenderText(Text, FieldFormats[Field], Values[Field], 0);
      ConsolePrint(u"    DiskCheck:%a entry %u differs: %s \n", Table, Check->Entry, Text);
    }
  }
}
