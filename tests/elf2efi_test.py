#!/usr/bin/env python3
"""The ELF-to-PE converter, scripts/elf2efi.py.

  elf2efi_test.py                       on hand-made ELF files: what a good
                                        one becomes, and each refusal
  elf2efi_test.py ELF IMAGE READELF     the built image against the ELF it was
                                        made from: each PE section holds
                                        exactly its segment's bytes, as
                                        llvm-readelf places the segments

The hand-made files are written by the small ELF writer below from literal
segments, relocations and symbols; what the PE must hold is written out as
literals too, never read back through the converter's own reader.
"""
import os
import re
import struct
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

SCRIPTS = Path(__file__).resolve().parents[1] / "scripts"
sys.path.insert(0, str(SCRIPTS))
import elf2efi  # noqa: E402
from image_report import read_pe  # noqa: E402  (a PE reader that shares nothing with the converter)

R_RISCV_64, R_RISCV_RELATIVE = 2, 3
PF_X, PF_W, PF_R = 1, 2, 4


def make_elf(segments, relocations=(), symbols=(), entry=0x1000, machine=243, elf_type=3, extra_phdrs=(),
             extra_sections=(), elf_class=2, rel=False):
    """A little-endian ELF file, 64-bit (elf_class 2) or 32-bit (1).
    segments: (flags, vaddr, bytes[, memsz]); relocations: (offset, type,
    addend, symbol index) for .rela.dyn, or for .rel.dyn with rel (the addend
    is then left out: it is in place); symbols: (name, section index) after
    the null one, in .dynsym; extra_phdrs: (type, offset, vaddr, size) headers
    beside the PT_LOADs; extra_sections: (name, type, flags, bytes, link,
    entsize)."""
    wide = elf_class == 2
    section_layout = "<IIQQQQIIQQ" if wide else "<IIIIIIIIII"
    symbol_size = 24 if wide else 16
    body = bytearray()
    placed = []
    for flags, vaddr, data, *memsz in segments:
        offset = 0x1000 + len(body)
        body += data + bytes(-len(data) % 0x1000)
        placed.append((flags, offset, vaddr, len(data), memsz[0] if memsz else len(data)))
    phdrs = [(1, flags, offset, vaddr, size, memsz) for flags, offset, vaddr, size, memsz in placed]
    phdrs += [(kind, 4, offset, vaddr, size, size) for kind, offset, vaddr, size in extra_phdrs]

    strings = bytearray(b"\0")
    symbol_table = bytearray(symbol_size)
    for name, shndx in symbols:
        symbol_table += (struct.pack("<IBBHQQ", len(strings), 0x10, 0, shndx, 0, 0) if wide
                         else struct.pack("<IIIBBH", len(strings), 0, 0, 0x10, 0, shndx))
        strings += name.encode() + b"\0"
    if wide:
        relocation_bytes = b"".join(struct.pack("<QQq", offset, symbol << 32 | kind, addend)
                                    for offset, kind, addend, symbol in relocations)
    else:
        relocation_bytes = b"".join(struct.pack("<II", offset, symbol << 8 | kind) if rel
                                    else struct.pack("<IIi", offset, symbol << 8 | kind, addend)
                                    for offset, kind, addend, symbol in relocations)
    relocation_size = (24 if wide else 12) if not rel else (16 if wide else 8)
    # name, type, flags, data, link (section index), entsize; index 1 is .dynsym, 2 .dynstr
    sections = [(".dynsym", 11, 2, bytes(symbol_table), 2, symbol_size), (".dynstr", 3, 2, bytes(strings), 0, 0),
                (".rel.dyn" if rel else ".rela.dyn", 9 if rel else 4, 2, relocation_bytes, 1, relocation_size)]
    sections += list(extra_sections)
    names = bytearray(b"\0")
    records = [struct.pack(section_layout, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0)]
    section_data = bytearray()
    data_start = 0x1000 + len(body)
    for flags, offset, vaddr, size, _ in placed:
        # The segment's own ELF section, named for what the PE section will be called.
        name = ".text" if flags & PF_X else ".data" if flags & PF_W else ".sbat"
        records.append(struct.pack(section_layout, len(names), 1, 2, vaddr, offset, size, 0, 0, 1, 0))
        names += name.encode() + b"\0"
    base = len(records) - 1
    for name, kind, flags, data, link, entsize in sections:
        records.append(struct.pack(section_layout, len(names), kind, flags, 0, data_start + len(section_data),
                                   len(data), link + base if link else 0, 0, 8, entsize))
        names += name.encode() + b"\0"
        section_data += data
    shstrndx = len(records)
    records.append(struct.pack(section_layout, len(names), 3, 0, 0, data_start + len(section_data),
                               len(names) + 10, 0, 0, 1, 0))
    names += b".shstrtab\0"
    section_data += names
    section_data += bytes(-len(section_data) % 8)
    shoff = data_start + len(section_data)

    header = bytearray(b"\x7fELF" + bytes([elf_class, 1, 1]) + bytes(9))
    if wide:
        header += struct.pack("<HHIQQQIHHHHHH", elf_type, machine, 1, entry, 64, shoff, 0, 64, 56, len(phdrs), 64,
                              len(records), shstrndx)
        for kind, flags, offset, vaddr, size, memsz in phdrs:
            header += struct.pack("<IIQQQQQQ", kind, flags, offset, vaddr, vaddr, size, memsz, 0x1000)
    else:
        header += struct.pack("<HHIIIIIHHHHHH", elf_type, machine, 1, entry, 52, shoff, 0, 52, 32, len(phdrs), 40,
                              len(records), shstrndx)
        for kind, flags, offset, vaddr, size, memsz in phdrs:
            header += struct.pack("<IIIIIIII", kind, offset, vaddr, vaddr, size, memsz, flags, 0x1000)
    assert len(header) <= 0x1000
    return bytes(header + bytes(0x1000 - len(header)) + body + section_data + b"".join(records))


def elf32_code_and_data(data, relocations, machine, **more):
    """An ELF32 with REL relocations: CODE at 0x1000, DATA at 0x2000."""
    return make_elf([(PF_R | PF_X, 0x1000, CODE), (PF_R | PF_W, 0x2000, data)], relocations=relocations,
                    machine=machine, elf_class=1, rel=True, **more)


CODE = bytes(range(0x20, 0x20 + 0x30))
# The data segment holds the addend in place at 0x2008, as a link with
# --apply-dynamic-relocs leaves it.
DATA = b"\xAA" * 8 + struct.pack("<Q", 0x1010) + b"\xBB" * 8
SBAT = b"sbat,1,SBAT Version,sbat,1,x\n"
GOOD = dict(segments=[(PF_R | PF_X, 0x1000, CODE), (PF_R | PF_W, 0x2000, DATA, 0x40), (PF_R, 0x3000, SBAT)],
            relocations=[(0x2008, R_RISCV_RELATIVE, 0x1010, 0)], entry=0x1004)


def good(**changes):
    return make_elf(**dict(GOOD, **changes))


class GoodImage(unittest.TestCase):
    def setUp(self):
        self.image = elf2efi.convert(good())
        self.pe = read_pe(self.image)

    def u16(self, offset):
        return struct.unpack_from("<H", self.image, offset)[0]

    def u32(self, offset):
        return struct.unpack_from("<I", self.image, offset)[0]

    def test_headers(self):
        coff = self.u32(0x3C) + 4
        optional = coff + 20
        self.assertEqual(self.image[:2], b"MZ")
        self.assertEqual((self.pe.machine, self.pe.headers_size, self.pe.file_alignment,
                          self.pe.section_alignment), (0x5064, 512, 512, 4096))
        self.assertEqual(self.u32(coff + 4), 0, "time stamp")
        self.assertEqual(self.u16(coff + 18) & 0x0001, 0, "relocations stripped")
        self.assertEqual(self.u16(optional), 0x20B)
        self.assertEqual(self.u32(optional + 16), 0x1004, "entry point")
        self.assertEqual(self.u32(optional + 56), 0x5000, "size of image")
        self.assertEqual(self.u16(optional + 68), 10, "subsystem")
        self.assertNotEqual(self.u16(optional + 70) & 0x0040, 0, "dynamic base")
        directory = optional + 112
        self.assertEqual([struct.unpack_from("<II", self.image, directory + 8 * i) for i in (0, 1, 5)],
                         [(0, 0), (0, 0), (0x4000, 12)])

    def test_one_section_per_segment_with_its_permissions(self):
        self.assertEqual([(s.name, s.virtual_size, s.raw_size, s.characteristics) for s in self.pe.sections],
                         [(".text", 0x30, 512, 0x60000020), (".data", 0x40, 512, 0xC0000040),
                          (".sbat", len(SBAT), 512, 0x40000040), (".reloc", 12, 512, 0x42000040)])

    def test_sections_hold_the_segments_bytes(self):
        for section, data in zip(self.pe.sections, [CODE, DATA, SBAT]):
            with self.subTest(section.name):
                self.assertEqual(self.image[section.raw_offset:section.raw_offset + section.raw_size],
                                 data + bytes(section.raw_size - len(data)))

    def test_relocation_block(self):
        reloc = self.pe.sections[-1]
        # Page 0x2000, 12 bytes: DIR64 (10) at offset 8, then padding.
        self.assertEqual(self.image[reloc.raw_offset:reloc.raw_offset + 12],
                         bytes.fromhex("00200000 0c000000 08a0 0000"))

    def test_the_addend_is_written_where_the_link_left_none(self):
        zeroed = DATA[:8] + bytes(8) + DATA[16:]
        image = elf2efi.convert(good(segments=[GOOD["segments"][0], (PF_R | PF_W, 0x2000, zeroed, 0x40)]))
        data = read_pe(image).sections[1]
        self.assertEqual(image[data.raw_offset:data.raw_offset + len(DATA)], DATA)

    def test_relocations_on_two_pages_in_address_order(self):
        code = bytes(0x1010)
        image = elf2efi.convert(good(segments=[(PF_R | PF_X, 0x1000, code)],
                                     relocations=[(0x2008, R_RISCV_RELATIVE, 0, 0),
                                                  (0x1FF8, R_RISCV_RELATIVE, 0, 0),
                                                  (0x1000, R_RISCV_RELATIVE, 0, 0)]))
        reloc = read_pe(image).sections[-1]
        self.assertEqual(image[reloc.raw_offset:reloc.raw_offset + reloc.virtual_size],
                         bytes.fromhex("00100000 0c000000 00a0 f8af" "00200000 0c000000 08a0 0000"))

    def test_reproducible(self):
        self.assertEqual(elf2efi.convert(good()), self.image)


class Pe32Image(unittest.TestCase):
    """A 32-bit machine through the same code: an ELF32 with REL relocations
    (the addend in place) becomes a PE32 image with HIGHLOW relocations. The
    row is made here for the test; a real machine's row lives in TARGETS."""

    def setUp(self):
        self.saved = dict(elf2efi.TARGETS)
        elf2efi.TARGETS[(0x7F01, 1)] = elf2efi.Target("test32", 0x7F02, False, relocations={7: 3},
                                                      relocation_names={7: "R_TEST_RELATIVE"})

    def tearDown(self):
        elf2efi.TARGETS.clear()
        elf2efi.TARGETS.update(self.saved)

    def test_headers_sections_and_relocations(self):
        # The second place ends the segment: four bytes are patched, not eight.
        data = b"\xAA" * 4 + struct.pack("<II", 0x1010, 0x1008)
        image = elf2efi.convert(elf32_code_and_data(data, [(0x2004, 7, None, 0), (0x2008, 7, None, 0)], 0x7F01,
                                                    entry=0x1001))
        pe = read_pe(image)
        coff = struct.unpack_from("<I", image, 0x3C)[0] + 4
        optional = coff + 20
        self.assertEqual(pe.machine, 0x7F02)
        self.assertEqual(struct.unpack_from("<HH", image, coff + 16), (224, 0x0102), "optional size, 32-bit machine")
        self.assertEqual(struct.unpack_from("<H", image, optional)[0], 0x10B)
        # Entry (the low bit kept, as a Thumb entry needs), base of code, base
        # of data, a 32-bit image base 0; subsystem at the same offset as in PE32+.
        self.assertEqual(struct.unpack_from("<IIII", image, optional + 16), (0x1001, 0x1000, 0x2000, 0))
        self.assertEqual(struct.unpack_from("<II", image, optional + 32), (4096, 512))
        self.assertEqual(struct.unpack_from("<H", image, optional + 68)[0], 10)
        self.assertEqual(struct.unpack_from("<II", image, optional + 96 + 8 * 5), (0x3000, 12))
        self.assertEqual([(s.name, s.virtual_size) for s in pe.sections], [(".text", 0x30), (".data", 12), (".reloc", 12)])
        data_section, reloc = pe.sections[1], pe.sections[2]
        self.assertEqual(image[data_section.raw_offset:data_section.raw_offset + 12], data)
        # Page 0x2000: HIGHLOW (3) at offsets 4 and 8.
        self.assertEqual(image[reloc.raw_offset:reloc.raw_offset + 12], bytes.fromhex("00200000 0c000000 0430 0830"))

    def test_another_relocation_kind(self):
        with self.assertRaisesRegex(elf2efi.Refusal, "relocation type 2 at 0x2004 cannot be carried over "
                                                     ".only R_TEST_RELATIVE"):
            elf2efi.convert(elf32_code_and_data(bytes(8), [(0x2004, 2, None, 0)], 0x7F01))


class ArmTarget(unittest.TestCase):
    """The 32-bit ARM row of TARGETS: an ELF32 for EM_ARM (40) becomes a PE32
    image for machine 0x01C2, the one U-Boot's ARM build loads, its
    R_ARM_RELATIVE words HIGHLOW relocations. (An absolute relocation is
    refused by its ARM name: a row of Refusals.)"""

    def test_relative_words_become_highlow(self):
        data = struct.pack("<I", 0x1010)
        image = elf2efi.convert(elf32_code_and_data(data, [(0x2000, 23, None, 0)], 40, entry=0x1001))
        pe = read_pe(image)
        self.assertEqual(pe.machine, 0x01C2)
        reloc = pe.sections[-1]
        # One HIGHLOW at offset 0 of page 0x2000, padded with an ABSOLUTE entry.
        self.assertEqual(image[reloc.raw_offset:reloc.raw_offset + 12], bytes.fromhex("00200000 0c000000 0030 0000"))


class Refusals(unittest.TestCase):
    CASES = [
        ("not an ELF file", b"MZ" + bytes(200), "not an ELF file"),
        ("an x86-64 ELF", good(machine=62), "ELF machine 62 .64-bit. is not one"),
        ("a 32-bit RISC-V ELF", good(elf_class=1), "ELF machine 243 .32-bit. is not one"),
        ("a position-dependent executable", good(elf_type=2), "not a position-independent executable"),
        ("another relocation kind",
         good(relocations=[(0x2008, R_RISCV_64, 0, 1)], symbols=[("AppSbat", 1)]),
         "relocation R_RISCV_64 at 0x2008 cannot be carried over .only R_RISCV_RELATIVE"),
        ("a relative relocation naming a symbol",
         good(relocations=[(0x2008, R_RISCV_RELATIVE, 0, 1)], symbols=[("Defined", 1)]),
         "relocation R_RISCV_RELATIVE at 0x2008 cannot be carried over"),
        ("a relocation that patches no file byte", good(relocations=[(0x2040, R_RISCV_RELATIVE, 0, 0)]),
         "at 0x2040 patches no loaded file byte"),
        ("a relocation running past its segment", good(relocations=[(0x2014, R_RISCV_RELATIVE, 0, 0)]),
         "at 0x2014 patches no loaded file byte"),
        ("an unresolved symbol", good(symbols=[("memcpy", 0)]), "unresolved symbol memcpy"),
        ("a writable and executable segment",
         good(segments=[(PF_R | PF_W | PF_X, 0x1000, CODE)], relocations=[]),
         "segment 0 at 0x1000 is writable and executable"),
        ("an entry in the data", good(entry=0x2000), "entry point 0x2000 is not in an executable segment"),
        ("an entry past the code's end", good(entry=0x1030), "entry point 0x1030 is not in an executable"),
        ("a segment off the page grid", good(segments=[(PF_R | PF_X, 0x1000, CODE), (PF_R | PF_W, 0x2100, DATA)]),
         "segment 1 at 0x2100 is not aligned to 4096"),
        ("a segment in the headers' page", good(segments=[(PF_R | PF_X, 0x0, CODE)], entry=0x4),
         "segment 0 at 0x0 lies in the first page"),
        ("overlapping segments",
         good(segments=[(PF_R | PF_X, 0x1000, CODE, 0x1800), (PF_R | PF_W, 0x2000, DATA)]),
         "segment 1 at 0x2000 .* overlaps"),
        ("a dynamic linker", good(extra_phdrs=[(3, 0x1000, 0x1000, 4)]), "dynamic linker"),
        ("thread-local storage", good(extra_phdrs=[(7, 0x1000, 0x1000, 4)]), "thread-local storage"),
        ("a shared library needed",
         good(symbols=[("libc.so", 1)], extra_sections=[(".dynamic", 6, 2, struct.pack("<qQqQ", 1, 1, 0, 0), 2, 16)]),
         "needs the shared library libc.so"),
        ("packed relocations", good(extra_sections=[(".relr.dyn", 19, 2, bytes(8), 0, 8)]), "SHT_RELR"),
        ("a file cut short", good()[:0x30], "cut short"),
        ("an ARM absolute relocation", elf32_code_and_data(bytes(8), [(0x2000, 2, None, 0)], 40),
         "relocation R_ARM_ABS32 at 0x2000 cannot be carried over .only R_ARM_RELATIVE"),
    ]

    def test_cases(self):
        for name, data, message in self.CASES:
            with self.subTest(name):
                with self.assertRaisesRegex(elf2efi.Refusal, message):
                    elf2efi.convert(data)

    def test_command_says_one_line_and_writes_nothing(self):
        with tempfile.TemporaryDirectory() as temp:
            source, output = Path(temp) / "in.elf", Path(temp) / "out.efi"
            source.write_bytes(good(symbols=[("memcpy", 0)]))
            output.write_bytes(b"earlier image")
            result = subprocess.run([sys.executable, SCRIPTS / "elf2efi.py", source, output],
                                    capture_output=True, text=True)
            self.assertEqual(result.returncode, 1)
            self.assertEqual(result.stderr, f"elf2efi: {source}: unresolved symbol memcpy\n")
            self.assertEqual(output.read_bytes(), b"earlier image")
            self.assertEqual(sorted(os.listdir(temp)), ["in.elf", "out.efi"])
            source.write_bytes(good())
            result = subprocess.run([sys.executable, SCRIPTS / "elf2efi.py", source, output],
                                    capture_output=True, text=True)
            self.assertEqual((result.returncode, result.stderr), (0, ""))
            self.assertEqual(output.read_bytes(), elf2efi.convert(good()))


def check_built_image(elf_path, image_path, readelf):
    """Each PT_LOAD as llvm-readelf lists it, against the PE section at its
    address: the same bytes, then zeros to the section's raw end."""
    listing = subprocess.run([readelf, "-lW", elf_path], capture_output=True, text=True, check=True).stdout
    loads = [tuple(int(field, 16) for field in match.groups()) for match in re.finditer(
        r"^\s*LOAD\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)\s+0x[0-9a-f]+\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)", listing, re.M)]
    elf = Path(elf_path).read_bytes()
    image = Path(image_path).read_bytes()
    sections = read_pe(image).sections
    failures = []
    if len(loads) != len(sections) - 1 or not loads:
        failures.append(f"{len(loads)} loadable segments, {len(sections)} PE sections")
    coff = struct.unpack_from("<I", image, 0x3C)[0] + 4
    table = coff + 20 + struct.unpack_from("<H", image, coff + 16)[0]
    for index, (offset, vaddr, filesz, memsz) in enumerate(loads):
        if index >= len(sections):
            break
        section = sections[index]
        rva, = struct.unpack_from("<I", image, table + 40 * index + 12)
        raw = image[section.raw_offset:section.raw_offset + section.raw_size]
        if (rva, section.virtual_size) != (vaddr, memsz):
            failures.append(f"{section.name}: at {rva:#x} with {section.virtual_size} bytes, "
                            f"the segment at {vaddr:#x} with {memsz}")
        if raw != elf[offset:offset + filesz] + bytes(section.raw_size - filesz):
            failures.append(f"{section.name}: bytes differ from the segment at {vaddr:#x}")
    for failure in failures:
        print("FAIL:", failure)
    print(f"{len(loads)} segments compared")
    return 1 if failures else 0


if __name__ == "__main__":
    if len(sys.argv) == 4:
        sys.exit(check_built_image(*sys.argv[1:]))
    unittest.main()
