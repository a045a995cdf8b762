# Sourced by every command in scripts/ (each first makes sure bash runs it:
# `sh scripts/boot.sh` re-executes itself under bash). Gives the command's
# messages their prefix, its --help from its own header, the option loop, and
# a PATH that holds the system tool folders: sfdisk and mkfs.vfat live in
# /usr/sbin, which an ordinary user's PATH leaves out.

COMMAND=$(basename "$0" .sh)

# One line on stderr, "COMMAND: WHY", and exit status 1.
fail() { echo "$COMMAND: $*" >&2; exit 1; }

# The script's header comment, from its second line to `set -e`, as text.
show_help() { sed -n '2,/^set -/{ /^#/p; }' "$0" | sed 's/^# \{0,1\}//'; }

for folder in /usr/local/sbin /usr/sbin /sbin; do
  case ":$PATH:" in *":$folder:"*) ;; *) PATH=$PATH:$folder ;; esac
done
export PATH

# parse_options SPEC... -- ARGUMENT...
# Reads the options of ARGUMENT... as SPEC says, each SPEC an option's name
# and what becomes of its value:
#   --name=VAR     a value that may not be empty, into VAR
#   --name:VAR     a value that may be empty, into VAR
#   --name!VAR     no value: VAR=1
#   --name+ARRAY   a value, not empty, appended with the option's name to
#                  ARRAY (options passed on to another script)
# -h and --help print the header and exit 0; an unknown option or a missing
# value fails with one line. What is not an option (and everything after
# "--") is left in ARGUMENTS, in its order; `given --name` says whether an
# option was given.
declare -A GIVEN=()
given() { [ -n "${GIVEN[$1]:-}" ]; }
parse_options() {
  local -A kind=() target=()
  local option
  while [ $# -gt 0 ] && [ "$1" != -- ]; do
    [[ $1 =~ ^(--[a-z0-9-]+)([=:!+])([A-Za-z_][A-Za-z0-9_]*)$ ]] || fail "bad option table entry $1"
    kind[${BASH_REMATCH[1]}]=${BASH_REMATCH[2]}
    target[${BASH_REMATCH[1]}]=${BASH_REMATCH[3]}
    shift
  done
  shift
  ARGUMENTS=()
  while [ $# -gt 0 ]; do
    option=$1
    case "$option" in
      -h|--help) show_help; exit 0 ;;
      --) shift; ARGUMENTS+=("$@"); return ;;
      -?*) ;;
      *) ARGUMENTS+=("$option"); shift; continue ;;
    esac
    [ -n "${kind[$option]:-}" ] || fail "unknown option $option (see --help)"
    GIVEN[$option]=1
    case "${kind[$option]}" in
      '!') printf -v "${target[$option]}" 1; shift; continue ;;
      ':') [ $# -ge 2 ] || fail "option $option needs a value" ;;
      *) [ $# -ge 2 ] && [ -n "$2" ] || fail "option $option needs a value" ;;
    esac
    if [ "${kind[$option]}" = + ]; then
      eval "${target[$option]}+=(\"\$option\" \"\$2\")"
    else
      printf -v "${target[$option]}" '%s' "$2"
    fi
    shift 2
  done
}

# Unsigned little-endian number of WIDTH bytes at OFFSET in FILE; empty when
# the file is shorter.
read_number() { od -An -t "u$3" -j "$2" -N "$3" "$1" | tr -d ' '; }

# pe_image FILE: fails unless FILE is an EFI application (MZ and PE
# headers, a PE32 or PE32+ optional header, subsystem 10). Sets PE_HEADER
# (the PE signature's offset), PE_MACHINE (the machine field, 0x and four
# upper-case digits) and PE_DIRECTORIES (the offset of the data directories).
pe_image() {
  local file=$1 subsystem
  [ -f "$file" ] && [ -r "$file" ] || fail "cannot read the image $file"
  [ "$(head -c 2 "$file")" = MZ ] || fail "$file is not an EFI application (no MZ header)"
  PE_HEADER=$(read_number "$file" 60 4)
  [ -n "$PE_HEADER" ] && [ "$(head -c $((PE_HEADER + 4)) "$file" | tail -c 4 | od -An -c | tr -d ' ')" = 'PE\0\0' ] ||
    fail "$file is not an EFI application (no PE header)"
  case "$(read_number "$file" $((PE_HEADER + 24)) 2)" in
    523) PE_DIRECTORIES=$((PE_HEADER + 24 + 112)) ;;  # PE32+
    267) PE_DIRECTORIES=$((PE_HEADER + 24 + 96)) ;;   # PE32
    *) fail "$file is not an EFI application (no PE32 or PE32+ optional header)" ;;
  esac
  subsystem=$(read_number "$file" $((PE_HEADER + 24 + 68)) 2)
  [ "$subsystem" = 10 ] || fail "$file is not an EFI application (subsystem $subsystem, not 10)"
  PE_MACHINE=$(printf '0x%04X' "$(read_number "$file" $((PE_HEADER + 4)) 2)")
}
