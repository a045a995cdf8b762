// Checks on the linked image file: what the firmware's loader needs from it.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string ReadFile(const char *Path) {
  std::ifstream File(Path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(File), {});
}

template <typename Type>
Type At(const std::string &Image, size_t Offset) {
  Type Value{};
  if (Offset + sizeof Value <= Image.size()) {
    memcpy(&Value, Image.data() + Offset, sizeof Value);
  }
  return Value;
}

struct PeHeaders {
  std::string Image;
  size_t Coff = 0;      // the COFF file header, after "PE\0\0"
  size_t Optional = 0;  // the PE32+ optional header
  uint32_t DirectorySize(int Index) const { return At<uint32_t>(Image, Optional + 112 + 8 * Index + 4); }
};

PeHeaders ReadImage() {
  PeHeaders Headers;
  Headers.Image = ReadFile(QUILLMERE_IMAGE_PATH);
  uint32_t PeOffset = At<uint32_t>(Headers.Image, 0x3C);
  EXPECT_EQ(Headers.Image.compare(0, 2, "MZ"), 0);
  EXPECT_EQ(Headers.Image.compare(PeOffset, 4, std::string("PE\0\0", 4)), 0);
  Headers.Coff = PeOffset + 4;
  Headers.Optional = Headers.Coff + 20;
  return Headers;
}

TEST(Image, IsARelocatableEfiApplicationThatImportsNothing) {
  PeHeaders Pe = ReadImage();
  ASSERT_GT(Pe.Image.size(), 512u);
  EXPECT_EQ(At<uint16_t>(Pe.Image, Pe.Coff), 0x8664);               // machine x86-64
  EXPECT_EQ(At<uint32_t>(Pe.Image, Pe.Coff + 8), 0u);               // no symbol table
  EXPECT_EQ(At<uint32_t>(Pe.Image, Pe.Coff + 12), 0u);              // and no symbols
  EXPECT_EQ(At<uint16_t>(Pe.Image, Pe.Coff + 18) & 0x0001, 0);      // relocations kept
  EXPECT_EQ(At<uint16_t>(Pe.Image, Pe.Optional), 0x20B);            // PE32+
  EXPECT_EQ(At<uint16_t>(Pe.Image, Pe.Optional + 68), 10);          // EFI application
  EXPECT_NE(At<uint16_t>(Pe.Image, Pe.Optional + 70) & 0x0040, 0);  // DYNAMIC_BASE
  ASSERT_GE(At<uint32_t>(Pe.Image, Pe.Optional + 108), 13u);
  EXPECT_EQ(Pe.DirectorySize(0), 0u);   // export
  EXPECT_EQ(Pe.DirectorySize(1), 0u);   // import
  EXPECT_GT(Pe.DirectorySize(5), 0u);   // base relocations
  EXPECT_EQ(Pe.DirectorySize(12), 0u);  // import address table
}

TEST(Image, EntersAtApplicationEntry) {
  PeHeaders Pe = ReadImage();
  uint64_t Entry = At<uint64_t>(Pe.Image, Pe.Optional + 24) + At<uint32_t>(Pe.Image, Pe.Optional + 16);
  // The link map lists each public symbol with its address: "0001:000010e0
  // ApplicationEntry 00000001400020e0 ...".
  std::string Map = ReadFile(QUILLMERE_IMAGE_MAP);
  std::smatch Match;
  ASSERT_TRUE(std::regex_search(Map, Match, std::regex(R"(\sApplicationEntry\s+([0-9a-fA-F]{16})\s)")));
  EXPECT_EQ(Entry, std::stoull(Match[1].str(), nullptr, 16));
}

TEST(Image, UsesNoVectorRegisters) {
  // Firmware may start an application with SSE disabled, where any xmm
  // instruction faults.
  FILE *Pipe = popen(QUILLMERE_LLVM_OBJDUMP " -d --no-show-raw-insn " QUILLMERE_IMAGE_PATH, "r");
  ASSERT_NE(Pipe, nullptr);
  std::string Listing;
  char Chunk[4096];
  for (size_t Read; (Read = fread(Chunk, 1, sizeof Chunk, Pipe)) > 0;) {
    Listing.append(Chunk, Read);
  }
  ASSERT_EQ(pclose(Pipe), 0);
  std::istringstream Lines(Listing);
  std::regex Instruction("^ *[0-9a-f]+:\\s");
  int Instructions = 0;
  for (std::string Line; std::getline(Lines, Line);) {
    Instructions += std::regex_search(Line, Instruction);
    EXPECT_FALSE(std::regex_search(Line, std::regex("[xyz]mm[0-9]"))) << Line;
  }
  EXPECT_GT(Instructions, 500);
}

}  // namespace
