#!/usr/bin/env python3
"""Boots images under U-Boot's UEFI firmware in QEMU through the scripts that
scripts/boot.sh uses, and checks what reaches the serial console.

  boot_test.py CASE BUILD_DIR            one boot case of CASES below: the
                                         report of BUILD_DIR's image for the
                                         case's architecture, from its disk
  boot_test.py runner BUILD_DIR RESET_IMAGE
                                         the runner's verdicts when no report comes
  boot_test.py selfcheck BUILD_DIR       the report check on recorded and
                                         doctored consoles, without QEMU
  boot_test.py --list                    the names of CASES, one a line

Every case makes its own disks in its own temp dir and fails when a QEMU
process started for one of them is still alive afterwards.
"""
import os
import re
import subprocess
import sys
import tempfile
import time
from pathlib import Path

SCRIPTS = Path(__file__).resolve().parents[2] / "scripts"
BOOT_LIMIT = 45  # seconds the runner waits for a report

failures = []


def expect(condition, message):
    if not condition:
        failures.append(message)
    return condition


# Each boot case: the machine, the bus and the disk's layout, and the system
# partition it is made with (number, start and size in sectors, the GPT
# partition GUID or the MBR disk signature), and how often it is booted.
# Across the cases every bus of each architecture is seen, each layout on every
# architecture, and on each a partition that starts past 2 TiB, whose start
# needs all 64 bits of the node's field (on ARM, whose firmware reaches no
# further, one whose start has bit 31 set). Over virtio the firmware puts a
# 21-byte node before the hard-drive node, which then starts at an odd offset.
# The CTest names are boot_report_CASE; tests/CMakeLists.txt takes the names
# from --list.
CASES = {
    "x64_ide_gpt": ("x64", "ide", "gpt", 0x2A00, 0xB37E, "9B2E4C1A-5D3F-4E7B-A1C6-0F8D2E7B3A95", 2),
    "x64_ide_mbr": ("x64", "ide", "mbr", 0x1F40, 0xA0F2, 0xC0FFEE42, 1),
    "x64_ahci_gpt": ("x64", "ahci", "gpt", 0x3000, 0x9000, "0D1E2F30-4152-4637-8899-AABBCCDDEEFF", 1),
    "x64_virtio_mbr": ("x64", "virtio", "mbr", 0x801, 0xC000, 0x00000001, 1),
    "x64_usb_gpt": ("x64", "usb", "gpt", 0x2800, 0xEC00, "C0DEC0DE-0001-4002-8003-000400050006", 1),
    "x64_virtio_gpt_far": ("x64", "virtio", "gpt", 0x100000800, 0xEC00, "FA12FA12-2222-4333-8444-555566667777", 1),
    "aa64_virtio_mbr": ("aa64", "virtio", "mbr", 0x1000, 0xB000, 0xFFFFFFFF, 1),
    "aa64_nvme_gpt": ("aa64", "nvme", "gpt", 0x2A00, 0xB37E, "9B2E4C1A-5D3F-4E7B-A1C6-0F8D2E7B3A95", 1),
    "aa64_ahci_mbr": ("aa64", "ahci", "mbr", 0x1F40, 0xA0F2, 0x5EC7A1B2, 1),
    "aa64_usb_gpt": ("aa64", "usb", "gpt", 0x4000, 0x8000, "12345678-9ABC-4DEF-8123-456789ABCDEF", 1),
    "aa64_virtio_gpt_far": ("aa64", "virtio", "gpt", 0x180000800, 0xEC00,
                            "7E57FA12-0000-4000-8000-0000000000A1", 1),
    "riscv64_virtio_gpt": ("riscv64", "virtio", "gpt", 0x2A00, 0xB37E, "5C1F0E2D-3B4A-4968-8776-A5B4C3D2E1F0", 1),
    "riscv64_virtio_mbr": ("riscv64", "virtio", "mbr", 0x800, 0xC800, 0x0BADF00D, 1),
    "riscv64_ahci_gpt": ("riscv64", "ahci", "gpt", 0x3000, 0x9000, "A1B2C3D4-E5F6-4A0B-9C1D-2E3F40516273", 1),
    "riscv64_virtio_gpt_far": ("riscv64", "virtio", "gpt", 0x1C0000800, 0xEC00,
                               "FA12FA12-5555-4666-8777-888899990000", 1),
    "ia32_ide_gpt": ("ia32", "ide", "gpt", 0x2A00, 0xB37E, "1A32E0F1-7C6B-4D5A-8B9C-0D1E2F3A4B5C", 1),
    "ia32_ahci_mbr": ("ia32", "ahci", "mbr", 0x1F40, 0xA0F2, 0x1A32C0DE, 1),
    "ia32_virtio_gpt_far": ("ia32", "virtio", "gpt", 0x1A0000800, 0xEC00, "FA12FA12-1A32-4BBB-8CCC-DDDDEEEEFFFF", 1),
    # U-Boot's ARM build counts blocks in 32 bits (a disk past 2 TiB shows
    # its size modulo 2 TiB and no partition), so its highest partition
    # starts below 2 TiB, with bit 31 of the start set.
    "arm_virtio_gpt_high": ("arm", "virtio", "gpt", 0xF0000800, 0xEC00, "A3B2C1D0-0A32-4E7F-9ABC-DEF012345678", 1),
    "arm_virtio_mbr": ("arm", "virtio", "mbr", 0x1000, 0xB000, 0xA5A5A5A5, 1),
    "arm_ahci_gpt": ("arm", "ahci", "gpt", 0x3000, 0x9000, "0A320A32-1111-4222-8333-444455556666", 1),
}


def make_disk(image, disk, *options):
    result = subprocess.run([SCRIPTS / "make-disk.sh", *options, image, disk],
                            capture_output=True, text=True, check=True)
    return dict(line.split("=", 1) for line in result.stdout.split())


def boot(disk, log, *options, env=None):
    started = time.monotonic()
    result = subprocess.run([SCRIPTS / "run-firmware.sh", "--log", log, "--timeout", str(BOOT_LIMIT),
                             *options, str(disk)],
                            capture_output=True, text=True, stdin=subprocess.DEVNULL,
                            timeout=BOOT_LIMIT + 30, env=env)
    leftovers = [pid for pid in os.listdir("/proc") if pid.isdigit() and qemu_uses(pid, disk)]
    expect(not leftovers, f"QEMU still running for {disk}: pids {leftovers}")
    return result, time.monotonic() - started


def qemu_uses(pid, disk):
    try:
        argv = Path(f"/proc/{pid}/cmdline").read_bytes().split(b"\0")
    except OSError:
        return False
    return b"qemu" in argv[0] and any(str(disk).encode() in arg for arg in argv)


def report_lines(raw):
    """The report as the console received it, each line stripped of its ending
    after checking that ending: the application's CR LF, which U-Boot's serial
    console turns into CR CR LF."""
    start = raw.find(b"Print Nodes:")
    if not expect(start >= 0, "no 'Print Nodes:' heading on the console"):
        return []
    lines = []
    for line in raw[start:].split(b"\n")[:-1]:
        text = line.decode("latin-1")
        expect(line.endswith(b"\r\r") and b"\r" not in line[:-2],
               f"line {text!r} does not end with the application's CR LF")
        lines.append(text.rstrip("\r"))
        if len(lines) >= 2 and re.fullmatch(r"type:(127,subType:\d+|\d+,subType:255),length:\d+", lines[-2]):
            return lines
    expect(False, "the report has no closing node line followed by the text form")
    return lines


# The nodes U-Boot 2023.01 puts in front of the hard-drive node, bus by bus:
# each node's type, sub-type and length and its text in the firmware's text
# form. They are the same on both architectures; a bus whose nodes differ on
# one architecture gets a row of its own under "ARCH:BUS", which is looked up
# before the bus alone. Each list starts with U-Boot's root node, a vendor
# hardware node of 20 bytes.
ROOT_NODE = (1, 4, 20, "VenHw(e61d73b9-a384-4acc-aeab-82e828f3628b)")
BUS_NODES = {
    "ide": [ROOT_NODE, (3, 1, 8, "Ata(0,0,0)")],
    "ahci": [ROOT_NODE, (3, 2, 8, "Scsi(0,0)")],
    # 21 bytes: the hard-drive node after it starts at an odd offset.
    "virtio": [ROOT_NODE, (1, 4, 21, "VenHw(63293792-adf5-9325-b99f-4e0e455c1b1e,00)")],
    # The hub, then the stick.
    "usb": [ROOT_NODE, (3, 15, 11, "UsbClass(0x0,0x0,0x9,0x0,0x1)"),
            (3, 15, 11, "UsbClass(0x46f4,0x1,0x0,0x0,0x0)")],
    "nvme": [ROOT_NODE, (3, 23, 16, "NVMe(0x1,00-00-00-00-00-00-00-00)")],
}


def expected_report(arch, bus, layout, number, start, size, signature):
    """Every line the report must show, from the partition the disk was made
    with (SIGNATURE: the GPT partition GUID as text, or the MBR disk signature
    as a number) and the nodes the bus puts in front of it."""
    nodes = BUS_NODES.get(f"{arch}:{bus}", BUS_NODES.get(bus))
    if nodes is None:
        raise KeyError(f"no known nodes for bus {bus} on {arch}: add a row to BUS_NODES")
    if layout == "gpt":
        signature_line, signature_type = signature.upper(), 2
        partition = f"HD({number},GPT,{signature.lower()},0x{start:x},0x{size:x})"
    else:
        signature_line, signature_type = f"{signature:08X}-0000-0000-0000-000000000000", 1
        partition = f"HD({number},MBR,0x{signature:08x},0x{start:x},0x{size:x})"
    return (["Print Nodes:"]
            + [f"type:{kind},subType:{sub},length:{length}" for kind, sub, length, _ in nodes]
            + ["type:4,subType:1,length:42",
               f"    PartitionNumber:{number} ",
               f"    PartitionStart:0x{start:X} ",
               f"    PartitionSize:0x{size:X} ",
               f"    PartitionSig:{signature_line} ",
               f"    PartitionFormat:{signature_type} ",
               f"    SignatureType:{signature_type} ",
               "type:127,subType:255,length:4",
               "/" + "/".join([text for *_, text in nodes] + [partition])])


def check_report(lines, expected):
    """The report must be EXPECTED, line for line: nothing missing, nothing
    extra, nothing changed."""
    expect(lines == expected, "report differs from the disk:\n" + "\n".join(
        f"  {'ok ' if i < len(lines) and i < len(expected) and lines[i] == expected[i] else 'BAD'} "
        f"got {lines[i] if i < len(lines) else '(nothing)'!r}, want {expected[i] if i < len(expected) else '(nothing)'!r}"
        for i in range(max(len(lines), len(expected)))))


def boot_and_check(build, work, case):
    arch, bus, layout, start, size, signature, boots = CASES[case]
    image = build / f"quillmere{arch}.efi"
    disk = work / f"{case}.img"
    if layout == "gpt":
        options, number = ["--guid", signature.lower()], 2
    else:
        options, number = ["--signature", f"{signature:#x}"], 1
    expected = expected_report(arch, bus, layout, number, start, size, signature)
    facts = make_disk(image, disk, "--arch", arch, "--layout", layout, "--start", hex(start), "--size", str(size),
                      *options)
    expect((int(facts["number"]), int(facts["start"]), int(facts["size"])) == (number, start, size),
           f"make-disk made {facts}")
    reports = []
    for attempt in range(boots):
        log = work / f"{case}-{attempt}.log"
        result, elapsed = boot(disk, log, "--arch", arch, "--bus", bus)
        raw = log.read_bytes()
        if not expect(result.returncode == 0, f"boot {attempt} failed: {result.stderr.strip()}\n"
                      + raw[-1500:].decode("latin-1")):
            return
        print(f"boot {attempt}: report in {elapsed:.1f} s")
        lines = report_lines(raw)
        check_report(lines, expected)
        reports.append(lines)
        expect(result.stdout.splitlines() == lines, "the runner printed something else than the report")
    expect(all(report == reports[0] for report in reports), "repeated boots gave different reports")
    if reports:
        print("\n".join(reports[0]))


def check_runner(build, reset_image, work):
    """Without a complete report the runner must fail with one line, and soon."""
    def failed(result, elapsed, reason, what):
        message = result.stderr.strip()
        expect(result.returncode != 0 and result.stdout == "", f"{what}: the runner passed")
        expect("\n" not in message and reason in message, f"{what}: reason {message!r}, want {reason!r}")
        expect(elapsed < BOOT_LIMIT, f"{what}: took {elapsed:.0f} s, as long as the time limit")
        print(f"{what}: {message} ({elapsed:.1f} s)")

    # QEMU that cannot start.
    stub = work / "bin"
    stub.mkdir()
    (stub / "qemu-system-x86_64").write_text("#!/bin/sh\necho 'qemu-system-x86_64: cannot open' >&2\nexit 1\n")
    (stub / "qemu-system-x86_64").chmod(0o755)
    empty = work / "empty.img"
    empty.write_bytes(b"")
    env = dict(os.environ, PATH=f"{stub}:{os.environ['PATH']}")
    failed(*boot(empty, work / "stub.log", env=env), "QEMU failed to start: qemu-system-x86_64: cannot open",
           "QEMU fails")

    # A file on the disk that the firmware cannot start: U-Boot goes back to
    # its prompt.
    junk = work / "junk.efi"
    junk.write_bytes(b"not an application\n" * 64)
    make_disk(junk, work / "junk.img")
    failed(*boot(work / "junk.img", work / "junk.log"),
           'back to its prompt without starting the report: U-Boot said "No UEFI binary known at 0x', "no application")
    # An image for another machine: U-Boot's reason is passed on.
    make_disk(build / "quillmereaa64.efi", work / "foreign.img")
    failed(*boot(work / "foreign.img", work / "foreign.log"),
           'U-Boot said "Machine type 0xaa64 is not supported"', "another machine's image")

    # An application that resets the machine: under -no-reboot QEMU exits
    # with status 0, which must not pass.
    make_disk(reset_image, work / "reset.img")
    failed(*boot(work / "reset.img", work / "reset.log"), "QEMU exited with status 0", "reset")

    # The real image with a limit shorter than U-Boot's autoboot countdown.
    disk = work / "slow.img"
    make_disk(build / "quillmerex64.efi", disk)
    result = subprocess.run([SCRIPTS / "run-firmware.sh", "--timeout", "2", disk],
                            capture_output=True, text=True, stdin=subprocess.DEVNULL, timeout=30)
    expect(result.returncode != 0 and "no complete report within 2 seconds; the console's last line: " in result.stderr,
           f"time limit: {result.returncode} {result.stderr.strip()!r}")
    result = subprocess.run([SCRIPTS / "run-firmware.sh", "--timeout", "1", disk],
                            capture_output=True, text=True, stdin=subprocess.DEVNULL, timeout=30)
    expect(result.returncode != 0 and "no complete report within 1 second; " in result.stderr,
           f"time limit of 1: {result.returncode} {result.stderr.strip()!r}")
    expect(not [pid for pid in os.listdir("/proc") if pid.isdigit() and qemu_uses(pid, disk)],
           "time limit: QEMU left running")


# Consoles as U-Boot showed them (lines end CR CR LF), recorded from the boots
# of x64_virtio_mbr and x64_usb_gpt, with the disk each was made from.
RECORDED = {
    "virtio_mbr": (("x64", "virtio", "mbr", 1, 0x801, 0xC000, 0x00000001), [
        "Booting /\\EFI\\BOOT\\BOOTX64.EFI",
        "Print Nodes:",
        "type:1,subType:4,length:20",
        "type:1,subType:4,length:21",
        "type:4,subType:1,length:42",
        "    PartitionNumber:1 ",
        "    PartitionStart:0x801 ",
        "    PartitionSize:0xC000 ",
        "    PartitionSig:00000001-0000-0000-0000-000000000000 ",
        "    PartitionFormat:1 ",
        "    SignatureType:1 ",
        "type:127,subType:255,length:4",
        "/VenHw(e61d73b9-a384-4acc-aeab-82e828f3628b)/VenHw(63293792-adf5-9325-b99f-4e0e455c1b1e,00)"
        "/HD(1,MBR,0x00000001,0x801,0xc000)",
        "=> "]),
    "usb_gpt": (("x64", "usb", "gpt", 2, 0x2800, 0xEC00, "C0DEC0DE-0001-4002-8003-000400050006"), [
        "Print Nodes:",
        "type:1,subType:4,length:20",
        "type:3,subType:15,length:11",
        "type:3,subType:15,length:11",
        "type:4,subType:1,length:42",
        "    PartitionNumber:2 ",
        "    PartitionStart:0x2800 ",
        "    PartitionSize:0xEC00 ",
        "    PartitionSig:C0DEC0DE-0001-4002-8003-000400050006 ",
        "    PartitionFormat:2 ",
        "    SignatureType:2 ",
        "type:127,subType:255,length:4",
        "/VenHw(e61d73b9-a384-4acc-aeab-82e828f3628b)/UsbClass(0x0,0x0,0x9,0x0,0x1)"
        "/UsbClass(0x46f4,0x1,0x0,0x0,0x0)/HD(2,GPT,c0dec0de-0001-4002-8003-000400050006,0x2800,0xec00)",
        "=> "]),
}


def replaced(old, new):
    return lambda lines: [new if line == old else line for line in lines]


def without(*gone):
    return lambda lines: [line for line in lines if line not in gone]


# Each row: a recorded console, how it is doctored, and whether the check
# must still pass. Every doctoring is a report that must fail its boot.
SELF_CHECKS = [
    ("virtio_mbr", "as recorded", lambda lines: lines, True),
    ("usb_gpt", "as recorded", lambda lines: lines, True),
    ("virtio_mbr", "the 21-byte node line missing", without("type:1,subType:4,length:21"), False),
    ("usb_gpt", "one of two equal node lines missing",
     lambda lines: lines[:2] + lines[3:], False),
    ("virtio_mbr", "the 21-byte node's length wrong",
     replaced("type:1,subType:4,length:21", "type:1,subType:4,length:20"), False),
    ("usb_gpt", "a node's sub-type wrong",
     replaced("type:3,subType:15,length:11", "type:3,subType:5,length:11"), False),
    ("virtio_mbr", "a line added", lambda lines: lines[:3] + ["type:1,subType:1,length:6"] + lines[3:], False),
    ("virtio_mbr", "the text form changed in front of HD()",
     lambda lines: [line.replace("1e,00)", "1e,01)") for line in lines], False),
    ("usb_gpt", "the text form's partition changed",
     lambda lines: [line.replace("HD(2,GPT", "HD(3,GPT") for line in lines], False),
    ("virtio_mbr", "the partition block missing", lambda lines: lines[:5] + lines[11:], False),
    ("usb_gpt", "the partition format wrong",
     lambda lines: [line.replace("Format:2", "Format:1") for line in lines], False),
    ("virtio_mbr", "only heading, closing line and text form",
     lambda lines: [lines[0], lines[1], lines[11], lines[12], lines[13]], False),
    ("virtio_mbr", "no text form: the console ends after the closing line",
     lambda lines: lines[:12], False),
    ("usb_gpt", "no heading", without("Print Nodes:"), False),
]


def self_check():
    """The report check run on recorded consoles and doctored copies of them,
    without QEMU: each doctored report must fail, each recorded one pass."""
    for name, what, doctor, passes in SELF_CHECKS:
        disk, lines = RECORDED[name]
        raw = "".join(line + "\r\r\n" for line in doctor(lines)).encode("latin-1")
        before = len(failures)
        check_report(report_lines(raw), expected_report(*disk))
        found = failures[before:]
        del failures[before:]
        expect(passes == (not found), f"{name}, {what}: the check "
               + (f"failed: {found}" if found else "passed a wrong report"))
        print(f"{name}, {what}: {'passes' if not found else 'fails'}")
    # A table row for every bus a boot case uses.
    for case, (arch, bus, *_) in CASES.items():
        expect(f"{arch}:{bus}" in BUS_NODES or bus in BUS_NODES, f"{case}: no known nodes for {arch} {bus}")


def main():
    if sys.argv[1:] == ["--list"]:
        print("\n".join(CASES))
        return
    case, build = sys.argv[1], Path(sys.argv[2]).resolve()
    with tempfile.TemporaryDirectory(prefix=f"quillmere-{case}-") as temp:
        work = Path(temp)
        if case in CASES:
            boot_and_check(build, work, case)
        elif case == "selfcheck":
            self_check()
        elif case == "runner":
            check_runner(build, Path(sys.argv[3]).resolve(), work)
        else:
            sys.exit(f"unknown case {case}")
    for failure in failures:
        print("FAIL:", failure)
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
