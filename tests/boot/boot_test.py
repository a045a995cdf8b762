#!/usr/bin/env python3
"""Boots images under U-Boot's UEFI firmware in QEMU through the scripts that
scripts/boot.sh uses, and checks what reaches the serial console.

  boot_test.py CASE BUILD_DIR            one boot case of CASES below: the
                                         report of BUILD_DIR's image for the
                                         case's architecture, from its disk
  boot_test.py runner BUILD_DIR RESET_IMAGE
                                         the runner's verdicts when no report comes
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


# Device-path node names in the firmware's text form, with their type and
# sub-type, for the nodes U-Boot puts in front of a disk.
NODE_KINDS = {"PciRoot": (2, 1), "Pci": (1, 1), "VenHw": (1, 4), "Ata": (3, 1),
              "Scsi": (3, 2), "UsbClass": (3, 15), "Sata": (3, 18), "NVMe": (3, 23), "HD": (4, 1)}


# The node lines the firmware's nodes in front of the hard-drive node give,
# exactly, where they are known for a machine and bus. RISC-V's U-Boot puts a
# vendor node for its root before each disk, then a second vendor node (21
# bytes) for a virtio disk or a SCSI node for an AHCI one.
FIRMWARE_NODE_LINES = {
    ("riscv64", "virtio"): ["type:1,subType:4,length:20", "type:1,subType:4,length:21"],
    ("riscv64", "ahci"): ["type:1,subType:4,length:20", "type:3,subType:2,length:8"],
    # U-Boot's IA32 build: its root's vendor node, then an ATA node for an IDE
    # disk, a SCSI node for an AHCI one or a 21-byte vendor node for virtio.
    ("ia32", "ide"): ["type:1,subType:4,length:20", "type:3,subType:1,length:8"],
    ("ia32", "ahci"): ["type:1,subType:4,length:20", "type:3,subType:2,length:8"],
    ("ia32", "virtio"): ["type:1,subType:4,length:20", "type:1,subType:4,length:21"],
    # U-Boot's ARM build: the same nodes for virtio (MMIO) and AHCI disks.
    ("arm", "virtio"): ["type:1,subType:4,length:20", "type:1,subType:4,length:21"],
    ("arm", "ahci"): ["type:1,subType:4,length:20", "type:3,subType:2,length:8"],
}


def check_report(lines, number, start, size, signature, signature_type, firmware_lines=None):
    """Compares the report with the partition the disk was made with."""
    if len(lines) < 4:
        return
    text = lines[-1]
    nodes = text.strip("/").split("/")
    # The nodes in front of the hard-drive node are the firmware's: their
    # lines are those of FIRMWARE_NODE_LINES where known; otherwise their
    # kind follows from the text form and their lengths are not checked.
    patterns = [("Print Nodes:", "Print Nodes:")]
    for node in nodes[:-1] if firmware_lines is None else []:
        kind = NODE_KINDS.get(node.split("(")[0], (r"\d+", r"\d+"))
        patterns.append((rf"type:{kind[0]},subType:{kind[1]},length:\d+", f"type:{kind[0]},subType:{kind[1]},length:N"))
    patterns += [(re.escape(line), line) for line in firmware_lines or []]
    patterns += [(re.escape(line), line) for line in [
        "type:4,subType:1,length:42",
        f"    PartitionNumber:{number} ",
        f"    PartitionStart:0x{start:X} ",
        f"    PartitionSize:0x{size:X} ",
        f"    PartitionSig:{signature} ",
        f"    PartitionFormat:{signature_type} ",
        f"    SignatureType:{signature_type} ",
        "type:127,subType:255,length:4",
        text]]
    matches = [bool(re.fullmatch(pattern, line)) for (pattern, _), line in zip(patterns, lines)]
    if not expect(len(lines) == len(patterns) and all(matches), "report differs from the disk:\n" + "\n".join(
            f"  {'ok ' if i < len(matches) and matches[i] else 'BAD'} "
            f"got {lines[i] if i < len(lines) else '(nothing)'!r}, want {patterns[i][1] if i < len(patterns) else '(nothing)'!r}"
            for i in range(max(len(lines), len(patterns))))):
        return

    # The text form must name the same partition.
    partition = re.fullmatch(r"HD\((\d+),(GPT|MBR),([^,]+),0x([0-9a-fA-F]+),0x([0-9a-fA-F]+)\)", nodes[-1])
    if expect(partition, f"text form {text!r} does not end with a hard-drive node"):
        number_t, kind, sig_t, start_t, size_t = partition.groups()
        sig_t = sig_t.upper() if kind == "GPT" else f"{int(sig_t, 16):08X}-0000-0000-0000-000000000000"
        expect((int(number_t), kind, sig_t, int(start_t, 16), int(size_t, 16))
               == (number, "GPT" if signature_type == 2 else "MBR", signature, start, size),
               f"text form {text!r} names another partition")


def boot_and_check(build, work, case):
    arch, bus, layout, start, size, signature, boots = CASES[case]
    image = build / f"quillmere{arch}.efi"
    disk = work / f"{case}.img"
    if layout == "gpt":
        options = ["--guid", signature.lower()]
        number, signature_text = 2, signature
    else:
        options = ["--signature", f"{signature:#x}"]
        number, signature_text = 1, f"{signature:08X}-0000-0000-0000-000000000000"
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
        check_report(lines, number, start, size, signature_text, 2 if layout == "gpt" else 1,
                     FIRMWARE_NODE_LINES.get((arch, bus)))
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
    failed(*boot(work / "junk.img", work / "junk.log"), "back to its prompt", "no application")

    # An application that resets the machine: under -no-reboot QEMU exits
    # with status 0, which must not pass.
    make_disk(reset_image, work / "reset.img")
    failed(*boot(work / "reset.img", work / "reset.log"), "QEMU exited with status 0", "reset")

    # The real image with a limit shorter than U-Boot's autoboot countdown.
    disk = work / "slow.img"
    make_disk(build / "quillmerex64.efi", disk)
    result = subprocess.run([SCRIPTS / "run-firmware.sh", "--timeout", "2", disk],
                            capture_output=True, text=True, stdin=subprocess.DEVNULL, timeout=30)
    expect(result.returncode != 0 and "no complete report within 2 seconds" in result.stderr,
           f"time limit: {result.returncode} {result.stderr.strip()!r}")
    result = subprocess.run([SCRIPTS / "run-firmware.sh", "--timeout", "1", disk],
                            capture_output=True, text=True, stdin=subprocess.DEVNULL, timeout=30)
    expect("no complete report within 1 second\n" in result.stderr, f"time limit of 1: {result.stderr.strip()!r}")
    expect(not [pid for pid in os.listdir("/proc") if pid.isdigit() and qemu_uses(pid, disk)],
           "time limit: QEMU left running")


def main():
    if sys.argv[1:] == ["--list"]:
        print("\n".join(CASES))
        return
    case, build = sys.argv[1], Path(sys.argv[2]).resolve()
    with tempfile.TemporaryDirectory(prefix=f"quillmere-{case}-") as temp:
        work = Path(temp)
        if case in CASES:
            boot_and_check(build, work, case)
        elif case == "runner":
            check_runner(build, Path(sys.argv[3]).resolve(), work)
        else:
            sys.exit(f"unknown case {case}")
    for failure in failures:
        print("FAIL:", failure)
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
