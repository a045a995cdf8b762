// libFuzzer target for the option reader: ReadOptionWords on text taken from
// the input, checked against a model written here with the standard library.
//
// Input layout: byte 0 bit 0 reads the rest as UCS-2 (else 8-bit text), bit 1
// hands it over from an odd address; the rest is the text, handed over with
// exactly its size in a heap block of that size, so any read past it is a
// heap overflow. The options and the console lines must be the model's.

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "FakeFirmware.h"
#include "FuzzCheck.h"
#include "Options.h"

namespace {

struct Model {
  bool Wait = false;
  UINT32 Seconds = 0;
  std::u16string Path;
  bool Verify = false;
  std::vector<std::u16string> Lines;
};

bool StartsWith(const std::u16string &Text, const std::u16string &Start) { return Text.compare(0, Start.size(), Start) == 0; }

Model ReadModel(const uint8_t *Data, size_t Size, bool Wide) {
  std::u16string Text;
  for (size_t At = 0; At + (Wide ? 1 : 0) < Size; At += Wide ? 2 : 1) {
    char16_t Character = Wide ? (char16_t)(Data[At] | Data[At + 1] << 8) : Data[At];
    if (Character == 0) {
      break;
    }
    Text += Character;
  }
  Model Result;
  const std::u16string Blanks = u" \t\r\n";
  for (size_t Start = Text.find_first_not_of(Blanks); Start != std::u16string::npos;
       Start = Text.find_first_not_of(Blanks, Start)) {
    size_t End = Text.find_first_of(Blanks, Start);
    std::u16string Word = Text.substr(Start, End == std::u16string::npos ? std::u16string::npos : End - Start);
    Start = End;
    if (!StartsWith(Word, u"quillmere.")) {
      continue;
    }
    std::u16string Name = Word.substr(10), Shown = Word.substr(0, 144);
    if (Name == u"wait") {
      Result.Wait = true;
      Result.Seconds = 0;
    } else if (StartsWith(Name, u"wait=")) {
      std::u16string Value = Name.substr(5);
      bool Digits = !Value.empty() && Value.size() <= 6 &&
                    Value.find_first_not_of(u"0123456789") == std::u16string::npos;
      UINT32 Number = Digits ? (UINT32)std::stoul(std::string(Value.begin(), Value.end())) : 0;
      if (Digits && Number <= 86400) {
        Result.Wait = Number != 0;
        Result.Seconds = Number;
      } else {
        Result.Lines.push_back(Shown + u": bad value, ignored\r\n");
      }
    } else if (Name == u"verify" || Name == u"verify=1" || Name == u"verify=0") {
      Result.Verify = Name != u"verify=0";
    } else if (StartsWith(Name, u"verify=")) {
      Result.Lines.push_back(Shown + u": bad value, ignored\r\n");
    } else if (Name == u"report" || (StartsWith(Name, u"report=") && Word.size() > 144)) {
      Result.Lines.push_back(Shown + u": bad value, ignored\r\n");
    } else if (StartsWith(Name, u"report=")) {
      Result.Path = Name.substr(7);
      for (char16_t &Character : Result.Path) {
        Character = Character == u'/' ? u'\\' : Character;
      }
    } else {
      Result.Lines.push_back(Shown + u": not an option, ignored\r\n");
    }
  }
  return Result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  if (Size == 0) {
    return 0;
  }
  bool Wide = Data[0] & 1;
  size_t Skip = (Data[0] >> 1) & 1;
  // The text in a block of exactly its size, behind Skip bytes.
  uint8_t *Exact = new uint8_t[Skip + Size - 1];
  memcpy(Exact + Skip, Data + 1, Size - 1);

  FakeFirmware Firmware;
  Firmware.InstallGlobals();
  RunOptions Options;
  SetDefaultOptions(&Options);
  ReadOptionWords(&Options, Exact + Skip, Size - 1, Wide ? TRUE : FALSE);
  Model Expected = ReadModel(Data + 1, Size - 1, Wide);
  delete[] Exact;

  CHECK(Options.Wait == Expected.Wait);
  CHECK(!Expected.Wait || Options.WaitSeconds == Expected.Seconds);
  CHECK(std::u16string(Options.ReportPath) == Expected.Path);
  CHECK((Options.Verify != 0) == Expected.Verify);
  CHECK(Firmware.Shown == Expected.Lines);
  CHECK(Firmware.Live.empty() && Firmware.Mistakes == 0);
  return 0;
}
