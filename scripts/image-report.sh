#!/usr/bin/env bash
# Size and stack report of the built images, quillmerex64.efi,
# quillmereaa64.efi, quillmereriscv64.efi, quillmereia32.efi and
# quillmerearm.efi: each image's size with each section's raw size, and the
# deepest stack one ConsolePrint call and the whole run from ApplicationEntry
# can use, with the chain of functions.
#
#   scripts/image-report.sh [--check] [--arch x64|aa64|riscv64|ia32|arm] [build-dir]    (default build)
#
# Builds nothing: run it after building the tree. With --arch only that
# image is reported. With --check the exit status is 1 when an image is over
# its budget (x64, ia32 and arm 8704 bytes, aa64 and riscv64 9216 bytes, each
# with 512 more for .sbat) or a ConsolePrint chain over 1024 bytes of stack; 2
# when the report cannot be made.
set -euo pipefail

fail() { echo "image-report: $*" >&2; exit 2; }

options=()
build=
while [ $# -gt 0 ]; do
  case "$1" in
    --check) options+=(--check); shift ;;
    --arch) [ $# -ge 2 ] && [ -n "$2" ] || fail "option --arch needs a value"
            options+=(--arch "$2"); shift 2 ;;
    -h|--help) sed -n '2,/^set -e/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    -*) fail "unknown option $1 (see --help)" ;;
    *) [ -z "$build" ] || fail "one build directory only"; build=$1; shift ;;
  esac
done
here=$(dirname "$0")
objdump=$(command -v llvm-objdump || command -v llvm-objdump-14 || true)
[ -n "$objdump" ] || fail "no llvm-objdump (Debian package llvm)"
exec python3 "$here/image_report.py" "${options[@]}" --objdump "$objdump" "${build:-build}"
