#include <gtest/gtest.h>

#include <functional>

#include "Console.h"
#include "CaseName.h"
#include "FakeFirmware.h"

namespace {

struct PrintCase {
  std::string Name;
  std::function<void(FakeFirmware &)> Inject;
  std::function<UINTN(FakeFirmware &)> Print;
  UINTN Count;
  std::vector<std::u16string> Shown;
};

void PrintTo(const PrintCase &Case, std::ostream *Stream) { *Stream << Case.Name; }

std::u16string Letters(size_t Count) { return std::u16string(Count, u'a'); }

// Prints Letters(Count) with Format "%s" or "%s\n".
std::function<UINTN(FakeFirmware &)> PrintLetters(size_t Count, bool LineBreak) {
  return [=](FakeFirmware &) {
    std::u16string Text = Letters(Count);
    return LineBreak ? ConsolePrint(u"%s\n", Text.c_str()) : ConsolePrint(u"%s", Text.c_str());
  };
}

void NoFault(FakeFirmware &) {}

std::vector<PrintCase> PrintCases() {
  return {
      {"LineBreakBecomesTwoCharacters",
       NoFault,
       [](FakeFirmware &) { return ConsolePrint(u"Print Nodes:\n"); },
       14,
       {u"Print Nodes:\r\n"}},
      {"ArgumentsFillTheirSlots",
       NoFault,
       [](FakeFirmware &) { return ConsolePrint(u"%d|%lx|%c", -7, 0x123456789ULL, u'Z'); },
       14,
       {u"-7|123456789|Z"}},
      {"LongTextCutAt320", NoFault, PrintLetters(400, false), 320, {Letters(320)}},
      {"Text318KeepsLineBreak", NoFault, PrintLetters(318, true), 320, {Letters(318) + u"\r\n"}},
      {"Text319KeepsOnlyCarriageReturn", NoFault, PrintLetters(319, true), 320, {Letters(319) + u"\r"}},
      {"Text320LosesLineBreak", NoFault, PrintLetters(320, true), 320, {Letters(320)}},
      {"EmptyFormatShowsNothing", NoFault, [](FakeFirmware &) { return ConsolePrint(u""); }, 0, {}},
      {"SingleCharacterIsShown", NoFault, [](FakeFirmware &) { return ConsolePrint(u"a"); }, 1, {u"a"}},
      {"SingleConvertedCharacterIsShown",
       NoFault,
       [](FakeFirmware &) { return ConsolePrint(u"%c", u'Z'); },
       1,
       {u"Z"}},
      {"ListSingleCharacterIsShown",
       NoFault,
       [](FakeFirmware &F) { return ConsolePrintList(u"x", &F.Console, ArgumentList{nullptr, 0}); },
       1,
       {u"x"}},
      {"ListEmptyFormatShowsNothing",
       NoFault,
       [](FakeFirmware &F) { return ConsolePrintList(u"", &F.Console, ArgumentList{nullptr, 0}); },
       0,
       {}},
      {"NullFormatIsRefused",
       NoFault,
       [](FakeFirmware &F) {
         return ConsolePrintList(nullptr, &F.Console, ArgumentList{nullptr, 0});
       },
       0,
       {}},
      {"NoConsoleStillCounts",
       NoFault,
       [](FakeFirmware &) {
         return ConsolePrintList(u"ab\n", nullptr, ArgumentList{nullptr, 0});
       },
       4,
       {}},
      {"RefusedOutputCountsNothing",
       [](FakeFirmware &F) { F.FailAllOutput = true; },
       [](FakeFirmware &) { return ConsolePrint(u"ab"); },
       0,
       {}},
      // A console that shows the text and warns of a glyph it could not
      // draw has still shown it.
      {"WarningAfterShowingCountsTheText",
       [](FakeFirmware &F) { F.OutputWarning = 1; },
       [](FakeFirmware &) { return ConsolePrint(u"ab\n"); },
       4,
       {u"ab\r\n"}},
      {"EmptyPoolShowsNothing",
       [](FakeFirmware &F) { F.FailAllAllocations = true; },
       [](FakeFirmware &) { return ConsolePrint(u"ab"); },
       0,
       {}},
  };
}

// What the console's copy hook was handed, one text a call.
std::vector<std::u16string> Copies;
VOID RecordCopy(CONST CHAR16 *Text, UINTN Count) { Copies.emplace_back(Text, Count); }

class ConsolePrints : public testing::TestWithParam<PrintCase> {};

TEST_P(ConsolePrints, RenderIntoOnePoolBufferPerCall) {
  FakeFirmware Firmware;
  Firmware.InstallGlobals();
  GetParam().Inject(Firmware);

  // The copy gets exactly what the console took, and nothing it refused.
  Copies.clear();
  SetConsoleCopy(RecordCopy);
  EXPECT_EQ(GetParam().Print(Firmware), GetParam().Count);
  SetConsoleCopy(nullptr);
  EXPECT_EQ(Copies, GetParam().Shown);
  EXPECT_EQ(Firmware.Shown, GetParam().Shown);
  // Only a refusing console sees a call that shows nothing; an empty text is
  // never offered.
  EXPECT_EQ(Firmware.OutputCalls, (int)GetParam().Shown.size() + (Firmware.FailAllOutput ? 1 : 0));
  EXPECT_EQ(Firmware.AllocationSizes, std::vector<UINTN>{642});
  EXPECT_EQ(Firmware.NullFrees, Firmware.FailAllAllocations ? 1 : 0);
  ExpectFirmwareLeftClean(Firmware);
}

INSTANTIATE_TEST_SUITE_P(ConsolePrint, ConsolePrints, testing::ValuesIn(PrintCases()), CaseName());

TEST(ConsolePrint, NullCopyEndsTheCopying) {
  FakeFirmware Firmware;
  Firmware.InstallGlobals();
  Copies.clear();
  SetConsoleCopy(RecordCopy);
  ConsolePrint(u"kept\n");
  SetConsoleCopy(nullptr);
  ConsolePrint(u"shown only\n");
  EXPECT_EQ(Copies, std::vector<std::u16string>{u"kept\r\n"});
  EXPECT_EQ(Firmware.Shown.size(), 2u);
}

TEST(ConsolePrint, AllocateBootPoolGivesNullWhenThePoolRefuses) {
  FakeFirmware Firmware;
  Firmware.InstallGlobals();
  Firmware.FailAllocationCall = 1;
  // The fake leaves a poisoned pointer behind a refusal; it must not leak out.
  EXPECT_EQ(AllocateBootPool(16), nullptr);
  VOID *Memory = AllocateBootPool(16);
  ASSERT_NE(Memory, nullptr);
  EXPECT_EQ(Firmware.BootServices.FreePool(Memory), EFI_SUCCESS);
  ExpectFirmwareLeftClean(Firmware);
}

}  // namespace
