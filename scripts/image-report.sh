#!/usr/bin/env bash
# Size and stack report of a built image: the size of quillmere.efi with each
# section's raw size, and the deepest stack one ConsolePrint call and the
# whole run from ApplicationEntry can use, with the chain of functions.
#
#   scripts/image-report.sh [--check] [build-dir]    (default build)
#
# Builds nothing: run it after building the tree. With --check the exit status
# is 1 when the image is over 8192 bytes or the ConsolePrint chain over 1024
# bytes of stack; 2 when the report cannot be made.
set -euo pipefail

check=()
if [ "${1:-}" = --check ]; then
  check=(--check)
  shift
fi
build=${1:-build}
here=$(dirname "$0")
objdump=$(command -v llvm-objdump || command -v llvm-objdump-14 || true)
if [ -z "$objdump" ]; then
  echo "image-report: no llvm-objdump (Debian package llvm)" >&2
  exit 2
fi
exec python3 "$here/image_report.py" "${check[@]}" --objdump "$objdump" "$build"
