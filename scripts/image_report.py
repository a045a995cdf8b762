#!/usr/bin/env python3
"""Size and stack report of the quillmere images.

  image_report.py [--check] [--arch x64|aa64|riscv64] [--objdump PROGRAM] BUILD_DIR
  image_report.py --write-docs FILE | --check-docs FILE [--objdump PROGRAM] BUILD_DIR

For each image (BUILD_DIR/quillmereARCH.efi for each architecture of
scripts/image_arch, or the one --arch names) prints its size with each section's raw size, then
the deepest stack that one ConsolePrint call and the whole run from
ApplicationEntry can use. Frames are the compiler's own numbers, from the .su
files that -fstack-usage leaves beside the image objects; the call graph is
read from the objects' disassembly and relocations (llvm-objdump -dr).

Exit status: 0; 1 with --check when the image or the ConsolePrint chain is
over its budget; 2 when the report cannot be made (a missing file, a function
without a frame size, a call the graph cannot follow, recursion no rule
bounds).

--write-docs puts the whole report into a page of docs/ between its markers,
so that the page shows what the report prints; --check-docs fails (status 1)
when the page no longer does.
"""
import argparse
import contextlib
import io
import re
import struct
import subprocess
import sys
from dataclasses import dataclass, field
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from image_arch import TARGET, Instruction, ReportError, load  # noqa: E402

ARCHITECTURES = load()
CONSOLE_PRINT_STACK_BUDGET = 1024
RETURN_ADDRESS = ARCHITECTURES["x64"].return_address

# A function allowed to recur, and how many times it may appear on a chain.
# RenderFormat meets a "%g", "%t" or "%r" by calling BuildGuidText,
# BuildTimeText or BuildStatusText, which render their text with
# FormatToBuffer, that is RenderFormat again. That nested run renders a fixed
# 8-bit template with none of those three conversions, so the nesting is one
# level deep: RenderFormat appears at most twice on a chain, and from its
# second appearance no call that can lead back to it is followed.
RECURRING = {"RenderFormat": 2}

# The functions of ours that a function calls through a pointer, by short
# name: the console's copy hook (SetConsoleCopy), through which
# ConsolePrintList hands each shown text to the report file. Their addresses
# may be taken; every other call through a pointer goes to the firmware.
CALLS_THROUGH_POINTERS = {"ConsolePrintList": {"WriteReportText"}}


# ---------------------------------------------------------------------------
# The image file.

@dataclass
class Section:
    name: str
    virtual_size: int
    raw_size: int
    raw_offset: int
    characteristics: int


@dataclass
class PeImage:
    machine: int
    file_size: int
    headers_size: int
    file_alignment: int
    section_alignment: int
    sections: list


def read_pe(data):
    if data[:2] != b"MZ":
        raise ReportError("not a PE image: no MZ header")
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise ReportError("not a PE image: no PE signature")
    coff = pe + 4
    machine, section_count = struct.unpack_from("<HH", data, coff)
    optional_size, = struct.unpack_from("<H", data, coff + 16)
    optional = coff + 20
    section_alignment, file_alignment = struct.unpack_from("<II", data, optional + 32)
    headers_size, = struct.unpack_from("<I", data, optional + 60)
    sections = []
    for index in range(section_count):
        at = optional + optional_size + 40 * index
        name = data[at:at + 8].rstrip(b"\0").decode("ascii", "replace")
        virtual_size, = struct.unpack_from("<I", data, at + 8)
        raw_size, raw_offset = struct.unpack_from("<II", data, at + 16)
        characteristics, = struct.unpack_from("<I", data, at + 36)
        sections.append(Section(name, virtual_size, raw_size, raw_offset, characteristics))
    return PeImage(machine, len(data), headers_size, file_alignment, section_alignment, sections)


# ---------------------------------------------------------------------------
# Frames and the call graph.

@dataclass
class Function:
    name: str
    frame: int = None       # bytes from the .su file
    dynamic: bool = False   # the .su file says the frame is not fixed
    prologue: int = None    # pushes and "sub rsp" at the entry, from the disassembly
    calls: set = field(default_factory=set)
    tail_calls: set = field(default_factory=set)
    firmware_calls: int = 0  # calls through a pointer: firmware services


SU_LINE = re.compile(r"^(.*?):(\d+):(.*)\t(\d+)\t(\S+)$")


def read_stack_usage(text, functions):
    """Takes each function's frame from .su lines "file:line:name<TAB>bytes<TAB>kind".
    clang's number counts the pushed registers, the locals and the outgoing
    call area, not the return address."""
    for line in text.splitlines():
        if not line.strip():
            continue
        match = SU_LINE.match(line)
        if not match:
            raise ReportError(f"unreadable .su line: {line!r}")
        name, size, kind = match.group(3), int(match.group(4)), match.group(5)
        function = functions.setdefault(name, Function(name))
        # A function emitted in two objects (an inline one) takes the larger.
        function.frame = max(function.frame or 0, size)
        function.dynamic |= kind.startswith("dynamic") and "bounded" not in kind


HEADER = re.compile(r"^([0-9a-f]+) <(.+)>:$")
# "IMAGE_REL_AMD64_REL32" in COFF objects, "R_RISCV_CALL_PLT" in ELF ones.
RELOCATION = re.compile(r"^\s*([0-9a-f]+):\s+((?:IMAGE_REL|R)_\w+)\s+(\S+)\s*$")
INSTRUCTION = re.compile(r"^\s*([0-9a-f]+):\s+(.*?)\s*$")
PREFIXES = {"rep", "repe", "repne", "lock", "notrack", "rex64", "data16", "cs", "ds"}


ARM_MAPPING_SYMBOL = re.compile(r"^\$[atd](\.\d+)?$")


def local_label(name):
    """An assembler-local label (".LBB0_3"): ELF listings print one where a
    basic block is a branch target; it is a place inside the function. ARM
    ELF objects also mark where Thumb code ("$t") and literal data ("$d")
    start inside a function; the listing prints those the same way."""
    return name.startswith(".L") or bool(ARM_MAPPING_SYMBOL.match(name))


def split_functions(listing):
    """Cuts an llvm-objdump -dr --no-show-raw-insn listing into functions:
    name -> instructions."""
    functions = {}
    current = None
    for line in listing.splitlines():
        header = HEADER.match(line)
        if header:
            if not (local_label(header.group(2)) and current is not None):
                current = functions.setdefault(header.group(2), [])
            continue
        if current is None:
            continue
        relocation = RELOCATION.match(line)
        if relocation:
            # A second relocation on one instruction (R_RISCV_RELAX after a
            # call's) only marks it; the first names the target.
            if current and current[-1].relocation is None:
                current[-1].relocation = relocation.group(3)
                current[-1].relocation_type = relocation.group(2)
            continue
        instruction = INSTRUCTION.match(line)
        if instruction:
            words = instruction.group(2).split(None, 1)
            while len(words) == 2 and words[0] in PREFIXES:
                words = words[1].split(None, 1)
            if words:
                current.append(Instruction(int(instruction.group(1), 16), words[0],
                                           words[1] if len(words) > 1 else ""))
    return functions


def read_call_graph(listing, functions, defined, arch=None):
    """Adds the calls of every function in one object's listing. defined holds
    every function name of every image object. Returns the (function, symbol)
    pairs where a function's address is taken."""
    arch = arch or ARCHITECTURES["x64"]
    taken = []
    for name, instructions in split_functions(listing).items():
        function = functions.setdefault(name, Function(name))
        code = arch.code(name, instructions)
        function.prologue = max(function.prologue or 0, arch.prologue(code))
        for instruction in code:
            is_call = arch.call(instruction.mnemonic)
            is_jump = arch.jump(instruction.mnemonic)
            if (is_call or is_jump) and arch.indirect(instruction.mnemonic, instruction.operands):
                # Through a pointer: a firmware service for a call; for a jump
                # the dispatch of a jump table, or a tail call into firmware,
                # whose stack is the firmware's.
                function.firmware_calls += is_call
                continue
            if instruction.relocation is not None:
                symbol = instruction.relocation
                if is_call or is_jump:
                    if symbol not in defined:
                        raise ReportError(f"{name} calls {symbol}, which no image object defines")
                    (function.calls if is_call else function.tail_calls).add(symbol)
                elif symbol in defined:
                    taken.append((name, symbol))
                continue
            if not (is_call or is_jump):
                continue
            target = TARGET.search(instruction.operands)
            if target is None:
                raise ReportError(f"{name}: cannot read the target of {instruction.mnemonic} {instruction.operands}")
            symbol, offset = target.group(2), target.group(3)
            if (symbol == name or local_label(symbol)) and not is_call:
                continue  # a jump inside the function
            if offset is not None or symbol not in defined:
                raise ReportError(f"{name}: {instruction.mnemonic} into the middle of {symbol}")
            # A call resolved by the assembler: a function in the same section.
            (function.calls if is_call else function.tail_calls).add(symbol)
    return taken


def add_calls_through_pointers(functions, defined, taken, pointer_calls=CALLS_THROUGH_POINTERS):
    """Adds a call from each caller of pointer_calls to each function it
    reaches through a pointer, and returns the taken addresses that are not
    of those functions."""
    targets = {name for names in pointer_calls.values() for name in names}
    for name, function in functions.items():
        reached = pointer_calls.get(short_name(name), set())
        function.calls |= {symbol for symbol in defined if short_name(symbol) in reached}
    return [(where, symbol) for where, symbol in taken if short_name(symbol) not in targets]


def taken_in_data(relocations, defined):
    """Function symbols referenced from data sections, from llvm-objdump -r
    output. Unwind tables name functions too, but nothing calls through them."""
    taken = []
    section = None
    for line in relocations.splitlines():
        heading = re.match(r"^RELOCATION RECORDS FOR \[(.*)\]:$", line)
        if heading:
            section = heading.group(1)
            continue
        fields = line.split()
        if section and not section.startswith((".text", ".pdata", ".xdata")) and len(fields) == 3 \
                and re.split(r"[+-]0x", fields[2])[0] in defined:
            taken.append((section, re.split(r"[+-]0x", fields[2])[0]))
    return taken


# ---------------------------------------------------------------------------
# Names.

ITANIUM_NAME = re.compile(r"(\d+)")


def itanium_name(symbol):
    """The function's own name in an Itanium-mangled (ELF) symbol, "<...>"
    after it for a template: "_Z12RenderFormatPvyy..." is "RenderFormat",
    "_ZN12_GLOBAL__N_18CopyTextE..." is "CopyText", "_Z12ConsolePrintIJjEEy..."
    is "ConsolePrint<...>". None for anything else."""
    at = 2
    nested = symbol.startswith("_ZN")
    if nested:
        at = 3
        while symbol[at:at + 1] in ("K", "V", "r"):
            at += 1
    name = None
    while True:
        length = ITANIUM_NAME.match(symbol, at)
        if not length:
            return name
        start = length.end()
        name = symbol[start:start + int(length.group(1))]
        at = start + int(length.group(1))
        if symbol[at:at + 1] == "I":
            name += "<...>"
        # A nested name goes on with its next component; the last one is the
        # function's.
        if not nested or not symbol[at:at + 1].isdigit():
            return name


def short_name(symbol):
    """A readable name for a Microsoft- or Itanium-mangled symbol:
    "RenderFormat", "ConsolePrint<...>", "FormatToBuffer<...>::<lambda_1>"."""
    if symbol.startswith("_Z") and itanium_name(symbol):
        return itanium_name(symbol)
    lambda_call = re.match(r"^\?\?R(<lambda_\d+>)@\?\d+\?(\?.*)$", symbol)
    if lambda_call:
        return f"{short_name(lambda_call.group(2))}::{lambda_call.group(1)}"
    template = re.match(r"^\?\?\$(\w+)@(?:V(<lambda_\d+>)@\?\d+\?(\?.*))?", symbol)
    if template:
        if template.group(2):
            return f"{template.group(1)}<{short_name(template.group(3))}::{template.group(2)}>"
        return f"{template.group(1)}<...>"
    plain = re.match(r"^\?(\w+)@", symbol)
    if plain:
        return plain.group(1)
    return symbol


# ---------------------------------------------------------------------------
# The deepest chain.

@dataclass
class Step:
    name: str
    frame: int
    entry: int  # bytes the way in took: a call's return address, 0 for a tail call
    released: int = 0  # the caller's frame, released before a tail call
    note: str = ""


def check_recursion(functions, recurring):
    """Fails on a cycle of calls that does not pass through a recurring function."""
    state = {}

    def visit(name, path):
        state[name] = "open"
        for callee in sorted(functions[name].calls | functions[name].tail_calls):
            if callee not in functions or short_name(callee) in recurring:
                continue
            if state.get(callee) == "open":
                cycle = path[path.index(callee):] + [callee]
                raise ReportError("recursion that no rule bounds: " + " -> ".join(short_name(n) for n in cycle))
            if callee not in state:
                visit(callee, path + [callee])
        state[name] = "done"

    for name in sorted(functions):
        if name not in state and short_name(name) not in recurring:
            visit(name, [name])


def short_names_reached(functions):
    """For each function, the short names of itself and of every function it
    can reach."""
    reach = {}
    for start in functions:
        seen, pending = set(), [start]
        while pending:
            name = pending.pop()
            if name not in seen and name in functions:
                seen.add(name)
                pending += functions[name].calls | functions[name].tail_calls
        reach[start] = {short_name(name) for name in seen}
    return reach


def deepest_chain(functions, entry, recurring=RECURRING, return_address=RETURN_ADDRESS):
    """The deepest stack a call into entry can use, from the caller's stack
    pointer before the call: (bytes, steps). Each call adds its return
    address (return_address bytes: 8 on x86-64, 0 on AArch64, whose calls
    leave it in a register that the callee's frame saves) and the callee's
    frame; a tail call releases the caller's frame and reuses its return
    address; a call into firmware adds its return address only."""
    check_recursion(functions, recurring)
    reach = short_names_reached(functions)
    memo = {}

    def frame_of(name):
        function = functions.get(name)
        if function is None or function.frame is None:
            raise ReportError(f"no frame size for {short_name(name)} ({name}): no .su entry")
        if function.dynamic:
            raise ReportError(f"{short_name(name)} has a frame of run-time size")
        # An entry sequence larger than the compiler's number would mean the
        # number leaves something out; the larger one is taken.
        return max(function.frame, function.prologue or 0)

    def below(name, counts):
        """Deepest use from the function's entry on (its return address
        already pushed): (bytes, steps after it)."""
        key = (name, counts)
        if key in memo:
            return memo[key]
        function = functions[name]
        frame = frame_of(name)
        occurrences = dict(counts)
        exhausted = {base for base, count in occurrences.items() if count >= recurring[base]}
        # At the last allowed appearance of a recurring function nothing that
        # leads back to it is followed.
        followed = [(callee, tail) for tail, callees in ((False, function.calls), (True, function.tail_calls))
                    for callee in sorted(callees) if not exhausted & reach[callee]]
        best = (frame, [])
        if function.firmware_calls:
            best = (frame + return_address, [Step("(firmware service)", 0, return_address,
                                                  note="its own stack is not counted")])
        for callee, tail in followed:
            base = short_name(callee)
            after = dict(occurrences)
            if base in recurring:
                after[base] = after.get(base, 0) + 1
            depth, steps = below(callee, tuple(sorted(after.items())))
            entry_bytes = 0 if tail else return_address
            total = depth if tail else frame + return_address + depth
            note = "tail call: the caller's frame is released" if tail else ""
            if base in recurring and after[base] > 1:
                note = f"nested run, appearance {after[base]}"
            if total > best[0]:
                best = (total, [Step(callee, frame_of(callee), entry_bytes, frame if tail else 0, note)] + steps)
        memo[key] = best
        return best

    if entry not in functions:
        raise ReportError(f"no function {entry} in the image objects")
    start = tuple(sorted({short_name(entry): 1}.items())) if short_name(entry) in recurring else ()
    depth, steps = below(entry, start)
    return return_address + depth, [Step(entry, frame_of(entry), return_address)] + steps


# ---------------------------------------------------------------------------
# The report.

def objdump(program, *arguments):
    result = subprocess.run([program, *arguments], capture_output=True, text=True)
    if result.returncode != 0:
        raise ReportError(f"{program} {' '.join(map(str, arguments))} failed: {result.stderr.strip()}")
    return result.stdout


def load_functions(build, program, arch):
    list_file = build / f"quillmere{arch.name}.efi.objects"
    if not list_file.is_file():
        raise ReportError(f"no {list_file}: configure and build the image first")
    objects = [build / line for line in list_file.read_text().split()]
    listings = {}
    for path in objects:
        if not path.is_file():
            raise ReportError(f"no object {path}: build the image first")
        listings[path] = objdump(program, "-dr", "--no-show-raw-insn", path)
    defined = {name for listing in listings.values() for name in split_functions(listing)}
    functions = {}
    taken = []
    for path, listing in listings.items():
        taken += read_call_graph(listing, functions, defined, arch)
        taken += taken_in_data(objdump(program, "-r", path), defined)
        su = path.with_suffix(".su")
        if su.is_file():
            read_stack_usage(su.read_text(), functions)
    taken = add_calls_through_pointers(functions, defined, taken)
    if taken:
        raise ReportError("function addresses are taken, so calls through pointers may reach our code: " +
                          ", ".join(f"{short_name(s)} in {short_name(where)}" for where, s in taken))
    # IA32 objects name a C function with a leading "_" that its .su line lacks.
    for name, function in functions.items():
        if function.frame is None and name.startswith("_") and name[1:] in functions:
            function.frame = functions[name[1:]].frame
    # .su entries of functions no image object holds play no part.
    return {name: function for name, function in functions.items() if name in defined}


def print_chain(title, total, steps, budget=None):
    verdict = ""
    if budget is not None:
        verdict = f" (budget {budget}: {'within, ' + str(budget - total) + ' to spare' if total <= budget else 'OVER by ' + str(total - budget)})"
    print(f"{title}: {total} bytes{verdict}")
    print(f"  {'frame':>6} {'+call':>6} {'running':>8}  function")
    running = 0
    for step in steps:
        running += step.entry + step.frame - step.released
        note = f"  [{step.note}]" if step.note else ""
        print(f"  {step.frame:6} {step.entry:6} {running:8}  {short_name(step.name)}{note}")


def report(build, program, check, arch):
    image_path = build / f"quillmere{arch.name}.efi"
    if not image_path.is_file():
        raise ReportError(f"no {image_path}: build the image first")
    image = read_pe(image_path.read_bytes())
    if image.machine != arch.machine:
        raise ReportError(f"{image_path} is for machine {image.machine:#06x}, not {arch.machine:#06x}")
    over = False
    budget = arch.image_budget

    print(f"image {image_path}: {image.file_size} bytes", end="")
    spare = budget - image.file_size
    print(f" (budget {budget}: {'within, ' + str(spare) + ' to spare' if spare >= 0 else 'OVER by ' + str(-spare)})")
    over |= spare < 0
    print(f"  file alignment {image.file_alignment}, section alignment {image.section_alignment}")
    print(f"  {'section':8} {'raw':>6} {'in use':>7}")
    print(f"  {'headers':8} {image.headers_size:6}")
    for section in image.sections:
        print(f"  {section.name:8} {section.raw_size:6} {section.virtual_size:7}")
    code = next((s for s in image.sections if s.characteristics & 0x20000000), None)
    if code is not None and spare >= 0:
        padding = code.raw_size - min(code.virtual_size, code.raw_size)
        print(f"  {code.name} can grow by {spare + padding} bytes before the image passes {budget} "
              f"({spare} to spare and {padding} of its padding)")
    print()

    functions = load_functions(build, program, arch)
    checked = [f for f in functions.values() if f.frame is not None and f.prologue is not None]
    matching = sum(f.frame == f.prologue for f in checked)
    print("Stack: frames are " + arch.frames_note.format(matching=matching, checked=len(checked)), end=" ")
    print("Calls come from the objects' relocations and")
    print("direct call instructions; calls through pointers go to firmware services, whose stack")
    print("is not ours. RenderFormat appears at most twice on a chain: the run nested in it for")
    print("\"%g\", \"%t\" or \"%r\" renders a fixed template without those, so from that run nothing")
    print("that leads back to RenderFormat is followed.")
    print()

    instances = sorted(name for name in functions if short_name(name) == "ConsolePrint<...>")
    list_name = next((name for name in functions if short_name(name) == "ConsolePrintList"), None)
    if list_name is None:
        raise ReportError("no ConsolePrintList in the image objects")
    chains = [deepest_chain(functions, name, return_address=arch.return_address) for name in instances + [list_name]]
    total, steps = max(chains, key=lambda chain: chain[0])
    if instances:
        print(f"ConsolePrint<...> is a function of its own ({len(instances)} instances): counted from the call into")
        print("the deepest of them or into ConsolePrintList, whichever goes deeper.")
    else:
        print("ConsolePrint<...> is inlined into its callers (no instance in the objects); its argument")
        print("slots lie in the caller's frame, so the chain counts from the call into ConsolePrintList.")
    print_chain("deepest ConsolePrint chain", total, steps, CONSOLE_PRINT_STACK_BUDGET)
    over |= total > CONSOLE_PRINT_STACK_BUDGET
    print()
    # IA32 C names carry a leading "_".
    entry = next((name for name in functions if name.lstrip("_") == "ApplicationEntry"), None)
    if entry is None:
        raise ReportError("no ApplicationEntry in the image objects")
    print_chain("deepest run from ApplicationEntry (from the firmware's call)",
                *deepest_chain(functions, entry, return_address=arch.return_address))
    return 1 if check and over else 0


class OneLineParser(argparse.ArgumentParser):
    """A bad command line is one line, like every other failure of the report
    (argparse would print its usage in front)."""

    def error(self, message):
        print(f"{self.prog}: {message} (see --help)", file=sys.stderr)
        sys.exit(2)


def main():
    parser = OneLineParser(prog="image-report", description=__doc__.split("\n\n")[0])
    parser.add_argument("build", type=Path, help="build tree holding the images")
    parser.add_argument("--arch", choices=sorted(ARCHITECTURES), help="report on this image alone")
    parser.add_argument("--objdump", default="llvm-objdump", metavar="PROGRAM",
                        help="the llvm-objdump that disassembles the objects (default llvm-objdump)")
    parser.add_argument("--check", action="store_true", help="exit 1 when over a budget")
    documents = parser.add_mutually_exclusive_group()
    documents.add_argument("--write-docs", type=Path, metavar="FILE",
                           help="write the report of every image into FILE between its report markers")
    documents.add_argument("--check-docs", type=Path, metavar="FILE",
                           help="exit 1 when the report in FILE is not the report of these images")
    arguments = parser.parse_args()
    status = 0
    page = arguments.write_docs or arguments.check_docs
    if page and arguments.arch:
        parser.error("the docs hold every image's report: --arch does not go with them")
    output = io.StringIO() if page else sys.stdout
    try:
        with contextlib.redirect_stdout(output):
            for index, name in enumerate([arguments.arch] if arguments.arch else ARCHITECTURES):
                if index:
                    print()
                print(f"== {name}")
                status |= report(arguments.build, arguments.objdump, arguments.check, ARCHITECTURES[name])
    except ReportError as error:
        print(f"image-report: {error}", file=sys.stderr)
        sys.exit(2)
    if page:
        sys.exit(status | update_docs(page, output.getvalue().replace(f"{arguments.build}/", "build/"),
                                      arguments.check_docs is not None))
    sys.exit(status)


DOCS_BEGIN = "<!-- scripts/image-report.sh --write-docs FILE writes from here -->"
DOCS_END = "<!-- to here -->"


def update_docs(page, text, check_only):
    """Puts TEXT, the report, between the markers of PAGE as a code block, or
    with CHECK_ONLY says whether it is there already. Returns the exit
    status."""
    try:
        content = page.read_text()
    except OSError as error:
        print(f"image-report: cannot read {page}: {error.strerror}", file=sys.stderr)
        return 2
    begin, end = content.find(DOCS_BEGIN), content.find(DOCS_END)
    if begin < 0 or end < begin:
        print(f"image-report: {page} has no report markers ({DOCS_BEGIN} ... {DOCS_END})", file=sys.stderr)
        return 2
    wanted = content[:begin + len(DOCS_BEGIN)] + "\n```\n" + text.rstrip("\n") + "\n```\n" + content[end:]
    if check_only:
        if wanted != content:
            print(f"image-report: the report in {page} is not the report of these images; "
                  f"run scripts/image-report.sh --write-docs {page}", file=sys.stderr)
            return 1
        return 0
    if wanted != content:
        page.write_text(wanted)
    return 0


if __name__ == "__main__":
    main()
