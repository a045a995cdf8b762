#!/usr/bin/env bash
# Size and stack report of the built images, quillmerex64.efi,
# quillmereaa64.efi, quillmereriscv64.efi, quillmereia32.efi and
# quillmerearm.efi: each image's size with each section's raw size, and the
# deepest stack one ConsolePrint call and the whole run from ApplicationEntry
# can use, with the chain of functions.
#
#   scripts/image-report.sh [--check] [--arch x64|aa64|riscv64|ia32|arm] [build-dir]    (default build)
#   scripts/image-report.sh --write-docs|--check-docs [PAGE] [build-dir]
#                                  (default page docs/size-and-stack.md)
#
# Builds nothing: run it after building the tree. With --arch only that
# image is reported. With --check the exit status is 1 when an image is over
# its budget (each architecture's module in scripts/image_arch says its own)
# or a ConsolePrint chain over 1024 bytes of stack; 2 when the report cannot
# be made. --write-docs writes the report of every image into PAGE between
# its markers; --check-docs exits 1 when PAGE shows another report.
[ -n "${BASH_VERSION:-}" ] || exec bash "$0" "$@"
set -euo pipefail

source "$(dirname "$0")/common.sh"
# A fault in the call is status 2 here; 1 is a budget exceeded.
fail() { echo "image-report: $*" >&2; exit 2; }

options=()
build=
while [ $# -gt 0 ]; do
  case "$1" in
    --check) options+=(--check); shift ;;
    --arch) [ $# -ge 2 ] && [ -n "$2" ] || fail "option --arch needs a value"
            options+=(--arch "$2"); shift 2 ;;
    --write-docs|--check-docs)
      page=$(cd "$(dirname "$0")/.." && pwd)/docs/size-and-stack.md
      if [ $# -ge 2 ] && [[ $2 == *.md ]]; then page=$(realpath -m -- "$2"); options+=("$1" "$page"); shift 2
      else options+=("$1" "$page"); shift; fi ;;
    -h|--help) show_help; exit 0 ;;
    -*) fail "unknown option $1 (see --help)" ;;
    *) [ -z "$build" ] || fail "one build directory only"; build=$1; shift ;;
  esac
done
here=$(dirname "$0")
objdump=$(command -v llvm-objdump || command -v llvm-objdump-14 || true)
[ -n "$objdump" ] || fail "no llvm-objdump (Debian package llvm)"
exec python3 "$here/image_report.py" "${options[@]}" --objdump "$objdump" "${build:-build}"
