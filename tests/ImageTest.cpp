// Checks on a linked image file: what the firmware's loader needs from it.
// The program is built once per architecture; QUILLMERE_IMAGE_MACHINE names
// the PE machine of the image it reads.
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

struct PeSection {
  std::string Name;
  uint32_t VirtualAddress;
  uint32_t RawSize;
  uint32_t RawOffset;
  uint32_t Characteristics;
  uint32_t VirtualSize;
};

// The 32-bit machines' images are PE32, whose optional header has a 4-byte
// image base and so its data directories 16 bytes nearer; the 64-bit ones
// are PE32+.
constexpr bool Pe32 = QUILLMERE_IMAGE_MACHINE == 0x014C || QUILLMERE_IMAGE_MACHINE == 0x01C2;

struct PeHeaders {
  std::string Image;
  size_t Coff = 0;      // the COFF file header, after "PE\0\0"
  size_t Optional = 0;  // the PE32 or PE32+ optional header
  size_t Directories() const { return Optional + (Pe32 ? 96 : 112); }
  uint64_t ImageBase() const { return Pe32 ? At<uint32_t>(Image, Optional + 28) : At<uint64_t>(Image, Optional + 24); }
  uint32_t DirectorySize(int Index) const { return At<uint32_t>(Image, Directories() + 8 * Index + 4); }
  std::vector<PeSection> Sections() const {
    std::vector<PeSection> List;
    size_t Table = Optional + At<uint16_t>(Image, Coff + 16);
    for (uint16_t Index = 0; Index < At<uint16_t>(Image, Coff + 2); Index++) {
      size_t Header = Table + 40 * Index;
      std::string Name = Image.substr(Header, 8);
      Name.resize(strnlen(Name.c_str(), 8));
      List.push_back({Name, At<uint32_t>(Image, Header + 12), At<uint32_t>(Image, Header + 16),
                      At<uint32_t>(Image, Header + 20), At<uint32_t>(Image, Header + 36),
                      At<uint32_t>(Image, Header + 8)});
    }
    return List;
  }
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
  EXPECT_EQ(At<uint16_t>(Pe.Image, Pe.Coff), QUILLMERE_IMAGE_MACHINE);  // 0x8664, 0xAA64, 0x014C or 0x01C2
  EXPECT_EQ(At<uint32_t>(Pe.Image, Pe.Coff + 8), 0u);               // no symbol table
  EXPECT_EQ(At<uint32_t>(Pe.Image, Pe.Coff + 12), 0u);              // and no symbols
  EXPECT_EQ(At<uint16_t>(Pe.Image, Pe.Coff + 18) & 0x0001, 0);      // relocations kept
  EXPECT_EQ(At<uint16_t>(Pe.Image, Pe.Optional), Pe32 ? 0x10B : 0x20B);  // PE32 or PE32+
  if (Pe32) {
    EXPECT_NE(At<uint16_t>(Pe.Image, Pe.Coff + 18) & 0x0100, 0);  // 32-bit machine
  }
  EXPECT_EQ(At<uint16_t>(Pe.Image, Pe.Optional + 68), 10);          // EFI application
  EXPECT_NE(At<uint16_t>(Pe.Image, Pe.Optional + 70) & 0x0040, 0);  // DYNAMIC_BASE
  ASSERT_GE(At<uint32_t>(Pe.Image, Pe.Directories() - 4), 13u);  // directory count
  EXPECT_EQ(Pe.DirectorySize(0), 0u);   // export
  EXPECT_EQ(Pe.DirectorySize(1), 0u);   // import
  EXPECT_GT(Pe.DirectorySize(5), 0u);   // base relocations
  EXPECT_EQ(Pe.DirectorySize(12), 0u);  // import address table
}

// Every base relocation patches one whole address of the machine's width:
// HIGHLOW (3) in a PE32 image, DIR64 (10) in a PE32+ one, with ABSOLUTE (0)
// only as a block's padding. U-Boot's loader refuses the kinds that patch
// instruction fields, such as the movw/movt pairs (7) of lld-link's ARM
// images.
TEST(Image, BaseRelocationsAreWholeAddresses) {
  PeHeaders Pe = ReadImage();
  uint32_t Rva = At<uint32_t>(Pe.Image, Pe.Directories() + 8 * 5);
  uint32_t Size = Pe.DirectorySize(5);
  size_t Offset = 0;
  for (const PeSection &Section : Pe.Sections()) {
    if (Section.VirtualAddress <= Rva && Rva + Size <= Section.VirtualAddress + Section.RawSize) {
      Offset = Section.RawOffset + (Rva - Section.VirtualAddress);
    }
  }
  ASSERT_NE(Offset, 0u) << "no section holds the base relocations";
  const unsigned Whole = Pe32 ? 3 : 10;
  int Entries = 0;
  for (size_t Block = Offset; Block < Offset + Size;) {
    uint32_t BlockSize = At<uint32_t>(Pe.Image, Block + 4);
    ASSERT_GE(BlockSize, 8u);
    for (size_t Entry = Block + 8; Entry < Block + BlockSize; Entry += 2) {
      unsigned Type = At<uint16_t>(Pe.Image, Entry) >> 12;
      EXPECT_TRUE(Type == Whole || (Type == 0 && Entry + 2 == Block + BlockSize)) << "type " << Type;
      Entries += Type == Whole;
    }
    Block += BlockSize;
  }
  EXPECT_GT(Entries, 0);
}

TEST(Image, SectionsAreAlignedAndNoneIsWritableCode) {
  constexpr uint32_t Code = 0x20000000, Write = 0x80000000;
  PeHeaders Pe = ReadImage();
  EXPECT_EQ(At<uint32_t>(Pe.Image, Pe.Optional + 32), 4096u);  // section alignment
  EXPECT_EQ(At<uint32_t>(Pe.Image, Pe.Optional + 36), 512u);   // file alignment
  EXPECT_EQ(Pe.DirectorySize(6), 0u);                          // no debug directory
  std::vector<PeSection> Sections = Pe.Sections();
  ASSERT_FALSE(Sections.empty());
  EXPECT_EQ(Sections.front().Name, ".text");
  EXPECT_EQ(Sections.back().Name, ".reloc");
  for (const PeSection &Section : Sections) {
    EXPECT_NE(Section.Characteristics & (Code | Write), Code | Write) << Section.Name;
    EXPECT_EQ(Section.VirtualAddress % 4096, 0u) << Section.Name;
    EXPECT_EQ(Section.RawOffset % 512, 0u) << Section.Name;
    EXPECT_EQ(Section.RawSize % 512, 0u) << Section.Name;
  }
}

TEST(Image, EntersAtApplicationEntry) {
  PeHeaders Pe = ReadImage();
  uint64_t Entry = Pe.ImageBase() + At<uint32_t>(Pe.Image, Pe.Optional + 16);
  // The link map lists each public symbol with its address: lld-link's as
  // "0001:000010e0 ApplicationEntry 00000001400020e0 ...", ld.lld's (whose
  // ELF addresses are the PE image's, at image base 0) as "2134 2134 28 1
  // ApplicationEntry" (address, load address, size, alignment). IA32 C names
  // start with "_".
  std::string Map = ReadFile(QUILLMERE_IMAGE_MAP);
  std::smatch Match;
  ASSERT_TRUE(std::regex_search(Map, Match, std::regex(R"(\s_?ApplicationEntry\s+([0-9a-fA-F]{16})\s)")) ||
              std::regex_search(Map, Match, std::regex(R"(\n *([0-9a-f]+) +[0-9a-f]+ +[0-9a-f]+ +1 +ApplicationEntry\n)")));
  EXPECT_EQ(Entry, std::stoull(Match[1].str(), nullptr, 16));
}

// An instruction line of llvm-objdump's listing names a register the image
// must not touch: an x86 MMX, SSE or AVX register (x86-64 and IA32), an AArch64 floating-point
// or SIMD register (v0-v31, or their q, d, s, h and b views), or a RISC-V
// floating-point register (f0-f31 or their ABI names ft, fs and fa) or
// status register (fcsr, fflags, frm), or is a RISC-V floating-point
// instruction (all begin with "f"; fence is the one integer instruction
// that does too), or is a 32-bit ARM VFP or NEON instruction (all begin with
// "v") or names one of their registers (s0-s31, d0-d31, q0-q15). Symbol names in angle brackets are left out, since a
// mangled name may spell anything.
bool NamesVectorRegister(std::string Line) {
  static const std::regex Symbol("<[^>]*>");
  // x87 registers are not looked for: clang keeps a switch's jump table in
  // .text on x86-64, and its bytes decode as x87 instructions as readily as
  // anything, while no SSE register has turned up in them.
  static const std::regex X64("%[xyz]?mm[0-9]");
  static const std::regex Aa64(
      "^ *[0-9a-f]+:\\s+\\S+\\s+.*\\b[vqdshb]([0-9]|[12][0-9]|3[01])(\\.[0-9a-z]+)?\\b");
  static const std::regex Riscv64(
      "^ *[0-9a-f]+:\\s+(f(?!ence)\\S*|\\S+\\s+.*\\b(f([0-9]|[12][0-9]|3[01])|ft([0-9]|1[01])|fs([0-9]|1[01])|"
      "fa[0-7]|fcsr|fflags|frm)\\b)");
  static const std::regex Arm("^ *[0-9a-f]+:\\s+(v\\S*|\\S+\\s+.*\\b([sd]([0-9]|[12][0-9]|3[01])|q([0-9]|1[0-5]))\\b)");
  Line = std::regex_replace(Line, Symbol, "");
  return std::regex_search(Line, QUILLMERE_IMAGE_MACHINE == 0xAA64   ? Aa64
                                 : QUILLMERE_IMAGE_MACHINE == 0x5064 ? Riscv64
                                 : QUILLMERE_IMAGE_MACHINE == 0x01C2 ? Arm
                                                                     : X64);
}

TEST(Image, VectorRegisterCheckSeesTheRegistersOfItsMachine) {
  // Lines as llvm-objdump prints them; each table holds the machine's own.
  struct Case {
    const char *Line;
    bool Named;
  };
  const std::vector<Case> Riscv64Cases = {{"    1a0:      \tfld\tft0, 0(a0)", true},
                                          {"     10:      \tfmv.d.x\tfa0, zero", true},
                                          {"     20:      \tfsd\tfs11, 8(sp)", true},
                                          {"     24:      \tflw\tf31, 0(a1)", true},
                                          {"     28:      \tcsrr\ta0, fcsr", true},
                                          {"     2c:      \tfence\trw, rw", false},
                                          {"     30:      \tsd\ts0, 32(sp)", false},
                                          {"     34:      \tld\ta1, 0(a1)", false},
                                          {"     38:      \tjal\t0x40 <_Z2f0v>", false}};
  const std::vector<Case> ArmCases = {{"    1a0:      \tvldr\td0, [r0, #8]", true},
                                      {"     10:      \tvpush\t{d8, d9}", true},
                                      {"     14:      \tvmov\ts0, r1", true},
                                      {"     18:      \tstr\tr1, [sp, #4]", false},
                                      {"     1c:      \tpush\t{r4, r5, r7, lr}", false},
                                      {"     20:      \tbl\t0x40 <_Z2d0v>", false}};
  const std::vector<Case> Cases =
      QUILLMERE_IMAGE_MACHINE == 0x01C2   ? ArmCases
      : QUILLMERE_IMAGE_MACHINE == 0x5064 ? Riscv64Cases
      : QUILLMERE_IMAGE_MACHINE == 0xAA64
          ? std::vector<Case>{{"     1a0:      \tldr\td0, [x27, #32]", true},
                              {"      10:      \tmovi\tv1.2d, #0000000000000000", true},
                              {"      20:      \tstr\tq31, [sp, #16]", true},
                              {"      b0:      \tmov\tx11, #-100", false},
                              {"      d0:      \tb\t0x108 <?Copy@@YAXPEBD0@Z+0x108>", false},
                              {"      c4:      \tbl\t0xc4 <?d0@@YAXXZ>", false}}
          : std::vector<Case>{{"  140001000:\tmovaps\t%xmm0, (%rsp)", true},
                              {"  140001004:\tvmovdqu\t%ymm1, (%rax)", true},
                              {"  140001010:\tmovq\t%rax, %rbx", false},
                              {"  140001014:\tcallq\t0x140001100 <xmm0>", false},
                              {"    401020:\tmovq\t%mm0, (%esp)", true},
                              {"    401024:\tmovl\t%eax, (%esp)", false}};
  for (const Case &Row : Cases) {
    EXPECT_EQ(NamesVectorRegister(Row.Line), Row.Named) << Row.Line;
  }
}

TEST(Image, UsesNoVectorRegisters) {
  // Firmware may start an application with the floating-point and vector
  // unit off, where any such instruction faults. The link puts the read-only
  // data into .text after the code; data bytes disassemble as anything, so
  // only the code is read: up to the first piece of section 1 that the link
  // map does not call .text. No disassembler here reads a RISC-V PE file: that
  // image's code is read from the ELF it was made from, whose .text section
  // holds the code alone (elf2efi_test checks that the PE holds the ELF's
  // bytes). The disassembler is given the floating-point and vector
  // extensions, which the image is not built with: without them it would
  // print such an instruction as "<unknown>", so any word it cannot decode
  // fails the check too.
  PeHeaders Pe = ReadImage();
  std::string Source = QUILLMERE_IMAGE_PATH;
  std::string StopOption;
  if (std::string(QUILLMERE_IMAGE_ELF).empty()) {
    std::string Map = ReadFile(QUILLMERE_IMAGE_MAP);
    std::regex Piece(R"(\n 0001:([0-9a-fA-F]+) +[0-9a-fA-F]+H +(\S+))");
    for (std::sregex_iterator Match(Map.begin(), Map.end(), Piece), End; Match != End; ++Match) {
      if ((*Match)[2].str() != ".text") {
        uint64_t Stop = Pe.ImageBase() + Pe.Sections().front().VirtualAddress +
                        std::stoull((*Match)[1].str(), nullptr, 16);
        StopOption = " --stop-address=" + std::to_string(Stop);
        break;
      }
    }
    ASSERT_FALSE(StopOption.empty()) << "the link map shows no read-only data after the code";
  } else {
    Source = QUILLMERE_IMAGE_ELF;
    // Decoded with the floating-point and vector instructions of the machine
    // known, so that one cannot hide as <unknown>. The ARM ELF keeps no build
    // attributes, so its Thumb-2 ARMv7-A code is named as such: decoded as
    // the default ARMv4T, most of it would be <unknown>.
    StopOption = QUILLMERE_IMAGE_MACHINE == 0x01C2 ? " --section=.text --triple=thumbv7a-none-eabi --mattr=+vfp3,+neon"
                                                   : " --section=.text --mattr=+m,+a,+c,+f,+d,+v";
  }
  std::string Command = QUILLMERE_LLVM_OBJDUMP " -d --no-show-raw-insn" + StopOption + " " + Source;
  FILE *Pipe = popen(Command.c_str(), "r");
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
    EXPECT_FALSE(NamesVectorRegister(Line)) << Line;
    if (!std::string(QUILLMERE_IMAGE_ELF).empty()) {
      EXPECT_EQ(Line.find("<unknown>"), std::string::npos) << Line;
    }
  }
  EXPECT_GT(Instructions, 500);
}

TEST(Image, CarriesShimsSbatDataAndNothingElseInItsSection) {
  // shim reads VirtualSize bytes of .sbat as CSV: its format line, then one
  // line for this application, each ended by a line feed, and no NUL after.
  constexpr char Sbat[] =
      "sbat,1,SBAT Version,sbat,1,https://github.com/rhboot/shim/blob/main/SBAT.md\n"
      "quillmere,1,quillmere,quillmere,0.1,https://quillmere.invalid/\n";
  constexpr uint32_t InitializedData = 0x00000040, Read = 0x40000000;
  PeHeaders Pe = ReadImage();
  int Found = 0;
  for (const PeSection &Section : Pe.Sections()) {
    if (Section.Name != ".sbat") {
      continue;
    }
    Found++;
    // Read-only data: neither writable, nor code, nor discardable.
    EXPECT_EQ(Section.Characteristics, InitializedData | Read);
    EXPECT_EQ(Section.VirtualSize, sizeof Sbat - 1);
    EXPECT_EQ(Section.RawSize, 512u);
    EXPECT_EQ(Pe.Image.substr(Section.RawOffset, Section.VirtualSize), Sbat);
    EXPECT_EQ(Pe.Image.substr(Section.RawOffset + Section.VirtualSize, Section.RawSize - Section.VirtualSize),
              std::string(Section.RawSize - Section.VirtualSize, '\0'));
  }
  EXPECT_EQ(Found, 1);
}

}  // namespace
