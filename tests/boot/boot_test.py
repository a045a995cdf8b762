#!/usr/bin/env python3
"""Boots images under U-Boot's UEFI firmware in QEMU through scripts/uboot.py,
the driver scripts/boot.sh uses, and checks every line the image prints.

  boot_test.py CASE BUILD_DIR            one boot case of CASES below: the
                                         report of BUILD_DIR's image for the
                                         case's machine, from its medium
  boot_test.py runner BUILD_DIR RESET_IMAGE
                                         the driver's and boot.sh's verdicts
                                         when no report comes
  boot_test.py selfcheck BUILD_DIR       the report check on recorded and
                                         doctored consoles, without QEMU
  boot_test.py --list                    the names of CASES, one a line

Every case makes its own medium in its own temp dir and fails when a QEMU
process started for it is still alive afterwards. Board firmware is fetched
into QUILLMERE_FIRMWARE_CACHE when it is not there yet.
"""
import functools
import os
import re
import signal
import struct
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path

SCRIPTS = Path(__file__).resolve().parents[2] / "scripts"
sys.path.insert(0, str(SCRIPTS))
import machines  # noqa: E402
import uboot  # noqa: E402

MACHINES = machines.load()
BOOT_LIMIT = 45  # seconds a boot may take

sys.path.insert(0, str(Path(__file__).resolve().parent))
from expect import expect, failures  # noqa: E402


@dataclass
class Case:
    """A boot: the machine, the medium (and the bus of a disk or
    superfloppy), the system partition the disk is made with (layout,
    number, start and size in sectors, the GPT partition GUID or the MBR disk
    signature), and what the image must print besides its reports: the lines
    before the first and after the last, and the load options typed for it.
    A network boot's card has MAC; SECOND is the GUID of a second system
    partition right after the first, whose report must follow; LOGICAL puts
    the system partition in an extended one as logical partition 6.
    COMMANDS, when given, are typed at U-Boot's prompt in place of the boot
    order, the last one starting the image; a step among them that is not a
    line (NewGuid) changes the disk file on the host between the lines
    around it, and the disk is then the file itself, not a snapshot."""
    machine: str
    medium: str = "disk"
    bus: str = None
    layout: str = "gpt"
    start: int = 0x2800
    size: int = 0xEC00
    signature: object = "3F0A9C2E-71B4-4D6A-8E5C-B2D49A07F1E3"
    boots: int = 1
    mac: str = None
    second: str = None
    logical: bool = False
    options: str = None
    before: tuple = ()
    after: tuple = ()
    commands: tuple = None

    @property
    def number(self):
        return (6 if self.logical else 1) if self.layout == "mbr" else 2

    @property
    def host_steps(self):
        return [step for step in self.commands or () if not isinstance(step, str)]


def disk(machine, bus, layout, start, size, signature, boots=1, **more):
    return Case(machine, "disk", bus, layout, start, size, signature, boots, **more)


@dataclass(frozen=True)
class NewGuid:
    """A step on the host: the GPT partition NUMBER of the disk file gets the
    unique partition GUID GUID (sfdisk --part-uuid, which rewrites both
    tables and their CRC32s). Nodes the firmware built before keep the GUID
    it read."""
    number: int
    guid: str

    def __call__(self, disk_file):
        subprocess.run(["sfdisk", "--quiet", "--part-uuid", str(disk_file), str(self.number), self.guid],
                       capture_output=True, check=True)

    def on_disk(self, partition):
        """PARTITION, (number, start, size, signature), as the disk holds it
        after this step."""
        number, start, size, signature = partition
        return (number, start, size, self.guid.upper() if number == self.number else signature)


# Across the disk cases every bus of each architecture is seen, each layout on
# every architecture, and on each a partition that starts past 2 TiB, whose
# start needs all 64 bits of the node's field (on ARM, whose firmware reaches
# no further, one whose start has bit 31 set). Over virtio the firmware puts
# a 21-byte node before the hard-drive node, which then starts at an odd
# offset. Then the other media: the network on every architecture, the
# CD-ROM where U-Boot reads one, the boards' SD cards, a superfloppy, two
# system partitions and a logical one. The CTest names are boot_report_CASE;
# tests/CMakeLists.txt takes the names from --list.
CASES = {
    "x64_ide_gpt": disk("x64", "ide", "gpt", 0x2A00, 0xB37E, "9B2E4C1A-5D3F-4E7B-A1C6-0F8D2E7B3A95", 2),
    "x64_ide_mbr": disk("x64", "ide", "mbr", 0x1F40, 0xA0F2, 0xC0FFEE42),
    "x64_ahci_gpt": disk("x64", "ahci", "gpt", 0x3000, 0x9000, "0D1E2F30-4152-4637-8899-AABBCCDDEEFF"),
    "x64_virtio_mbr": disk("x64", "virtio", "mbr", 0x801, 0xC000, 0x00000001),
    "x64_usb_gpt": disk("x64", "usb", "gpt", 0x2800, 0xEC00, "C0DEC0DE-0001-4002-8003-000400050006"),
    "x64_virtio_gpt_far": disk("x64", "virtio", "gpt", 0x100000800, 0xEC00, "FA12FA12-2222-4333-8444-555566667777"),
    "aa64_virtio_mbr": disk("aa64", "virtio", "mbr", 0x1000, 0xB000, 0xFFFFFFFF),
    "aa64_nvme_gpt": disk("aa64", "nvme", "gpt", 0x2A00, 0xB37E, "9B2E4C1A-5D3F-4E7B-A1C6-0F8D2E7B3A95"),
    "aa64_ahci_mbr": disk("aa64", "ahci", "mbr", 0x1F40, 0xA0F2, 0x5EC7A1B2),
    "aa64_usb_gpt": disk("aa64", "usb", "gpt", 0x4000, 0x8000, "12345678-9ABC-4DEF-8123-456789ABCDEF"),
    "aa64_virtio_gpt_far": disk("aa64", "virtio", "gpt", 0x180000800, 0xEC00, "7E57FA12-0000-4000-8000-0000000000A1"),
    "riscv64_virtio_gpt": disk("riscv64", "virtio", "gpt", 0x2A00, 0xB37E, "5C1F0E2D-3B4A-4968-8776-A5B4C3D2E1F0"),
    "riscv64_virtio_mbr": disk("riscv64", "virtio", "mbr", 0x800, 0xC800, 0x0BADF00D),
    "riscv64_ahci_gpt": disk("riscv64", "ahci", "gpt", 0x3000, 0x9000, "A1B2C3D4-E5F6-4A0B-9C1D-2E3F40516273"),
    "riscv64_virtio_gpt_far": disk("riscv64", "virtio", "gpt", 0x1C0000800, 0xEC00,
                                   "FA12FA12-5555-4666-8777-888899990000"),
    "ia32_ide_gpt": disk("ia32", "ide", "gpt", 0x2A00, 0xB37E, "1A32E0F1-7C6B-4D5A-8B9C-0D1E2F3A4B5C"),
    "ia32_ahci_mbr": disk("ia32", "ahci", "mbr", 0x1F40, 0xA0F2, 0x1A32C0DE),
    "ia32_virtio_gpt_far": disk("ia32", "virtio", "gpt", 0x1A0000800, 0xEC00, "FA12FA12-1A32-4BBB-8CCC-DDDDEEEEFFFF"),
    # U-Boot's ARM build counts blocks in 32 bits (a disk past 2 TiB shows
    # its size modulo 2 TiB and no partition), so its highest partition
    # starts below 2 TiB, with bit 31 of the start set.
    "arm_virtio_gpt_high": disk("arm", "virtio", "gpt", 0xF0000800, 0xEC00, "A3B2C1D0-0A32-4E7F-9ABC-DEF012345678"),
    "arm_virtio_mbr": disk("arm", "virtio", "mbr", 0x1000, 0xB000, 0xA5A5A5A5),
    "arm_ahci_gpt": disk("arm", "ahci", "gpt", 0x3000, 0x9000, "0A320A32-1111-4222-8333-444455556666"),
    # The image served by QEMU's TFTP to an e1000 card: the path ends in the
    # card's MAC node. RISC-V's boot order finds the card once "pci enum"
    # has been typed.
    "x64_network": Case("x64", "network", mac="52:54:00:ab:cd:ef"),
    "aa64_network": Case("aa64", "network", mac="52:54:00:00:00:01"),
    "riscv64_network": Case("riscv64", "network", mac="52:54:00:5c:1f:0e"),
    "ia32_network": Case("ia32", "network", mac="52:54:00:1a:32:00"),
    "arm_network": Case("arm", "network", mac="02:00:00:0a:32:ff"),
    # An El Torito ISO on a USB CD-ROM: the CD-ROM node's start and size are
    # read from the ISO's boot catalog.
    "x64_cdrom": Case("x64", "cdrom"),
    "aa64_cdrom": Case("aa64", "cdrom"),
    # The boards' own U-Boot builds, from their SD cards.
    "orangepi_plus_sd_mbr": Case("orangepi_plus", "sd", layout="mbr", start=0x1000, size=0xA000,
                                 signature=0x0A1B2C3D),
    "rpi_3_sd_gpt": Case("rpi_3", "sd", start=0x3000, size=0x9000, signature="B0A2D3C4-0E5F-4A6B-9C7D-8E9FA0B1C2D3"),
    # One FAT over the whole disk: no hard-drive node.
    "x64_superfloppy_virtio": Case("x64", "superfloppy", "virtio", size=0x8000),
    # Two system partitions: the boot order runs the image from each, and
    # each report names its own.
    "x64_two_esps": disk("x64", "virtio", "gpt", 0x2800, 0x8000, "E5E5E5E5-0001-4000-8000-00000000E5F1",
                         second="E5E5E5E5-0002-4000-8000-00000000E5F2"),
    # Logical partition 6 of an extended one, reported at its absolute start.
    "aa64_logical_mbr": disk("aa64", "virtio", "mbr", 0x5000, 0x9000, 0x10C1CA16, logical=True),
    # quillmere.verify on x86-64 and AArch64, whose U-Boot also reads a CD:
    # each node checked against the disk behind it. GPT entries 2 and 3 (the
    # boot order runs both system partitions), MBR logical partition 6, and
    # the CD, where U-Boot numbers the default entry 1.
    "x64_verify_gpt_entries_2_3": disk("x64", "ide", "gpt", 0x2800, 0x8000, "C4EC0002-1111-4222-8333-444455556666",
                                       second="C4EC0003-1111-4222-8333-444455556666", options="quillmere.verify"),
    "aa64_verify_gpt_entries_2_3": disk("aa64", "virtio", "gpt", 0x3000, 0x8000,
                                        "C4EC0002-AAAA-4BBB-8CCC-DDDDEEEEFFFF",
                                        second="C4EC0003-AAAA-4BBB-8CCC-DDDDEEEEFFFF", options="quillmere.verify"),
    "x64_verify_mbr_logical": disk("x64", "ide", "mbr", 0x5800, 0xA000, 0x5EC7A1B2, logical=True,
                                   options="quillmere.verify"),
    "aa64_verify_mbr_logical": disk("aa64", "virtio", "mbr", 0x4000, 0x9800, 0xC4ECC4EC, logical=True,
                                    options="quillmere.verify"),
    "x64_verify_cdrom": Case("x64", "cdrom", options="quillmere.verify"),
    "aa64_verify_cdrom": Case("aa64", "cdrom", options="quillmere.verify"),
    # The system partition's GUID rewritten on the host after U-Boot read the
    # table: its EFI disks are registered (printenv -e) and the image is
    # loaded from the old table, then the disk changes under the waiting
    # firmware, and the image finds the new GUID on the disk. U-Boot's block
    # cache is turned off first: it would answer part of the image's reads
    # with the old table.
    "x64_verify_new_guid": disk("x64", "ide", "gpt", 0x2800, 0xEC00, "0A1D0A1D-2222-4333-8444-555566667777",
                                options="quillmere.verify", commands=(
                                    "blkcache configure 0 0", "ide reset", "printenv -e PlatformLang",
                                    "load ide 0:2 ${kernel_addr_r} EFI/BOOT/BOOTX64.EFI",
                                    NewGuid(2, "0D15EA5E-1234-4A5B-8C6D-0123456789AB"), "bootefi ${kernel_addr_r}")),
    "aa64_verify_new_guid": disk("aa64", "virtio", "gpt", 0x2800, 0xEC00, "0A1D0A1D-AAAA-4BBB-8CCC-DDDDEEEEFFFF",
                                 options="quillmere.verify", commands=(
                                     "blkcache configure 0 0", "printenv -e PlatformLang",
                                     "load virtio 0:2 ${kernel_addr_r} EFI/BOOT/BOOTAA64.EFI",
                                     NewGuid(2, "5EC0DE11-9876-4ABC-8DEF-FEDCBA987654"),
                                     "bootefi ${kernel_addr_r} ${fdtcontroladdr}")),
}


def make_disk(image, disk, *options):
    result = subprocess.run([SCRIPTS / "make-disk.sh", *options, image, disk],
                            capture_output=True, text=True, check=True)
    return dict(line.split("=", 1) for line in result.stdout.split())


def qemu_uses(pid, path):
    try:
        argv = Path(f"/proc/{pid}/cmdline").read_bytes().split(b"\0")
    except OSError:
        return False
    return b"qemu" in argv[0] and any(str(path).encode() in arg for arg in argv)


def check_no_qemu(path):
    leftovers = [pid for pid in os.listdir("/proc") if pid.isdigit() and qemu_uses(pid, path)]
    expect(not leftovers, f"QEMU still running for {path}: pids {leftovers}")


# The nodes U-Boot 2023.01 puts in front of the hard-drive node, bus by bus:
# each node's type, sub-type and length and its text in the firmware's text
# form. They are the same on every architecture; a bus whose nodes differ on
# one gets a row of its own under "ARCH:BUS", which is looked up before the
# bus alone. Each list starts with U-Boot's root node, a vendor hardware
# node of 20 bytes.
ROOT_NODE = (1, 4, 20, "VenHw(e61d73b9-a384-4acc-aeab-82e828f3628b)")
USB_NODES = [(3, 15, 11, "UsbClass(0x0,0x0,0x9,0x0,0x1)"), (3, 15, 11, "UsbClass(0x46f4,0x1,0x0,0x0,0x0)")]
BUS_NODES = {
    "ide": [ROOT_NODE, (3, 1, 8, "Ata(0,0,0)")],
    "ahci": [ROOT_NODE, (3, 2, 8, "Scsi(0,0)")],
    # 21 bytes: the hard-drive node after it starts at an odd offset.
    "virtio": [ROOT_NODE, (1, 4, 21, "VenHw(63293792-adf5-9325-b99f-4e0e455c1b1e,00)")],
    # The hub, then the stick.
    "usb": [ROOT_NODE, *USB_NODES],
    "nvme": [ROOT_NODE, (3, 23, 16, "NVMe(0x1,00-00-00-00-00-00-00-00)")],
    # U-Boot gives the controller and the card a node each.
    "sd": [ROOT_NODE, (3, 26, 5, "SD(0)"), (3, 26, 5, "SD(0)")],
}


def el_torito(iso):
    """The default boot entry of ISO's El Torito catalog: its start in
    2048-byte sectors and its length counted in them (the catalog counts
    512-byte ones)."""
    data = Path(iso).read_bytes()
    record = data[17 * 2048:18 * 2048]
    if record[1:6] != b"CD001" or not record[7:30].startswith(b"EL TORITO SPECIFICATION"):
        raise ValueError(f"{iso} has no El Torito boot record")
    catalog = struct.unpack_from("<I", record, 0x47)[0] * 2048
    indicator, count, start = data[catalog + 32], *struct.unpack_from("<HI", data, catalog + 32 + 6)
    if indicator != 0x88:
        raise ValueError(f"{iso}: the catalog's default entry is not bootable")
    return start, count * 512 // 2048


def verifies(words):
    """Whether load options WORDS ask for the disk check, as the image takes
    them: the word or =1 asks, =0 takes it back, the last one holds."""
    on = False
    for word in (words or "").split():
        if word in ("quillmere.verify", "quillmere.verify=1", "quillmere.verify=0"):
            on = not word.endswith("=0")
    return on


def partition_lines(number, start, size, signature):
    """A hard-drive node, its partition block and its text form, for a GPT
    partition GUID (text) or an MBR disk signature (a number)."""
    if isinstance(signature, str):
        signature_line, kind = signature.upper(), 2
        text = f"HD({number},GPT,{signature.lower()},0x{start:x},0x{size:x})"
    else:
        signature_line, kind = f"{signature:08X}-0000-0000-0000-000000000000", 1
        text = f"HD({number},MBR,0x{signature:08x},0x{start:x},0x{size:x})"
    return (["type:4,subType:1,length:42", f"    PartitionNumber:{number} ", f"    PartitionStart:0x{start:X} ",
             f"    PartitionSize:0x{size:X} ", f"    PartitionSig:{signature_line} ",
             f"    PartitionFormat:{kind} ", f"    SignatureType:{kind} "], text)


def disk_check_lines(node, on_disk):
    """What quillmere.verify prints after a hard-drive node's block: NODE is
    the partition as the firmware read it, ON_DISK as the disk holds it when
    the image reads it, each (number, start, size, signature). A field that
    differs is named with the disk's value, as the block writes the field."""
    table = "GPT" if isinstance(on_disk[3], str) else "MBR"
    said = f"    DiskCheck:{table} entry {node[0]} "
    # The block's lines after its node and number line: start, size,
    # signature, format, signature type.
    ours, theirs = partition_lines(*node)[0][2:], partition_lines(*on_disk)[0][2:]
    return [said + "differs: " + disk_line.strip().replace(":", " ", 1) + " "
            for node_line, disk_line in zip(ours, theirs) if node_line != disk_line] or [said + "matches "]


# U-Boot numbers the El Torito default entry 1; UEFI numbers it 0.
UBOOT_DEFAULT_ENTRY = 1


def expected_reports(case, medium_file=None):
    """Every line of every report the case must show, from what its medium
    was made with and the nodes in front of the partition; with
    quillmere.verify, the disk check's line after each hard-drive node's
    block and after the CD-ROM node."""
    verify = verifies(case.options)
    checks = []
    if case.medium == "network":
        nodes = [ROOT_NODE, (3, 11, 37, f"MAC({case.mac.replace(':', '').lower()},1)")]
    elif case.medium == "cdrom":
        start, size = el_torito(medium_file)
        nodes = [ROOT_NODE, *USB_NODES, (4, 2, 24, f"CDROM({UBOOT_DEFAULT_ENTRY},0x{start:x},0x{size:x})")]
        # The node starts at the default entry's image, and the default
        # entry is 0 on the disk.
        if verify:
            checks = [f"    DiskCheck:El Torito entry {UBOOT_DEFAULT_ENTRY} "
                      + ("matches " if UBOOT_DEFAULT_ENTRY == 0 else "differs: BootEntry 0 ")]
    else:
        bus = "sd" if case.medium == "sd" else case.bus
        nodes = BUS_NODES.get(f"{case.machine}:{bus}", BUS_NODES.get(bus))
        if nodes is None:
            raise KeyError(f"no known nodes for bus {bus} on {case.machine}: add a row to BUS_NODES")
    partitions = [None]
    if case.medium in ("disk", "sd"):
        partitions = [(case.number, case.start, case.size, case.signature)]
        if case.second:
            partitions.append((3, case.start + case.size, case.size, case.second))
    reports = []
    for partition in partitions:
        block, text = partition_lines(*partition) if partition else ([], None)
        if partition and verify:
            on_disk = partition
            for step in case.host_steps:
                on_disk = step.on_disk(on_disk)
            checks = disk_check_lines(partition, on_disk)
        reports.append(["Print Nodes:"]
                       + [f"type:{kind},subType:{sub},length:{length}" for kind, sub, length, _ in nodes] + block
                       + checks + ["type:127,subType:255,length:4",
                          "/" + "/".join([text for *_, text in nodes] + ([text] if text else []))])
    return reports


def check_report(lines, expected):
    """The report must be EXPECTED, line for line: nothing missing, nothing
    extra, nothing changed."""
    expect(lines == expected, "report differs from the medium:\n" + "\n".join(
        f"  {'ok ' if i < len(lines) and i < len(expected) and lines[i] == expected[i] else 'BAD'} "
        f"got {lines[i] if i < len(lines) else '(nothing)'!r}, want {expected[i] if i < len(expected) else '(nothing)'!r}"
        for i in range(max(len(lines), len(expected)))))


def check_run(run, case, expected):
    """The whole of what the image printed: its lines before, each report
    exactly, its lines after, and success."""
    expect(len(run.reports) == len(expected), f"{len(run.reports)} reports, want {len(expected)}")
    for got, want in zip(run.reports, expected):
        check_report(got, want)
    want_own = [*case.before, *[line for report in expected for line in report], *case.after]
    expect(run.own == want_own, f"the image printed {run.own}, want {want_own}")
    expect(run.status is None, f"the image returned an error: {run.failed_line}")


def make_medium(case, build, work):
    """The case's medium: a disk, card, superfloppy or ISO file, or for the
    network a TFTP folder; returns what qemu_argv takes for it."""
    machine = MACHINES[case.machine]
    image = build / f"quillmere{machine.arch}.efi"
    if case.medium == "network":
        tftp = work / "tftp"
        tftp.mkdir()
        (tftp / machine.boot_file).write_bytes(image.read_bytes())
        return {"tftp": tftp, "boot_file": machine.boot_file, "mac": case.mac}
    medium_file = work / f"{case.medium}.img"
    options = ["--machine", case.machine, "--medium", case.medium]
    if case.medium in ("disk", "sd"):
        options += ["--layout", case.layout, "--start", hex(case.start), "--size", str(case.size)]
        options += (["--guid", case.signature.lower()] if case.layout == "gpt" else
                    ["--signature", f"{case.signature:#x}"])
        options += ["--second-esp", case.second] if case.second else []
        options += ["--logical"] if case.logical else []
        if machine.get("Firmware-Offset"):
            options += ["--firmware", str(uboot.fetch_firmware(machine))]
    elif case.medium == "superfloppy":
        options += ["--size", str(case.size)]
    facts = make_disk(image, medium_file, *options)
    if case.medium in ("disk", "sd"):
        expect((int(facts["number"]), int(facts["start"]), int(facts["size"])) ==
               (case.number, case.start, case.size), f"make-disk made {facts}")
    return {"disk": medium_file}


def boot_and_check(build, work, name):
    case = CASES[name]
    machine = MACHINES[case.machine]
    if machine["Firmware"].startswith("cache:"):
        uboot.fetch_firmware(machine)
    medium = make_medium(case, build, work)
    expected = expected_reports(case, medium.get("disk"))
    runs = []
    commands = case.commands and [line if isinstance(line, str) else functools.partial(line, medium["disk"])
                                  for line in case.commands]
    for attempt in range(case.boots):
        log = work / f"{name}-{attempt}.log"
        argv = uboot.qemu_argv(machine, case.medium, case.bus, writable=bool(case.host_steps), **medium)
        started = time.monotonic()
        with uboot.UBoot(machine, argv, log, BOOT_LIMIT + 30) as console:
            try:
                run = uboot.run(console, machine, case.medium, case.bus, case.options, len(expected), BOOT_LIMIT,
                                commands=commands)
            except uboot.Failure as failure:
                expect(False, f"boot {attempt} failed: {failure}\n" + console.console[-1500:].decode("latin-1"))
                return
        check_no_qemu(medium.get("disk") or medium.get("tftp"))
        print(f"boot {attempt}: {len(run.reports)} report(s) and the return in {time.monotonic() - started:.1f} s")
        check_run(run, case, expected)
        runs.append(run.reports)
    expect(all(reports == runs[0] for reports in runs), "repeated boots gave different reports")
    for report in runs[0]:
        print("\n".join(report))


def cli(*argv, env=None, timeout=BOOT_LIMIT + 30):
    """scripts/uboot.py as boot.sh runs it."""
    started = time.monotonic()
    result = subprocess.run([sys.executable, SCRIPTS / "uboot.py", "--timeout", str(BOOT_LIMIT), *map(str, argv)],
                            capture_output=True, text=True, stdin=subprocess.DEVNULL, timeout=timeout, env=env)
    return result, time.monotonic() - started


def check_runner(build, reset_image, work):
    """Without a complete report the driver must fail with one line, and
    soon; boot.sh refuses another machine's image before it boots, and an
    interrupted boot.sh leaves no QEMU and no temporary folder behind."""
    def failed(result, elapsed, reason, what, prefix="uboot: "):
        message = result.stderr.strip()
        expect(result.returncode == 1 and result.stdout == "", f"{what}: status {result.returncode}, "
               f"printed {result.stdout!r}")
        expect("\n" not in message and message.startswith(prefix) and reason in message,
               f"{what}: reason {message!r}, want {reason!r}")
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
    failed(*cli("--disk", empty, env=env), "QEMU failed to start: qemu-system-x86_64: cannot open", "QEMU fails")

    # A boot file that the firmware cannot start (U-Boot goes back to its
    # prompt), and an image for another machine (U-Boot's reason is passed
    # on): written over a good disk's boot file, since make-disk.sh refuses
    # both.
    for name, content, reason in [
            ("junk", b"not an application\n" * 64, 'U-Boot said "No UEFI binary known at 0x'),
            ("foreign", (build / "quillmereaa64.efi").read_bytes(), 'U-Boot said "Machine type 0xaa64 is not supported"')]:
        disk = work / f"{name}.img"
        facts = make_disk(build / "quillmerex64.efi", disk)
        (work / name).write_bytes(content)
        subprocess.run(["mcopy", "-o", "-i", f"{disk}@@{int(facts['start']) * 512}", str(work / name),
                        "::/EFI/BOOT/BOOTX64.EFI"], check=True, env=dict(os.environ, MTOOLS_SKIP_CHECK="1"))
        failed(*cli("--disk", disk, "--bus", "ide"), reason, name)
        check_no_qemu(disk)

    # An application that resets the machine: under -no-reboot QEMU exits
    # with status 0, which must not pass.
    make_disk(reset_image, work / "reset.img")
    failed(*cli("--disk", work / "reset.img", "--bus", "ide"), "QEMU exited with status 0", "reset")

    # The real image with a limit shorter than U-Boot's autoboot countdown.
    disk = work / "slow.img"
    make_disk(build / "quillmerex64.efi", disk)
    for limit, words in ((2, "no complete report within 2 seconds; the console's last line: "),
                         (1, "no complete report within 1 second; ")):
        result, elapsed = cli("--disk", disk, "--bus", "ide", "--timeout", limit, timeout=30)
        expect(result.returncode == 1 and words in result.stderr, f"time limit {limit}: {result.returncode} "
               f"{result.stderr.strip()!r}")
    check_no_qemu(disk)

    # boot.sh: another machine's image is refused by its PE header before
    # anything is installed, built or booted.
    result = subprocess.run([SCRIPTS / "boot.sh", "--arch", "x64", "--image", build / "quillmereaa64.efi"],
                            capture_output=True, text=True, stdin=subprocess.DEVNULL, timeout=30)
    failed(result, 0, "is an EFI application for PE machine 0xAA64; the x64 machine runs 0x8664 (BOOTX64.EFI)",
           "boot.sh with another machine's image", "boot: ")

    # boot.sh interrupted while U-Boot runs: its folder in TMPDIR and QEMU
    # go with it.
    temp = work / "tmp"
    temp.mkdir()
    process = subprocess.Popen([SCRIPTS / "boot.sh", "--image", build / "quillmerex64.efi"], stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                               env=dict(os.environ, TMPDIR=str(temp)))
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline and not any(qemu_uses(pid, temp) for pid in os.listdir("/proc") if pid.isdigit()):
        time.sleep(0.1)
    expect(any(qemu_uses(pid, temp) for pid in os.listdir("/proc") if pid.isdigit()), "boot.sh started no QEMU")
    process.send_signal(signal.SIGINT)
    process.communicate(timeout=30)
    time.sleep(0.5)
    check_no_qemu(temp)
    expect(not list(temp.iterdir()), f"an interrupted boot.sh left {[p.name for p in temp.iterdir()]} in TMPDIR")
    print(f"boot.sh interrupted: status {process.returncode}, TMPDIR empty, no QEMU left")


# Consoles as U-Boot showed them (the image's lines end CR CR LF, U-Boot's CR
# LF), recorded from the boots of x64_virtio_mbr, x64_usb_gpt, aa64_network,
# aa64_verify_new_guid and x64_verify_mbr_logical, with the case each was
# booted as.
RECORDED = {
    "virtio_mbr": (CASES["x64_virtio_mbr"], [
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
    "usb_gpt": (CASES["x64_usb_gpt"], [
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
    "network": (Case("aa64", "network", mac="52:54:00:ab:cd:ef"), [
        "Booting /BOOTAA64.EFI",
        "Print Nodes:",
        "type:1,subType:4,length:20",
        "type:3,subType:11,length:37",
        "type:127,subType:255,length:4",
        "/VenHw(e61d73b9-a384-4acc-aeab-82e828f3628b)/MAC(525400abcdef,1)",
        "=> "]),
    "new_guid": (CASES["aa64_verify_new_guid"], [
        "Print Nodes:",
        "type:1,subType:4,length:20",
        "type:1,subType:4,length:21",
        "type:4,subType:1,length:42",
        "    PartitionNumber:2 ",
        "    PartitionStart:0x2800 ",
        "    PartitionSize:0xEC00 ",
        "    PartitionSig:0A1D0A1D-AAAA-4BBB-8CCC-DDDDEEEEFFFF ",
        "    PartitionFormat:2 ",
        "    SignatureType:2 ",
        "    DiskCheck:GPT entry 2 differs: PartitionSig 5EC0DE11-9876-4ABC-8DEF-FEDCBA987654 ",
        "type:127,subType:255,length:4",
        "/VenHw(e61d73b9-a384-4acc-aeab-82e828f3628b)/VenHw(63293792-adf5-9325-b99f-4e0e455c1b1e,00)"
        "/HD(2,GPT,0a1d0a1d-aaaa-4bbb-8ccc-ddddeeeeffff,0x2800,0xec00)",
        "=> "]),
    "logical": (CASES["x64_verify_mbr_logical"], [
        "Print Nodes:",
        "type:1,subType:4,length:20",
        "type:3,subType:1,length:8",
        "type:4,subType:1,length:42",
        "    PartitionNumber:6 ",
        "    PartitionStart:0x5800 ",
        "    PartitionSize:0xA000 ",
        "    PartitionSig:5EC7A1B2-0000-0000-0000-000000000000 ",
        "    PartitionFormat:1 ",
        "    SignatureType:1 ",
        "    DiskCheck:MBR entry 6 matches ",
        "type:127,subType:255,length:4",
        "/VenHw(e61d73b9-a384-4acc-aeab-82e828f3628b)/Ata(0,0,0)/HD(6,MBR,0x5ec7a1b2,0x5800,0xa000)",
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
    ("network", "as recorded", lambda lines: lines, True),
    ("network", "the MAC node line missing", without("type:3,subType:11,length:37"), False),
    ("network", "the MAC changed in the text form",
     lambda lines: [line.replace("MAC(525400abcdef", "MAC(525400abcdee") for line in lines], False),
    ("network", "the interface type changed", lambda lines: [line.replace(",1)", ",0)") for line in lines], False),
    ("new_guid", "as recorded", lambda lines: lines, True),
    ("new_guid", "the disk check's line missing",
     lambda lines: [line for line in lines if "DiskCheck:" not in line], False),
    ("new_guid", "the disk's GUID changed in the check's line",
     lambda lines: [line.replace("PartitionSig 5EC0DE11", "PartitionSig 5EC0DE12") for line in lines], False),
    ("new_guid", "the old GUID said to match",
     lambda lines: [re.sub("differs: .*", "matches ", line) for line in lines], False),
    ("new_guid", "the check's line twice",
     lambda lines: [copy for line in lines for copy in [line] * (2 if "DiskCheck:" in line else 1)], False),
    ("logical", "as recorded", lambda lines: lines, True),
    ("logical", "the entry number changed",
     lambda lines: [line.replace("MBR entry 6", "MBR entry 5") for line in lines], False),
    ("logical", "the check's trailing blank dropped",
     lambda lines: [line.rstrip() if "DiskCheck:" in line else line for line in lines], False),
    ("virtio_mbr", "a disk check's line without the option",
     lambda lines: lines[:11] + ["    DiskCheck:MBR entry 1 matches "] + lines[11:], False),
]


def self_check():
    """The report check run on recorded consoles and doctored copies of them,
    without QEMU: each doctored report must fail, each recorded one pass.
    The consoles are read by the driver's rule, as a boot's is."""
    for name, what, doctor, passes in SELF_CHECKS:
        case, lines = RECORDED[name]
        # The image's lines end CR CR LF, U-Boot's CR LF; the prompt ends the
        # console.
        *shown, prompt = doctor(lines)
        raw = "".join(line + ("\r\r\n" if line[:1] in "Pt/ " else "\r\n") for line in shown) + prompt
        run = uboot.read_console(raw.encode("latin-1"))
        before = len(failures)
        check_run(run, case, expected_reports(case))
        found = failures[before:]
        del failures[before:]
        expect(passes == (not found), f"{name}, {what}: the check "
               + (f"failed: {found}" if found else "passed a wrong report"))
        print(f"{name}, {what}: {'passes' if not found else 'fails'}")
    # A table row for every bus a disk case uses.
    for name, case in CASES.items():
        if case.medium in ("disk", "superfloppy"):
            expect(f"{case.machine}:{case.bus}" in BUS_NODES or case.bus in BUS_NODES,
                   f"{name}: no known nodes for {case.machine} {case.bus}")


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
