# Sourced by the shell commands: the table of machines, scripts/machines.txt,
# as the shell reads it (scripts/machines.py reads it for Python,
# cmake/Machines.cmake for CMake).

MACHINES_TABLE=$(dirname "${BASH_SOURCE[0]}")/machines.txt

# machine_field NAME FIELD: the field's value in NAME's entry; a board's
# image fields (Boot-File, PE-Machine, Compile, Link) come from the entry of
# its architecture. Nothing is printed for a field the entry lacks; status 1
# for an unknown NAME.
machine_field() {
  LC_ALL=C awk -v name="$1" -v want="$2" '
    /^#/ { next }
    /^[ \t]*$/ { entry = ""; next }
    {
      field = $0; sub(/:.*/, "", field)
      value = $0; sub(/^[^:]*:[ \t]*/, "", value); sub(/[ \t]+$/, "", value)
      if (field == "Name") { entry = value; known[value] = 1 }
      table[entry, field] = value
    }
    END {
      if (!(name in known)) exit 1
      value = table[name, want]
      if (value == "" && want ~ /^(Boot-File|PE-Machine|Compile|Link)$/)
        value = table[table[name, "Architecture"], want]
      if (value != "") print value
    }' "$MACHINES_TABLE"
}

# The names of the machines, one a line, in the table's order.
machine_names() { LC_ALL=C sed -n 's/^Name:[ \t]*//p' "$MACHINES_TABLE"; }

# The architectures: the machines named after their own architecture.
machine_architectures() {
  local name
  for name in $(machine_names); do
    [ "$(machine_field "$name" Architecture)" != "$name" ] || echo "$name"
  done
}

# Whether the space-separated LIST holds WORD.
holds() { [[ " $1 " == *" $2 "* ]]; }

# check_machine NAME MEDIUM BUS: fails with one line on stdout unless NAME is
# a machine whose firmware boots MEDIUM (and, for a disk or superfloppy, from
# BUS).
check_machine() {
  local name=$1 medium=$2 bus=$3 media buses
  if ! media=$(machine_field "$name" Media); then
    echo "unknown machine $name ($(machine_names | paste -sd, - | sed 's/,/, /g'))"
    return 1
  fi
  if ! holds "$media" "$medium"; then
    echo "the $name firmware cannot boot from $medium; it boots from ${media// /, }"
    return 1
  fi
  buses=$(machine_field "$name" Buses)
  case "$medium" in
    disk|superfloppy)
      holds "$buses" "$bus" || { echo "the $name firmware cannot boot from bus $bus; it boots from ${buses// /, }"; return 1; } ;;
  esac
}

# The Debian packages that boot NAME: its QEMU, the U-Boot build when Debian
# installs it for this machine, and what else its entry names. A board's
# U-Boot is for another architecture: it is fetched, not installed.
machine_packages() {
  local firmware
  firmware=$(machine_field "$1" Firmware-Package)
  echo "$(machine_field "$1" QEMU-Package) $(machine_field "$1" Packages)"
  [[ $firmware == *:* ]] || echo "$firmware"
}
