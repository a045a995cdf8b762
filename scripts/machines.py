"""The table of machines, scripts/machines.txt, as Python reads it: load()
gives each machine by name, a board's entry completed with what its
architecture's own entry says of the image (boot file, PE machine, compile
and link). Run as a program it writes the tables of machines into pages of
the manual, or checks them there:

  python3 scripts/machines.py --write-docs|--check-docs PAGE...
"""
import argparse
import re
import sys
from pathlib import Path

TABLE = Path(__file__).resolve().with_name("machines.txt")
# What a board takes from the entry of its architecture.
IMAGE_FIELDS = ("Boot-File", "PE-Machine", "Compile", "Link")


class TableError(Exception):
    pass


class Machine(dict):
    """One entry: its fields by name, the lists among them split at blanks."""

    @property
    def name(self):
        return self["Name"]

    @property
    def arch(self):
        return self["Architecture"]

    @property
    def boot_file(self):
        return self["Boot-File"]

    @property
    def pe_machine(self):
        return int(self["PE-Machine"], 16)

    def words(self, field):
        return self.get(field, "").split()


def read(text):
    """The entries of TEXT in their order, each a dict of its fields."""
    entries, entry = [], {}
    for number, line in enumerate(text.splitlines(), 1):
        if line.startswith("#"):
            continue
        if not line.strip():
            if entry:
                entries.append(entry)
            entry = {}
            continue
        field, colon, value = line.partition(":")
        if not colon or " " in field or field in entry:
            raise TableError(f"{TABLE.name} line {number}: not a new 'Field: value' line: {line!r}")
        entry[field] = value.strip()
    if entry:
        entries.append(entry)
    return entries


def load(text=None):
    """name -> Machine, in the table's order."""
    machines = {}
    for entry in read(TABLE.read_text() if text is None else text):
        machines[entry["Name"]] = Machine(entry)
    for machine in machines.values():
        own = machines.get(machine.arch)
        if own is None:
            raise TableError(f"{machine.name}: no entry for its architecture {machine.arch}")
        for field in IMAGE_FIELDS:
            machine.setdefault(field, own[field])
    return machines


def architectures(machines=None):
    """The architectures an image is built for: the machines named after
    their own architecture."""
    machines = load() if machines is None else machines
    return [name for name, machine in machines.items() if machine.arch == name]


# The tables of machines in the manual, made from the table of machines so
# that the pages cannot drift from it: each lies in its page between
# DOCS_BEGIN (naming the table) and DOCS_END.
DOCS_BEGIN = "<!-- scripts/machines.py --write-docs writes the {} table from here -->"
DOCS_END = "<!-- to here -->"


def firmware_build(machine):
    """U-Boot's build: the folder its binary lies in."""
    return machine["Firmware"].removeprefix("cache:").split("/")[-2]


def qemu_machine(machine):
    """The QEMU command and its -machine."""
    words = machine["QEMU"].split()
    return f"`{words[0]} -machine {words[words.index('-machine') + 1]}`"


def docs_table(kind, machines):
    """The Markdown lines of the table KIND: "machines" (what each machine
    boots, for the README), "build" (how each architecture's image is
    compiled and linked) or "firmware" (what each firmware build cannot
    boot)."""
    if kind == "machines":
        lines = ["| `--machine` | image, boot file | U-Boot build | QEMU | buses (default first) | media | enforces Secure Boot |",
                 "|---|---|---|---|---|---|---|"]
        for machine in machines.values():
            lines.append(f"| `{machine.name}` | `quillmere{machine.arch}.efi`, `{machine.boot_file}` "
                         f"| `{firmware_build(machine)}` | {qemu_machine(machine)} "
                         f"| {', '.join(machine.words('Buses'))} | {', '.join(machine.words('Media'))} "
                         f"| {machine['Authenticates']} |")
        return lines
    if kind == "build":
        lines = ["| architecture | PE machine | clang++ target flags | link |", "|---|---|---|---|"]
        for machine in machines.values():
            if machine.arch == machine.name:
                link = machine["Link"]
                link = "`ld.lld`, then `scripts/elf2efi.py`" if link == "elf" else f"`lld-link /machine:{link.split()[1]}`"
                lines.append(f"| `{machine.name}` | {machine['PE-Machine']} | `{machine['Compile']}` | {link} |")
        return lines
    if kind == "firmware":
        lines = ["| `--machine` | U-Boot build (Debian package) | cannot boot |", "|---|---|---|"]
        for machine in machines.values():
            lines.append(f"| `{machine.name}` | `{firmware_build(machine)}` (`{machine['Firmware-Package']}`) "
                         f"| {machine['Cannot']} |")
        return lines
    raise TableError(f"no table {kind!r} (machines, build or firmware)")


def update_docs(page, check_only, machines=None):
    """Writes every table between its markers in PAGE, or with CHECK_ONLY
    says whether each is there already. Returns the faults, one line each."""
    machines = load() if machines is None else machines
    before, after = (re.escape(part) for part in DOCS_BEGIN.split("{}"))
    marked = re.compile(f"({before}(\\w+){after}\n)(.*?)({re.escape(DOCS_END)})", re.S)
    content = page.read_text()
    faults = []

    def table(match):
        lines = "\n".join(docs_table(match.group(2), machines)) + "\n"
        if check_only and match.group(3) != lines:
            faults.append(f"{page}: the {match.group(2)} table is not the table of scripts/machines.txt")
        return match.group(1) + lines + match.group(4)

    wanted, count = marked.subn(table, content)
    if count == 0:
        faults.append(f"{page}: no table markers ({DOCS_BEGIN.format('NAME')} ... {DOCS_END})")
    elif not check_only and wanted != content:
        page.write_text(wanted)
    return faults


def main():
    parser = argparse.ArgumentParser(prog="machines", description=__doc__.split("\n\n")[0])
    action = parser.add_mutually_exclusive_group(required=True)
    action.add_argument("--write-docs", action="store_true",
                        help="write the tables of machines into each PAGE between its markers")
    action.add_argument("--check-docs", action="store_true",
                        help="exit 1 when a PAGE shows other tables than scripts/machines.txt makes")
    parser.add_argument("pages", nargs="+", type=Path, metavar="PAGE")
    arguments = parser.parse_args()
    faults = []
    for page in arguments.pages:
        try:
            faults += update_docs(page, arguments.check_docs)
        except (OSError, TableError) as error:
            faults.append(f"{page}: {error}")
    for fault in faults:
        print(f"machines: {fault}", file=sys.stderr)
    if faults and arguments.check_docs:
        print(f"machines: run python3 scripts/machines.py --write-docs {' '.join(map(str, arguments.pages))}",
              file=sys.stderr)
    sys.exit(1 if faults else 0)


if __name__ == "__main__":
    main()
