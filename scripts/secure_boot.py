#!/usr/bin/env python3
"""Boots a disk under U-Boot with Secure Boot enforcing, driving U-Boot's
prompt over the serial line: autoboot is stopped, db, KEK and PK are enrolled
from the disk's .auth files (PK last, which ends setup mode), SecureBoot must
read 01, and then each named image is loaded and started with bootefi.

  secure_boot.py [options] DISK SIGNED UNSIGNED
    --arch ARCH        the machine, as scripts/machines.sh names it (default aa64)
    --partition N      the system partition's number (default 2, GPT)
    --timeout SECS     the longest QEMU may run (default 300)

SIGNED and UNSIGNED are file names at the top of the system partition, beside
PK.auth, KEK.auth and db.auth. Prints the signed image's report and U-Boot's
refusal of the unsigned one; exit status 0 when the report came whole and the
refusal came, otherwise 1 with one line saying why. scripts/boot.sh
--secure-boot runs it; tests/boot/secure_boot_test.py drives the same prompt
through the functions here. The disk is attached over virtio: U-Boot names
that device "virtio 0" at its prompt without a scan of its own.
"""
import argparse
import os
import re
import select
import signal
import subprocess
import sys
import time
from pathlib import Path

SCRIPTS = Path(__file__).resolve().parent
PROMPT = b"=> "
REFUSAL = "Image not authenticated"
KEY_ORDER = ("db", "KEK", "PK")


class StepFailed(Exception):
    pass


def machine_argv(arch, disk, writable=False):
    """QEMU's command line for ARCH with DISK over virtio, from machines.sh,
    with the serial line on standard input and output. Unless WRITABLE, the
    firmware's writes stay out of the disk file."""
    script = f'source "{SCRIPTS}/machines.sh"; echo "$(machine_qemu "$1")"; machine_options "$1" virtio "$2" "$3"'
    lines = subprocess.run(["bash", "-c", script, "machines", arch, str(disk), "writable" if writable else ""],
                           capture_output=True, text=True,
                           check=True).stdout.splitlines()
    return [*lines, "-nodefaults", "-display", "none", "-monitor", "none", "-serial", "stdio", "-nic", "none",
            "-no-reboot"]


class Console:
    """The firmware's serial line: everything QEMU prints is kept in LOG, and
    each wait has its own deadline."""

    def __init__(self, argv, log, limit=600):
        self.log = open(log, "wb")
        self.pending = b""
        # A session of its own, so that QEMU and timeout(1) around it end
        # together; timeout(1) ends QEMU even if this process is killed.
        self.process = subprocess.Popen(["timeout", "-k", "5", str(limit), *argv], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, start_new_session=True)

    def wait_for(self, marker, seconds, what):
        """Returns what came before MARKER and drops it with the marker."""
        deadline = time.monotonic() + seconds
        while marker not in self.pending:
            left = deadline - time.monotonic()
            ready = select.select([self.process.stdout], [], [], max(left, 0))[0] if left > 0 else []
            if not ready:
                raise StepFailed(f"{what}: no {marker.decode()!r} within {seconds} s; the console ended with "
                                 f"{self.pending[-400:].decode('latin-1')!r}")
            chunk = os.read(self.process.stdout.fileno(), 65536)
            if not chunk:
                raise StepFailed(f"{what}: QEMU ended (status {self.process.wait()}); the console ended with "
                                 f"{self.pending[-400:].decode('latin-1')!r}")
            self.log.write(chunk)
            self.log.flush()
            self.pending += chunk
        before, _, self.pending = self.pending.partition(marker)
        return before

    def send(self, text):
        self.process.stdin.write(text.encode())
        self.process.stdin.flush()

    def command(self, line, seconds=30):
        """Types LINE at the prompt and returns its output up to the next
        prompt, without the echoed line."""
        self.send(line + "\n")
        output = self.wait_for(PROMPT, seconds, line)
        echo, _, rest = output.partition(b"\n")
        if echo.rstrip(b"\r") != line.encode():
            raise StepFailed(f"{line}: the prompt did not take the line (echoed as {echo!r})")
        return rest

    def stop_autoboot(self):
        self.wait_for(b"Hit any key to stop autoboot", 120, "U-Boot's autoboot countdown")
        self.send(" ")
        self.wait_for(PROMPT, 30, "U-Boot's prompt")

    def close(self):
        if self.process.poll() is None:
            os.killpg(self.process.pid, signal.SIGKILL)
        self.process.wait()
        # QEMU is timeout(1)'s child, not ours: it may still be tearing down
        # its memory when timeout(1) has been reaped. Its session is empty
        # once it is gone.
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            try:
                os.killpg(self.process.pid, 0)
            except ProcessLookupError:
                break
            time.sleep(0.05)
        self.log.close()


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
    """The report in OUTPUT, from its heading through the text form after
    the closing node; empty when it is not whole."""
    lines = console_lines(output)
    if "Print Nodes:" not in lines:
        return []
    lines = lines[lines.index("Print Nodes:"):]
    for index, line in enumerate(lines):
        if re.fullmatch(r"type:(127,subType:\d+|\d+,subType:255),length:\d+", line):
            return lines[:index + 2] if index + 1 < len(lines) else []
    return []


def main():
    parser = argparse.ArgumentParser(prog="secure-boot", description=__doc__.split("\n\n")[0])
    parser.error = lambda message: sys.exit(f"secure-boot: {message}")
    parser.add_argument("disk", type=Path)
    parser.add_argument("signed")
    parser.add_argument("unsigned")
    parser.add_argument("--arch", default="aa64")
    parser.add_argument("--partition", type=int, default=2)
    parser.add_argument("--timeout", type=int, default=300)
    arguments = parser.parse_args()
    partition = f"virtio 0:{arguments.partition}"
    log = arguments.disk.with_name("console.log")
    console = Console(machine_argv(arguments.arch, arguments.disk.resolve()), log, arguments.timeout)
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
