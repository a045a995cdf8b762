// Renders the same texts with the engine, glibc snprintf, {fmt}'s
// format_to_n and stb_sprintf's stbsp_snprintf, checks once that all four
// give the same characters, then times them side by side and prints ns per
// call with the engine's ratios.
//
// Every case renders 8-bit text from an 8-bit format so that the three are
// comparable; the 16-bit partition block, as the console renders it, is timed
// for the engine alone.
#include <benchmark/benchmark.h>
#include <fmt/format.h>
#include <locale.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <locale>
#include <map>
#include <string>
#include <vector>

#include "Format.h"

// stb_sprintf, the small formatter: its implementation lives in this file.
#define STB_SPRINTF_IMPLEMENTATION
#include <stb/stb_sprintf.h>

namespace {

constexpr UINTN BenchBufferSize = 400;

// One rendering of case input Index into Buffer; returns the characters written.
using RenderFn = size_t (*)(char *Buffer, size_t Index);

struct BenchCase {
  const char *Name;
  size_t Inputs;  // the renderers cycle through inputs 0 .. Inputs-1
  RenderFn Engine;
  RenderFn Snprintf;  // null when only the engine is timed
  RenderFn Fmt;
  RenderFn Stb;
};

// {fmt} writes no terminator of its own; the others do, so it gets one after
// what fitted of the Total characters it made.
size_t TerminateFmtText(char *Buffer, size_t Total) {
  size_t Count = Total < BenchBufferSize - 1 ? Total : BenchBufferSize - 1;
  Buffer[Count] = 0;
  return Count;
}

template <typename... Args>
size_t FmtToBuffer(char *Buffer, fmt::format_string<Args...> Format, Args &&...Values) {
  auto Result = fmt::format_to_n(Buffer, BenchBufferSize - 1, Format, static_cast<Args &&>(Values)...);
  return TerminateFmtText(Buffer, Result.size);
}

size_t SnprintfCount(int Written) {
  return Written < 0 ? 0 : ((size_t)Written < BenchBufferSize ? (size_t)Written : BenchBufferSize - 1);
}

// stbsp_snprintf returns the characters it wrote, terminator left out, like
// snprintf when the text fits.
#define STB_TO_BUFFER(Buffer, ...) SnprintfCount(stbsp_snprintf(Buffer, (int)BenchBufferSize, __VA_ARGS__))

// ---------------------------------------------------------------------------
// Inputs.

const INT32 SpreadValues[] = {0,     7,        42,         -1,         -42,  999, 12345, -123456, 2147483647,
                              -2147483647 - 1, 1000000, 65535, -7, 100, 31337, 1999999999};
const INT32 LargeValues[] = {1234567,   2147483647, -1234567890, 1000000,  987654321,
                             -55555555, 12345678,   100000000,   -2000000, 1999999999};
const UINT32 HexValues[] = {0xFF, 0xDEADBEEF, 0x1234, 0, 0x80000000, 0xFFFFFFFF, 0xA5, 0x00C0FFEE};
const UINT64 Hex64Values[] = {0,      0x800,          0x1FFFFFFFFFFULL,  0xFFFFFFFFFFFFFFFFULL,
                              0x123456789ABCDEF0ULL, 0x7FF, 0xE8D4A51000ULL, 0x100000000ULL};

struct PartitionInput {
  UINT32 Number;
  UINT64 Start;
  UINT64 Size;
  EFI_GUID Signature;
  UINT32 Format;
  UINT32 SignatureType;
};
const PartitionInput Partitions[] = {
    {1, 0x800, 0xFA000, {0x1D2C4E3A, 0x9B10, 0x4F7E, {0x8A, 0x61, 0x0C, 0x5E, 0xB2, 0x77, 0x19, 0xD4}}, 2, 2},
    {15, 0x1000000, 0x1DCF32000ULL, {0xC12A7328, 0xF81F, 0x11D2, {0xBA, 0x4B, 0x00, 0xA0, 0xC9, 0x3E, 0xC9, 0x3B}}, 2, 2},
    {3, 0x3F, 0x3E8000, {0x0000ABCD, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}}, 1, 1},
};

char ShortText[31];   // 30 characters
char LongText[301];   // 300 characters
CHAR16 LongText16[301];

void MakeTexts() {
  for (size_t Index = 0; Index < 30; Index++) {
    ShortText[Index] = (char)('a' + Index % 26);
  }
  for (size_t Index = 0; Index < 300; Index++) {
    LongText[Index] = (char)(' ' + 1 + Index % 94);
    LongText16[Index] = (CHAR16)LongText[Index];
  }
}

// A locale whose numbers group by threes with ",", for {fmt}'s "L" and
// snprintf's "'". glibc takes its grouping from LC_NUMERIC.
struct CommaGrouping : std::numpunct<char> {
  char do_thousands_sep() const override { return ','; }
  std::string do_grouping() const override { return "\3"; }
};
std::locale FmtGroupingLocale;
locale_t SnprintfGroupingLocale = (locale_t)0;

// ---------------------------------------------------------------------------
// Renderers, one triple per case.

// The four renderers of a case that formats one value of Values: the
// engine's format, the printf format that snprintf and stb_sprintf share, and
// {fmt}'s, each making the same characters.
#define ONE_VALUE_CASE(Name, Values, EngineFormat, PrintfFormat, FmtFormat)                    \
  size_t Engine##Name(char *Buffer, size_t Index) {                                             \
    return FormatToBuffer(Buffer, BenchBufferSize, 0, EngineFormat, Values[Index]);             \
  }                                                                                             \
  size_t Snprintf##Name(char *Buffer, size_t Index) {                                           \
    return SnprintfCount(snprintf(Buffer, BenchBufferSize, PrintfFormat, Values[Index]));       \
  }                                                                                             \
  size_t Fmt##Name(char *Buffer, size_t Index) { return FmtToBuffer(Buffer, FmtFormat, Values[Index]); } \
  size_t Stb##Name(char *Buffer, size_t Index) { return STB_TO_BUFFER(Buffer, PrintfFormat, Values[Index]); }

ONE_VALUE_CASE(Decimal, SpreadValues, "%d", "%d", "{}")
ONE_VALUE_CASE(Hex8, HexValues, "%08X", "%08X", "{:08X}")
ONE_VALUE_CASE(Hex64, Hex64Values, "%lx", "%llX", "{:X}")

size_t EngineGrouped(char *Buffer, size_t Index) {
  return FormatToBuffer(Buffer, BenchBufferSize, 0, "%,d", LargeValues[Index]);
}
size_t SnprintfGrouped(char *Buffer, size_t Index) {
  locale_t Previous = uselocale(SnprintfGroupingLocale);
  int Written = snprintf(Buffer, BenchBufferSize, "%'d", LargeValues[Index]);
  uselocale(Previous);
  return SnprintfCount(Written);
}
// {fmt} 9 has no format_to_n that takes a locale; this is its format_to_n
// with the locale handed on, as its own locale-taking format_to does.
size_t FmtGrouped(char *Buffer, size_t Index) {
  fmt::detail::iterator_buffer<char *, char, fmt::detail::fixed_buffer_traits> Bounded(Buffer, BenchBufferSize - 1);
  fmt::detail::vformat_to(Bounded, fmt::string_view("{:L}"), fmt::make_format_args(LargeValues[Index]),
                          fmt::detail::locale_ref(FmtGroupingLocale));
  return TerminateFmtText(Buffer, Bounded.count());
}

// stb_sprintf groups by threes with "," under its "'" flag, whatever the
// locale.
size_t StbGrouped(char *Buffer, size_t Index) { return STB_TO_BUFFER(Buffer, "%'d", LargeValues[Index]); }

size_t EngineGuid(char *Buffer, size_t Index) {
  return FormatToBuffer(Buffer, BenchBufferSize, 0, "%g", &Partitions[Index].Signature);
}
size_t SnprintfGuid(char *Buffer, size_t Index) {
  const EFI_GUID &Guid = Partitions[Index].Signature;
  return SnprintfCount(snprintf(Buffer, BenchBufferSize, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", Guid.Data1,
                                Guid.Data2, Guid.Data3, Guid.Data4[0], Guid.Data4[1], Guid.Data4[2], Guid.Data4[3],
                                Guid.Data4[4], Guid.Data4[5], Guid.Data4[6], Guid.Data4[7]));
}
size_t FmtGuid(char *Buffer, size_t Index) {
  const EFI_GUID &Guid = Partitions[Index].Signature;
  return FmtToBuffer(Buffer, "{:08X}-{:04X}-{:04X}-{:02X}{:02X}-{:02X}{:02X}{:02X}{:02X}{:02X}{:02X}", Guid.Data1,
                     Guid.Data2, Guid.Data3, Guid.Data4[0], Guid.Data4[1], Guid.Data4[2], Guid.Data4[3], Guid.Data4[4],
                     Guid.Data4[5], Guid.Data4[6], Guid.Data4[7]);
}

size_t StbGuid(char *Buffer, size_t Index) {
  const EFI_GUID &Guid = Partitions[Index].Signature;
  return STB_TO_BUFFER(Buffer, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", Guid.Data1, Guid.Data2, Guid.Data3,
                       Guid.Data4[0], Guid.Data4[1], Guid.Data4[2], Guid.Data4[3], Guid.Data4[4], Guid.Data4[5],
                       Guid.Data4[6], Guid.Data4[7]);
}

size_t EnginePadded(char *Buffer, size_t) { return FormatToBuffer(Buffer, BenchBufferSize, 0, "%-40a|", ShortText); }
size_t SnprintfPadded(char *Buffer, size_t) {
  return SnprintfCount(snprintf(Buffer, BenchBufferSize, "%-40s|", ShortText));
}
size_t FmtPadded(char *Buffer, size_t) { return FmtToBuffer(Buffer, "{:<40}|", ShortText); }
size_t StbPadded(char *Buffer, size_t) { return STB_TO_BUFFER(Buffer, "%-40s|", ShortText); }

// The engine's "%s" takes a UCS-2 text; the others get the same characters
// as an 8-bit text.
size_t EngineLong(char *Buffer, size_t) { return FormatToBuffer(Buffer, BenchBufferSize, 0, "%s", LongText16); }
size_t SnprintfLong(char *Buffer, size_t) { return SnprintfCount(snprintf(Buffer, BenchBufferSize, "%s", LongText)); }
size_t FmtLong(char *Buffer, size_t) { return FmtToBuffer(Buffer, "{}", LongText); }
size_t StbLong(char *Buffer, size_t) { return STB_TO_BUFFER(Buffer, "%s", LongText); }

size_t EngineBlock(char *Buffer, size_t Index) {
  const PartitionInput &Input = Partitions[Index];
  return FormatToBuffer(Buffer, BenchBufferSize, 0,
                        "    PartitionNumber:%d \n    PartitionStart:0x%lx \n    PartitionSize:0x%lx \n"
                        "    PartitionSig:%g \n    PartitionFormat:%d \n    SignatureType:%d \n",
                        Input.Number, Input.Start, Input.Size, &Input.Signature, Input.Format, Input.SignatureType);
}
size_t SnprintfBlock(char *Buffer, size_t Index) {
  const PartitionInput &Input = Partitions[Index];
  const EFI_GUID &Guid = Input.Signature;
  return SnprintfCount(snprintf(
      Buffer, BenchBufferSize,
      "    PartitionNumber:%d \r\n    PartitionStart:0x%lX \r\n    PartitionSize:0x%lX \r\n"
      "    PartitionSig:%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X \r\n    PartitionFormat:%u \r\n"
      "    SignatureType:%u \r\n",
      Input.Number, (unsigned long)Input.Start, (unsigned long)Input.Size, Guid.Data1, Guid.Data2, Guid.Data3,
      Guid.Data4[0], Guid.Data4[1], Guid.Data4[2], Guid.Data4[3], Guid.Data4[4], Guid.Data4[5], Guid.Data4[6],
      Guid.Data4[7], Input.Format, Input.SignatureType));
}
size_t FmtBlock(char *Buffer, size_t Index) {
  const PartitionInput &Input = Partitions[Index];
  const EFI_GUID &Guid = Input.Signature;
  return FmtToBuffer(Buffer,
                     "    PartitionNumber:{} \r\n    PartitionStart:0x{:X} \r\n    PartitionSize:0x{:X} \r\n"
                     "    PartitionSig:{:08X}-{:04X}-{:04X}-{:02X}{:02X}-{:02X}{:02X}{:02X}{:02X}{:02X}{:02X} \r\n"
                     "    PartitionFormat:{} \r\n    SignatureType:{} \r\n",
                     Input.Number, Input.Start, Input.Size, Guid.Data1, Guid.Data2, Guid.Data3, Guid.Data4[0],
                     Guid.Data4[1], Guid.Data4[2], Guid.Data4[3], Guid.Data4[4], Guid.Data4[5], Guid.Data4[6],
                     Guid.Data4[7], Input.Format, Input.SignatureType);
}

size_t StbBlock(char *Buffer, size_t Index) {
  const PartitionInput &Input = Partitions[Index];
  const EFI_GUID &Guid = Input.Signature;
  return STB_TO_BUFFER(
      Buffer,
      "    PartitionNumber:%d \r\n    PartitionStart:0x%llX \r\n    PartitionSize:0x%llX \r\n"
      "    PartitionSig:%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X \r\n    PartitionFormat:%u \r\n"
      "    SignatureType:%u \r\n",
      Input.Number, (unsigned long long)Input.Start, (unsigned long long)Input.Size, Guid.Data1, Guid.Data2,
      Guid.Data3, Guid.Data4[0], Guid.Data4[1], Guid.Data4[2], Guid.Data4[3], Guid.Data4[4], Guid.Data4[5],
      Guid.Data4[6], Guid.Data4[7], Input.Format, Input.SignatureType);
}

// The console's own rendering: UCS-2 format and output into 321 characters.
// The output check has it narrowed into Buffer; the timed runs do not.
CHAR16 WideBuffer[321];
bool NarrowWideBlock = false;
size_t EngineBlock16(char *Buffer, size_t Index) {
  const PartitionInput &Input = Partitions[Index];
  size_t Count = FormatToBuffer(WideBuffer, 321, FORMAT_OUTPUT_WIDE,
                                u"    PartitionNumber:%d \n    PartitionStart:0x%lx \n    PartitionSize:0x%lx \n"
                                u"    PartitionSig:%g \n    PartitionFormat:%d \n    SignatureType:%d \n",
                                Input.Number, Input.Start, Input.Size, &Input.Signature, Input.Format,
                                Input.SignatureType);
  if (NarrowWideBlock) {
    for (size_t Position = 0; Position <= Count; Position++) {
      Buffer[Position] = (char)WideBuffer[Position];
    }
  }
  return Count;
}

#define INPUTS(Array) (sizeof(Array) / sizeof(Array[0]))
const BenchCase Cases[] = {
    {"partition block", INPUTS(Partitions), EngineBlock, SnprintfBlock, FmtBlock, StbBlock},
    {"partition block, UCS-2", INPUTS(Partitions), EngineBlock16, nullptr, nullptr, nullptr},
    {"%d spread", INPUTS(SpreadValues), EngineDecimal, SnprintfDecimal, FmtDecimal, StbDecimal},
    {"%,d large", INPUTS(LargeValues), EngineGrouped, SnprintfGrouped, FmtGrouped, StbGrouped},
    {"%08X", INPUTS(HexValues), EngineHex8, SnprintfHex8, FmtHex8, StbHex8},
    {"%lx", INPUTS(Hex64Values), EngineHex64, SnprintfHex64, FmtHex64, StbHex64},
    {"%g", INPUTS(Partitions), EngineGuid, SnprintfGuid, FmtGuid, StbGuid},
    {"%-40a| of 30", 1, EnginePadded, SnprintfPadded, FmtPadded, StbPadded},
    {"%s of 300", 1, EngineLong, SnprintfLong, FmtLong, StbLong},
};

// Every input of every case must give the same characters and count from
// all renderers before anything is timed. The UCS-2 block is held to the
// 8-bit block's text.
bool CheckOutputs() {
  bool Same = true;
  NarrowWideBlock = true;
  for (const BenchCase &Case : Cases) {
    for (size_t Index = 0; Index < Case.Inputs; Index++) {
      char Engine[BenchBufferSize];
      size_t EngineCount = Case.Engine(Engine, Index);
      std::vector<std::pair<const char *, RenderFn>> Others;
      if (Case.Snprintf != nullptr) {
        Others = {{"snprintf", Case.Snprintf}, {"fmt", Case.Fmt}, {"stb", Case.Stb}};
      } else {
        Others = {{"8-bit block", EngineBlock}};
      }
      for (auto &[Who, Render] : Others) {
        char Other[BenchBufferSize];
        size_t OtherCount = Render(Other, Index);
        if (OtherCount != EngineCount || std::memcmp(Engine, Other, EngineCount + 1) != 0) {
          std::fprintf(stderr, "%s, input %zu: engine gave \"%s\" (%zu), %s gave \"%s\" (%zu)\n", Case.Name, Index,
                       Engine, EngineCount, Who, Other, OtherCount);
          Same = false;
        }
      }
    }
  }
  NarrowWideBlock = false;
  return Same;
}

// Instructions are counted for this many engine calls of one case, its
// inputs in turn, in RenderCalls and what it calls (bench/count-instructions.sh).
constexpr size_t CountedCalls = 1000;

__attribute__((noinline)) size_t RenderCalls(const BenchCase &Case) {
  char Buffer[BenchBufferSize];
  size_t Total = 0;
  for (size_t Call = 0; Call < CountedCalls; Call++) {
    Total += Case.Engine(Buffer, Call % Case.Inputs);
  }
  return Total;
}

void RunRenderer(benchmark::State &State, const BenchCase *Case, RenderFn Render) {
  char Buffer[BenchBufferSize];
  size_t Index = 0;
  for (auto _ : State) {
    benchmark::DoNotOptimize(Render(Buffer, Index));
    benchmark::ClobberMemory();
    if (++Index == Case->Inputs) {
      Index = 0;
    }
  }
}

// Keeps the median of each benchmark's repetitions (or its one run, when
// asked for one repetition) while the console reporter prints as usual.
class MedianCollector : public benchmark::ConsoleReporter {
 public:
  explicit MedianCollector(OutputOptions Options) : ConsoleReporter(Options) {}
  std::map<std::string, double> MedianNs;

  void ReportRuns(const std::vector<Run> &Runs) override {
    for (const Run &Each : Runs) {
      // With one repetition there is no median, only the run itself.
      bool Single = Each.run_type == Run::RT_Iteration && Each.repetitions <= 1;
      if (Single || (Each.run_type == Run::RT_Aggregate && Each.aggregate_name == "median")) {
        MedianNs[Each.run_name.function_name] = Each.GetAdjustedCPUTime();
      }
    }
    ConsoleReporter::ReportRuns(Runs);
  }
};

std::string BenchName(const BenchCase &Case, const char *Renderer) { return std::string(Case.Name) + "/" + Renderer; }

void PrintTable(const MedianCollector &Collector) {
  auto Find = [&](const std::string &Name) {
    auto Found = Collector.MedianNs.find(Name);
    return Found == Collector.MedianNs.end() ? -1.0 : Found->second;
  };
  std::printf("\nMedian CPU time in ns per call; a ratio above 1 means the engine is faster.\n\n");
  std::printf("| case | engine | snprintf | fmt | stb | snprintf / engine | fmt / engine | stb / engine |\n");
  std::printf("|---|---:|---:|---:|---:|---:|---:|---:|\n");
  for (const BenchCase &Case : Cases) {
    double Engine = Find(BenchName(Case, "engine"));
    if (Engine < 0) {
      continue;  // filtered out
    }
    // A "|" in a case's name would end its Markdown cell.
    std::string Name;
    for (const char *Each = Case.Name; *Each != 0; Each++) {
      Name += *Each == '|' ? std::string("\\|") : std::string(1, *Each);
    }
    if (Case.Snprintf == nullptr) {
      std::printf("| %s | %.1f | | | | | | |\n", Name.c_str(), Engine);
      continue;
    }
    double Snprintf = Find(BenchName(Case, "snprintf"));
    double Fmt = Find(BenchName(Case, "fmt"));
    double Stb = Find(BenchName(Case, "stb"));
    std::printf("| %s | %.1f | %.1f | %.1f | %.1f | %.2f | %.2f | %.2f |\n", Name.c_str(), Engine, Snprintf, Fmt, Stb,
                Snprintf / Engine, Fmt / Engine, Stb / Engine);
  }
}

// The reporter is this program's own, so it follows --benchmark_color itself:
// "auto" (the default) colours only a terminal's output, so that a table
// redirected into a file holds no colour codes.
bool ColourWanted(int argc, char **argv) {
  std::string Colour = "auto";
  for (int Index = 1; Index < argc; Index++) {
    std::string Argument = argv[Index];
    if (Argument.rfind("--benchmark_color=", 0) == 0) {
      Colour = Argument.substr(std::strlen("--benchmark_color="));
    }
  }
  if (Colour == "auto") {
    return isatty(fileno(stdout)) != 0;
  }
  return Colour == "true" || Colour == "yes" || Colour == "1";
}

}  // namespace

int main(int argc, char **argv) {
  MakeTexts();
  FmtGroupingLocale = std::locale(std::locale::classic(), new CommaGrouping);
  SnprintfGroupingLocale = newlocale(LC_NUMERIC_MASK, "en_US.UTF-8", (locale_t)0);
  if (SnprintfGroupingLocale == (locale_t)0) {
    std::fprintf(stderr,
                 "snprintf's \"%%'d\" needs the en_US.UTF-8 locale for its \",\" grouping; make it with\n"
                 "  localedef -i en_US -f UTF-8 DIR/en_US.UTF-8\n"
                 "and run with LOCPATH=DIR, or use scripts/bench.sh, which does both\n");
    return 1;
  }
  if (!CheckOutputs()) {
    std::fprintf(stderr, "the renderers disagree; nothing was timed\n");
    return 1;
  }
  // --calls=CASE: only the engine's calls of that case, for callgrind.
  if (argc == 2 && std::strncmp(argv[1], "--calls=", 8) == 0) {
    for (const BenchCase &Case : Cases) {
      if (std::strcmp(argv[1] + 8, Case.Name) == 0) {
        return RenderCalls(Case) == 0 ? 1 : 0;
      }
    }
    std::fprintf(stderr, "no case named \"%s\"\n", argv[1] + 8);
    return 1;
  }

  for (const BenchCase &Case : Cases) {
    benchmark::RegisterBenchmark(BenchName(Case, "engine").c_str(), RunRenderer, &Case, Case.Engine);
    if (Case.Snprintf != nullptr) {
      benchmark::RegisterBenchmark(BenchName(Case, "snprintf").c_str(), RunRenderer, &Case, Case.Snprintf);
      benchmark::RegisterBenchmark(BenchName(Case, "fmt").c_str(), RunRenderer, &Case, Case.Fmt);
      benchmark::RegisterBenchmark(BenchName(Case, "stb").c_str(), RunRenderer, &Case, Case.Stb);
    }
  }
  // Several repetitions and their medians: these machines are noisy.
  std::vector<char *> Arguments(argv, argv + argc);
  std::string Repetitions = "--benchmark_repetitions=5";
  std::string AggregatesOnly = "--benchmark_report_aggregates_only=true";
  Arguments.insert(Arguments.begin() + 1, {Repetitions.data(), AggregatesOnly.data()});
  int Count = (int)Arguments.size();
  benchmark::Initialize(&Count, Arguments.data());
  if (benchmark::ReportUnrecognizedArguments(Count, Arguments.data())) {
    return 1;
  }
  MedianCollector Collector(ColourWanted(argc, argv) ? benchmark::ConsoleReporter::OO_ColorTabular
                                                     : benchmark::ConsoleReporter::OO_Tabular);
  benchmark::RunSpecifiedBenchmarks(&Collector);
  benchmark::Shutdown();
  PrintTable(Collector);
  return 0;
}
