#!/usr/bin/env python3
"""Checks the commands as a user meets them, without booting anything: every
script answers --help with its own usage and does nothing else; make-disk.sh
refuses what would destroy a file or could not be made, in one line, leaving
every file as it was; and the disks it does make say what they hold.

  scripts_test.py WORK IMAGE

WORK is made afresh; IMAGE is an EFI application to put on the disks.
"""
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
SCRIPTS = ROOT / "scripts"

sys.path.insert(0, str(Path(__file__).resolve().parent))
from expect import expect, failures  # noqa: E402


def run(*argv, cwd=None, timeout=60, env=None):
    return subprocess.run([str(arg) for arg in argv], capture_output=True, text=True, stdin=subprocess.DEVNULL,
                          cwd=cwd, timeout=timeout, env=env)


def snapshot(directory):
    """Every entry under DIRECTORY with its kind, size and the digest of its
    bytes."""
    entries = {}
    for path in sorted(directory.rglob("*")):
        if path.is_file():
            entries[str(path.relative_to(directory))] = ("file", hashlib.sha256(path.read_bytes()).hexdigest())
        else:
            entries[str(path.relative_to(directory))] = ("directory",)
    return entries


# Each script's --help: the first line of its usage, as its header says it.
# Nothing may run: test.sh would configure the trees, bench.sh would build.
HELP = [
    ("boot.sh", "Builds the images, puts one on a fresh medium and boots it"),
    ("make-disk.sh", "Makes a raw disk image that a machine's firmware boots IMAGE from"),
    ("test.sh", "Runs every test: the host tests"),
    ("bench.sh", "Builds the benchmark and runs it"),
    ("make-keys.sh", "Makes a fresh Secure Boot key set in DIR"),
    ("sign.sh", "Signs EFI applications for Secure Boot with sbsign"),
    ("image-report.sh", "Size and stack report of the built images"),
]


def check_help():
    top = sorted(os.listdir(ROOT))
    # Each as a user may start it: run itself, and through sh, which must
    # hand it to bash.
    for (script, first), shell in [(row, shell) for row in HELP for shell in ([], ["sh"])]:
        started = time.monotonic()
        try:
            result = run(*shell, SCRIPTS / script, "--help", timeout=20)
        except subprocess.TimeoutExpired:
            expect(False, f"{script} --help ran for 20 s: it does more than print its usage")
            continue
        lines = result.stdout.splitlines()
        expect(result.returncode == 0 and result.stderr == "", f"{script} --help: status {result.returncode}, "
               f"said {result.stderr.strip()!r}")
        expect(lines[:1] and lines[0].startswith(first), f"{script} --help begins {lines[:1]}, want {first!r}")
        expect(any(script in line for line in lines), f"{script} --help shows no usage line naming {script}")
        expect(time.monotonic() - started < 5, f"{script} --help took {time.monotonic() - started:.1f} s")
    expect(sorted(os.listdir(ROOT)) == top, "a --help made or removed a file at the top of the source tree")


def refused(what, result, reason, prefix="make-disk: "):
    message = result.stderr.rstrip("\n")
    expect(result.returncode == 1, f"{prefix}{what}: exit status {result.returncode}, want 1")
    expect(result.stdout == "", f"{prefix}{what}: printed {result.stdout!r}")
    expect("\n" not in message and message.startswith(prefix) and reason in message,
           f"{prefix}{what}: said {message!r}, want one line '{prefix}...{reason}...'")


# boot.sh refuses these before it installs or builds anything, so each
# answer comes at once and no build tree changes.
BOOT_REFUSALS = [
    ("Secure Boot on a firmware that does not authenticate", ["--secure-boot"],
     "the x64 firmware (U-Boot's build for it) does not authenticate images"),
    ("Secure Boot over another bus", ["--arch", "aa64", "--secure-boot", "--bus", "nvme"],
     "--secure-boot attaches the disk over virtio, not disk on nvme"),
    ("keys without Secure Boot", ["--keys", "/nowhere"], "--keys is for --secure-boot"),
    ("a key folder without keys", ["--arch", "aa64", "--secure-boot", "--keys", "/"], "no db.key in /"),
    ("the other layout's option", ["--layout", "mbr", "--guid", "9B2E4C1A-5D3F-4E7B-A1C6-0F8D2E7B3A95"],
     "--guid is for the gpt layout"),
    ("a signature without its form", ["--layout", "mbr", "--signature", "DEADBEEFX"],
     "1 to 8 hexadecimal digits, 0x optional"),
    ("a medium the firmware does not boot", ["--arch", "riscv64", "--medium", "cdrom"],
     "the riscv64 firmware cannot boot from cdrom; it boots from disk, network, superfloppy"),
    ("a board's other media", ["--machine", "rpi_3", "--medium", "network"],
     "the rpi_3 firmware cannot boot from network; it boots from sd"),
    ("a machine of another architecture", ["--arch", "arm", "--machine", "rpi_3"], "--machine rpi_3 is not an arm machine"),
    ("an unknown machine", ["--machine", "pdp11"], "unknown machine pdp11 (x64, aa64, riscv64, ia32, arm, orangepi_plus, rpi_3)"),
    ("a bus for the network", ["--medium", "network", "--bus", "ide"], "--bus is for the disk and superfloppy media"),
    ("a group MAC", ["--medium", "network", "--mac", "01:00:5e:00:00:01"], "its first byte is odd, a group address"),
    ("a MAC for a disk", ["--mac", "52:54:00:00:00:01"], "--mac is for the network medium"),
    ("a GPT under the board's firmware", ["--machine", "orangepi_plus", "--layout", "gpt"],
     "inside a GPT's partition entries; use --layout mbr"),
    ("a double quote in the options", ["--options", 'quillmere.report="a b"'], "may not hold a double quote"),
    ("a kept disk that exists", ["--keep-disk", str(ROOT / "README.md")], "README.md exists; remove it"),
]


def check_boot_refusals():
    top = sorted(os.listdir(ROOT))
    cases = list(BOOT_REFUSALS)
    # boot.sh makes its disk in a temporary folder: a partition 16 TiB in is
    # refused before the build where that folder's file system cannot hold
    # the disk (ext4), and taken where it can.
    start = 0x800000000
    if not can_hold(Path(tempfile.gettempdir()), (start + 0xEC00 + 2048) * 512):
        cases.append(("a disk larger than the temporary folder holds", ["--start", hex(start)],
                      "cannot hold a disk file of"))
    for what, argv, reason in cases:
        started = time.monotonic()
        refused(what, run(SCRIPTS / "boot.sh", *argv, timeout=30), reason, "boot: ")
        expect(time.monotonic() - started < 10, f"boot: {what}: took {time.monotonic() - started:.1f} s")
    expect(sorted(os.listdir(ROOT)) == top, "a refused boot.sh made or removed a file at the top of the source tree")


def can_hold(directory, size):
    """Whether the file system of DIRECTORY takes a sparse file of SIZE bytes,
    asked directly: the oracle for the script's own check."""
    probe = directory / f"quillmere-probe-{os.getpid()}"
    try:
        with open(probe, "wb") as file:
            file.truncate(size)
        return True
    except OSError:
        return False
    finally:
        probe.unlink(missing_ok=True)


def check_make_disk(work, image):
    make_disk = SCRIPTS / "make-disk.sh"
    disks = work / "disks"
    disks.mkdir()
    own = disks / "own.efi"
    shutil.copyfile(image, own)
    existing = disks / "existing.img"
    existing.write_bytes(b"a disk of the user's\n")
    (disks / "a-directory").mkdir()
    link = disks / "link.efi"
    link.symlink_to(own.name)
    # 2^48 sectors is the largest start the options take; its file is 2^57
    # bytes, beyond ext4's 16 TiB files.
    far = 1 << 48
    cases = [
        ("the image as its own disk", [own, own], "is IMAGE itself"),
        ("the image through a link as the disk", [own, link], "is IMAGE itself"),
        ("an existing disk", [own, existing], f"{existing} exists; remove it or give --force"),
        ("a directory as disk", [own, disks / "a-directory"], "is a directory"),
        ("a disk in a missing directory", [own, disks / "nope" / "d.img"], "no directory"),
        ("a GUID on an MBR disk", ["--layout", "mbr", "--guid", "9B2E4C1A-5D3F-4E7B-A1C6-0F8D2E7B3A95", own,
                                   disks / "d.img"], "--guid is for the gpt layout"),
        ("a signature on a GPT disk", ["--signature", "0x1234", own, disks / "d.img"],
         "--signature is for the mbr layout"),
        ("a signature that is no hexadecimal", ["--layout", "mbr", "--signature", "0xDEADBEEG", own,
                                                disks / "d.img"], "1 to 8 hexadecimal digits, 0x optional"),
        ("a signature of nine digits", ["--layout", "mbr", "--signature", "123456789", own, disks / "d.img"],
         "1 to 8 hexadecimal digits"),
        ("an odd size", ["--size", "1025", own, disks / "d.img"], "size must be an even number"),
    ]
    if not can_hold(disks, (far + 0xEC00 + 2048) * 512):
        cases.append(("a start the file system cannot hold", ["--start", hex(far), own, disks / "d.img"],
                      "cannot hold a disk file of"))
        cases.append(("the same start, checked only", ["--check", "--start", hex(far), own, disks / "d.img"],
                      "cannot hold a disk file of"))
    else:
        print(f"{disks} holds files of 2^57 bytes: the start check has nothing to refuse here")
    for what, argv, reason in cases:
        before = snapshot(disks)
        refused(what, run(make_disk, *argv), reason)
        expect(snapshot(disks) == before, f"make-disk, {what}: files changed")

    # Made disks: the signature in either form, an existing disk replaced
    # with --force; nothing left beside the disk.
    made = [
        ("a bare hexadecimal signature", ["--layout", "mbr", "--signature", "DEADBEEF"], "signature=0xDEADBEEF"),
        ("a 0x signature", ["--layout", "mbr", "--signature", "0xdeadbeef"], "signature=0xDEADBEEF"),
        ("a signature of 0", ["--layout", "mbr", "--signature", "0"], "signature=0x00000000"),
        ("a replaced disk", ["--force"], "signature=3F0A9C2E-71B4-4D6A-8E5C-B2D49A07F1E3"),
    ]
    # An ordinary user's PATH has no sbin folder, where sfdisk and mkfs.vfat
    # live; the scripts look there themselves.
    made.append(("a PATH without sbin", ["--layout", "mbr"], "signature=0x5EC7A1B2"))
    for what, options, fact in made:
        disk = existing if "--force" in options else disks / "made.img"
        before = set(snapshot(disks)) | {disk.name}
        result = run(make_disk, *options, own, disk,
                     env=dict(os.environ, PATH="/usr/local/bin:/usr/bin:/bin") if "sbin" in what else None)
        if expect(result.returncode == 0, f"make-disk, {what}: {result.stderr.strip()}"):
            expect(fact in result.stdout.split(), f"make-disk, {what}: printed {result.stdout.split()}")
            expect(set(snapshot(disks)) == before, f"make-disk, {what}: left {sorted(set(snapshot(disks)) - before)}")
            expect(disk.read_bytes()[510:512] == b"\x55\xaa", f"make-disk, {what}: {disk.name} has no boot signature")
        if disk != existing:
            disk.unlink(missing_ok=True)
    expect(own.read_bytes() == Path(image).read_bytes(), "make-disk changed its input image")


def main():
    work, image = Path(sys.argv[1]).resolve(), Path(sys.argv[2]).resolve()
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    check_help()
    check_boot_refusals()
    check_make_disk(work, image)
    for failure in failures:
        print("FAIL:", failure)
    if not failures:
        shutil.rmtree(work)
        print("every script's --help and make-disk's refusals as wanted")
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
