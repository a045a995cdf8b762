"""RISC-V 64: a call leaves its return address in ra, which the callee's
frame saves; the entry sequence moves sp down with "addi sp, sp, -N". A call
to another function is an auipc carrying the call's relocation and a jalr
(the "call" pseudo-instruction), a tail call the same pair ending in a jr
("tail"); the listing prints the two halves, which are read as one."""
import re

from . import BLOCK, Architecture, Instruction, ReportError

BRANCHES = {"beq", "bne", "blt", "bge", "bltu", "bgeu", "beqz", "bnez", "blez", "bgez", "bltz", "bgtz",
            "bgt", "ble", "bgtu", "bleu"}
CALL_RELOCATIONS = {"R_RISCV_CALL", "R_RISCV_CALL_PLT"}
ADDI_SP = re.compile(r"^sp, sp, (-?\d+)$")


def calls_joined(name, instructions):
    """The listing with each auipc/jalr pair of a call, and auipc/jr pair of a
    tail call, made one "call SYMBOL" or "tail SYMBOL" instruction."""
    code = []
    index = 0
    while index < len(instructions):
        instruction = instructions[index]
        if instruction.mnemonic == "auipc" and instruction.relocation_type in CALL_RELOCATIONS:
            following = instructions[index + 1] if index + 1 < len(instructions) else None
            if following is None or following.mnemonic not in ("jalr", "jr"):
                raise ReportError(f"{name}: the call to {instruction.relocation} at {instruction.address:#x} "
                                  "has no jalr or jr after its auipc")
            code.append(Instruction(instruction.address, "call" if following.mnemonic == "jalr" else "tail",
                                    instruction.relocation, instruction.relocation, instruction.relocation_type))
            index += 2
            continue
        code.append(instruction)
        index += 1
    return code


def prologue(code):
    """What "addi sp, sp, -N" takes before the first branch, call or return;
    anything else that writes sp there makes the function unreadable."""
    size = 0
    for instruction in code:
        mnemonic, operands = instruction.mnemonic, instruction.operands
        if mnemonic in BRANCHES or mnemonic in ("j", "jal", "jalr", "jr", "call", "tail", "ret"):
            break
        if operands.startswith("sp,"):
            amount = ADDI_SP.match(operands)
            if mnemonic != "addi" or not amount:
                raise ReportError(f"cannot read the stack adjustment {mnemonic} {operands}")
            size -= int(amount.group(1))
    return size


# 38 blocks: the compressed instructions make code about as small as
# x86-64's, but every unaligned field is read a byte at a time.
# Twelve of them came with quillmere.verify: the GPT, MBR and El Torito
# reader, its lines and its reasons (docs/disk-check.md).
ARCHITECTURE = Architecture(
    "riscv64", 38 * BLOCK, 0,
    call=lambda m: m in ("call", "jal", "jalr"),
    jump=lambda m: m in BRANCHES or m in ("tail", "j", "jr"),
    indirect=lambda m, operands: m in ("jalr", "jr"),
    prologue=prologue,
    frames_note="clang's -fstack-usage numbers (saved registers with ra, locals); a call\n"
                "leaves its return address in ra, so +call is 0. {matching} of {checked} frames equal what\n"
                "\"addi sp, sp, -N\" takes before the first branch, read from the\n"
                "disassembly.",
    code=calls_joined)
