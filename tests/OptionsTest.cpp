#include <gtest/gtest.h>

#include <functional>

#include "FakeFirmware.h"
#include "Options.h"
#include "PageEnd.h"

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
      // Size, terminator and alignment are the caller's.
      {"TextAfterTheTerminatorIsNotRead", Ucs2(std::u16string(u"quillmere.wait\0quillmere.report=\\x", 34)), true, TRUE, 0, u"",
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
  PageEndCopy Copy(Case.Text.data(), Case.Text.size());
  APP_OPTIONS Options;
  Options.Wait = FALSE;
  Options.WaitSeconds = 0;
  Options.ReportPath[0] = 0;
  size_t Size = Case.Size == (size_t)-1 ? Case.Text.size() - Case.Skip : Case.Size;
  ReadOptionWords(&Options, (const UINT8 *)Copy.Start + Case.Skip, Size, Case.Wide);

  EXPECT_EQ(Options.Wait, Case.Wait);
  if (Case.Wait) {
    EXPECT_EQ(Options.WaitSeconds, Case.WaitSeconds);
  }
  EXPECT_EQ(std::u16string(Options.ReportPath), Case.ReportPath);
  EXPECT_EQ(Firmware.Shown, Case.Shown);
  ExpectFirmwareLeftClean(Firmware);
}

INSTANTIATE_TEST_SUITE_P(Options, OptionWords, testing::ValuesIn(WordCases()),
                         [](const testing::TestParamInfo<WordCase> &Info) { return Info.param.Name; });

TEST(Options, NullLoadOptionsReadNothing) {
  FakeFirmware Firmware;
  Firmware.InstallGlobals();
  APP_OPTIONS Options;
  Options.Wait = FALSE;
  Options.ReportPath[0] = 0;
  ReadOptionWords(&Options, nullptr, 64, TRUE);
  EXPECT_EQ(Options.Wait, FALSE);
  EXPECT_EQ(Options.ReportPath[0], 0);
  EXPECT_TRUE(Firmware.Shown.empty());
}

}  // namespace
