#!/usr/bin/env python3
"""Writes an EFI application (PE) from a linked, position-independent ELF.

  elf2efi.py ELF OUTPUT

Where no linker writes a PE image for a machine, the image is linked as a
static PIE (ld.lld -pie --no-dynamic-linker) and this turns it into the PE
file the firmware loads: one PE section per loadable segment, with the
segment's bytes and permissions and named after the first ELF section in it;
the entry point; and a .reloc section made from the ELF's relative
relocations, which are the only ones a static PIE has. The ELF is read with
struct (its headers are a few fixed records), so the script needs nothing
beyond Python itself.

Each ELF relocation becomes one PE base relocation, and the place it patches
gets the value that the PE's image base and the relocation's addend give,
which is what the link wrote there when it ran with --apply-dynamic-relocs:
then every PE section holds exactly its segment's bytes. The output is the
same for the same input: no time stamp, nothing taken from the environment.

Anything the PE cannot carry over faithfully is refused, with one line on
stderr naming it and exit status 1, and no output written: another kind of
dynamic relocation, an unresolved symbol, a shared library or interpreter
needed, thread-local storage, a segment both writable and executable, a
segment not aligned to the PE section alignment, an entry point outside the
code.

Machines are rows of TARGETS, each naming its PE machine and header kind
(PE32+ or PE32) and which ELF relocation kind becomes which PE relocation.
"""
import os
import struct
import sys
import tempfile
from dataclasses import dataclass
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import machines  # noqa: E402

MACHINES = machines.load()

SECTION_ALIGNMENT = 4096
FILE_ALIGNMENT = 512
IMAGE_BASE = 0
DOS_HEADER = 64

# ELF constants used here.
ET_DYN = 3
PT_LOAD, PT_INTERP, PT_TLS = 1, 3, 7
PF_X, PF_W = 1, 2
SHT_SYMTAB, SHT_RELA, SHT_DYNAMIC, SHT_REL, SHT_DYNSYM, SHT_RELR = 2, 4, 6, 9, 11, 19
SHF_ALLOC = 2
DT_NULL, DT_NEEDED = 0, 1
EM_ARM = 40
EM_RISCV = 243

# PE constants used here.
IMAGE_REL_BASED_ABSOLUTE = 0
IMAGE_REL_BASED_HIGHLOW = 3
IMAGE_REL_BASED_DIR64 = 10
IMAGE_SCN_CNT_CODE = 0x00000020
IMAGE_SCN_CNT_INITIALIZED_DATA = 0x00000040
IMAGE_SCN_CNT_UNINITIALIZED_DATA = 0x00000080
IMAGE_SCN_MEM_DISCARDABLE = 0x02000000
IMAGE_SCN_MEM_EXECUTE = 0x20000000
IMAGE_SCN_MEM_READ = 0x40000000
IMAGE_SCN_MEM_WRITE = 0x80000000
IMAGE_FILE_EXECUTABLE_IMAGE = 0x0002
IMAGE_FILE_LARGE_ADDRESS_AWARE = 0x0020
IMAGE_FILE_32BIT_MACHINE = 0x0100
# HIGH_ENTROPY_VA, DYNAMIC_BASE, NX_COMPAT: what lld-link sets for the other
# images.
DLL_CHARACTERISTICS = 0x0020 | 0x0040 | 0x0100
IMAGE_SUBSYSTEM_EFI_APPLICATION = 10
DIRECTORIES = 16
BASE_RELOCATION_DIRECTORY = 5


@dataclass
class Target:
    name: str
    pe_machine: int
    pe32_plus: bool             # PE32+ (64-bit) or PE32 optional header
    relocations: dict           # ELF relocation type -> PE base relocation type
    relocation_names: dict      # ELF relocation type -> its name, for messages


# (ELF machine, ELF class: 1 for 32-bit, 2 for 64-bit) -> what it becomes. A
# 32-bit machine is a row with pe32_plus False and a HIGHLOW relocation; its
# ELF32 file, REL relocations (addend in place) and PE32 headers are read and
# written by the same code (tests/elf2efi_test.py's Pe32Image).
TARGETS = {
    (EM_RISCV, 2): Target("riscv64", MACHINES["riscv64"].pe_machine, True,
                          relocations={3: IMAGE_REL_BASED_DIR64},  # R_RISCV_RELATIVE
                          relocation_names={0: "R_RISCV_NONE", 1: "R_RISCV_32", 2: "R_RISCV_64",
                                            3: "R_RISCV_RELATIVE", 4: "R_RISCV_COPY",
                                            5: "R_RISCV_JUMP_SLOT"}),
    # 32-bit ARM: PE32, machine ARMTHUMB_MIXED (the table's), the one U-Boot's
    # ARM build loads; its relative relocations are REL entries with the addend in place.
    (EM_ARM, 1): Target("arm", MACHINES["arm"].pe_machine, False,
                        relocations={23: IMAGE_REL_BASED_HIGHLOW},  # R_ARM_RELATIVE
                        relocation_names={0: "R_ARM_NONE", 2: "R_ARM_ABS32", 20: "R_ARM_COPY",
                                          21: "R_ARM_GLOB_DAT", 22: "R_ARM_JUMP_SLOT", 23: "R_ARM_RELATIVE"}),
}

# The width a PE base relocation patches, in bytes.
PATCH_WIDTH = {IMAGE_REL_BASED_DIR64: 8, IMAGE_REL_BASED_HIGHLOW: 4}


class Refusal(Exception):
    pass


@dataclass
class Segment:
    index: int
    flags: int
    offset: int
    vaddr: int
    filesz: int
    memsz: int
    data: bytearray = None
    name: str = None


@dataclass
class Elf:
    target: Target
    entry: int
    segments: list      # the PT_LOAD ones, in address order
    relocations: list   # (place, ELF type, addend or None when it is in place, symbol index)
    symbols: list       # (name, section index), every symbol table's
    needed: list        # DT_NEEDED entries' string offsets
    interpreter: bool
    tls: bool
    names: dict         # allocated section name -> its address


def align(value, alignment):
    return (value + alignment - 1) // alignment * alignment


def read_elf(data):
    if data[:4] != b"\x7fELF":
        raise Refusal("not an ELF file")
    elf_class, encoding = data[4], data[5]
    if elf_class not in (1, 2) or encoding != 1:
        raise Refusal("not a little-endian 32- or 64-bit ELF file")
    wide = elf_class == 2
    word = "Q" if wide else "I"
    try:
        header = struct.unpack_from(f"<HHI{word}{word}{word}IHHHHHH", data, 16)
    except struct.error:
        raise Refusal("the ELF header is cut short") from None
    elf_type, machine, _, entry, phoff, shoff, _, _, phentsize, phnum, shentsize, shnum, shstrndx = header
    target = TARGETS.get((machine, elf_class))
    if target is None:
        known = ", ".join(t.name for t in TARGETS.values())
        raise Refusal(f"ELF machine {machine} ({'64' if wide else '32'}-bit) is not one this converter "
                      f"writes ({known})")
    if elf_type != ET_DYN:
        raise Refusal(f"not a position-independent executable (ELF type {elf_type}; link with -pie)")

    def unpack(layout, offset):
        try:
            return struct.unpack_from(layout, data, offset)
        except struct.error:
            raise Refusal(f"the ELF file is cut short at offset {offset:#x}") from None

    def contents(offset, size):
        if offset + size > len(data):
            raise Refusal(f"the ELF file is cut short at offset {offset:#x}")
        return data[offset:offset + size]

    segments, interpreter, tls = [], False, False
    for index in range(phnum):
        at = phoff + index * phentsize
        if wide:
            p_type, p_flags, p_offset, p_vaddr, _, p_filesz, p_memsz, _ = unpack("<IIQQQQQQ", at)
        else:
            p_type, p_offset, p_vaddr, _, p_filesz, p_memsz, p_flags, _ = unpack("<IIIIIIII", at)
        interpreter |= p_type == PT_INTERP
        tls |= p_type == PT_TLS
        if p_type == PT_LOAD:
            segment = Segment(index, p_flags, p_offset, p_vaddr, p_filesz, p_memsz)
            segment.data = bytearray(contents(p_offset, p_filesz))
            segments.append(segment)
    segments.sort(key=lambda s: s.vaddr)

    sections = []
    for index in range(shnum):
        at = shoff + index * shentsize
        if wide:
            fields = unpack("<IIQQQQIIQQ", at)
        else:
            fields = unpack("<IIIIIIIIII", at)
        sections.append(fields)  # name, type, flags, addr, offset, size, link, info, addralign, entsize

    def string(table, offset):
        if table >= len(sections):
            raise Refusal(f"string table {table} does not exist")
        _, _, _, _, str_offset, str_size, *_ = sections[table]
        text = contents(str_offset, str_size)
        end = text.find(b"\0", offset)
        return text[offset:end if end >= 0 else len(text)].decode("latin-1")

    # Where each allocated section starts, by name, for naming the PE sections.
    names = {}
    if shstrndx < len(sections):
        for name, _, flags, addr, _, size, *_ in sections:
            if flags & SHF_ALLOC and size:
                names.setdefault(string(shstrndx, name), addr)

    relocations, symbols, needed = [], [], []
    for name, kind, flags, addr, offset, size, link, _, _, entsize in sections:
        if kind == SHT_RELR:
            raise Refusal("packed relative relocations (SHT_RELR) are not read; link without --pack-dyn-relocs=relr")
        if kind in (SHT_RELA, SHT_REL) and flags & SHF_ALLOC:
            layout = {(True, SHT_RELA): "<QQq", (True, SHT_REL): "<QQ",
                      (False, SHT_RELA): "<IIi", (False, SHT_REL): "<II"}[(wide, kind)]
            step = entsize or struct.calcsize(layout)
            for at in range(offset, offset + size, step):
                fields = unpack(layout, at)
                r_type = fields[1] & 0xFFFFFFFF if wide else fields[1] & 0xFF
                r_symbol = fields[1] >> 32 if wide else fields[1] >> 8
                relocations.append((fields[0], r_type, fields[2] if kind == SHT_RELA else None, r_symbol))
        if kind in (SHT_SYMTAB, SHT_DYNSYM):
            layout = "<IBBHQQ" if wide else "<IIIBBH"
            step = entsize or struct.calcsize(layout)
            for at in range(offset + step, offset + size, step):  # entry 0 is the null symbol
                fields = unpack(layout, at)
                st_name, st_shndx = fields[0], fields[3] if wide else fields[5]
                symbols.append((string(link, st_name), st_shndx))
        if kind == SHT_DYNAMIC:
            layout = "<qQ" if wide else "<iI"
            for at in range(offset, offset + size, struct.calcsize(layout)):
                tag, value = unpack(layout, at)
                if tag == DT_NULL:
                    break
                if tag == DT_NEEDED:
                    needed.append(string(link, value))
    return Elf(target, entry, segments, relocations, symbols, needed, interpreter, tls, names)


def check(elf):
    if elf.interpreter:
        raise Refusal("the ELF asks for a dynamic linker (PT_INTERP); link with --no-dynamic-linker")
    if elf.needed:
        raise Refusal(f"the ELF needs the shared library {elf.needed[0]}; a PE application imports nothing")
    if elf.tls:
        raise Refusal("the ELF has thread-local storage (PT_TLS), which an EFI application cannot have")
    undefined = sorted({name for name, shndx in elf.symbols if shndx == 0 and name})
    if undefined:
        raise Refusal(f"unresolved symbol {undefined[0]}")
    if not elf.segments:
        raise Refusal("the ELF has no loadable segment")
    previous_end = SECTION_ALIGNMENT
    for segment in elf.segments:
        where = f"segment {segment.index} at {segment.vaddr:#x}"
        if segment.flags & PF_W and segment.flags & PF_X:
            raise Refusal(f"{where} is writable and executable")
        if segment.vaddr % SECTION_ALIGNMENT:
            raise Refusal(f"{where} is not aligned to {SECTION_ALIGNMENT} bytes "
                          "(link with -z separate-loadable-segments or a script that aligns it)")
        if segment.vaddr < previous_end:
            raise Refusal(f"{where} lies in the first page, which holds the PE headers, or overlaps "
                          "the segment before it (start the link at 0x1000)")
        if segment.filesz > segment.memsz:
            raise Refusal(f"{where} has more file bytes than memory")
        previous_end = align(segment.vaddr + segment.memsz, SECTION_ALIGNMENT)
    code = [s for s in elf.segments if s.flags & PF_X]
    if not any(s.vaddr <= elf.entry < s.vaddr + s.filesz for s in code):
        raise Refusal(f"the entry point {elf.entry:#x} is not in an executable segment")


def segment_at(elf, address, width):
    for segment in elf.segments:
        if segment.vaddr <= address and address + width <= segment.vaddr + segment.filesz:
            return segment
    return None


def apply_relocations(elf):
    """Patches every place with the loaded-at-IMAGE_BASE value and returns the
    (address, PE type) pairs, in address order."""
    target = elf.target
    based = []
    for place, r_type, addend, symbol in elf.relocations:
        name = target.relocation_names.get(r_type, f"type {r_type}")
        if r_type not in target.relocations or symbol != 0:
            kept = ", ".join(target.relocation_names.get(t, str(t)) for t in target.relocations)
            raise Refusal(f"relocation {name} at {place:#x} cannot be carried over (only {kept} can)")
        pe_type = target.relocations[r_type]
        width = PATCH_WIDTH[pe_type]
        segment = segment_at(elf, place, width)
        if segment is None:
            raise Refusal(f"relocation {name} at {place:#x} patches no loaded file byte")
        at = place - segment.vaddr
        layout = "<Q" if width == 8 else "<I"
        if addend is None:  # REL: the addend is the value in place
            addend, = struct.unpack_from(layout, segment.data, at)
        struct.pack_into(layout, segment.data, at, (IMAGE_BASE + addend) & ((1 << (8 * width)) - 1))
        based.append((place, pe_type))
    return sorted(based)


def relocation_blocks(based):
    """The .reloc contents: one block per 4 KiB page, each entry the type in
    the top 4 bits and the offset in the page, padded to 4 bytes."""
    blocks = bytearray()
    pages = {}
    for address, pe_type in based:
        pages.setdefault(address & ~0xFFF, []).append(pe_type << 12 | address & 0xFFF)
    for page in sorted(pages):
        entries = pages[page]
        if len(entries) % 2:
            entries.append(IMAGE_REL_BASED_ABSOLUTE << 12)
        blocks += struct.pack("<II", page, 8 + 2 * len(entries))
        blocks += struct.pack(f"<{len(entries)}H", *entries)
    return bytes(blocks)


def section_name(sections, segment):
    """The name of the first ELF section the segment starts with, else one
    from its permissions."""
    for name in sections:
        if sections[name] == segment.vaddr:
            return name[:8]
    if segment.flags & PF_X:
        return ".text"
    return ".data" if segment.flags & PF_W else ".rdata"


def write_pe(elf):
    target = elf.target
    based = apply_relocations(elf)
    reloc = relocation_blocks(based)
    optional_size = (112 if target.pe32_plus else 96) + 8 * DIRECTORIES
    count = len(elf.segments) + 1
    headers_size = align(DOS_HEADER + 4 + 20 + optional_size + 40 * count, FILE_ALIGNMENT)

    table = []  # name, virtual size, RVA, raw data, characteristics
    for segment in elf.segments:
        characteristics = IMAGE_SCN_MEM_READ
        if segment.flags & PF_X:
            characteristics |= IMAGE_SCN_CNT_CODE | IMAGE_SCN_MEM_EXECUTE
        elif segment.filesz:
            characteristics |= IMAGE_SCN_CNT_INITIALIZED_DATA
        else:
            characteristics |= IMAGE_SCN_CNT_UNINITIALIZED_DATA
        if segment.flags & PF_W:
            characteristics |= IMAGE_SCN_MEM_WRITE
        table.append((section_name(elf.names, segment), segment.memsz, segment.vaddr, bytes(segment.data),
                      characteristics))
    last = elf.segments[-1]
    reloc_rva = align(last.vaddr + last.memsz, SECTION_ALIGNMENT)
    table.append((".reloc", len(reloc), reloc_rva, reloc,
                  IMAGE_SCN_CNT_INITIALIZED_DATA | IMAGE_SCN_MEM_DISCARDABLE | IMAGE_SCN_MEM_READ))
    image_size = align(reloc_rva + len(reloc), SECTION_ALIGNMENT)

    body = bytearray()
    headers = []
    for name, virtual_size, rva, raw, characteristics in table:
        raw_size = align(len(raw), FILE_ALIGNMENT)
        raw_offset = headers_size + len(body) if raw_size else 0
        body += raw + bytes(raw_size - len(raw))
        headers.append(struct.pack("<8sIIIIIIHHI", name.encode("ascii"), virtual_size, rva, raw_size,
                                   raw_offset, 0, 0, 0, 0, characteristics))

    def total(flag):
        return sum(align(len(raw), FILE_ALIGNMENT) for _, _, _, raw, c in table if c & flag)

    code_sections = [rva for _, _, rva, _, c in table if c & IMAGE_SCN_CNT_CODE]
    characteristics = IMAGE_FILE_EXECUTABLE_IMAGE
    characteristics |= IMAGE_FILE_LARGE_ADDRESS_AWARE if target.pe32_plus else IMAGE_FILE_32BIT_MACHINE
    coff = struct.pack("<HHIIIHH", target.pe_machine, count, 0, 0, 0, optional_size, characteristics)
    standard = struct.pack("<HBBIIIII", 0x20B if target.pe32_plus else 0x10B, 0, 0,
                           total(IMAGE_SCN_CNT_CODE), total(IMAGE_SCN_CNT_INITIALIZED_DATA),
                           sum(memsz for _, memsz, _, raw, c in table if c & IMAGE_SCN_CNT_UNINITIALIZED_DATA),
                           elf.entry, code_sections[0])
    if target.pe32_plus:
        windows = struct.pack("<QII", IMAGE_BASE, SECTION_ALIGNMENT, FILE_ALIGNMENT)
    else:
        data_sections = [rva for _, _, rva, _, c in table if not c & IMAGE_SCN_CNT_CODE]
        windows = struct.pack("<IIII", data_sections[0], IMAGE_BASE, SECTION_ALIGNMENT, FILE_ALIGNMENT)
    sizes = "Q" if target.pe32_plus else "I"
    windows += struct.pack(f"<HHHHHHIIIIHH{sizes * 4}II", 6, 0, 0, 0, 6, 0, 0, image_size, headers_size, 0,
                           IMAGE_SUBSYSTEM_EFI_APPLICATION, DLL_CHARACTERISTICS,
                           0x100000, 0x1000, 0x100000, 0x1000, 0, DIRECTORIES)
    directories = [(0, 0)] * DIRECTORIES
    if reloc:
        directories[BASE_RELOCATION_DIRECTORY] = (reloc_rva, len(reloc))
    directory_bytes = b"".join(struct.pack("<II", *entry) for entry in directories)

    image = bytearray(headers_size)
    image[0:2] = b"MZ"
    struct.pack_into("<I", image, 0x3C, DOS_HEADER)
    pe_headers = b"PE\0\0" + coff + standard + windows + directory_bytes + b"".join(headers)
    image[DOS_HEADER:DOS_HEADER + len(pe_headers)] = pe_headers
    return bytes(image + body)


def convert(data):
    elf = read_elf(data)
    check(elf)
    return write_pe(elf)


def main():
    if len(sys.argv) != 3:
        sys.exit("elf2efi: usage: elf2efi.py ELF OUTPUT")
    source, output = sys.argv[1], sys.argv[2]
    try:
        with open(source, "rb") as file:
            data = file.read()
    except OSError as error:
        sys.exit(f"elf2efi: cannot read {source}: {error.strerror}")
    try:
        image = convert(data)
    except Refusal as refusal:
        sys.exit(f"elf2efi: {source}: {refusal}")
    # Written beside the output and renamed, so that a failed write never
    # leaves a half image under the output's name.
    directory = os.path.dirname(os.path.abspath(output))
    try:
        handle, temp = tempfile.mkstemp(dir=directory, prefix=".elf2efi-")
        with os.fdopen(handle, "wb") as file:
            file.write(image)
        os.chmod(temp, 0o755)
        os.replace(temp, output)
    except OSError as error:
        sys.exit(f"elf2efi: cannot write {output}: {error.strerror}")


if __name__ == "__main__":
    main()
