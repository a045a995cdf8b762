#!/usr/bin/env python3
"""The size and stack report's own logic, on small hand-made inputs: the
chain combiner, the listing reader, the names, the .su reader and the PE
reader."""
import struct
import sys
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "scripts"))
import image_report as report  # noqa: E402
from image_arch import ia32  # noqa: E402


def graph(**entries):
    """name=(frame, calls, tail calls[, firmware calls])"""
    functions = {}
    for name, (frame, calls, tails, *firmware) in entries.items():
        functions[name] = report.Function(name, frame=frame, calls=set(calls), tail_calls=set(tails),
                                          firmware_calls=firmware[0] if firmware else 0)
    return functions


class DeepestChain(unittest.TestCase):
    CASES = [
        # name, graph, entry, bytes, chain
        ("one leaf", graph(A=(16, [], [])), "A", 8 + 16, ["A"]),
        ("the deeper of two branches",
         graph(A=(10, ["B", "C"], []), B=(100, [], []), C=(50, ["D"], []), D=(60, [], [])),
         "A", 8 + 10 + 8 + 50 + 8 + 60, ["A", "C", "D"]),
        ("a tail call releases the caller's frame",
         graph(A=(100, ["C"], ["B"]), B=(30, [], []), C=(0, [], [])), "A", 8 + 100 + 8, ["A", "C"]),
        ("a tail call can still be the deepest",
         graph(A=(10, [], ["B"]), B=(200, [], [])), "A", 8 + 200, ["A", "B"]),
        ("a firmware call adds its return address only",
         graph(A=(10, [], [], 1)), "A", 8 + 10 + 8, ["A", "(firmware service)"]),
        ("RenderFormat nests once through a value text",
         graph(ConsolePrintList=(100, ["RenderFormat"], []), RenderFormat=(200, ["Guid", "Digits"], []),
               Guid=(250, ["RenderFormat"], []), Digits=(70, [], [])),
         "ConsolePrintList", 8 + 100 + 8 + 200 + 8 + 250 + 8 + 200 + 8 + 70,
         ["ConsolePrintList", "RenderFormat", "Guid", "RenderFormat", "Digits"]),
        ("the nested run takes no other way back either",
         graph(RenderFormat=(200, ["Guid", "Time", "Digits"], []), Guid=(250, ["RenderFormat"], []),
               Time=(240, ["RenderFormat"], []), Digits=(10, [], [])),
         "RenderFormat", 8 + 200 + 8 + 250 + 8 + 200 + 8 + 10, ["RenderFormat", "Guid", "RenderFormat", "Digits"]),
        ("the nested run skips a call that leads back only through another function",
         graph(RenderFormat=(100, ["Guid", "Wrapper", "Digits"], []), Guid=(10, ["RenderFormat"], []),
               Wrapper=(500, ["Guid"], []), Digits=(5, [], [])),
         "RenderFormat", 8 + 100 + 8 + 500 + 8 + 10 + 8 + 100 + 8 + 5,
         ["RenderFormat", "Wrapper", "Guid", "RenderFormat", "Digits"]),
        ("RenderFormat entered twice by separate calls is not nested",
         graph(A=(0, ["RenderFormat", "B"], []), B=(40, ["RenderFormat"], []), RenderFormat=(200, [], [])),
         "A", 8 + 0 + 8 + 40 + 8 + 200, ["A", "B", "RenderFormat"]),
    ]

    def test_cases(self):
        for name, functions, entry, size, chain in self.CASES:
            with self.subTest(name):
                total, steps = report.deepest_chain(functions, entry)
                self.assertEqual(total, size)
                self.assertEqual([step.name for step in steps], chain)
                running = sum(step.entry + step.frame - step.released for step in steps)
                self.assertEqual(running, total, "the printed running total must end at the total")

    FAULTS = [
        ("a cycle without RenderFormat", graph(A=(0, ["B"], []), B=(0, ["A"], [])), "recursion that no rule bounds"),
        ("a function calling itself", graph(A=(0, ["A"], [])), "recursion that no rule bounds"),
        ("a cycle through a tail call", graph(A=(0, ["B"], []), B=(0, [], ["A"])), "recursion that no rule bounds"),
        ("a function without a frame", {"A": report.Function("A", frame=None)}, "no frame size"),
        ("a frame of run-time size", {"A": report.Function("A", frame=16, dynamic=True)}, "run-time size"),
    ]

    def test_faults(self):
        for name, functions, message in self.FAULTS:
            with self.subTest(name):
                with self.assertRaisesRegex(report.ReportError, message):
                    report.deepest_chain(functions, "A")

    def test_calls_through_the_link_register_add_nothing(self):
        # On AArch64 a call leaves its return address in x30, which the
        # callee's frame saves: the chain is the sum of the frames alone.
        functions = graph(A=(64, ["B"], [], 1), B=(240, [], ["C"]), C=(16, [], []))
        total, steps = report.deepest_chain(functions, "A", return_address=0)
        self.assertEqual(total, 64 + 240)
        self.assertEqual([step.name for step in steps], ["A", "B"])

    def test_prologue_larger_than_the_frame_wins(self):
        functions = {"A": report.Function("A", frame=16, prologue=40)}
        self.assertEqual(report.deepest_chain(functions, "A")[0], 8 + 40)


LISTING = """
x.obj:\tfile format coff-x86-64

Disassembly of section .text:

0000000000000000 <Outer>:
       0:      \tpushq\t%rsi
       1:      \tpushq\t%rdi
       2:      \tsubq\t$40, %rsp
       6:      \tcallq\t0xb <Outer+0xb>
\t\t0000000000000007:  IMAGE_REL_AMD64_REL32\tInner
       b:      \tcallq\t0x40 <Helper>
      10:      \tcallq\t*64(%rax)
      13:      \tleaq\t(%rip), %rcx            # 0x1a <Outer+0x1a>
\t\t0000000000000016:  IMAGE_REL_AMD64_REL32\tSomeString
      1a:      \tje\t0x1f <Outer+0x1f>
\t\t000000000000001b:  IMAGE_REL_AMD64_REL32\tTail
      1f:      \tjmp\t0x6 <Outer+0x6>
      21:      \tleaq\t11(%rip), %rcx          # 0x30 <Outer+0x30>
      28:      \tjmpq\t*%rcx
      30:      \tcallq\t*%rsi
      32:      \tcallq\t0x99 <Elsewhere+0x3>

0000000000000040 <Helper>:
      40:      \tretq
"""
DEFINED = {"Outer", "Helper", "Inner", "Tail"}


class ReadCallGraph(unittest.TestCase):
    def test_calls_tail_calls_and_firmware_calls(self):
        functions = {}
        taken = report.read_call_graph(LISTING, functions, DEFINED)
        outer = functions["Outer"]
        self.assertEqual(outer.calls, {"Inner", "Helper"})
        self.assertEqual(outer.tail_calls, {"Tail"})
        # The jump table's bytes decode as two more calls, which are not code.
        self.assertEqual(outer.firmware_calls, 1)
        self.assertEqual(outer.prologue, 16 + 40)
        self.assertEqual(functions["Helper"].calls, set())
        self.assertEqual(taken, [])

    FAULTS = [
        ("a call to an undefined function",
         "0000 <F>:\n 0: \tcallq\t0x5 <F+0x5>\n\t\t0001:  IMAGE_REL_AMD64_REL32\tmemcpy\n", "no image object defines"),
        ("a call into the middle of a function", "0000 <F>:\n 0: \tcallq\t0x44 <Helper+0x4>\n", "middle of Helper"),
    ]

    def test_faults(self):
        for name, listing, message in self.FAULTS:
            with self.subTest(name):
                with self.assertRaisesRegex(report.ReportError, message):
                    report.read_call_graph(listing, {}, DEFINED | {"F"})

    def test_a_taken_address_is_reported(self):
        listing = "0000 <F>:\n 0: \tleaq\t(%rip), %rcx\n\t\t0003:  IMAGE_REL_AMD64_REL32\tHelper\n"
        self.assertEqual(report.read_call_graph(listing, {}, DEFINED | {"F"}), [("F", "Helper")])
        relocations = ("RELOCATION RECORDS FOR [.rdata]:\nOFFSET TYPE VALUE\n"
                       "0000000000000000 IMAGE_REL_AMD64_ADDR64 Helper\n"
                       "0000000000000008 IMAGE_REL_AMD64_ADDR64 SomeString\n"
                       "RELOCATION RECORDS FOR [.pdata]:\n0000000000000000 IMAGE_REL_AMD64_ADDR32NB Outer\n")
        self.assertEqual(report.taken_in_data(relocations, DEFINED), [(".rdata", "Helper")])

    def test_a_hook_is_a_call_from_the_function_that_calls_through_it(self):
        # Helper calls Inner through a pointer that F set; Tail's address is
        # taken with no call through pointers named for it.
        functions = {}
        report.read_call_graph(LISTING, functions, DEFINED)
        taken = [("F", "Inner"), ("F", "Tail")]
        left = report.add_calls_through_pointers(functions, DEFINED, taken, {"Helper": {"Inner"}})
        self.assertEqual(left, [("F", "Tail")])
        self.assertEqual(functions["Helper"].calls, {"Inner"})
        self.assertEqual(functions["Outer"].calls, {"Inner", "Helper"})
        # Its stack counts on Helper's chains.
        for name in DEFINED:
            functions.setdefault(name, report.Function(name)).frame = 16
        depth, steps = report.deepest_chain(functions, "Helper")
        self.assertEqual([step.name for step in steps], ["Helper", "Inner"])


AA64_LISTING = """
x.obj:\tfile format coff-arm64

Disassembly of section .text:

0000000000000000 <Outer>:
       0:      \tstp\tx29, x30, [sp, #-32]!
       4:      \tstp\tx20, x19, [sp, #16]
       8:      \tmov\tx29, sp
       c:      \tsub\tsp, sp, #0x40
      10:      \tcbz\tw0, 0x30 <Outer+0x30>
      14:      \tbl\t0x14 <Outer+0x14>
\t\t0000000000000014:  IMAGE_REL_ARM64_BRANCH26\tInner
      18:      \tbl\t0x40 <Helper>
      1c:      \tldr\tx8, [x19, #64]
      20:      \tblr\tx8
      24:      \tadr\tx10, #16
      28:      \tbr\tx10
      2c:      \tb.ne\t0x10 <Outer+0x10>
      30:      \tb\t0x30 <Outer+0x30>
\t\t0000000000000030:  IMAGE_REL_ARM64_BRANCH26\tTail

0000000000000040 <Helper>:
      40:      \tret
"""


class ReadCallGraphAArch64(unittest.TestCase):
    ARCH = report.ARCHITECTURES["aa64"]

    def test_calls_tail_calls_and_firmware_calls(self):
        functions = {}
        taken = report.read_call_graph(AA64_LISTING, functions, DEFINED, self.ARCH)
        outer = functions["Outer"]
        self.assertEqual(outer.calls, {"Inner", "Helper"})
        self.assertEqual(outer.tail_calls, {"Tail"})
        # blr is a call through a register: a firmware service; br is the
        # dispatch of a jump table.
        self.assertEqual(outer.firmware_calls, 1)
        self.assertEqual(outer.prologue, 32 + 0x40)
        self.assertEqual(taken, [])

    PROLOGUES = [
        ("sub sp alone", ["sub\tsp, sp, #240", "stp\tx20, x19, [sp, #224]", "ret"], 240),
        ("a frame record pushed, then locals", ["str\tx30, [sp, #-16]!", "sub\tsp, sp, #32", "bl\t0x0 <F>"], 48),
        ("what follows the first branch is not the entry", ["b.eq\t0x8 <F+0x8>", "sub\tsp, sp, #64"], 0),
        ("stores at offsets move nothing", ["stp\tx29, x30, [sp, #16]", "ret"], 0),
    ]

    def test_prologues(self):
        check_prologues(self, report.ARCHITECTURES["aa64"], self.PROLOGUES, instruction_size=4)

    def test_an_unreadable_stack_adjustment_stops_the_report(self):
        code = [report.Instruction(0, "sub", "sp, sp, x8")]
        with self.assertRaisesRegex(report.ReportError, "stack adjustment"):
            report.ARCHITECTURES["aa64"].prologue(code)

    def test_a_taken_address_is_reported(self):
        listing = ("0000 <F>:\n 0: \tadrp\tx8, 0x0 <F>\n\t\t0000:  IMAGE_REL_ARM64_PAGEBASE_REL21\tHelper\n"
                   " 4: \tret\n")
        self.assertEqual(report.read_call_graph(listing, {}, DEFINED | {"F"}, self.ARCH), [("F", "Helper")])

    def test_a_branch_to_an_undefined_function(self):
        listing = "0000 <F>:\n 0: \tb\t0x0 <F>\n\t\t0000:  IMAGE_REL_ARM64_BRANCH26\tmemcpy\n"
        with self.assertRaisesRegex(report.ReportError, "no image object defines"):
            report.read_call_graph(listing, {}, DEFINED | {"F"}, self.ARCH)


RISCV64_LISTING = """
x.obj:\tfile format elf64-littleriscv

Disassembly of section .text._Z5Outerv:

0000000000000000 <_Z5Outerv>:
       0:      \taddi\tsp, sp, -48
       2:      \tsd\tra, 40(sp)
       4:      \tsd\ts0, 32(sp)

0000000000000006 <.LBB0_1>:
       6:      \tauipc\ta1, 0
\t\t0000000000000006:  R_RISCV_GOT_HI20\tAppBootServices
       a:      \tld\ta1, 0(a1)
\t\t000000000000000a:  R_RISCV_PCREL_LO12_I\t.LBB0_1
       e:      \tld\ta3, 64(a1)
      10:      \tjalr\ta3
      12:      \tbeqz\ta0, 0x2a <.LBB0_1+0x24>
      16:      \tauipc\tra, 0
\t\t0000000000000016:  R_RISCV_CALL_PLT\t_Z5Innerv
\t\t0000000000000016:  R_RISCV_RELAX\t*ABS*
      1a:      \tjalr\tra
      1e:      \tjal\t0x40 <_Z6Helperv>
      22:      \tjr\ta2
      24:      \tbnez\ta0, 0x6 <.LBB0_1>
      26:      \tld\tra, 40(sp)
      28:      \taddi\tsp, sp, 48
      2a:      \tauipc\tt1, 0
\t\t000000000000002a:  R_RISCV_CALL\t_Z4Tailv
      2e:      \tjr\tt1

0000000000000040 <_Z6Helperv>:
      40:      \tret
"""
RISCV64_DEFINED = {"_Z5Outerv", "_Z6Helperv", "_Z5Innerv", "_Z4Tailv", "F"}


def check_prologues(test, arch, rows, instruction_size):
    """Each row (name, instruction lines, bytes): what arch's prologue reader
    makes of those lines, instruction_size bytes apart."""
    for name, lines, size in rows:
        with test.subTest(name):
            code = [report.Instruction(instruction_size * i, *(line.split("\t", 1) + [""])[:2])
                    for i, line in enumerate(lines)]
            test.assertEqual(arch.prologue(code), size)


def check_elf_outer(test, listing, arch, prologue):
    """The call graph an ELF listing of Outer and Helper gives: Outer calls
    Inner and Helper, tail-calls Tail, makes one firmware call and takes
    PROLOGUE bytes at its entry; no address is taken."""
    functions = {}
    taken = report.read_call_graph(listing, functions, RISCV64_DEFINED, arch)
    test.assertEqual(sorted(functions), ["_Z5Outerv", "_Z6Helperv"])
    outer = functions["_Z5Outerv"]
    test.assertEqual(outer.calls, {"_Z5Innerv", "_Z6Helperv"})
    test.assertEqual(outer.tail_calls, {"_Z4Tailv"})
    test.assertEqual(outer.firmware_calls, 1)
    test.assertEqual(outer.prologue, prologue)
    test.assertEqual(taken, [])


class ReadCallGraphRiscv64(unittest.TestCase):
    ARCH = report.ARCHITECTURES["riscv64"]

    def test_calls_tail_calls_and_firmware_calls(self):
        # The local label .LBB0_1 is a place inside Outer, not a function.
        # jalr a3 is a call through a register: a firmware service; jr a2 a
        # jump through one.
        check_elf_outer(self, RISCV64_LISTING, self.ARCH, prologue=48)

    PROLOGUES = [
        ("addi sp alone", ["addi\tsp, sp, -240", "sd\tra, 232(sp)", "ret"], 240),
        ("two steps down", ["addi\tsp, sp, -2032", "sd\tra, 2024(sp)", "addi\tsp, sp, -64", "jalr\ta3"], 2096),
        ("what follows the first branch is not the entry", ["beqz\ta0, 0x8 <F+0x8>", "addi\tsp, sp, -64"], 0),
        ("a leaf moves nothing", ["mv\ta0, a1", "ret"], 0),
    ]

    def test_prologues(self):
        check_prologues(self, self.ARCH, self.PROLOGUES, instruction_size=4)

    FAULTS = [
        ("a stack adjustment by a register", "0000 <F>:\n 0: \tsub\tsp, sp, t0\n", "stack adjustment sub sp, sp, t0"),
        ("a stack pointer realigned", "0000 <F>:\n 0: \tandi\tsp, sp, -16\n", "stack adjustment andi"),
        ("a call's auipc without its jalr",
         "0000 <F>:\n 0: \tauipc\tra, 0\n\t\t0000:  R_RISCV_CALL_PLT\t_Z6Helperv\n 4: \tret\n", "has no jalr"),
        ("a call to an undefined function",
         "0000 <F>:\n 0: \tauipc\tra, 0\n\t\t0000:  R_RISCV_CALL_PLT\tmemcpy\n 4: \tjalr\tra\n",
         "no image object defines"),
        ("a jump into the middle of another function", "0000 <F>:\n 0: \tj\t0x44 <_Z6Helperv+0x4>\n",
         "middle of _Z6Helperv"),
    ]

    def test_faults(self):
        for name, listing, message in self.FAULTS:
            with self.subTest(name):
                with self.assertRaisesRegex(report.ReportError, message):
                    report.read_call_graph(listing, {}, RISCV64_DEFINED, self.ARCH)

    def test_a_taken_address_is_reported(self):
        listing = ("0000 <F>:\n 0: \tauipc\ta0, 0\n\t\t0000:  R_RISCV_PCREL_HI20\t_Z6Helperv\n"
                   " 4: \taddi\ta0, a0, 0\n\t\t0004:  R_RISCV_PCREL_LO12_I\t.Ltmp0\n 8: \tret\n")
        self.assertEqual(report.read_call_graph(listing, {}, RISCV64_DEFINED, self.ARCH), [("F", "_Z6Helperv")])
        relocations = ("RELOCATION RECORDS FOR [.data.rel.ro.Table]:\nOFFSET TYPE VALUE\n"
                       "0000000000000000 R_RISCV_64 _Z6Helperv+0x2\n0000000000000008 R_RISCV_64 .L.str\n")
        self.assertEqual(report.taken_in_data(relocations, RISCV64_DEFINED), [(".data.rel.ro.Table", "_Z6Helperv")])


ARM_LISTING = """
x.obj:\tfile format elf32-littlearm

Disassembly of section .text._Z5Outerv:

00000000 <_Z5Outerv>:
       0:      \tpush\t{r4, r5, r7, lr}
       2:      \tadd\tr7, sp, #8
       4:      \tsub\tsp, #16
       6:      \tcbz\tr0, 0x1c <$t.1> @ imm = #18
       8:      \tbl\t0x8 <_Z5Outerv+0x8> @ imm = #-4
\t\t\t00000008:  R_ARM_THM_CALL\t_Z5Innerv
       c:      \tldr\tr3, [r4, #64]
       e:      \tblx\tr3
      10:      \tbl\t0x40 <_Z6Helperv> @ imm = #44
      14:      \tb.w\t0x14 <_Z5Outerv+0x14> @ imm = #-4
\t\t\t00000014:  R_ARM_THM_JUMP24\t_Z4Tailv

00000018 <$d.0>:
      18:\t00 00 00 00\t.word\t0x00000000

0000001c <$t.1>:
      1c:      \tbne\t0x6 <_Z5Outerv+0x6> @ imm = #-26
      1e:      \tpop\t{r4, r5, r7, pc}

00000040 <_Z6Helperv>:
      40:      \tbx\tlr
"""


class ReadCallGraphArm(unittest.TestCase):
    ARCH = report.ARCHITECTURES["arm"]

    def test_calls_tail_calls_and_firmware_calls(self):
        # The mapping symbols $d.0 and $t.1 are places inside Outer, and the
        # "@ imm" comments do not hide the jumps' targets; blx r3 is the
        # firmware call.
        check_elf_outer(self, ARM_LISTING, self.ARCH, prologue=16 + 16)

    PROLOGUES = [
        ("pushed lists and locals", ["push\t{r4, r5, r6, r7, lr}", "add\tr7, sp, #12",
                                     "push.w\t{r8, r9, r10, r11}", "sub\tsp, #108", "cbz\tr2, 0x88 <F+0x88>"],
         20 + 16 + 108),
        ("a wide sub", ["push\t{r7, lr}", "sub.w\tsp, sp, #264", "bl\t0x0 <G>"], 8 + 264),
        ("a pre-indexed store", ["str\tlr, [sp, #-4]!", "bx\tlr"], 4),
        ("what follows the first call is not the entry", ["bl\t0x0 <G>", "sub\tsp, #8"], 0),
        ("stores at offsets move nothing", ["str\tr1, [sp, #4]", "bx\tlr"], 0),
    ]

    def test_prologues(self):
        check_prologues(self, self.ARCH, self.PROLOGUES, instruction_size=2)

    def test_an_unreadable_stack_adjustment_stops_the_report(self):
        for line in ("mov\tsp, r0", "sub\tsp, r1", "vpush\t{d8}"):
            with self.subTest(line), self.assertRaisesRegex(report.ReportError, "stack adjustment"):
                self.ARCH.prologue([report.Instruction(0, *line.split("\t", 1))])


class StackDepthIA32(unittest.TestCase):
    # Each row: instructions at addresses 0, 4, 8, ... of a function F, and
    # the deepest its stack pointer goes below the return address.
    DEPTHS = [
        ("saved registers, alignment, locals and the pushed arguments of a call",
         ["pushl\t%ebp", "movl\t%esp, %ebp", "pushl\t%esi", "andl\t$-8, %esp", "subl\t$16, %esp",
          "pushl\t$1", "pushl\t%eax", "calll\t0x20 <F+0x20>", "addl\t$8, %esp", "leal\t-4(%ebp), %esp",
          "popl\t%esi", "popl\t%ebp", "retl"], 4 + 4 + 4 + 16 + 8),
        ("the pushes on a branch that the code before it jumps to",
         ["testl\t%eax, %eax", "je\t0xc <F+0xc>", "retl", "pushl\t%eax", "pushl\t%eax", "calll\t0x18 <F+0x18>",
          "popl\t%ecx", "popl\t%ecx", "retl"], 8),
        ("a block is reached with the depth of the jump into it, not of the code above it",
         ["subl\t$8, %esp", "jmp\t0x10 <F+0x10>", "pushl\t%eax", "retl", "pushl\t%ecx", "calll\t0x18 <F+0x18>",
          "jmp\t0x8 <F+0x8>"], 8 + 4 + 4),
        ("arguments popped after each call do not add up",
         ["pushl\t%eax", "calll\t0x8 <F+0x8>", "addl\t$4, %esp", "pushl\t%eax", "calll\t0x14 <F+0x14>",
          "popl\t%ecx", "pushl\t%eax", "calll\t0x20 <F+0x20>", "retl"], 4),
        ("a jump inside is followed",
         ["jmp\t0x4 <F+0x4>", "pushl\t%eax", "retl"], 4),
        ("a jump the assembler resolved into another function is a tail call",
         ["jmp\t0x40 <G>", "pushl\t%eax", "retl"], 0),
        ("nothing falls through a jump through a register",
         ["jmpl\t*%eax", "pushl\t%eax", "retl"], 0),
    ]

    @staticmethod
    def code(lines, relocated=()):
        code = [report.Instruction(4 * i, *(line.split("\t", 1) + [""])[:2]) for i, line in enumerate(lines)]
        for index in relocated:
            code[index].relocation = "G"
        return code

    def test_depths(self):
        for name, lines, depth in self.DEPTHS:
            with self.subTest(name):
                self.assertEqual(ia32.depth(self.code(lines)), depth)

    def test_a_tail_call_is_not_followed(self):
        # The jump's relocation names another function: nothing after it runs.
        lines = ["jmp\t0x4 <F+0x4>", "pushl\t%eax", "retl"]
        self.assertEqual(ia32.depth(self.code(lines, relocated=[0])), 0)

    def test_an_unreadable_stack_pointer_stops_the_report(self):
        for lines, reason in ((["addl\t%eax, %esp", "retl"], "cannot follow the stack pointer"),
                              (["jmp\t0x6 <F+0x6>", "nop", "retl"], "lands between instructions")):
            with self.subTest(lines[0]), self.assertRaisesRegex(report.ReportError, reason):
                ia32.depth(self.code(lines))


class Names(unittest.TestCase):
    CASES = [
        ("ApplicationEntry", "ApplicationEntry"),
        ("?RenderFormat@@YA_KPEAX_K1PEBXUArgumentList@@@Z", "RenderFormat"),
        ("?ReadNode64@?A0xC6C98842@@YA_KPEBE@Z", "ReadNode64"),
        ("??$ConsolePrint@III@@YA_KU?$CheckedFormat@_SIII@@III@Z", "ConsolePrint<...>"),
        ("??R<lambda_0>@?0??RenderFormat@@YA_KPEAX_K1PEBXUArgumentList@@@Z@QEBA?A?<auto>@@1@Z",
         "RenderFormat::<lambda_0>"),
        ("??R<lambda_1>@?0???$FormatToBuffer@_K@@YA_KPEAX_K1U?$CheckedFormat@D_K@@1@Z@QEBA?A?<auto>@@UArgumentList@@@Z",
         "FormatToBuffer<...>::<lambda_1>"),
        ("??$WithArgumentSlots@V<lambda_1>@?0???$ConsolePrint@III@@YA_KU?$CheckedFormat@_SIII@@III@Z@III@@YA?A?<auto>@@"
         "V<lambda_1>@?0???$ConsolePrint@III@@YA_KU?$CheckedFormat@_SIII@@III@Z@III@Z",
         "WithArgumentSlots<ConsolePrint<...>::<lambda_1>>"),
        # Itanium-mangled, as ELF objects name them.
        ("_Z12RenderFormatPvyyPKv12ArgumentList", "RenderFormat"),
        ("_ZN12_GLOBAL__N_18CopyTextERNS_12OutputWindowEPKhhy", "CopyText"),
        ("_ZNK6Window10PutPaddingEv", "PutPadding"),
        ("_Z12ConsolePrintIJjjjEEy14CheckedFormatIDsJDpT_EES1_", "ConsolePrint<...>"),
        ("_Z20PrintDevicePathNodesv", "PrintDevicePathNodes"),
    ]

    def test_cases(self):
        for symbol, name in self.CASES:
            with self.subTest(symbol):
                self.assertEqual(report.short_name(symbol), name)


class StackUsage(unittest.TestCase):
    def test_frames_kinds_and_duplicates(self):
        functions = {}
        report.read_stack_usage("a.cpp:3:?F@@YAXXZ\t40\tstatic\n"
                                "b.cpp:9:?F@@YAXXZ\t56\tstatic\n"
                                "a.cpp:7:?G@@YAXXZ\t32\tdynamic,bounded\n"
                                "a.cpp:8:?H@@YAXXZ\t16\tdynamic\n", functions)
        self.assertEqual({name: (f.frame, f.dynamic) for name, f in functions.items()},
                         {"?F@@YAXXZ": (56, False), "?G@@YAXXZ": (32, False), "?H@@YAXXZ": (16, True)})

    def test_unreadable_line(self):
        with self.assertRaises(report.ReportError):
            report.read_stack_usage("no tabs here\n", {})


class PeHeaders(unittest.TestCase):
    def test_sections(self):
        image = bytearray(1024)
        image[0:2] = b"MZ"
        struct.pack_into("<I", image, 0x3C, 0x80)
        image[0x80:0x84] = b"PE\0\0"
        struct.pack_into("<HH", image, 0x84, 0x8664, 2)          # machine, sections
        struct.pack_into("<H", image, 0x84 + 16, 240)            # optional header size
        optional = 0x84 + 20
        struct.pack_into("<II", image, optional + 32, 4096, 512)  # section, file alignment
        struct.pack_into("<I", image, optional + 60, 512)         # headers
        for index, (name, virtual, raw, offset, flags) in enumerate([(b".text", 0x1746, 0x1800, 0x200, 0x60000020),
                                                                     (b".reloc", 0x58, 0x200, 0x1A00, 0x42000040)]):
            at = optional + 240 + 40 * index
            image[at:at + len(name)] = name
            struct.pack_into("<I", image, at + 8, virtual)
            struct.pack_into("<II", image, at + 16, raw, offset)
            struct.pack_into("<I", image, at + 36, flags)
        pe = report.read_pe(bytes(image))
        self.assertEqual((pe.machine, pe.file_size, pe.headers_size, pe.file_alignment, pe.section_alignment),
                         (0x8664, 1024, 512, 512, 4096))
        self.assertEqual([(s.name, s.virtual_size, s.raw_size, s.raw_offset) for s in pe.sections],
                         [(".text", 0x1746, 0x1800, 0x200), (".reloc", 0x58, 0x200, 0x1A00)])

    def test_not_an_image(self):
        with self.assertRaisesRegex(report.ReportError, "MZ"):
            report.read_pe(b"\x7fELF" + bytes(100))


if __name__ == "__main__":
    unittest.main()
