"""IA32 (32-bit x86, AT&T syntax as llvm-objdump prints it): a call pushes a
4-byte return address, and arguments go on the stack by pushes just before
each call, which clang's .su numbers leave out, as they leave out the saved
%ebp and what "and $-N, %esp" may add to align the frame. So the frame is
read from the code itself: the stack pointer is followed along every path
through the function, and its deepest point below the return address counts."""
import re

from . import BLOCK, TARGET, Architecture, ReportError

RETURN_ADDRESS = 4

IMMEDIATE_ESP = re.compile(r"^\$(-?(?:0x[0-9a-f]+|\d+)), %esp$")
FROM_EBP = re.compile(r"^(-?(?:0x[0-9a-f]+|\d+))?\(%ebp\), %esp$")


def depth(code):
    """The most bytes the function has below its return address at any
    instruction, following every jump that lands inside it. A jump elsewhere
    is a tail call, or one resolved by the assembler into another function of
    the section: nothing falls through it."""
    at = {instruction.address: index for index, instruction in enumerate(code)}
    first, last = (code[0].address, code[-1].address) if code else (0, -1)
    seen = {}
    frame_base = None  # the depth at which "mov %esp, %ebp" left %ebp
    deepest = 0
    pending = [(0, 0)]
    while pending:
        index, below = pending.pop()
        while index < len(code) and seen.get(index, -1) < below:
            seen[index] = below
            deepest = max(deepest, below)
            instruction = code[index]
            mnemonic, operands = instruction.mnemonic, instruction.operands
            where = f"at {instruction.address:#x}: {mnemonic} {operands}"
            index += 1
            immediate = IMMEDIATE_ESP.match(operands)
            from_ebp = FROM_EBP.match(operands)
            if mnemonic in ("pushl", "push"):
                below += 4
            elif mnemonic in ("popl", "pop"):
                below -= 4
            elif mnemonic.startswith("mov") and operands == "%esp, %ebp":
                frame_base = below
            elif immediate and mnemonic.startswith(("sub", "add", "and")):
                amount = int(immediate.group(1), 0)
                if mnemonic.startswith("sub"):
                    below += amount
                elif mnemonic.startswith("add"):
                    below -= amount
                else:
                    # Aligning to -amount bytes from a 4-byte aligned pointer
                    # takes at most -amount - 4 more.
                    below += -amount - 4
            elif frame_base is not None and from_ebp and mnemonic.startswith("lea"):
                below = frame_base - int(from_ebp.group(1) or "0", 0)
            elif frame_base is not None and mnemonic.startswith("mov") and operands == "%ebp, %esp":
                below = frame_base
            elif operands == "%esp" or operands.endswith(", %esp"):
                raise ReportError(f"cannot follow the stack pointer {where}")
            elif mnemonic.startswith("ret"):
                break
            elif mnemonic.startswith("j"):
                target = TARGET.search(operands)
                address = int(target.group(1), 16) if target and not operands.startswith("*") else None
                if instruction.relocation is None and address is not None and first <= address <= last:
                    if address not in at:
                        raise ReportError(f"a jump lands between instructions {where}")
                    pending.append((at[address], below))
                if mnemonic in ("jmp", "jmpl"):
                    break
    return deepest


# 36 blocks: 32-bit pointers and slots make data and relocations smaller,
# and the engine is compiled for size first (cmake/Image.cmake says why).
# Eleven of them came with quillmere.verify: the GPT, MBR and El Torito
# reader, its lines and its reasons (docs/disk-check.md); the engine's
# counted texts gave one back.
ARCHITECTURE = Architecture(
    "ia32", 36 * BLOCK, RETURN_ADDRESS,
    call=lambda m: m.startswith("call"),
    jump=lambda m: m.startswith("j"),
    indirect=lambda m, operands: operands.startswith("*"),
    prologue=depth,
    frames_note="the deepest the stack pointer goes below the return address in\n"
                "each function, followed along its paths through the disassembly: pushed registers,\n"
                "locals, alignment and the arguments pushed for each call, which clang's -fstack-usage\n"
                "numbers leave out; a call adds its 4-byte return address (+call). {matching} of {checked}\n"
                "frames equal clang's number.")
