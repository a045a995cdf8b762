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
import shutil
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import boot_test  # noqa: E402  (the report check and the QEMU leftover check)
from boot_test import expect  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "scripts"))
import image_report  # noqa: E402  (the PE reader)
import secure_boot  # noqa: E402  (U-Boot's prompt, as scripts/boot.sh --secure-boot drives it)
from secure_boot import REFUSAL, StepFailed, secure_boot_value  # noqa: E402

SCRIPTS = Path(__file__).resolve().parents[2] / "scripts"
# The system partition, as the report must name it.
NUMBER, START, SIZE, GUID = 2, 0x3000, 0xC000, "6D1F0B3E-8A42-4C95-B7E1-2F60A9C4D853"
PARTITION = f"virtio 0:{NUMBER}"


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


def start_image(console, name):
    return secure_boot.start_image(console, PARTITION, name)


def check_runs(console, name, why):
    output = start_image(console, name)
    text = output.decode("latin-1")
    expect(REFUSAL not in text, f"{name} ({why}) was refused: {text.strip()!r}")
    before = len(boot_test.failures)
    boot_test.check_report(secure_boot.report(output),
                           boot_test.expected_reports(boot_test.Case("aa64", "disk", "virtio", "gpt", START, SIZE,
                                                                     GUID))[0])
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


def boot(disk, log):
    console = secure_boot.start_machine("aa64", disk, log)
    started = time.monotonic()
    try:
        console.stop_autoboot()
        print(f"prompt after {time.monotonic() - started:.1f} s")
        # In setup mode nothing is checked: the unsigned image runs, so the
        # refusals below come from the enrolled keys.
        expect(secure_boot_value(console) == "00", "SecureBoot is not 00 before the keys are enrolled")
        check_runs(console, "unsigned.efi", "setup mode, no keys yet")
        secure_boot.enroll_keys(console, PARTITION)
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
