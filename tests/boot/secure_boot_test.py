#!/usr/bin/env python3
"""Boots the AArch64 image under U-Boot's UEFI with Secure Boot enforcing.

  secure_boot_test.py WORK IMAGE

WORK is made afresh inside the build tree: a key set from scripts/make-keys.sh
and a second one whose db is never enrolled, IMAGE signed with each through
scripts/sign.sh, a copy of the signed image with one byte of its code changed,
and one disk holding all of them with the key set's .auth files. U-Boot boots
once: autoboot is stopped over the serial line, the keys are enrolled at the
prompt (db, KEK, then PK, which ends setup mode) and every image is started
with load and bootefi. The signed image must print its whole report; the
unsigned, the changed and the foreign-signed images must be refused with
U-Boot's "Image not authenticated" and print nothing of a report.
"""
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import boot_test  # noqa: E402  (the report check and the QEMU leftover check)
from boot_test import expect  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "scripts"))
import image_report  # noqa: E402  (the PE reader)

SCRIPTS = Path(__file__).resolve().parents[2] / "scripts"
FIRMWARE = "/usr/lib/u-boot/qemu_arm64/u-boot.bin"
PROMPT = b"=> "
REFUSAL = "Image not authenticated"
# The system partition, as the report must name it.
NUMBER, START, SIZE, GUID = 2, 0x3000, 0xC000, "6D1F0B3E-8A42-4C95-B7E1-2F60A9C4D853"
PARTITION = f"virtio 0:{NUMBER}"


class StepFailed(Exception):
    pass


class Console:
    """The firmware's serial line: everything QEMU prints is kept in LOG, and
    each wait has its own deadline."""

    def __init__(self, argv, log):
        self.log = open(log, "wb")
        self.pending = b""
        # A session of its own, so that QEMU and timeout(1) around it end
        # together; timeout(1) ends QEMU even if this script is killed.
        self.process = subprocess.Popen(["timeout", "-k", "5", "600", *argv], stdin=subprocess.PIPE,
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
        if not expect(echo.rstrip(b"\r") == line.encode(), f"{line}: echoed as {echo!r}"):
            raise StepFailed(f"{line}: the prompt did not take the line")
        return rest

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


def run(*argv):
    result = subprocess.run([str(arg) for arg in argv], capture_output=True, text=True, stdin=subprocess.DEVNULL,
                            timeout=120)
    if result.returncode != 0:
        raise StepFailed(f"{Path(str(argv[0])).name} failed: {result.stderr.strip()}")
    return result.stdout


def make_files(work, image):
    """The images and key files the disk carries, by their names on it."""
    keys, foreign = work / "keys", work / "foreign-keys"
    run(SCRIPTS / "make-keys.sh", keys)
    run(SCRIPTS / "make-keys.sh", foreign)
    files = {f"{name}.auth": keys / f"{name}.auth" for name in ("PK", "KEK", "db")}
    unsigned = work / "unsigned.efi"
    shutil.copyfile(image, unsigned)
    run(SCRIPTS / "sign.sh", "--key", keys / "db.key", "--cert", keys / "db.crt", unsigned)
    signed = Path(f"{unsigned}.signed")
    other = work / "other.efi"
    shutil.copyfile(image, other)
    run(SCRIPTS / "sign.sh", "--key", foreign / "db.key", "--cert", foreign / "db.crt", other)
    # One byte in the middle of the code: the signature no longer matches the
    # image's digest.
    changed = work / "changed.efi"
    data = bytearray(signed.read_bytes())
    text = next((section for section in image_report.read_pe(data).sections if section.name == ".text"), None)
    if text is None:
        raise StepFailed(f"{signed} has no .text section")
    data[text.raw_offset + text.raw_size // 2] ^= 0x01
    changed.write_bytes(data)
    files.update({"signed.efi": signed, "unsigned.efi": unsigned, "changed.efi": changed,
                  "other.efi": Path(f"{other}.signed")})
    return files


def make_disk(work, files):
    disk = work / "disk.img"
    facts = boot_test.make_disk(files["signed.efi"], disk, "--arch", "aa64", "--start", hex(START),
                                "--size", hex(SIZE), "--guid", GUID)
    offset = int(facts["start"]) * 512
    for name, path in files.items():
        subprocess.run(["mcopy", "-i", f"{disk}@@{offset}", str(path), f"::/{name}"], check=True,
                       env=dict(os.environ, MTOOLS_SKIP_CHECK="1"), capture_output=True)
    return disk


def secure_boot_value(console):
    dump = console.command("printenv -e SecureBoot").decode("latin-1")
    match = re.search(r"00000000: ([0-9a-f]{2})", dump)
    return match.group(1) if match else dump.strip()


def start_image(console, name):
    loaded = console.command(f"load {PARTITION} ${{kernel_addr_r}} {name}").decode("latin-1")
    if not expect("bytes read" in loaded, f"load {name}: {loaded.strip()!r}"):
        raise StepFailed(f"U-Boot could not load {name}")
    return console.command("bootefi ${kernel_addr_r}", seconds=60)


def check_runs(console, name, why):
    output = start_image(console, name)
    text = output.decode("latin-1")
    expect(REFUSAL not in text, f"{name} ({why}) was refused: {text.strip()!r}")
    before = len(boot_test.failures)
    boot_test.check_report(boot_test.report_lines(output),
                           boot_test.expected_report("aa64", "virtio", "gpt", NUMBER, START, SIZE, GUID))
    if len(boot_test.failures) == before:
        print(f"{name}: report complete ({why})")


def check_refused(console, name, why):
    text = start_image(console, name).decode("latin-1")
    lines = [line.strip("\r") for line in text.split("\n") if line.strip("\r")]
    # U-Boot names the image it boots, then refuses it, then says the load
    # failed; nothing of the application may reach the console.
    expect(lines == [f"Booting /{name}", REFUSAL, "Loading image failed"],
           f"{name} ({why}) was not refused as wanted: {lines}")
    expect("Print Nodes:" not in text, f"{name} ({why}) started its report")
    print(f"{name}: refused with {REFUSAL!r} ({why})")


def enroll(console, variable):
    loaded = console.command(f"fatload {PARTITION} ${{kernel_addr_r}} {variable}.auth").decode("latin-1")
    if not expect("bytes read" in loaded, f"fatload {variable}.auth: {loaded.strip()!r}"):
        raise StepFailed(f"U-Boot could not read {variable}.auth")
    said = console.command(f"setenv -e -nv -bs -rt -at -i ${{kernel_addr_r}}:$filesize {variable}").decode("latin-1")
    said = "\n".join(line for line in said.splitlines()
                     if line.strip() and not re.search(r"ubootefi\.var|Failed to load EFI variables|\x1b", line))
    if not expect(said == "", f"enrolling {variable}: U-Boot said {said!r}"):
        raise StepFailed(f"U-Boot did not take {variable}")


def boot(disk, log):
    console = Console(["qemu-system-aarch64", "-machine", "virt", "-cpu", "cortex-a57", "-accel", "tcg", "-m", "512",
                       "-bios", FIRMWARE, "-nodefaults", "-display", "none", "-monitor", "none",
                       "-serial", "stdio", "-nic", "none", "-no-reboot",
                       "-drive", f"file={disk},format=raw,if=none,id=d0,snapshot=on",
                       "-device", "virtio-blk-pci,drive=d0"], log)
    started = time.monotonic()
    try:
        console.wait_for(b"Hit any key to stop autoboot", 120, "U-Boot's autoboot countdown")
        console.send(" ")
        console.wait_for(PROMPT, 30, "U-Boot's prompt")
        print(f"prompt after {time.monotonic() - started:.1f} s")
        # In setup mode nothing is checked: the unsigned image runs, so the
        # refusals below come from the enrolled keys.
        expect(secure_boot_value(console) == "00", "SecureBoot is not 00 before the keys are enrolled")
        check_runs(console, "unsigned.efi", "setup mode, no keys yet")
        for variable in ("db", "KEK", "PK"):
            enroll(console, variable)
        value = secure_boot_value(console)
        if not expect(value == "01", f"SecureBoot reads {value!r} after PK, want 01"):
            raise StepFailed("Secure Boot is not enforcing")
        print("keys enrolled: SecureBoot 01")
        check_runs(console, "signed.efi", "signed with the enrolled db key")
        check_refused(console, "unsigned.efi", "no signature")
        check_refused(console, "changed.efi", "one byte of the signed code changed")
        check_refused(console, "other.efi", "signed with a key not in db")
        check_runs(console, "signed.efi", "again, after the refusals")
        print(f"done after {time.monotonic() - started:.1f} s")
    except StepFailed as failure:
        expect(False, str(failure))
    finally:
        console.close()
    leftovers = [pid for pid in os.listdir("/proc") if pid.isdigit() and boot_test.qemu_uses(pid, disk)]
    expect(not leftovers, f"QEMU still running for {disk}: pids {leftovers}")


def main():
    work, image = Path(sys.argv[1]).resolve(), Path(sys.argv[2]).resolve()
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    try:
        boot(make_disk(work, make_files(work, image)), work / "console.log")
    except StepFailed as failure:
        expect(False, str(failure))
    for failure in boot_test.failures:
        print("FAIL:", failure)
    if boot_test.failures:
        print(f"the console is in {work / 'console.log'}")
    sys.exit(1 if boot_test.failures else 0)


if __name__ == "__main__":
    main()
