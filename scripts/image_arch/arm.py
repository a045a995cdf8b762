"""32-bit ARM in Thumb-2: a call (bl, blx) leaves its return address in lr,
which the callee's "push {..., lr}" saves, so +call is 0; the entry sequence
is pushes of register lists and a "sub sp, #N". A tail call is a b.w carrying
the call's relocation; bx lr returns. llvm-objdump ends a pc-relative
instruction with "@ imm = #N", which is left out."""
import re

from . import BLOCK, Architecture, Instruction, ReportError

CONDITIONS = "eq|ne|cs|hs|cc|lo|mi|pl|vs|vc|hi|ls|ge|lt|gt|le|al"
BRANCH = re.compile(rf"^(b({CONDITIONS})?(\.w|\.n)?|cbn?z|bx|tbb|tbh)$")
CALL = re.compile(r"^blx?$")
REGISTER_LIST = re.compile(r"^\{([^}]*)\}$")
SUB_SP = re.compile(r"^sp, (?:sp, )?#(0x[0-9a-f]+|\d+)$")
PRE_INDEXED = re.compile(r"\[sp, #-(0x[0-9a-f]+|\d+)\]!$")


def without_comments(name, instructions):
    return [Instruction(i.address, i.mnemonic, i.operands.split(" @ ", 1)[0].rstrip(), i.relocation,
                        i.relocation_type) for i in instructions]


def prologue(code):
    """What the stack pointer goes down by before the first branch, call or
    return: pushed register lists, 4 bytes a register, "sub sp, #N" and
    pre-indexed stores; anything else that writes sp there makes the
    function unreadable."""
    size = 0
    for instruction in code:
        mnemonic, operands = instruction.mnemonic, instruction.operands
        if BRANCH.match(mnemonic) or CALL.match(mnemonic) or mnemonic.startswith("pop"):
            break
        if mnemonic in ("push", "push.w", "stmdb", "stmdb.w") and (operands.startswith("{") or
                                                                     operands.startswith("sp!, {")):
            registers = REGISTER_LIST.match(operands.replace("sp!, ", ""))
            if not registers:
                raise ReportError(f"cannot read the register list {mnemonic} {operands}")
            size += 4 * len(registers.group(1).split(","))
            continue
        if mnemonic.startswith("sub") and operands.startswith("sp,"):
            amount = SUB_SP.match(operands)
            if not amount:
                raise ReportError(f"cannot read the stack adjustment {mnemonic} {operands}")
            size += int(amount.group(1), 0)
            continue
        if mnemonic.startswith("vpush") or mnemonic.startswith("v") and "sp" in operands:
            raise ReportError(f"cannot read the stack adjustment {mnemonic} {operands}")
        push = PRE_INDEXED.search(operands)
        if push and mnemonic.startswith("str"):
            size += int(push.group(1), 0)
        elif operands.startswith("sp,") and not mnemonic.startswith(("cmp", "str", "ldr")):
            raise ReportError(f"cannot read the stack adjustment {mnemonic} {operands}")
    return size


# 36 blocks: Thumb-2 code is the densest of the five, though every
# unaligned field is read a byte at a time.
# Eleven of them came with quillmere.verify: the GPT, MBR and El Torito
# reader, its lines and its reasons (docs/disk-check.md); the engine's
# counted texts gave one back.
ARCHITECTURE = Architecture(
    "arm", 36 * BLOCK, 0,
    call=lambda m: bool(CALL.match(m)),
    jump=lambda m: bool(BRANCH.match(m)),
    # Through a register: blx rN to a firmware service; bx lr returns, and
    # another bx or a table branch dispatches within the function.
    indirect=lambda m, operands: m in ("blx", "bx", "tbb", "tbh") and not operands.startswith("0x"),
    prologue=prologue,
    frames_note="clang's -fstack-usage numbers (pushed registers with lr, locals); a call\n"
                "leaves its return address in lr, so +call is 0. {matching} of {checked} frames equal what\n"
                "the pushes and \"sub sp, #N\" take before the first branch, read from the\n"
                "disassembly.",
    code=without_comments)
