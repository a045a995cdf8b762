#include <gtest/gtest.h>

#include <functional>

#include "CaseName.h"
#include "FakeFirmware.h"
#include "Options.h"
#include "PageEnd.h"
#include "ReportFile.h"
#include "VolumeRoot.h"

namespace {

using Bytes = std::vector<UINT8>;
using Lines = std::vector<std::u16string>;

// UCS-2 little-endian bytes of Text, with its terminator when Terminated.
Bytes Ucs2(const std::u16string &Text, bool Terminated = true) {
  Bytes Result;
  for (char16_t Character : Text) {
    Result.push_back((UINT8)Character);
    Result.push_back((UINT8)(Character >> 8));
  }
  if (Terminated) {
    Result.insert(Result.end(), {0, 0});
  }
  return Result;
}

Bytes Narrow(const std::string &Text) { return Bytes(Text.begin(), Text.end()); }

Bytes Cat(Bytes Left, const Bytes &Right) {
  Left.insert(Left.end(), Right.begin(), Right.end());
  return Left;
}

// ---------------------------------------------------------------------------
// Option words: what a text of load options or of the options file sets, and
// the console lines it draws. The bytes lie at the very end of a readable
// page, so reading one byte past what the caller handed over faults.

struct WordCase {
  std::string Name;
  Bytes Text;
  bool Wide;
  BOOLEAN Wait;
  UINT32 WaitSeconds;
  std::u16string ReportPath;
  Lines Shown;
  size_t Size = (size_t)-1;  // the size handed over; the bytes' own size when -1
  size_t Skip = 0;  // bytes of the copy in front of the text handed over
  BOOLEAN Verify = FALSE;
};

void PrintTo(const WordCase &Case, std::ostream *Stream) { *Stream << Case.Name; }

const std::u16string Path127(127, u'p');

std::vector<WordCase> WordCases() {
  return {
      // Words that are not quillmere's pass without a sound.
      {"Nothing", {}, true, FALSE, 0, u"", {}},
      {"UBootDefaultBootargs", Ucs2(u"root=/dev/sdb3 init=/sbin/init rootwait ro"), true, FALSE, 0, u"", {}},
      {"ShellCommandLineNamesTheImageFirst", Ucs2(u"fs0:\\EFI\\quillmerex64.efi quillmere.wait=5"), true, TRUE, 5,
       u"", {}},
      {"PrefixIsCaseSensitive", Ucs2(u"Quillmere.wait QUILLMERE.wait"), true, FALSE, 0, u"", {}},
      {"PrefixInsideAWord", Ucs2(u"xquillmere.wait"), true, FALSE, 0, u"", {}},
      // The options.
      {"WaitAlone", Ucs2(u"quillmere.wait"), true, TRUE, 0, u"", {}},
      {"WaitSeconds", Ucs2(u"quillmere.wait=2"), true, TRUE, 2, u"", {}},
      {"WaitADay", Ucs2(u"quillmere.wait=86400"), true, TRUE, 86400, u"", {}},
      {"WaitZeroTakesBackAWait", Ucs2(u"quillmere.wait quillmere.wait=0"), true, FALSE, 0, u"", {}},
      {"LastWordWins", Ucs2(u"quillmere.wait=3 quillmere.wait=5"), true, TRUE, 5, u"", {}},
      {"Report", Ucs2(u"quillmere.report=\\quillmere-report.txt"), true, FALSE, 0, u"\\quillmere-report.txt", {}},
      {"ReportSlashesBecomeBackslashes", Ucs2(u"quillmere.report=/logs/a/r.txt"), true, FALSE, 0, u"\\logs\\a\\r.txt",
       {}},
      {"ReportEmptyTakesBackAReport", Ucs2(u"quillmere.report=\\a.txt quillmere.report="), true, FALSE, 0, u"", {}},
      {"ReportPathOf127", Ucs2(u"quillmere.report=" + Path127), true, FALSE, 0, Path127, {}},
      {"ReportPathNotAscii", Ucs2(u"quillmere.report=\\\u00E9t\u00E9\u20AC.txt"), true, FALSE, 0,
       u"\\\u00E9t\u00E9\u20AC.txt", {}},
      {"BothAmongOtherWords", Ucs2(u"ro quillmere.wait=7  console=ttyS0\tquillmere.report=\\r.txt quiet"), true, TRUE,
       7, u"\\r.txt", {}},
      {"Verify", Ucs2(u"quillmere.verify"), true, FALSE, 0, u"", {}, (size_t)-1, 0, TRUE},
      {"VerifyOne", Ucs2(u"quillmere.verify=1"), true, FALSE, 0, u"", {}, (size_t)-1, 0, TRUE},
      {"VerifyZeroTakesBackACheck", Ucs2(u"quillmere.verify quillmere.verify=0"), true, FALSE, 0, u"", {}},
      {"VerifyAmongTheOthers", Ucs2(u"quillmere.wait=1 quillmere.verify quillmere.report=/v.txt"), true, TRUE, 1,
       u"\\v.txt", {}, (size_t)-1, 0, TRUE},
      // Bad words: one line each, nothing changes.
      {"UnknownName", Ucs2(u"quillmere.colour=red quillmere.wait"), true, TRUE, 0, u"",
       {u"quillmere.colour=red: not an option, ignored\r\n"}},
      {"PrefixAlone", Ucs2(u"quillmere."), true, FALSE, 0, u"", {u"quillmere.: not an option, ignored\r\n"}},
      {"NameLongerThanAnOption", Ucs2(u"quillmere.waiting quillmere.reporter=x"), true, FALSE, 0, u"",
       {u"quillmere.waiting: not an option, ignored\r\n", u"quillmere.reporter=x: not an option, ignored\r\n"}},
      {"WaitEmptyValue", Ucs2(u"quillmere.wait="), true, FALSE, 0, u"", {u"quillmere.wait=: bad value, ignored\r\n"}},
      {"WaitNegative", Ucs2(u"quillmere.wait=-1"), true, FALSE, 0, u"", {u"quillmere.wait=-1: bad value, ignored\r\n"}},
      {"WaitWithUnit", Ucs2(u"quillmere.wait=2s"), true, FALSE, 0, u"", {u"quillmere.wait=2s: bad value, ignored\r\n"}},
      {"WaitPastADay", Ucs2(u"quillmere.wait=86401"), true, FALSE, 0, u"",
       {u"quillmere.wait=86401: bad value, ignored\r\n"}},
      // 2^32 + 2 would read as 2 if the digits wrapped around.
      {"WaitWrapsAround", Ucs2(u"quillmere.wait=4294967298"), true, FALSE, 0, u"",
       {u"quillmere.wait=4294967298: bad value, ignored\r\n"}},
      {"BadValueKeepsTheEarlierOne", Ucs2(u"quillmere.wait=4 quillmere.wait=x"), true, TRUE, 4, u"",
       {u"quillmere.wait=x: bad value, ignored\r\n"}},
      {"ReportWithoutValue", Ucs2(u"quillmere.report"), true, FALSE, 0, u"",
       {u"quillmere.report: bad value, ignored\r\n"}},
      {"ReportPathOf128", Ucs2(u"quillmere.report=" + Path127 + u"q"), true, FALSE, 0, u"",
       {u"quillmere.report=" + Path127 + u": bad value, ignored\r\n"}},
      {"VerifyOtherValue", Ucs2(u"quillmere.verify quillmere.verify=10"), true, FALSE, 0, u"",
       {u"quillmere.verify=10: bad value, ignored\r\n"}, (size_t)-1, 0, TRUE},
      {"VerifyEmptyValue", Ucs2(u"quillmere.verify="), true, FALSE, 0, u"",
       {u"quillmere.verify=: bad value, ignored\r\n"}},
      {"VerifyLongerName", Ucs2(u"quillmere.verifying"), true, FALSE, 0, u"",
       {u"quillmere.verifying: not an option, ignored\r\n"}},
      // Size, terminator and alignment are the caller's.
      {"TextAfterTheTerminatorIsNotRead", Ucs2(std::u16string(u"quillmere.wait\0 quillmere.report=\\x", 35)), true, TRUE, 0, u"",
       {}},
      {"NoTerminator", Ucs2(u"quillmere.wait=12", false), true, TRUE, 12, u"", {}},
      {"OddSizeDropsTheHalfCharacter", Ucs2(u"quillmere.wait=12", false), true, TRUE, 1, u"", {},
       2 * 17 - 1},
      {"SizeOfOneByte", Ucs2(u"q", false), true, FALSE, 0, u"", {}, 1},
      {"SizeFarPastTheTerminator", Ucs2(u"quillmere.wait=9"), true, TRUE, 9, u"", {}, (size_t)1 << 20},
      {"OddAddress", Cat({0xEE}, Ucs2(u"quillmere.wait=6", false)), true, TRUE, 6, u"", {}, (size_t)-1, 1},
      // The options file: 8-bit text, lines as an editor writes them.
      {"FileLines", Narrow("# quillmere\r\nquillmere.wait=3\nquillmere.report=/r.txt\n"), false, TRUE, 3, u"\\r.txt",
       {}},
      {"FileWithoutLineEnd", Narrow("quillmere.wait=8"), false, TRUE, 8, u"", {}},
      {"FileStopsAtAZeroByte", Narrow(std::string("quillmere.wait\0quillmere.report=x", 33)), false, TRUE, 0, u"",
       {}},
      {"FileBadWord", Narrow("quillmere.wait=soon\n"), false, FALSE, 0, u"",
       {u"quillmere.wait=soon: bad value, ignored\r\n"}},
  };
}

class OptionWords : public testing::TestWithParam<WordCase> {};

TEST_P(OptionWords, SetOnlyWhatTheyName) {
  const WordCase &Case = GetParam();
  FakeFirmware Firmware;
  Firmware.InstallGlobals();
  // An empty text still gets a page end: its address is one past a page.
  PageEndCopy Copy(Case.Text.empty() ? (const void *)"" : Case.Text.data(), Case.Text.size());
  RunOptions Options;
  SetDefaultOptions(&Options);
  size_t Size = Case.Size == (size_t)-1 ? Case.Text.size() - Case.Skip : Case.Size;
  ReadOptionWords(&Options, (const UINT8 *)Copy.Start + Case.Skip, Size, Case.Wide);

  EXPECT_EQ(Options.Wait, Case.Wait);
  if (Case.Wait) {
    EXPECT_EQ(Options.WaitSeconds, Case.WaitSeconds);
  }
  EXPECT_EQ(std::u16string(Options.ReportPath), Case.ReportPath);
  EXPECT_EQ(Options.Verify, Case.Verify);
  EXPECT_EQ(Firmware.Shown, Case.Shown);
  ExpectFirmwareLeftClean(Firmware);
}

INSTANTIATE_TEST_SUITE_P(Options, OptionWords, testing::ValuesIn(WordCases()), CaseName());

TEST(Options, NullLoadOptionsReadNothing) {
  FakeFirmware Firmware;
  Firmware.InstallGlobals();
  RunOptions Options;
  SetDefaultOptions(&Options);
  ReadOptionWords(&Options, nullptr, 64, TRUE);
  EXPECT_EQ(Options.Wait, FALSE);
  EXPECT_EQ(Options.ReportPath[0], 0);
  EXPECT_TRUE(Firmware.Shown.empty());
}

// ---------------------------------------------------------------------------
// Runs: the whole application on a path of the end node alone, with the
// options asking for a report file or a wait, and the firmware failing on
// request.

const std::u16string OptionsFile = u"\\EFI\\BOOT\\quillmere-options.txt";
// Two- and three-byte UTF-8 characters in the text form.
const std::u16string RunPathText = u"PciRoot(0x0)/\u00DCn\u00EF/\u20AC";

Lines RunReport() {
  return {u"Print Nodes:\r\n", u"type:127,subType:255,length:4\r\n", RunPathText + u"\r\n"};
}
// The same report as the bytes of its UTF-8 file.
const std::string RunReportFile =
    "Print Nodes:\r\ntype:127,subType:255,length:4\r\nPciRoot(0x0)/\xC3\x9Cn\xC3\xAF/\xE2\x82\xAC\r\n";

const std::u16string Prompt = u"\rPress a key to return to the firmware";

struct RunCase {
  std::string Name;
  std::u16string LoadOptions;
  std::function<void(FakeFirmware &)> Inject;
  EFI_STATUS Status;
  Lines Before;  // lines in front of the report
  Lines After;  // lines behind it
  std::map<std::u16string, std::string> Files;  // the volume's files afterwards
  std::vector<UINTN> Watchdog;
};

void PrintTo(const RunCase &Case, std::ostream *Stream) { *Stream << Case.Name; }

void WithVolume(FakeFirmware &F) { F.HasFileSystem = true; }

std::function<void(FakeFirmware &)> VolumeAnd(std::function<void(FakeFirmware &)> More) {
  return [More](FakeFirmware &F) {
    F.HasFileSystem = true;
    More(F);
  };
}

const std::u16string ReportR = u"quillmere.report=\\r.txt";

Lines ReportFailed(const std::u16string &Step, const std::u16string &Status) {
  return {u"quillmere.report=\\r.txt: " + Step + u" failed (" + Status + u")\r\n"};
}

std::vector<RunCase> RunCases() {
  const std::vector<UINTN> Rearmed = {0, 300};
  return {
      // Reading the options file's absence is all a run without options does.
      {"NoOptionsNoVolume", u"", [](FakeFirmware &) {}, EFI_SUCCESS, {}, {}, {}, {}},
      {"NoOptionsOnAVolume", u"", WithVolume, EFI_SUCCESS, {}, {}, {}, {}},
      {"UnrelatedLoadOptions", u"root=/dev/sdb3 init=/sbin/init rootwait ro", WithVolume, EFI_SUCCESS, {}, {}, {}, {}},
      {"BadWordLineComesBeforeTheReport", u"quillmere.colour", WithVolume, EFI_SUCCESS,
       {u"quillmere.colour: not an option, ignored\r\n"}, {}, {}, {}},
      // The report file.
      {"ReportFile", ReportR, WithVolume, EFI_SUCCESS, {}, {}, {{u"\\r.txt", RunReportFile}}, {}},
      {"ReportFileReplacesALongerOne", ReportR,
       VolumeAnd([](FakeFirmware &F) { F.Files[u"\\r.txt"] = std::string(5000, 'x'); }), EFI_SUCCESS, {}, {},
       {{u"\\r.txt", RunReportFile}}, {}},
      {"ReportFileInAFolder", u"quillmere.report=/EFI/r.txt", WithVolume, EFI_SUCCESS, {}, {},
       {{u"\\EFI\\r.txt", RunReportFile}}, {}},
      // 300 three-byte characters take five writes of at most 192 bytes.
      {"LongReportInChunks", ReportR,
       VolumeAnd([](FakeFirmware &F) { F.PathText = std::u16string(300, u'\u20AC'); }), EFI_SUCCESS, {}, {},
       {{u"\\r.txt", "Print Nodes:\r\ntype:127,subType:255,length:4\r\n" +
                         [] {
                           std::string Text;
                           for (int Index = 0; Index < 300; Index++) Text += "\xE2\x82\xAC";
                           return Text;
                         }() +
                         "\r\n"}},
       {}},
      // The file holds what the console took, and the console the whole report.
      {"FileHasWhatTheConsoleTook", ReportR, VolumeAnd([](FakeFirmware &F) { F.FailOutputCall = 2; }), EFI_SUCCESS,
       {}, {}, {{u"\\r.txt", "Print Nodes:\r\nPciRoot(0x0)/\xC3\x9Cn\xC3\xAF/\xE2\x82\xAC\r\n"}}, {}},
      {"OptionsFile", u"", VolumeAnd([](FakeFirmware &F) { F.Files[u"\\EFI\\BOOT\\quillmere-options.txt"] = "quillmere.report=\\r.txt\n"; }),
       EFI_SUCCESS, {}, {}, {{u"\\EFI\\BOOT\\quillmere-options.txt", "quillmere.report=\\r.txt\n"}, {u"\\r.txt", RunReportFile}}, {}},
      {"LoadOptionsWinOverTheFile", u"quillmere.report=\\l.txt quillmere.wait=0",
       VolumeAnd([](FakeFirmware &F) { F.Files[u"\\EFI\\BOOT\\quillmere-options.txt"] = "quillmere.report=\\f.txt quillmere.wait=3"; }),
       EFI_SUCCESS, {}, {},
       {{u"\\EFI\\BOOT\\quillmere-options.txt", "quillmere.report=\\f.txt quillmere.wait=3"}, {u"\\l.txt", RunReportFile}},
       {}},
      {"OptionsFileTooLong", u"",
       VolumeAnd([](FakeFirmware &F) { F.Files[u"\\EFI\\BOOT\\quillmere-options.txt"] = std::string(513, ' ') + "quillmere.wait"; }),
       EFI_SUCCESS, {u"\\EFI\\BOOT\\quillmere-options.txt: not read (Buffer Too Small), ignored\r\n"}, {},
       {{u"\\EFI\\BOOT\\quillmere-options.txt", std::string(513, ' ') + "quillmere.wait"}}, {}},
      {"OptionsFileOf512Bytes", u"",
       VolumeAnd([](FakeFirmware &F) { F.Files[u"\\EFI\\BOOT\\quillmere-options.txt"] = std::string(493, ' ') + "quillmere.wait=000x"; }),
       EFI_SUCCESS, {u"quillmere.wait=000x: bad value, ignored\r\n"}, {},
       {{u"\\EFI\\BOOT\\quillmere-options.txt", std::string(493, ' ') + "quillmere.wait=000x"}}, {}},
      // A stick with its write-protect switch on: the options file is only
      // read, so it still counts; the report file it asks for cannot be made.
      {"OptionsFileOnAReadOnlyVolume", u"",
       VolumeAnd([](FakeFirmware &F) {
         F.Files[u"\\EFI\\BOOT\\quillmere-options.txt"] = "quillmere.report=\\r.txt\n";
         F.ReadOnlyVolume = true;
       }),
       EFI_WRITE_PROTECTED, {}, ReportFailed(u"create", u"Write Protected"),
       {{u"\\EFI\\BOOT\\quillmere-options.txt", "quillmere.report=\\r.txt\n"}}, {}},
      {"OptionsFileReadFails", ReportR,
       VolumeAnd([](FakeFirmware &F) {
         F.Files[u"\\EFI\\BOOT\\quillmere-options.txt"] = "quillmere.wait";
         F.FailRead = true;
       }),
       EFI_SUCCESS, {u"\\EFI\\BOOT\\quillmere-options.txt: not read (Device Error), ignored\r\n"}, {},
       {{u"\\EFI\\BOOT\\quillmere-options.txt", "quillmere.wait"}, {u"\\r.txt", RunReportFile}}, {}},
      // Each way the file cannot be written: the report on the console as
      // ever, one line, the failure's status, and no file that looks whole.
      {"NoFileSystem", ReportR, [](FakeFirmware &) {}, EFI_UNSUPPORTED, {}, ReportFailed(u"volume", u"Unsupported"),
       {}, {}},
      {"FileSystemGivesNull", ReportR, VolumeAnd([](FakeFirmware &F) { F.FileSystemIsNull = true; }),
       EFI_UNSUPPORTED, {}, ReportFailed(u"volume", u"Unsupported"), {}, {}},
      {"OpenVolumeFails", ReportR, VolumeAnd([](FakeFirmware &F) { F.FailOpenVolume = true; }), EFI_DEVICE_ERROR,
       {}, ReportFailed(u"volume", u"Device Error"), {}, {}},
      {"ReadOnlyVolume", ReportR, VolumeAnd([](FakeFirmware &F) { F.ReadOnlyVolume = true; }), EFI_WRITE_PROTECTED,
       {}, ReportFailed(u"create", u"Write Protected"), {}, {}},
      {"FolderMissing", u"quillmere.report=\\logs\\r.txt", WithVolume, EFI_NOT_FOUND, {},
       {u"quillmere.report=\\logs\\r.txt: create failed (Not Found)\r\n"}, {}, {}},
      // Open 1 looks for the options file.
      {"CreateFails", ReportR, VolumeAnd([](FakeFirmware &F) { F.FailFileOpenCall = 2; }), EFI_DEVICE_ERROR, {},
       ReportFailed(u"create", u"Device Error"), {}, {}},
      {"CreateAfterDeleteFails", ReportR,
       VolumeAnd([](FakeFirmware &F) {
         F.Files[u"\\r.txt"] = "old";
         F.FailFileOpenCall = 3;
       }),
       EFI_DEVICE_ERROR, {}, ReportFailed(u"create", u"Device Error"), {}, {}},
      {"DeleteWarns", ReportR,
       VolumeAnd([](FakeFirmware &F) {
         F.Files[u"\\r.txt"] = "old";
         F.DeleteWarns = true;
       }),
       EFI_ACCESS_DENIED, {}, ReportFailed(u"replace", u"Access Denied"), {{u"\\r.txt", "old"}}, {}},
      {"FirstWriteFails", ReportR, VolumeAnd([](FakeFirmware &F) { F.FailWriteCall = 1; }), EFI_DEVICE_ERROR, {},
       ReportFailed(u"write", u"Device Error"), {}, {}},
      {"LastWriteFails", ReportR, VolumeAnd([](FakeFirmware &F) { F.FailWriteCall = 3; }), EFI_DEVICE_ERROR, {},
       ReportFailed(u"write", u"Device Error"), {}, {}},
      {"VolumeFull", ReportR, VolumeAnd([](FakeFirmware &F) { F.VolumeFree = 40; }), EFI_VOLUME_FULL, {},
       ReportFailed(u"write", u"Volume Full"), {}, {}},
      {"ShortWriteWithoutError", ReportR, VolumeAnd([](FakeFirmware &F) { F.ShortWrite = true; }), EFI_VOLUME_FULL,
       {}, ReportFailed(u"write", u"Volume Full"), {}, {}},
      {"FlushFails", ReportR, VolumeAnd([](FakeFirmware &F) { F.FailFlush = true; }), EFI_DEVICE_ERROR, {},
       ReportFailed(u"flush", u"Device Error"), {}, {}},
      // Flushed before the close, so the file is whole.
      {"CloseFails", ReportR, VolumeAnd([](FakeFirmware &F) { F.FailFileClose = true; }), EFI_DEVICE_ERROR, {},
       ReportFailed(u"close", u"Device Error"), {{u"\\r.txt", RunReportFile}}, {}},
      // The wait.
      {"WaitForAKey", u"quillmere.wait", [](FakeFirmware &F) { F.KeyAtWait = 3; }, EFI_SUCCESS, {}, {Prompt, u"\r\n"},
       {}, Rearmed},
      {"KeysTypedAheadDoNotCount", u"quillmere.wait",
       [](FakeFirmware &F) {
         F.KeysTypedAhead = 2;
         F.KeyAtWait = 2;
       },
       EFI_SUCCESS, {}, {Prompt, u"\r\n"}, {}, Rearmed},
      {"KeySignalWithoutAKey", u"quillmere.wait",
       [](FakeFirmware &F) {
         F.EmptyKeySignals = 1;
         F.KeyAtWait = 2;
       },
       EFI_SUCCESS, {}, {Prompt, u"\r\n"}, {}, Rearmed},
      {"WaitSecondsCountsDown", u"quillmere.wait=3", [](FakeFirmware &) {}, EFI_SUCCESS, {},
       {Prompt, u" (3 s) ", Prompt, u" (2 s) ", Prompt, u" (1 s) ", u"\r\n"}, {}, Rearmed},
      {"WaitSecondsEndsOnAKey", u"quillmere.wait=5", [](FakeFirmware &F) { F.KeyAtWait = 2; }, EFI_SUCCESS, {},
       {Prompt, u" (5 s) ", Prompt, u" (4 s) ", u"\r\n"}, {}, Rearmed},
      {"ReportFileClosedBeforeTheWait", ReportR + u" quillmere.wait=1", WithVolume, EFI_SUCCESS, {},
       {Prompt, u" (1 s) ", u"\r\n"}, {{u"\\r.txt", RunReportFile}}, Rearmed},
      {"NoConsoleInput", u"quillmere.wait", [](FakeFirmware &F) { F.NoConsoleInput = true; }, EFI_SUCCESS, {},
       {u"quillmere.wait failed (Unsupported)\r\n"}, {}, {}},
      {"CreateEventFails", u"quillmere.wait=2", [](FakeFirmware &F) { F.FailCreateEvent = true; }, EFI_SUCCESS, {},
       {u"\r\n", u"quillmere.wait failed (Out of Resources)\r\n"}, {}, Rearmed},
      {"SetTimerFails", u"quillmere.wait=2", [](FakeFirmware &F) { F.FailSetTimer = true; }, EFI_SUCCESS, {},
       {u"\r\n", u"quillmere.wait failed (Invalid Parameter)\r\n"}, {}, Rearmed},
      {"WaitFails", u"quillmere.wait", [](FakeFirmware &F) { F.FailWaitCall = 1; }, EFI_SUCCESS, {},
       {Prompt, u"\r\n", u"quillmere.wait failed (Device Error)\r\n"}, {}, Rearmed},
      {"WatchdogRefusedStillWaits", u"quillmere.wait", [](FakeFirmware &F) {
         F.FailWatchdog = true;
         F.KeyAtWait = 1;
       },
       EFI_SUCCESS, {}, {Prompt, u"\r\n"}, {}, Rearmed},
  };
}

class Runs : public testing::TestWithParam<RunCase> {};

TEST_P(Runs, ReportAsEverWithWhatTheOptionsAsk) {
  const RunCase &Case = GetParam();
  FakeFirmware Firmware;
  Firmware.SetDevicePath({0x7F, 0xFF, 4, 0});
  Firmware.PathText = RunPathText;
  // The load options as a boot entry hands them over: no terminator.
  Bytes LoadOptions = Ucs2(Case.LoadOptions, false);
  PageEndCopy Copy(LoadOptions.empty() ? (const void *)"" : LoadOptions.data(), LoadOptions.size());
  if (!Case.LoadOptions.empty()) {
    Firmware.LoadedImage.LoadOptions = Copy.Start;
    Firmware.LoadedImage.LoadOptionsSize = (UINT32)LoadOptions.size();
  }
  Case.Inject(Firmware);
  std::u16string PathText = Firmware.PathText;
  EXPECT_EQ(Firmware.Run(), Case.Status);

  Lines Expected = Case.Before;
  Lines Report = RunReport();
  Report.back() = PathText + u"\r\n";
  if (Firmware.FailOutputCall != 0) {
    Report.erase(Report.begin() + (Firmware.FailOutputCall - 1 - (int)Case.Before.size()));
  }
  Expected.insert(Expected.end(), Report.begin(), Report.end());
  Expected.insert(Expected.end(), Case.After.begin(), Case.After.end());
  EXPECT_EQ(Firmware.Shown, Expected);
  EXPECT_EQ(Firmware.Files, Case.Files);
  EXPECT_EQ(Firmware.Watchdog, Case.Watchdog);
  ExpectFirmwareLeftClean(Firmware);
  // Each file is opened as its use needs: the options file for reading
  // alone, so that a write-protected medium still serves; the report file
  // for writing, made when it is not there.
  for (const std::string &Call : Firmware.FileCalls) {
    if (Call.rfind("open ", 0) == 0) {
      size_t Space = Call.rfind(' ');
      EXPECT_EQ(Call.substr(Space + 1), Call.substr(5, Space - 5) == "\\EFI\\BOOT\\quillmere-options.txt" ? "1" : "3c")
          << Call;
    }
  }
  // The report's own calls are those of a run without options.
  EXPECT_EQ(Firmware.Opens.size(), 2u);
  EXPECT_EQ(Firmware.ConvertCalls, 1);
}

INSTANTIATE_TEST_SUITE_P(Options, Runs, testing::ValuesIn(RunCases()), CaseName());

// ---------------------------------------------------------------------------
// The report file's text: what WriteReportText writes for one console text,
// at every length of UTF-8 and on both sides of each boundary. The text lies
// at the very end of a readable page, its last unit the last readable one.

struct Utf8Case {
  std::string Name;
  std::u16string Text;
  std::string Bytes;
};

void PrintTo(const Utf8Case &Case, std::ostream *Stream) { *Stream << Case.Name; }

// A surrogate half alone, which no escape in a literal can spell.
std::u16string Half(char16_t Unit) { return std::u16string(1, Unit); }

std::string Repeat(const std::string &Text, int Times) {
  std::string Result;
  for (int Index = 0; Index < Times; Index++) Result += Text;
  return Result;
}

std::u16string Repeat(const std::u16string &Text, int Times) {
  std::u16string Result;
  for (int Index = 0; Index < Times; Index++) Result += Text;
  return Result;
}

std::vector<Utf8Case> Utf8Cases() {
  return {
      {"OneByteLast", u"\u007F", "\x7F"},
      {"TwoBytesFirst", u"\u0080", "\xC2\x80"},
      {"TwoBytesLast", u"\u07FF", "\xDF\xBF"},
      {"ThreeBytesFirst", u"\u0800", "\xE0\xA0\x80"},
      {"ThreeBytesBelow1000", u"\u0FFF", "\xE0\xBF\xBF"},
      {"ThreeBytesFrom1000", u"\u1000\u1FFF", "\xE1\x80\x80\xE1\xBF\xBF"},
      {"Cjk", u"\u3000\u4E2D\u6587\u9FFF", "\xE3\x80\x80\xE4\xB8\xAD\xE6\x96\x87\xE9\xBF\xBF"},
      {"AroundTheSurrogates", u"\uD7FF\uE000", "\xED\x9F\xBF\xEE\x80\x80"},
      {"Replacement", u"\uFFFD", "\xEF\xBF\xBD"},
      {"LastUnit", u"\uFFFF", "\xEF\xBF\xBF"},
      // A pair is one character of four bytes.
      {"PairFirst", u"\U00010000", "\xF0\x90\x80\x80"},
      {"Pair", u"a\U0001F600b", "a\xF0\x9F\x98\x80" "b"},
      {"PairsBetween", u"\U00020000\U0003FFFF", "\xF0\xA0\x80\x80\xF0\xBF\xBF\xBF"},
      {"PairLast", u"\U0010FFFF", "\xF4\x8F\xBF\xBF"},
      // A half without its partner becomes U+FFFD.
      {"HighHalfLast", u"a" + Half(0xD800), "a\xEF\xBF\xBD"},
      {"HighHalfBeforeAnother", Half(0xDBFF) + u"b", "\xEF\xBF\xBD" "b"},
      {"LowHalfAlone", Half(0xDC00) + u"c" + Half(0xDFFF), "\xEF\xBF\xBD" "c\xEF\xBF\xBD"},
      {"HalvesTheWrongWayRound", Half(0xDC00) + Half(0xD800), "\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"TwoHighHalvesThenALow", Half(0xD800) + Half(0xD800) + Half(0xDC00), "\xEF\xBF\xBD\xF0\x90\x80\x80"},
      // One byte in front puts a four-byte character exactly where the
      // chunk has three bytes left.
      {"PairsAcrossChunks", u"a" + Repeat(u"\U0001F600", 150), "a" + Repeat("\xF0\x9F\x98\x80", 150)},
  };
}

class ReportFileText : public testing::TestWithParam<Utf8Case> {};

TEST_P(ReportFileText, IsUtf8) {
  const Utf8Case &Case = GetParam();
  FakeFirmware Firmware;
  Firmware.HasFileSystem = true;
  Firmware.InstallGlobals();
  EFI_STATUS Status = EFI_SUCCESS;
  EFI_FILE_PROTOCOL *Root = OpenVolumeRoot(Firmware.DeviceHandle(), &Status);
  ASSERT_NE(Root, nullptr);
  CHAR16 Path[] = u"\\r.txt";
  OpenReportFile(Root, EFI_SUCCESS, Path);
  PageEndCopy Copy(Case.Text.data(), Case.Text.size() * sizeof(char16_t));
  WriteReportText((const CHAR16 *)Copy.Start, Case.Text.size());
  EXPECT_EQ(CloseReportFile(), EFI_SUCCESS);
  CloseVolumeRoot(Firmware.DeviceHandle(), Root);
  EXPECT_EQ(Firmware.Files[u"\\r.txt"], Case.Bytes);
  ExpectFirmwareLeftClean(Firmware);
}

INSTANTIATE_TEST_SUITE_P(Options, ReportFileText, testing::ValuesIn(Utf8Cases()),
                         [](const testing::TestParamInfo<Utf8Case> &Info) { return Info.param.Name; });

// How many waits and keys each wait took: the key typed ahead is read and
// dropped, not taken for the answer.
TEST(Options, WaitCountsItsCalls) {
  struct Row {
    std::u16string Options;
    int TypedAhead, KeyAt, EmptySignals;
    int Waits, KeysRead, Ticks, Timers;
  };
  // Without a timer one wait lasts until the key comes.
  for (const Row &Case : std::vector<Row>{{u"quillmere.wait", 0, 3, 0, 1, 1, 0, 0},
                                          {u"quillmere.wait", 2, 2, 0, 1, 3, 0, 0},
                                          {u"quillmere.wait", 0, 2, 1, 2, 1, 0, 0},
                                          {u"quillmere.wait=3", 0, 0, 0, 3, 0, 3, 1},
                                          {u"quillmere.wait=5", 1, 2, 0, 2, 2, 1, 1}}) {
    FakeFirmware Firmware;
    Firmware.SetDevicePath({0x7F, 0xFF, 4, 0});
    Bytes LoadOptions = Ucs2(Case.Options);
    Firmware.LoadedImage.LoadOptions = LoadOptions.data();
    Firmware.LoadedImage.LoadOptionsSize = (UINT32)LoadOptions.size();
    Firmware.KeysTypedAhead = Case.TypedAhead;
    Firmware.KeyAtWait = Case.KeyAt;
    Firmware.EmptyKeySignals = Case.EmptySignals;
    EXPECT_EQ(Firmware.Run(), EFI_SUCCESS);
    std::string Name(Case.Options.begin(), Case.Options.end());
    EXPECT_EQ(Firmware.WaitCalls, Case.Waits) << Name;
    EXPECT_EQ(Firmware.KeysRead, Case.KeysRead) << Name;
    EXPECT_EQ(Firmware.TimerTicks, Case.Ticks) << Name;
    ASSERT_EQ(Firmware.Timers.size(), (size_t)Case.Timers) << Name;
    if (Case.Timers) {
      EXPECT_EQ(Firmware.Timers[0], (std::pair<int, UINT64>{TimerPeriodic, 10000000}));
    }
    ExpectFirmwareLeftClean(Firmware);
  }
}

}  // namespace
