"""What the size and stack report needs to know of each architecture, one
module an architecture of scripts/machines.txt (x64.py, aa64.py, ...), beside
the shared core in scripts/image_report.py. A module holds one ARCHITECTURE:
its image budget, what a call leaves on the stack, and how its disassembly
spells calls, jumps and the entry sequence; the PE machine comes from the
table. A new architecture in the table needs a module here."""
import importlib
import re
import sys
from dataclasses import dataclass
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
import machines  # noqa: E402

MODULES = machines.architectures()

# An image's budget is a tripwire, not a target: the whole file, headers,
# code, data, .sbat and relocations, in 512-byte blocks, set three blocks
# above what the report, the console, the engine and the options need on that
# machine. A new option or node kind fits; a change that drags in kilobytes
# unnoticed (a table built at run time, a helper inlined everywhere, a
# runtime routine) does not. A change that needs more raises the number in
# its module and says why there; the sizes themselves are measured in
# docs/size-and-stack.md, which the test image_budgets writes.
BLOCK = 512


class ReportError(Exception):
    pass


@dataclass
class Instruction:
    address: int
    mnemonic: str
    operands: str
    relocation: str = None       # the symbol of a relocation inside the instruction
    relocation_type: str = None  # its kind, as llvm-objdump names it


def whole_code(name, instructions):
    return instructions


@dataclass
class Architecture:
    name: str
    image_budget: int
    return_address: int   # bytes a call pushes; 0 where the link register takes it
    call: object          # mnemonic -> is a call
    jump: object          # mnemonic -> is a jump (conditional or not)
    indirect: object      # (mnemonic, operands) -> goes through a register or memory
    prologue: object      # instructions -> bytes the entry sequence takes
    frames_note: str      # how the report's frames and +call column read on this machine
    # (function name, instructions) -> the instructions that are its code, in
    # the form the call graph reads
    code: object = whole_code
    machine: int = None   # the PE header's machine field, from the table


# "0x1e <Name>" or "0x1e <Name+0x1e>"; names may hold "<" and ">".
TARGET = re.compile(r"0x([0-9a-f]+) <(.*?)(?:\+0x([0-9a-f]+))?>$")


def load():
    """name -> Architecture, in the order of MODULES."""
    table = machines.load()
    architectures = {}
    for name in MODULES:
        architecture = importlib.import_module(f"{__name__}.{name}").ARCHITECTURE
        architecture.machine = table[name].pe_machine
        architectures[name] = architecture
    return architectures
