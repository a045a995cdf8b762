#!/usr/bin/env python3
"""Boots a disk under U-Boot with Secure Boot enforcing, driving U-Boot's
prompt over the serial line: autoboot is stopped, db, KEK and PK are enrolled
from the disk's .auth files (PK last, which ends setup mode), SecureBoot must
read 01, and then each named image is loaded and started with bootefi.

  secure_boot.py [options] DISK SIGNED UNSIGNED
    --machine NAME     the machine, as scripts/machines.txt names it (default aa64)
    --partition N      the system partition's number (default 2, GPT)
    --timeout SECS     the longest QEMU may run (default 300)

SIGNED and UNSIGNED are file names at the top of the system partition, beside
PK.auth, KEK.auth and db.auth. Prints the signed image's report and U-Boot's
refusal of the unsigned one; exit status 0 when the report came whole and the
refusal came, otherwise 1 with one line saying why. scripts/boot.sh
--secure-boot runs it; tests/boot/secure_boot_test.py drives the same prompt
through the functions here; both drive U-Boot through scripts/uboot.py. The
disk is attached over virtio: U-Boot names that device "virtio 0" at its
prompt without a scan of its own.
"""
import argparse
import re
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import machines as machine_table  # noqa: E402
from uboot import Failure, UBoot, qemu_argv, read_console  # noqa: E402

REFUSAL = "Image not authenticated"
KEY_ORDER = ("db", "KEK", "PK")


StepFailed = Failure


def start_machine(machine, disk, log, limit=600, writable=False):
    """U-Boot on MACHINE (a name of scripts/machines.txt) with DISK over
    virtio."""
    entry = machine_table.load()[machine]
    return UBoot(entry, qemu_argv(entry, "disk", "virtio", disk, writable), log, limit)


def secure_boot_value(console):
    """SecureBoot's byte as U-Boot dumps it ("00" or "01"), or what U-Boot
    said instead."""
    dump = console.command("printenv -e SecureBoot").decode("latin-1")
    match = re.search(r"00000000: ([0-9a-f]{2})", dump)
    return match.group(1) if match else dump.strip()


def start_image(console, partition, name):
    """Loads NAME from PARTITION ("virtio 0:2") and starts it; returns what
    the console showed up to the prompt."""
    loaded = console.command(f"load {partition} ${{kernel_addr_r}} {name}").decode("latin-1")
    if "bytes read" not in loaded:
        raise StepFailed(f"U-Boot could not load {name}: {loaded.strip()!r}")
    return console.command("bootefi ${kernel_addr_r}", seconds=60)


def enroll(console, partition, variable):
    """Writes VARIABLE from VARIABLE.auth on PARTITION as an authenticated
    variable; U-Boot prints nothing when it takes it."""
    loaded = console.command(f"fatload {partition} ${{kernel_addr_r}} {variable}.auth").decode("latin-1")
    if "bytes read" not in loaded:
        raise StepFailed(f"U-Boot could not read {variable}.auth: {loaded.strip()!r}")
    said = console.command(f"setenv -e -nv -bs -rt -at -i ${{kernel_addr_r}}:$filesize {variable}").decode("latin-1")
    # The variable store's own notes (no ubootefi.var file on the disk) are not
    # an answer to the write.
    said = "\n".join(line for line in said.splitlines()
                     if line.strip() and not re.search(r"ubootefi\.var|Failed to load EFI variables|\x1b", line))
    if said:
        raise StepFailed(f"U-Boot did not take {variable}: {said!r}")


def enroll_keys(console, partition):
    """Enrolls db, KEK and PK and checks that Secure Boot is then enforcing.
    The first UEFI command also starts U-Boot's UEFI subsystem, whose notes
    (no TPM, no RNG) come with its output: the reading of SecureBoot takes
    them, not the first write."""
    value = secure_boot_value(console)
    if value != "00":
        raise StepFailed(f"SecureBoot reads {value!r} before the keys, want 00 (setup mode)")
    for variable in KEY_ORDER:
        enroll(console, partition, variable)
    value = secure_boot_value(console)
    if value != "01":
        raise StepFailed(f"SecureBoot reads {value!r} after PK, want 01: the firmware is not enforcing")


def console_lines(output):
    return [line.rstrip("\r") for line in output.decode("latin-1").split("\n") if line.strip("\r")]


def report(output):
    """The first complete report in OUTPUT, by the driver's rule; empty when
    there is none."""
    reports = read_console(output).reports
    return reports[0] if reports else []


def main():
    parser = argparse.ArgumentParser(prog="secure-boot", description=__doc__.split("\n\n")[0])
    parser.error = lambda message: sys.exit(f"secure-boot: {message}")
    parser.add_argument("disk", type=Path)
    parser.add_argument("signed")
    parser.add_argument("unsigned")
    parser.add_argument("--machine", default="aa64")
    parser.add_argument("--partition", type=int, default=2)
    parser.add_argument("--timeout", type=int, default=300)
    arguments = parser.parse_args()
    partition = f"virtio 0:{arguments.partition}"
    console = start_machine(arguments.machine, arguments.disk.resolve(), None, arguments.timeout)
    try:
        console.stop_autoboot()
        enroll_keys(console, partition)
        print("enrolled db, KEK and PK at U-Boot's prompt: SecureBoot reads 01")
        output = start_image(console, partition, arguments.signed)
        lines = report(output)
        if not lines:
            raise StepFailed(f"the signed image printed no whole report: {console_lines(output)[-3:]}")
        print(f"{arguments.signed}, signed with the enrolled db key:")
        print("\n".join(lines))
        refused = console_lines(start_image(console, partition, arguments.unsigned))
        if REFUSAL not in refused or "Print Nodes:" in refused:
            raise StepFailed(f"the unsigned image was not refused: {refused}")
        print(f"{arguments.unsigned}, not signed:")
        print("\n".join(refused))
    except StepFailed as failure:
        sys.exit(f"secure-boot: {failure}")
    finally:
        console.close()


if __name__ == "__main__":
    main()
