// Calls of the checked print entries, one per CASE_ macro: each must fail to
// compile with the diagnostic its test names. Without a CASE_ macro every call
// here is correct and the file must compile.
#include "Console.h"
#include "Format.h"

static CHAR8 Narrow[64];
static CHAR16 Wide[64];
static const EFI_GUID *Guid = nullptr;
static const EFI_TIME *Time = nullptr;
enum class Colour { Red };

void Cases() {
#if defined(CASE_TooFewArguments)
  FormatToBuffer(Narrow, 64, 0, "%d %d", 1);
#elif defined(CASE_TooManyArguments)
  FormatToBuffer(Narrow, 64, 0, "%d", 1, 2);
#elif defined(CASE_StarWantsInteger)
  FormatToBuffer(Narrow, 64, 0, "%*d", "x", 1);
#elif defined(CASE_IntegerGetsString)
  FormatToBuffer(Narrow, 64, 0, "%d", u"x");
#elif defined(CASE_StringGetsInteger)
  FormatToBuffer(Wide, 64, FORMAT_OUTPUT_WIDE, u"ab%s", 5);
#elif defined(CASE_StringGetsNarrowString)
  FormatToBuffer(Narrow, 64, 0, "%s", "x");
#elif defined(CASE_NarrowStringGetsWideString)
  FormatToBuffer(Narrow, 64, 0, "%a", u"x");
#elif defined(CASE_GuidGetsString)
  FormatToBuffer(Narrow, 64, 0, "%g", "x");
#elif defined(CASE_TimeGetsGuid)
  FormatToBuffer(Narrow, 64, 0, "%t", Guid);
#elif defined(CASE_StatusGetsPointer)
  FormatToBuffer(Narrow, 64, 0, "%r", Guid);
#elif defined(CASE_PercentTakesNoSlot)
  FormatToBuffer(Narrow, 64, 0, "%%", 1);
#elif defined(CASE_UpperCaseTakesNoSlot)
  FormatToBuffer(Narrow, 64, 0, "%G", Guid);
#elif defined(CASE_DirectiveCutByTheEnd)
  FormatToBuffer(Narrow, 64, 0, "%5", 1);
#elif defined(CASE_ConsolePrintChecksToo)
  ConsolePrint(u"type:%d\n", u"4");
#elif defined(CASE_ConsolePrintWantsWideLiteral)
  ConsolePrint("type:%d\n", 4);
#elif defined(CASE_FormatNotALiteral)
  const CHAR8 *Format = "%d";
  FormatToBuffer(Narrow, 64, 0, Format, 1);
#else
  FormatToBuffer(Narrow, 64, 0, "%d %u %x %X %lx %c %p %p %p", -1, 2u, (UINT8)3, Colour::Red, 5ULL, u'c',
                 Guid, 7, nullptr);
  FormatToBuffer(Narrow, 64, 0, "%s %S %a %g %t %r", u"s", nullptr, "a", Guid, Time, (EFI_STATUS)0);
  FormatToBuffer(Wide, 64, FORMAT_OUTPUT_WIDE, u"%*.*d %-,5d%%%q%G%\n%5", 4, 2, 1, 1000);
  FormatToBuffer(Narrow, 64, 0, "no directives\n");
  ConsolePrint(u"type:%d,subType:%d,length:%d\n", (UINT32)1, (UINT32)2, (UINT16)3);
#endif
}
