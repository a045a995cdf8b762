// The examples of docs/format-language.md, rendered by the engine. Every
// table on that page whose header starts "| format | arguments |" is a table
// of examples; each of its rows is one case here, named by its line on the
// page. The page is the oracle: this file only reads its notation (C string
// literals, and arguments written as integers, strings, GUID bytes, time
// fields or error codes), so a changed example or an engine that renders
// otherwise fails, and a row this file cannot read fails too.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "CaseName.h"
#include "FormatTestSupport.h"

namespace {

// What a table's last columns say.
enum class Expecting {
  EveryWidth,       // "output": every width combination gives it
  Only64BitBuild,   // "output on a 64-bit build"
  Only32BitBuild,   // "output on a 32-bit build"
  WithBuffer,       // "buffer | output": rendered into that many characters
  ByOutputWidth,    // "8-bit output | UCS-2 output"
  Unknown,          // columns this file does not know: every row fails
};

enum class ArgumentKind { Integer, Text8, Text16, Bytes, Null };

struct Argument {
  ArgumentKind Kind;
  UINT64 Integer;
  std::string Bytes;  // Text8 without its terminator, or the 16 bytes of a GUID or time record
  std::u16string Text16;
};

struct PageRow {
  std::string Name;
  int Line;
  std::string Problem;  // why the row could not be read; empty when it could
  Expecting Kind;
  std::u16string Format;
  std::vector<Argument> Arguments;
  UINTN BufferSize;
  bool Refused;
  std::u16string Output8;   // for every width, or for 8-bit output
  std::u16string Output16;  // for UCS-2 output
};

std::string Trim(const std::string &Text) {
  size_t First = Text.find_first_not_of(' ');
  if (First == std::string::npos) {
    return "";
  }
  return Text.substr(First, Text.find_last_not_of(' ') - First + 1);
}

// The cells of a table line, split at the bars outside code spans.
std::vector<std::string> Cells(const std::string &Line) {
  std::vector<std::string> Result;
  std::string Cell;
  bool InCode = false;
  for (size_t Index = 1; Index < Line.size(); Index++) {
    char Character = Line[Index];
    if (Character == '`') {
      InCode = !InCode;
    }
    if (Character == '|' && !InCode) {
      Result.push_back(Trim(Cell));
      Cell.clear();
    } else {
      Cell.push_back(Character);
    }
  }
  return Result;
}

// Reads the C string literal that starts at Text[At] (its opening quote) and
// leaves At after its closing quote. The page is UTF-8 but its literals are
// ASCII: other characters are written \uXXXX.
bool ReadLiteral(const std::string &Text, size_t &At, std::u16string &Result, std::string &Problem) {
  if (At >= Text.size() || Text[At] != '"') {
    Problem = "no string literal at \"" + Text.substr(At) + "\"";
    return false;
  }
  for (At++; At < Text.size(); At++) {
    char Character = Text[At];
    if (Character == '"') {
      At++;
      return true;
    }
    if ((unsigned char)Character > 0x7F) {
      Problem = "a character outside ASCII in a literal; write it \\uXXXX";
      return false;
    }
    if (Character != '\\') {
      Result.push_back((char16_t)Character);
      continue;
    }
    char Escape = At + 1 < Text.size() ? Text[++At] : 0;
    if (Escape == 'n') {
      Result.push_back(u'\n');
    } else if (Escape == 'r') {
      Result.push_back(u'\r');
    } else if (Escape == '\\' || Escape == '"') {
      Result.push_back((char16_t)Escape);
    } else if (Escape == 'u' && At + 4 < Text.size() &&
               Text.substr(At + 1, 4).find_first_not_of("0123456789ABCDEFabcdef") == std::string::npos) {
      Result.push_back((char16_t)std::stoul(Text.substr(At + 1, 4), nullptr, 16));
      At += 4;
    } else {
      Problem = std::string("unknown escape \\") + Escape;
      return false;
    }
  }
  Problem = "a string literal without its closing quote";
  return false;
}

// A cell that is one code span holding one string literal.
bool ReadLiteralCell(const std::string &Cell, std::u16string &Result, std::string &Problem) {
  if (Cell.size() < 2 || Cell.front() != '`' || Cell.back() != '`') {
    Problem = "not a code span: " + Cell;
    return false;
  }
  std::string Inside = Cell.substr(1, Cell.size() - 2);
  size_t At = 0;
  if (!ReadLiteral(Inside, At, Result, Problem)) {
    return false;
  }
  if (At != Inside.size()) {
    Problem = "more than one literal in " + Cell;
    return false;
  }
  return true;
}

bool ReadNumber(const std::string &Text, UINT64 &Value) {
  static const std::regex Number("(-?)(0x[0-9A-Fa-f]+|[0-9]+)");
  std::smatch Match;
  if (!std::regex_match(Text, Match, Number)) {
    return false;
  }
  Value = std::stoull(Match[2].str(), nullptr, 0);
  if (Match[1].length() > 0) {
    Value = 0 - Value;
  }
  return true;
}

// The arguments cell: slots separated by commas.
bool ReadArguments(const std::string &Cell, std::vector<Argument> &Result, std::string &Problem) {
  static const std::regex Guid("guid\\(((?:[0-9A-F]{2} ){15}[0-9A-F]{2})\\)");
  static const std::regex Time("time\\(([0-9]+)-([0-9]+)-([0-9]+) ([0-9]+):([0-9]+):([0-9]+)\\)");
  static const std::regex Error("error\\(([0-9]+)\\)");
  size_t At = 0;
  while (At < Cell.size()) {
    Argument Each = {ArgumentKind::Integer, 0, "", u""};
    std::u16string Literal;
    if (Cell[At] == '"' || Cell.compare(At, 2, "u\"") == 0) {
      bool Wide = Cell[At] == 'u';
      At += Wide ? 1 : 0;
      if (!ReadLiteral(Cell, At, Literal, Problem)) {
        return false;
      }
      Each.Kind = Wide ? ArgumentKind::Text16 : ArgumentKind::Text8;
      Each.Text16 = Literal;
      for (char16_t Character : Literal) {
        if (!Wide && Character > 0xFF) {
          Problem = "an 8-bit string holds characters up to \\u00FF";
          return false;
        }
        Each.Bytes.push_back((char)Character);
      }
    } else {
      size_t End = Cell.find(',', At);
      std::string Word = Trim(Cell.substr(At, End == std::string::npos ? std::string::npos : End - At));
      At = End == std::string::npos ? Cell.size() : End;
      std::smatch Match;
      if (Word == "null") {
        Each.Kind = ArgumentKind::Null;
      } else if (Word.size() == 3 && Word[0] == '\'' && Word[2] == '\'') {
        Each.Integer = (unsigned char)Word[1];
      } else if (std::regex_match(Word, Match, Guid)) {
        Each.Kind = ArgumentKind::Bytes;
        std::istringstream Hex(Match[1].str());
        unsigned Byte;
        while (Hex >> std::hex >> Byte) {
          Each.Bytes.push_back((char)Byte);
        }
      } else if (std::regex_match(Word, Match, Time)) {
        // EFI_TIME: Year (little-endian), Month, Day, Hour, Minute, Second,
        // then padding, nanoseconds, time zone and daylight, all zero here.
        Each.Kind = ArgumentKind::Bytes;
        unsigned Year = std::stoul(Match[1].str());
        Each.Bytes = std::string(16, '\0');
        Each.Bytes[0] = (char)(Year & 0xFF);
        Each.Bytes[1] = (char)(Year >> 8);
        for (int Field = 2; Field <= 6; Field++) {
          Each.Bytes[Field] = (char)std::stoul(Match[Field].str());
        }
      } else if (std::regex_match(Word, Match, Error)) {
        Each.Integer = StatusErrorBit | std::stoull(Match[1].str());
      } else if (!ReadNumber(Word, Each.Integer)) {
        Problem = "not an argument: " + Word;
        return false;
      }
    }
    Result.push_back(Each);
    while (At < Cell.size() && Cell[At] == ' ') {
      At++;
    }
    if (At < Cell.size()) {
      if (Cell[At] != ',') {
        Problem = "arguments are separated by commas: " + Cell.substr(At);
        return false;
      }
      At++;
      while (At < Cell.size() && Cell[At] == ' ') {
        At++;
      }
    }
  }
  return true;
}

// What a table's header says of its rows; false for a table that holds no
// examples.
bool ReadHeader(const std::vector<std::string> &Header, Expecting &Kind) {
  if (Header.size() < 3 || Header[0] != "format" || Header[1] != "arguments") {
    return false;
  }
  std::vector<std::string> Rest(Header.begin() + 2, Header.end());
  if (Rest == std::vector<std::string>{"output"}) {
    Kind = Expecting::EveryWidth;
  } else if (Rest == std::vector<std::string>{"output on a 64-bit build"}) {
    Kind = Expecting::Only64BitBuild;
  } else if (Rest == std::vector<std::string>{"output on a 32-bit build"}) {
    Kind = Expecting::Only32BitBuild;
  } else if (Rest == std::vector<std::string>{"buffer", "output"}) {
    Kind = Expecting::WithBuffer;
  } else if (Rest == std::vector<std::string>{"8-bit output", "UCS-2 output"}) {
    Kind = Expecting::ByOutputWidth;
  } else {
    // A fault of the page, not a table to pass over: its rows would go
    // unchecked.
    Kind = Expecting::Unknown;
  }
  return true;
}

PageRow ReadRow(const std::vector<std::string> &Header, const std::vector<std::string> &Row, Expecting Kind,
                int Line) {
  PageRow Result = {"line_" + std::to_string(Line), Line, "", Kind, u"", {}, 400, false, u"", u""};
  std::string &Problem = Result.Problem;
  if (Kind == Expecting::Unknown) {
    Problem = "a table of examples whose columns this test does not know";
    return Result;
  }
  if (Row.size() != Header.size()) {
    Problem = "the row has " + std::to_string(Row.size()) + " cells, its header " + std::to_string(Header.size());
    return Result;
  }
  if (!ReadLiteralCell(Row[0], Result.Format, Problem) || !ReadArguments(Row[1], Result.Arguments, Problem)) {
    return Result;
  }
  size_t OutputCell = 2;
  if (Kind == Expecting::WithBuffer) {
    UINT64 Size;
    if (!ReadNumber(Row[2], Size)) {
      Problem = "not a buffer size: " + Row[2];
      return Result;
    }
    Result.BufferSize = (UINTN)Size;
    OutputCell = 3;
    if (Row[3] == "refused") {
      Result.Refused = true;
      return Result;
    }
  }
  if (!ReadLiteralCell(Row[OutputCell], Result.Output8, Problem)) {
    return Result;
  }
  if (Kind == Expecting::ByOutputWidth) {
    ReadLiteralCell(Row[3], Result.Output16, Problem);
    return Result;
  }
  for (char16_t Character : Result.Output8) {
    if (Character > 0xFF) {
      Problem = "an output above \\u00FF differs between 8-bit and UCS-2 output: give both columns";
      return Result;
    }
  }
  Result.Output16 = Result.Output8;
  return Result;
}

std::vector<PageRow> ReadPage() {
  std::vector<PageRow> Rows;
  std::ifstream Page(QUILLMERE_FORMAT_PAGE);
  std::string Line;
  std::vector<std::string> Header;
  Expecting Kind = Expecting::EveryWidth;
  bool InExamples = false;
  for (int Number = 1; std::getline(Page, Line); Number++) {
    if (Line.rfind("|", 0) != 0) {
      InExamples = false;
      Header.clear();
      continue;
    }
    std::vector<std::string> Row = Cells(Line);
    if (Header.empty()) {
      Header = Row;
      InExamples = ReadHeader(Header, Kind);
      continue;
    }
    if (InExamples && Line.rfind("|---", 0) != 0) {
      Rows.push_back(ReadRow(Header, Row, Kind, Number));
    }
  }
  return Rows;
}

const std::vector<PageRow> &PageRows() {
  static const std::vector<PageRow> Rows = ReadPage();
  return Rows;
}

// GoogleTest names a failed case's parameter with this.
void PrintTo(const PageRow &Row, std::ostream *Out) { *Out << "docs/format-language.md line " << Row.Line; }

class FormatPage : public testing::TestWithParam<PageRow> {};

TEST_P(FormatPage, ExampleRendersAsShown) {
  const PageRow &Row = GetParam();
  ASSERT_EQ(Row.Problem, "") << "docs/format-language.md line " << Row.Line;
  if ((Row.Kind == Expecting::Only64BitBuild && sizeof(VOID *) != 8) ||
      (Row.Kind == Expecting::Only32BitBuild && sizeof(VOID *) != 4)) {
    GTEST_SKIP() << "an example for the other pointer width";
  }
  // The arguments' memory lives until the engine has read it.
  std::vector<std::string> Texts8;
  std::vector<std::u16string> Texts16;
  Texts8.reserve(Row.Arguments.size());
  Texts16.reserve(Row.Arguments.size());
  std::vector<UINT64> Slots;
  for (const Argument &Each : Row.Arguments) {
    if (Each.Kind == ArgumentKind::Text8 || Each.Kind == ArgumentKind::Bytes) {
      Texts8.push_back(Each.Bytes);
      Slots.push_back(PointerSlot(Texts8.back().c_str()));
    } else if (Each.Kind == ArgumentKind::Text16) {
      Texts16.push_back(Each.Text16);
      Slots.push_back(PointerSlot(Texts16.back().c_str()));
    } else {
      Slots.push_back(Each.Kind == ArgumentKind::Null ? 0 : Each.Integer);
    }
  }
  bool Fits8 = true;
  for (char16_t Character : Row.Format) {
    Fits8 = Fits8 && Character <= 0xFF;
  }
  std::string Format8;
  for (char16_t Character : Row.Format) {
    Format8.push_back((char)Character);
  }
  for (int FormatWide = Fits8 ? 0 : 1; FormatWide < 2; FormatWide++) {
    for (int OutputWide = 0; OutputWide < 2; OutputWide++) {
      SCOPED_TRACE(testing::Message() << "docs/format-language.md line " << Row.Line << ", "
                                      << (FormatWide ? "UCS-2" : "8-bit") << " format into "
                                      << (OutputWide ? "UCS-2" : "8-bit") << " output");
      const void *Format = FormatWide ? (const void *)Row.Format.c_str() : (const void *)Format8.c_str();
      Rendered Result = RenderGuarded(Format, FormatWide, OutputWide, Row.BufferSize, Slots);
      if (Row.Refused) {
        EXPECT_TRUE(Result.Refused) << "the page says the call is refused";
        EXPECT_EQ(Result.Count, 0u);
        continue;
      }
      EXPECT_FALSE(Result.Refused) << "refused, where the page shows an output";
      EXPECT_EQ(Result.Text, OutputWide ? Row.Output16 : Row.Output8);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(FormatLanguage, FormatPage, testing::ValuesIn(PageRows()), CaseName());

// The examples show every conversion and every modifier, so that a row
// lost from the page, or a page the test cannot find, does not pass
// unseen.
TEST(FormatPageCoverage, ShowsEveryConversionAndModifier) {
  ASSERT_FALSE(PageRows().empty()) << "no examples read from " << QUILLMERE_FORMAT_PAGE;
  std::set<char16_t> Conversions, Modifiers;
  for (const PageRow &Row : PageRows()) {
    const std::u16string &Format = Row.Format;
    for (size_t At = Format.find(u'%'); At != std::u16string::npos && At < Format.size();
         At = Format.find(u'%', At)) {
      At++;
      while (At < Format.size() && std::u16string(u"-+ ,.*0123456789lL").find(Format[At]) != std::u16string::npos) {
        Modifiers.insert(Format[At] >= u'1' && Format[At] <= u'9' ? u'1' : Format[At]);
        At++;
      }
      if (At < Format.size()) {
        Conversions.insert(Format[At]);
        At++;
      }
    }
  }
  for (char16_t Conversion : std::u16string(u"duxXpcsSagtr%")) {
    EXPECT_TRUE(Conversions.count(Conversion)) << "no example of %" << (char)Conversion;
  }
  for (char16_t Modifier : std::u16string(u"-+ ,.*01lL")) {
    EXPECT_TRUE(Modifiers.count(Modifier)) << "no example with the modifier '" << (char)Modifier << "'";
  }
}

}  // namespace
