"""x86-64: calls push an 8-byte return address; the entry sequence is pushes
and a "sub $N, %rsp"; a function's jump tables sit in .text after its code."""
import re

from . import BLOCK, TARGET, Architecture

RETURN_ADDRESS = 8  # what an x86-64 call pushes; not part of the .su frame sizes

PUSH = re.compile(r"^push")
SUB_RSP = re.compile(r"^\$(0x[0-9a-f]+|\d+), %rsp$")


def prologue(code):
    """Leading pushes, then a "sub $N, %rsp"."""
    size = 0
    for instruction in code:
        if PUSH.match(instruction.mnemonic):
            size += 8
            continue
        if instruction.mnemonic.startswith("sub"):
            amount = SUB_RSP.match(instruction.operands)
            if amount:
                size += int(amount.group(1), 0)
        break
    return size


def code_of(name, instructions):
    """The instructions before the function's first jump table. Jump tables
    sit in .text after the code of their function and are reached by a
    RIP-relative lea into the function that needs no relocation; what the
    disassembler decodes from them is not code."""
    tables = []
    for instruction in instructions:
        if instruction.mnemonic.startswith("lea") and instruction.relocation is None and "(%rip)" in instruction.operands:
            target = TARGET.search(instruction.operands)
            if target and target.group(2) == name and target.group(3):
                tables.append(int(target.group(1), 16))
    end = min(tables, default=None)
    return [i for i in instructions if end is None or i.address < end]


# 36 blocks. Variable-length instructions make x86-64 code dense, but the
# Microsoft convention's home area and 64-bit pointer tables make it no
# smaller than the others in all.
# Eleven of them came with quillmere.verify: the GPT, MBR and El Torito
# reader, its lines and its reasons (docs/disk-check.md); the engine's
# counted texts gave one back.
ARCHITECTURE = Architecture(
    "x64", 36 * BLOCK, RETURN_ADDRESS,
    call=lambda m: m.startswith("call"),
    jump=lambda m: m.startswith("j"),
    indirect=lambda m, operands: operands.startswith("*"),
    prologue=prologue,
    frames_note="clang's -fstack-usage numbers (pushed registers, locals, the outgoing\n"
                "call area with its 32-byte register home area); they leave out the return address,\n"
                "which each call adds (+call). {matching} of {checked} frames equal the entry pushes and\n"
                "\"sub rsp\" read from the disassembly.",
    code=code_of)
