#!/usr/bin/env python3
"""Boots U-Boot in QEMU and drives it over its serial console: starts the
machine of scripts/machines.txt with its medium, waits for what the firmware
prints, stops the autoboot and types at the prompt when asked, and decides
when the image's report is complete and when the image has returned. QEMU
never outlives a boot: it runs in a session of its own under timeout(1), and
the session is ended on every way out.

  uboot.py [options]
    --machine NAME       a machine of scripts/machines.txt (default x64)
    --medium MEDIUM      disk, network, cdrom, superfloppy or sd
    --bus BUS            what the disk or superfloppy hangs on
    --disk FILE          the disk, card, ISO or superfloppy file
    --writable           let the firmware write to FILE (default: its writes
                         are dropped, so every boot starts from the same disk)
    --tftp DIR --boot-file NAME --mac MAC
                         network: QEMU's TFTP serves DIR/NAME to an e1000
                         card with MAC
    --options WORDS      the image's load options, typed as U-Boot's bootargs
    --volume-offset BYTES
                         where the image's FAT starts in FILE: with
                         quillmere.report= among the options the report file
                         is read back from there after the boot
    --reports N          how many reports the boot order runs (default 1)
    --timeout SECS       the longest the boot may take (default 60)
    --console            print the whole console, not only the image's lines
    --log FILE           keep the raw console there
    --fetch              fetch the machine's board firmware into the cache
                         and print its path; boot nothing

Prints the image's own lines (option lines, the report, what follows it) and
U-Boot's line when the image returned an error. Exit status 0 when every
report came whole and the image returned success; 2 when the reports came
whole but the image returned an error; otherwise 1 with one line saying why,
in the firmware's own words where it gave any. scripts/boot.sh runs it.
"""
import argparse
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import machines as machine_table  # noqa: E402

AUTOBOOT = b"Hit any key to stop autoboot"
HEADING = "Print Nodes:"
# The node that closes the path: type 127 (End) or sub-type 255 (End Entire).
CLOSING = re.compile(r"type:(127,subType:\d+|\d+,subType:255),length:\d+")
# The application ends its lines with CR LF, which U-Boot's serial console
# passes on as CR CR LF; U-Boot's own lines end CR LF. So a line's ending
# tells whose it is.
IMAGE_LINE = b"\r\r"
WAIT_PROMPT = "Press a key to return to the firmware"
APPLICATION_FAILED = re.compile(r"## Application failed, r = (\d+)")
# What U-Boot prints once an image it started has returned, besides its
# prompt: the removable-media boot order's note before it goes on.
RETURN_NOTES = ("EFI LOAD FAILED",)
# U-Boot's words when it will not start an image: a boot ends on them.
FAULTS = re.compile(r"No UEFI binary known at .*|Machine type 0x[0-9a-fA-F]+ is not supported|"
                    r"FAT sector size mismatch.*|Unknown Relocation.*|Image not authenticated")
ESCAPES = re.compile(r"\x1b\[[0-9;?]*[A-Za-z]|\x1b[78]")
# The names of EFI statuses U-Boot prints as "r = N" (the error bit dropped).
STATUS_NAMES = {1: "Load Error", 2: "Invalid Parameter", 3: "Unsupported", 7: "Device Error",
                8: "Write Protected", 9: "Out of Resources", 11: "Volume Full", 14: "Not Found",
                15: "Access Denied", 21: "Aborted"}


class Failure(Exception):
    """A boot that went wrong, said in one line."""


# How each bus attaches a drive, and U-Boot's name for it at its prompt with
# the command that finds it there.
@dataclass
class Bus:
    devices: list
    interface: str
    scan: str


BUSES = {
    "ide": Bus([], "ide", "ide reset"),
    "ahci": Bus(["-device", "ahci,id=ahci", "-device", "ide-hd,drive=disk,bus=ahci.0"], "scsi", "scsi scan"),
    "virtio": Bus(["-device", "virtio-blk-pci,drive=disk"], "virtio", "virtio scan"),
    "nvme": Bus(["-device", "nvme,serial=quillmere,drive=disk"], "nvme", "nvme scan"),
    "usb": Bus(["-device", "usb-ehci,id=usb", "-device", "usb-storage,drive=disk,bus=usb.0"], "usb", "usb start"),
    # A CD-ROM drive on the USB bus: the only one U-Boot 2023.01 reads.
    "usb-cdrom": Bus(["-device", "usb-ehci,id=usb", "-device", "usb-bot,id=bot,bus=usb.0",
                      "-device", "scsi-cd,drive=disk,bus=bot.0"], "usb", "usb start"),
    "sd": Bus([], "mmc", "mmc rescan"),
}


def firmware_cache():
    """Where board firmware is kept: QUILLMERE_FIRMWARE_CACHE, or the user's
    cache folder."""
    cache = os.environ.get("QUILLMERE_FIRMWARE_CACHE")
    if cache:
        return Path(cache)
    return Path(os.environ.get("XDG_CACHE_HOME") or Path.home() / ".cache") / "quillmere" / "firmware"


def firmware_path(machine):
    firmware = machine["Firmware"]
    if firmware.startswith("cache:"):
        package = machine["Firmware-Package"].partition(":")[0]
        return firmware_cache() / package / firmware.removeprefix("cache:")
    return Path(firmware)


def fetch_firmware(machine, say=print):
    """Fetches the board firmware package of MACHINE for its own
    architecture and unpacks it into the cache: apt-get download with a
    package list and cache of its own (APT::Architecture set to the
    package's), then dpkg-deb -x. Nothing on the system changes: no
    architecture is added, no package installed, the system's package lists
    are not touched. Returns the firmware's path."""
    path = firmware_path(machine)
    if path.is_file():
        return path
    package = machine["Firmware-Package"]
    name, _, arch = package.partition(":")
    cache = firmware_cache()
    target = cache / name
    say(f"fetching {package} into {cache} (apt-get download with a package list of its own; "
        "nothing is installed and the system's package lists stay as they are)")
    cache.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="quillmere-fetch-", dir=cache) as temp:
        work = Path(temp)
        for folder in ("state/lists/partial", "cache/archives/partial", "unpacked"):
            (work / folder).mkdir(parents=True)
        apt = ["-o", f"Dir::State={work}/state", "-o", "Dir::State::status=/dev/null", "-o", f"Dir::Cache={work}/cache",
               "-o", f"APT::Architecture={arch}", "-o", f"APT::Architectures::={arch}", "-o", "Debug::NoLocking=1",
               "-o", "APT::Sandbox::User=root" if os.geteuid() == 0 else "APT::Sandbox::User=",
               "-o", "Acquire::Languages=none"]
        # A list that fails to come (a mirror in the middle of a sync) leaves
        # the others usable: the download below says whether the package is
        # there.
        update = subprocess.run(["apt-get", "-q", *apt, "update"], capture_output=True, text=True)
        download = subprocess.run(["apt-get", "-q", *apt, "download", f"{name}:{arch}"], cwd=work,
                                  capture_output=True, text=True)
        packages = sorted(work.glob(f"{name}_*.deb"))
        if download.returncode != 0 or not packages:
            said = (download.stderr.strip() or update.stderr.strip()).splitlines()
            raise Failure(f"could not fetch {package}: {said[-1] if said else 'apt-get said nothing'}")
        unpack = subprocess.run(["dpkg-deb", "-x", str(packages[0]), str(work / "unpacked")], capture_output=True,
                                text=True)
        if unpack.returncode != 0:
            raise Failure(f"could not unpack {packages[0].name}: {unpack.stderr.strip()}")
        # The board folders as the package lays them out, under the
        # package's name; moved into place whole, so that a fetch running
        # beside this one never sees half of it.
        try:
            os.replace(work / "unpacked/usr/lib/u-boot", target)
        except OSError:
            if not target.is_dir():
                raise Failure(f"could not put the firmware into {target}")
    if not path.is_file():
        raise Failure(f"{package} holds no {path.relative_to(target)}")
    return path


def qemu_argv(machine, medium, bus=None, disk=None, writable=False, tftp=None, boot_file=None, mac=None):
    """QEMU's command line for MACHINE with its medium: the table's command,
    the console on the machine's serial port, the drive or the network card."""
    command = machine["QEMU"].replace("{firmware}", str(firmware_path(machine))).split()
    serial = ["-serial", "null"] * int(machine["Serial"]) + ["-serial", "stdio"]
    argv = [*command, "-nodefaults", "-display", "none", "-monitor", "none", *serial, "-no-reboot"]
    if medium == "network":
        return [*argv, "-netdev", f"user,id=n0,tftp={tftp},bootfile={boot_file}",
                "-device", f"e1000,netdev=n0,romfile=,mac={mac}"]
    argv += ["-nic", "none"]
    if disk is None:
        return argv
    snapshot = "" if writable else ",snapshot=on"
    if medium == "cdrom":
        bus = "usb-cdrom"
    elif medium == "sd":
        bus = "sd"
    bus = bus or machine.words("Buses")[0]
    media = ",media=cdrom,readonly=on" if medium == "cdrom" else ""
    if bus == "ide":
        return [*argv, "-drive", f"file={disk},format=raw,if=ide{snapshot}"]
    if bus == "sd":
        return [*argv, "-drive", f"file={disk},format=raw,if=sd{snapshot}"]
    devices = BUSES[bus].devices
    if bus == "virtio" and machine.get("Virtio-Disk"):
        devices = ["-device", f"{machine['Virtio-Disk']},drive=disk"]
    return [*argv, "-drive", f"file={disk},format=raw,if=none,id=disk{media}{snapshot}", *devices]


def clean(raw):
    """A console line as text: no escape sequences, no carriage returns;
    where the line was rewritten in place (a countdown), its last form."""
    text = ESCAPES.sub("", raw.decode("latin-1")).rstrip("\r")
    return text.rsplit("\r", 1)[-1]


@dataclass
class Run:
    """What the console shows of the images the firmware started."""
    reports: list = field(default_factory=list)   # each complete report, its lines
    partial: list = field(default_factory=list)   # a report begun and not complete
    own: list = field(default_factory=list)       # every line of the images', reports included
    status: int = None                             # U-Boot's "r = N" for an image that failed
    failed_line: str = None                        # that line
    returned: bool = False                         # the firmware went on after the last report
    faults: list = field(default_factory=list)     # U-Boot's refusals to start an image
    prompt: bool = False                           # the console ends at U-Boot's prompt


def read_console(console, prompt="=>"):
    """Reads a console (bytes): the one place that decides what a complete
    report is. A report is the image's heading, its node lines through the
    closing node (type 127 or sub-type 255) and the one line after it, the
    firmware's text form of the path, ended by its line feed."""
    run = Run()
    lines = console.split(b"\n")
    tail = lines.pop()
    report = None   # the report being read; after its closing node, None once its text line came
    closed = False
    for raw in lines:
        text = clean(raw)
        if raw.endswith(IMAGE_LINE):
            run.own.append(text)
            if text == HEADING:
                report, closed = [text], False
            elif report is not None:
                report.append(text)
                if closed:
                    run.reports.append(report)
                    report = None
                    run.returned = False
                elif CLOSING.fullmatch(text):
                    closed = True
            continue
        failed = APPLICATION_FAILED.search(text)
        if failed:
            run.status, run.failed_line = int(failed.group(1)), text.strip()
        if FAULTS.search(text):
            run.faults.append(FAULTS.search(text).group(0))
        if run.reports and (failed or any(note in text for note in RETURN_NOTES)):
            run.returned = True
    run.partial = report or []
    run.prompt = clean(tail).startswith(prompt + " ")
    if run.prompt and run.reports:
        run.returned = True
    return run


class UBoot:
    """A machine running U-Boot, its serial console on a pipe. Everything the
    console showed is kept in .console (and LOG when given)."""

    def __init__(self, machine, argv, log=None, limit=600, env=None):
        self.machine = machine
        self.prompt = machine["Prompt"]
        self.banner = machine["Banner"].encode()
        self.console = b""
        self.seen = 0
        self.log = open(log, "wb") if log else None
        self.errors = tempfile.TemporaryFile()
        try:
            self.process = subprocess.Popen(["timeout", "-k", "5", str(limit), *argv], stdin=subprocess.PIPE,
                                            stdout=subprocess.PIPE, stderr=self.errors, start_new_session=True,
                                            env=env)
        except OSError as error:
            self.errors.close()
            raise Failure(f"QEMU failed to start: {error}")

    def __enter__(self):
        return self

    def __exit__(self, *exception):
        self.close()

    def read(self, until):
        """Takes what the console printed, waiting at most until the monotonic
        time UNTIL; False when nothing came by then."""
        left = until - time.monotonic()
        if left <= 0 or not select.select([self.process.stdout], [], [], left)[0]:
            return False
        chunk = os.read(self.process.stdout.fileno(), 65536)
        if not chunk:
            raise Failure(self.ended())
        self.console += chunk
        if self.log:
            self.log.write(chunk)
            self.log.flush()
        if self.console.count(self.banner) > 1:
            raise Failure("the machine reset (a second U-Boot banner)")
        return True

    def ended(self):
        """Why QEMU is gone."""
        status = self.process.wait()
        self.errors.seek(0)
        said = [line for line in self.errors.read().decode(errors="replace").splitlines() if line.strip()]
        if not self.console:
            return f"QEMU failed to start: {said[0] if said else f'status {status}'}"
        if status == 124:
            return "QEMU ran past its time limit"
        return f"QEMU exited with status {status} (a reset ends it too)" + (f": {said[0]}" if said else "")

    def wait_for(self, pattern, seconds, what):
        """Waits for PATTERN (bytes, a regular expression) after what earlier
        waits took; returns the console from there up to the match, and
        moves past it."""
        expression = re.compile(pattern)
        deadline = time.monotonic() + seconds
        while True:
            match = expression.search(self.console, self.seen)
            if match:
                before = self.console[self.seen:match.start()]
                self.seen = match.end()
                return before
            if not self.read(deadline) and time.monotonic() >= deadline:
                raise Failure(f"{what}: nothing within {seconds} s; {self.last_line()}")

    def last_line(self):
        lines = [clean(line) for line in self.console.split(b"\n")]
        lines = [line.strip() for line in lines if line.strip()]
        return f"the console's last line: {lines[-1][:160]!r}" if lines else "the console stayed empty"

    def send(self, text):
        self.process.stdin.write(text.encode("latin-1"))
        self.process.stdin.flush()

    def stop_autoboot(self, seconds=120):
        self.wait_for(re.escape(AUTOBOOT), seconds, "U-Boot's autoboot countdown")
        self.send(" ")
        self.wait_for(re.escape(self.prompt.encode() + b" "), 30, "U-Boot's prompt")

    def command(self, line, seconds=30):
        """Types LINE at the prompt and returns its output up to the next
        prompt, without the echoed line."""
        self.send(line + "\n")
        output = self.wait_for(rb"(?<=\n)" + re.escape(self.prompt.encode() + b" "), seconds, line)
        echo, _, rest = output.partition(b"\n")
        if echo.rstrip(b"\r") != line.encode("latin-1"):
            raise Failure(f"{line}: the prompt did not take the line (echoed as {echo!r})")
        return rest

    def set_bootargs(self, words):
        """Sets bootargs, the load options bootefi hands over, to WORDS. U-Boot's
        shell drops a backslash outside double quotes and keeps it inside;
        there a dollar sign starts a variable unless a backslash comes first,
        and nothing can stand for a double quote. What U-Boot stored is read
        back."""
        if not words:
            self.command("setenv bootargs")
            return
        if '"' in words:
            raise Failure("the options may not hold a double quote: U-Boot's shell has no way to take one")
        self.command('setenv bootargs "' + words.replace("$", "\\$") + '"')
        stored = self.command("printenv bootargs").decode("latin-1").strip()
        if stored != f"bootargs={words}":
            raise Failure(f"U-Boot took the options as {stored!r}")

    def wait_for_reports(self, count, seconds, key_after=3):
        """Waits until COUNT reports are complete and the image has returned
        after the last; returns the Run. Fails when U-Boot refuses an image
        (in its words), goes back to its prompt first, or time runs out. An
        image that waits for a key gets one after KEY_AFTER quiet seconds
        (never with None)."""
        start = self.seen
        deadline = time.monotonic() + seconds
        pressed = False
        while True:
            run = read_console(self.console[start:], self.prompt)
            if len(run.reports) >= count and run.returned:
                return run
            if run.faults and not run.partial:
                raise Failure(f'U-Boot said "{run.faults[-1]}"')
            if run.prompt:
                if run.reports:
                    raise Failure(f"the firmware went back to its prompt after {len(run.reports)} of {count} reports")
                if run.partial:
                    raise Failure("the application returned before its report was complete")
                raise Failure("the firmware went back to its prompt without starting the report: "
                              + self.no_report_reason(start))
            quiet = min(deadline, time.monotonic() + key_after) if key_after is not None else deadline
            if not self.read(quiet):
                if time.monotonic() >= deadline:
                    raise Failure(f"no complete report within {seconds} second{'s' if seconds != 1 else ''}; "
                                  + self.last_line())
                tail = self.console[start:].rsplit(b"\n", 1)[-1]
                if not pressed and WAIT_PROMPT.encode() in tail and b" s) " not in tail:
                    self.send(" ")
                    pressed = True

    def no_report_reason(self, start):
        lines = [clean(line).strip() for line in self.console[start:].split(b"\n")]
        if not any(" bytes read in " in line or "Bytes transferred" in line for line in lines):
            return "U-Boot found no EFI boot file"
        return "U-Boot gave no reason"

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
        self.errors.close()
        if self.log:
            self.log.close()


def report_file(words):
    """The report file the load options WORDS ask for, as the image takes
    them (the last quillmere.report= word wins; an empty one takes it
    back); None when there is none."""
    path = None
    for word in words.split():
        if word.startswith("quillmere.report="):
            path = word.partition("=")[2] or None
    return path


def read_back(disk, offset, path):
    """The file PATH on the FAT at byte OFFSET of DISK, read with mtools."""
    result = subprocess.run(["mcopy", "-n", "-i", f"{disk}@@{offset}", "::" + path.replace("\\", "/"), "-"],
                            capture_output=True,
                            env=dict(os.environ, MTOOLS_SKIP_CHECK="1"))
    if result.returncode != 0:
        raise Failure(f"no report file {path} on the disk: {result.stderr.decode(errors='replace').strip()}")
    return result.stdout


def boot_commands(machine, medium, bus=None, options=None):
    """What is typed at U-Boot's prompt to boot MEDIUM, the last line the one
    that starts the image; empty where the boot order does it untouched."""
    if medium == "superfloppy":
        # The boot order wants a partition table; the image is loaded by hand.
        interface = BUSES[bus]
        return [interface.scan, f"load {interface.interface} 0 ${{kernel_addr_r}} EFI/BOOT/{machine.boot_file}",
                "bootefi ${kernel_addr_r}"]
    if medium == "network" and machine.get("Network-Setup"):
        return [machine["Network-Setup"], "run bootcmd"]
    return ["run bootcmd"] if options is not None else []


def run(uboot, machine, medium, bus=None, options=None, reports=1, seconds=60, key_after=3, commands=None):
    """Boots the image as boot.sh does: by the boot order, or with OPTIONS as
    bootargs and the commands the medium needs typed at the prompt; returns
    the Run once REPORTS reports are complete and the image has returned.
    COMMANDS, when given, are typed in place of the medium's, the last one
    starting the image; a function among them is called between the lines
    around it, while the firmware waits at its prompt (a change made on the
    host to what the firmware has already read)."""
    deadline = time.monotonic() + seconds
    commands = boot_commands(machine, medium, bus, options) if commands is None else list(commands)
    if commands and not isinstance(commands[-1], str):
        raise ValueError("the last command must be a line that starts the image")
    if commands:
        uboot.stop_autoboot(seconds)
        if options is not None:
            uboot.set_bootargs(options)
        for line in commands[:-1]:
            if callable(line):
                line()
                continue
            said = uboot.command(line, 60).decode("latin-1")
            if line.startswith("load ") and " bytes read in " not in said:
                words = [text.strip(" *") for text in said.splitlines() if text.strip(" *")]
                raise Failure(f'U-Boot could not load the image: it said "{words[0] if words else ""}"')
        uboot.send(commands[-1] + "\n")
        uboot.wait_for(re.escape(commands[-1].encode()) + rb"\r?\n", 10, commands[-1])
    return uboot.wait_for_reports(reports, max(1, round(deadline - time.monotonic())), key_after)


def boot(machine, arguments, out=sys.stdout):
    """boot.sh's boot: returns the exit status."""
    argv = qemu_argv(machine, arguments.medium, arguments.bus, arguments.disk, arguments.writable, arguments.tftp,
                     arguments.boot_file, arguments.mac)
    with UBoot(machine, argv, arguments.log, arguments.timeout + 30) as uboot:
        try:
            result = run(uboot, machine, arguments.medium, arguments.bus, arguments.options, arguments.reports,
                         arguments.timeout)
        except Failure:
            if arguments.console:
                show_console(uboot.console, out)
            raise
    if arguments.console:
        show_console(uboot.console, out)
    else:
        for line in result.own:
            print(line, file=out)
        if result.failed_line:
            print(result.failed_line, file=out)
    if result.status is not None:
        name = STATUS_NAMES.get(result.status)
        print(f"uboot: the image returned an error, r = {result.status}" + (f" ({name})" if name else ""),
              file=sys.stderr)
        return 2
    path = report_file(arguments.options or "")
    if path and arguments.volume_offset is not None:
        text = read_back(arguments.disk, arguments.volume_offset, path)
        print(f"the report file {path}, read back from the disk:", file=out)
        out.write(text.decode("utf-8", errors="replace").replace("\r\n", "\n"))
    return 0


def show_console(console, out):
    text = "\n".join(clean(line) for line in console.split(b"\n"))
    out.write(text if text.endswith("\n") or not text else text + "\n")


def main():
    parser = argparse.ArgumentParser(prog="uboot", description=__doc__.split("\n\n")[0])
    parser.error = lambda message: sys.exit(f"uboot: {message}")
    parser.add_argument("--machine", default="x64")
    parser.add_argument("--medium", default="disk", choices=["disk", "network", "cdrom", "superfloppy", "sd"])
    parser.add_argument("--bus")
    parser.add_argument("--disk", type=Path)
    parser.add_argument("--writable", action="store_true")
    parser.add_argument("--tftp", type=Path)
    parser.add_argument("--boot-file")
    parser.add_argument("--mac")
    parser.add_argument("--options")
    parser.add_argument("--volume-offset", type=int)
    parser.add_argument("--reports", type=int, default=1)
    parser.add_argument("--timeout", type=int, default=60)
    parser.add_argument("--console", action="store_true")
    parser.add_argument("--log", type=Path)
    parser.add_argument("--fetch", action="store_true")
    arguments = parser.parse_args()
    machines = machine_table.load()
    if arguments.machine not in machines:
        sys.exit(f"uboot: unknown machine {arguments.machine} ({', '.join(machines)})")
    machine = machines[arguments.machine]
    try:
        if arguments.fetch:
            print(fetch_firmware(machine, say=lambda text: print(text, file=sys.stderr)))
            return 0
        firmware = firmware_path(machine)
        if not firmware.is_file():
            raise Failure(f"no U-Boot firmware at {firmware} (package {machine['Firmware-Package']})")
        return boot(machine, arguments)
    except Failure as failure:
        sys.exit(f"uboot: {failure}")


if __name__ == "__main__":
    sys.exit(main())
