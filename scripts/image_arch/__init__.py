"""What the size and stack report needs to know of each machine, one module
an architecture (x64.py, aa64.py, riscv64.py, ia32.py, arm.py), beside the shared core in
scripts/image_report.py. A module holds one ARCHITECTURE: its image budget,
what a call leaves on the stack, and how its disassembly spells calls,
jumps and the entry sequence. Adding a machine adds a module and a name in
MODULES."""
import importlib
import re
from dataclasses import dataclass

MODULES = ["x64", "aa64", "riscv64", "ia32", "arm"]

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
    machine: int
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


# "0x1e <Name>" or "0x1e <Name+0x1e>"; names may hold "<" and ">".
TARGET = re.compile(r"0x([0-9a-f]+) <(.*?)(?:\+0x([0-9a-f]+))?>$")


def load():
    """name -> Architecture, in the order of MODULES."""
    return {name: importlib.import_module(f"{__name__}.{name}").ARCHITECTURE for name in MODULES}
