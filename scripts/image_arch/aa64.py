"""AArch64: a call leaves its return address in x30, which the callee's frame
saves; the entry sequence moves sp down by "sub sp" and pre-indexed stores."""
import re

from . import BLOCK, Architecture, ReportError

BRANCHES = {"b", "cbz", "cbnz", "tbz", "tbnz"}
# "sub sp, sp, #N" and a store that moves the stack pointer down first,
# "stp x29, x30, [sp, #-N]!" or "str x30, [sp, #-N]!".
SUB_SP = re.compile(r"^sp, sp, #(0x[0-9a-f]+|\d+)$")
PUSH = re.compile(r"\[sp, #-(0x[0-9a-f]+|\d+)\]!$")


def prologue(code):
    """What the stack pointer goes down by before the first branch, call or
    return. The saves between (stp at offsets, register moves) leave it be;
    anything else that moves it there makes the function unreadable."""
    size = 0
    for instruction in code:
        mnemonic, operands = instruction.mnemonic, instruction.operands
        if mnemonic in BRANCHES or mnemonic.startswith("b.") or mnemonic in ("bl", "blr", "br", "ret"):
            break
        if mnemonic == "sub" and operands.startswith("sp, sp,"):
            amount = SUB_SP.match(operands)
            if not amount:
                raise ReportError(f"cannot read the stack adjustment sub {operands}")
            size += int(amount.group(1), 0)
            continue
        push = PUSH.search(operands)
        if push and mnemonic in ("stp", "str"):
            size += int(push.group(1), 0)
    return size


# AArch64 keeps jump tables in read-only data, so the whole listing is code.
# 37 blocks: fixed 4-byte instructions make its code the largest of the
# five, and its data the same as x86-64's.
# Eleven of them came with quillmere.verify: the GPT, MBR and El Torito
# reader, its lines and its reasons (docs/disk-check.md).
ARCHITECTURE = Architecture(
    "aa64", 37 * BLOCK, 0,
    call=lambda m: m in ("bl", "blr"),
    jump=lambda m: m in BRANCHES or m.startswith("b.") or m == "br",
    indirect=lambda m, operands: m in ("blr", "br"),
    prologue=prologue,
    frames_note="clang's -fstack-usage numbers (saved registers, the frame record\n"
                "with the link register, locals); a call leaves its return address in the link\n"
                "register, so +call is 0. {matching} of {checked} frames equal what the entry sequence\n"
                "takes off sp before its first branch (\"sub sp\" and pre-indexed stores), read from the\n"
                "disassembly.")
