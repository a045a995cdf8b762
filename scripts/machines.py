"""The table of machines, scripts/machines.txt, as Python reads it: load()
gives each machine by name, a board's entry completed with what its
architecture's own entry says of the image (boot file, PE machine, compile
and link)."""
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
