#!/usr/bin/env python3
"""Boots an image under U-Boot's UEFI in QEMU with options, at the U-Boot
prompt, the way a person at the machine would start it.

  options_test.py CASE BUILD_DIR     one case of CASES below
  options_test.py --list             the names of CASES, one a line

Each case makes its own disk (MBR, the system partition number 1 on virtio),
boots it without a snapshot so that what the image writes stays on the disk,
stops autoboot over the serial line and types its commands at the prompt. A
report file is read back with mtools after QEMU has stopped and must equal,
byte for byte, the report as the image sent it to the console (CR LF line
ends; U-Boot's serial console shows them as CR CR LF). The boot.sh cases run
scripts/boot.sh --options as a user does and check all it prints.
"""
import os
import re
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import boot_test  # noqa: E402  (make_disk, the report checks, the QEMU leftover check)
from boot_test import MACHINES, Case, expect  # noqa: E402
from uboot import Failure as StepFailed, UBoot, qemu_argv, read_console  # noqa: E402

# The machines: each architecture's U-Boot with the disk on virtio, as
# "virtio 0:1" at the prompt.
ARCHITECTURES = boot_test.machines.architectures()
PROMPT = b"=> "
PARTITION = "virtio 0:1"
UBOOT_X86_BOOTARGS = "root=/dev/sdb3 init=/sbin/init rootwait ro"
REPORT = "\\quillmere-report.txt"
PROMPT_TEXT = b"Press a key to return to the firmware"

# Each case: what it boots with. "bootargs" are the load options bootefi
# hands over; "entry" boots through a Boot0001 entry carrying its options;
# "file" puts the options file on the disk.
CASES = {}
for _arch in ARCHITECTURES:
    CASES[f"{_arch}_unrelated_bootargs"] = (_arch, {"bootargs": UBOOT_X86_BOOTARGS})
    CASES[f"{_arch}_report_boot_entry"] = (_arch, {"entry": f"quillmere.report={REPORT}", "report": REPORT})
    CASES[f"{_arch}_wait_key"] = (_arch, {"bootargs": "quillmere.wait", "wait": "key"})
    CASES[f"{_arch}_wait_seconds"] = (_arch, {"bootargs": "quillmere.wait=2", "wait": 2})
    CASES[f"{_arch}_options_file"] = (_arch, {"bootargs": "", "file": "quillmere.report=/from-file.txt",
                                              "report": "\\from-file.txt"})


# scripts/boot.sh --options as a user runs it, on its default disk: each row
# the machine, the words, the exit status, the image's lines before and after
# its report, and whether the report file is read back after the boot. The
# backslashes must reach the image as typed.
BOOT_SH_CASES = {
    "x64_boot_sh_unknown_word": ("x64", "ro quillmere.colour=red", 0,
                                 ["quillmere.colour=red: not an option, ignored"], [], False),
    "aa64_boot_sh_report_file": ("aa64", "quillmere.report=\\EFI\\BOOT\\r.txt", 0, [], [], True),
    "x64_boot_sh_report_fails": ("x64", "quillmere.wiat quillmere.report=\\nodir\\r.txt", 2,
                                 ["quillmere.wiat: not an option, ignored"],
                                 ["quillmere.report=\\nodir\\r.txt: create failed (Not Found)",
                                  "## Application failed, r = 14"], False),
    # The report with the disk check's line after the partition block.
    "x64_boot_sh_verify": ("x64", "quillmere.verify", 0, [], [], False),
}


def run_boot_sh_case(build, work, case):
    machine, words, status, before, after, read_back = BOOT_SH_CASES[case]
    result = subprocess.run([boot_test.SCRIPTS / "boot.sh", "--machine", machine, "--image",
                             build / f"quillmere{machine}.efi", "--options", words],
                            capture_output=True, text=True, stdin=subprocess.DEVNULL, timeout=120,
                            env=dict(os.environ, TMPDIR=str(work)))
    report = boot_test.expected_reports(Case(machine, bus=MACHINES[machine].words("Buses")[0], options=words))[0]
    want = before + report + after
    if read_back:
        want += [f"the report file {words.partition('=')[2]}, read back from the disk:", *report]
    expect(result.returncode == status, f"boot.sh exited {result.returncode}, want {status}: {result.stderr.strip()}")
    boot_test.check_report(result.stdout.splitlines(), want)
    said = result.stderr.splitlines()[-1] if result.stderr.strip() else ""
    if status == 2:
        expect(said == "boot: the image returned an error, r = 14 (Not Found)", f"boot.sh said {said!r} last")
    expect(not list(work.iterdir()), f"boot.sh left {[path.name for path in work.iterdir()]} in TMPDIR")
    print(result.stdout, end="")
    print(f"{case}: exit status {result.returncode}; {said}")


def load_option(description, facts, path, options):
    """An EFI_LOAD_OPTION as efibootmgr --unicode makes it: active, the
    description, a short-form HD()/File() path, the options as UCS-2 without
    a terminator."""
    signature = struct.pack("<I", int(facts["signature"], 16)) + bytes(12)
    hard_drive = struct.pack("<BBHIQQ16sBB", 4, 1, 42, int(facts["number"]), int(facts["start"]),
                             int(facts["size"]), signature, 1, 1)
    name = (path + "\0").encode("utf-16-le")
    file_node = struct.pack("<BBH", 4, 4, 4 + len(name)) + name
    path_list = hard_drive + file_node + bytes([0x7F, 0xFF, 4, 0])
    return (struct.pack("<IH", 1, len(path_list)) + (description + "\0").encode("utf-16-le") + path_list
            + options.encode("utf-16-le"))


def mtools(disk, facts, tool, *argv, data=None):
    """Runs an mtools TOOL on the disk's system partition."""
    result = subprocess.run([tool, "-i", f"{disk}@@{int(facts['start']) * 512}", *argv], input=data,
                            capture_output=True, env=dict(os.environ, MTOOLS_SKIP_CHECK="1"))
    if result.returncode != 0:
        raise StepFailed(f"{tool} {' '.join(argv)}: {result.stderr.decode().strip()}")
    return result.stdout


def report_bytes(output):
    """The report as the image sent it: from the heading through the text
    form, each line ending in CR LF."""
    reports = read_console(output).reports
    lines = reports[0] if reports else []
    expect(lines, "no complete report on the console")
    return lines, b"".join(line.encode("latin-1") + b"\r\n" for line in lines)


def no_prompt_within(console, seconds):
    """True when nothing that ends with U-Boot's prompt arrives for SECONDS."""
    start = console.seen
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        console.read(deadline)
        if PROMPT in console.console[start:]:
            return False
    return True


def run_case(build, work, case):
    arch, setup = CASES[case]
    image = build / f"quillmere{arch}.efi"
    disk = work / "disk.img"
    options = ["--options-file", setup["file"]] if "file" in setup else []
    facts = boot_test.make_disk(image, disk, "--arch", arch, "--layout", "mbr", *options)
    boot_file = MACHINES[arch].boot_file
    if "entry" in setup:
        entry = load_option("quillmere", facts, f"\\EFI\\BOOT\\{boot_file}", setup["entry"])
        mtools(disk, facts, "mcopy", "-", "::/boot0001.bin", data=entry)
        mtools(disk, facts, "mcopy", "-", "::/bootorder.bin", data=struct.pack("<H", 1))

    console = UBoot(MACHINES[arch], qemu_argv(MACHINES[arch], "disk", "virtio", disk, writable=True),
                    work / "console.log")
    output = b""
    try:
        console.stop_autoboot()
        # The virtio disk is found once the bus has been scanned.
        console.command("virtio scan", 60)
        if "entry" in setup:
            for variable, name in (("Boot0001", "boot0001.bin"), ("BootOrder", "bootorder.bin")):
                loaded = console.command(f"fatload {PARTITION} ${{kernel_addr_r}} {name}").decode("latin-1")
                if not expect("bytes read" in loaded, f"fatload {name}: {loaded.strip()!r}"):
                    raise StepFailed(f"U-Boot could not read {name}")
                console.command(f"setenv -e -nv -bs -rt -i ${{kernel_addr_r}}:$filesize {variable}")
            started = time.monotonic()
            output = console.command("bootefi bootmgr", 60)
            expect(b"Booting: quillmere" in output, "bootefi bootmgr did not say 'Booting: quillmere'")
        else:
            console.command(f"setenv bootargs '{setup['bootargs']}'" if setup["bootargs"] else "setenv bootargs")
            loaded = console.command(f"load {PARTITION} ${{kernel_addr_r}} EFI/BOOT/{boot_file}").decode("latin-1")
            if not expect("bytes read" in loaded, f"load: {loaded.strip()!r}"):
                raise StepFailed("U-Boot could not load the image")
            console.send("bootefi ${kernel_addr_r}\n")
            started = time.monotonic()
            if setup.get("wait") == "key":
                output = console.wait_for(re.escape(PROMPT_TEXT), 60, "the wait's prompt") + PROMPT_TEXT
                waited = time.monotonic()
                expect(no_prompt_within(console, 4), "quillmere.wait returned without a key")
                console.send(" ")
                output += console.wait_for(re.escape(PROMPT), 10, "the return after the key")
                print(f"returned after the key, {time.monotonic() - waited:.1f} s after the prompt")
            else:
                output = console.wait_for(re.escape(PROMPT), 60, "the image's return")
        returned = time.monotonic() - started
    except StepFailed as failure:
        expect(False, str(failure))
        return
    finally:
        console.close()
    leftovers = [pid for pid in os.listdir("/proc") if pid.isdigit() and boot_test.qemu_uses(pid, disk)]
    expect(not leftovers, f"QEMU still running for {disk}: pids {leftovers}")

    lines, sent = report_bytes(output)
    boot_test.check_report(lines, boot_test.expected_reports(Case(arch, "disk", "virtio", "mbr", int(facts["start"], 0),
                                                                  int(facts["size"], 0), int(facts["signature"], 16)))[0])
    after = output[output.find(b"Print Nodes:") + len(sent) + len(lines):]
    extra = [line.strip("\r") for line in after.decode("latin-1").split("\n") if line.strip("\r")]
    if "wait" in setup:
        countdown = re.findall(rb"\(\d+ s\)", after)
        if setup["wait"] == "key":
            expect(not countdown, f"quillmere.wait counted down: {countdown}")
        else:
            expect(countdown == [b"(2 s)", b"(1 s)"], f"quillmere.wait=2 counted {countdown}")
            # U-Boot's clock under QEMU's emulation may run fast or slow:
            # the countdown above shows the wait, the limit that it ends.
            expect(returned < 15, f"quillmere.wait=2 returned after {returned:.1f} s")
            print(f"quillmere.wait=2 returned after {returned:.1f} s")
        expect(PROMPT_TEXT in after, "no prompt after the report")
    else:
        # Nothing of the image's own after the report: U-Boot's prompt only.
        expect(not any("quillmere" in line or "Press" in line for line in extra),
               f"lines after the report: {extra}")
    expect(b"quillmere." not in output[:output.find(b"Print Nodes:")], "an option line before the report")

    if "report" in setup:
        try:
            kept = mtools(disk, facts, "mcopy", f"::{setup['report'].replace(chr(92), '/')}", "-")
        except StepFailed as failure:
            expect(False, f"no report file: {failure}; the console after the report: {extra}")
            return
        expect(kept == sent, f"the report file differs from the console's report:\n  file    {kept!r}\n"
                             f"  console {sent!r}")
        if kept == sent:
            print(f"{setup['report']}: {len(kept)} bytes, the console's report byte for byte")
    print("\n".join(lines))


def main():
    if sys.argv[1:] == ["--list"]:
        print("\n".join([*CASES, *BOOT_SH_CASES]))
        return
    case, build = sys.argv[1], Path(sys.argv[2]).resolve()
    if case not in CASES and case not in BOOT_SH_CASES:
        sys.exit(f"unknown case {case}")
    with tempfile.TemporaryDirectory(prefix=f"quillmere-{case}-") as temp:
        (run_case if case in CASES else run_boot_sh_case)(build, Path(temp), case)
    for failure in boot_test.failures:
        print("FAIL:", failure)
    sys.exit(1 if boot_test.failures else 0)


if __name__ == "__main__":
    main()
