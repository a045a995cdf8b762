#!/usr/bin/env bash
# Builds quillmere.efi, puts it on a fresh disk image and boots it under
# U-Boot's UEFI firmware in QEMU (no display, no network). Prints the report
# from "Print Nodes:" through the firmware's text form of the path and exits as
# soon as it is complete.
#
#   scripts/boot.sh [options]
#     --layout gpt|mbr   disk layout (default gpt)
#     --console          show the whole firmware console, not only the report
#     --timeout SECS     give up when the report is not complete by then (default 60)
#     --image FILE       boot FILE instead of building build/quillmere.efi
#
# Exit status 0 when the report was seen whole; otherwise non-zero with one
# line saying why. Missing Debian packages are installed when run as root;
# nothing else needs root.
set -euo pipefail

fail() { echo "boot: $*" >&2; exit 1; }

layout=gpt
run_options=()
image=
while [ $# -gt 0 ]; do
  case "$1" in
    --layout) layout=${2:?}; shift 2 ;;
    --console) run_options+=(--console); shift ;;
    --timeout) run_options+=(--timeout "${2:?}"); shift 2 ;;
    --image) image=${2:?}; shift 2 ;;
    -h|--help) sed -n '2,/^set -e/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) fail "unknown option $1 (see --help)" ;;
  esac
done
case "$layout" in gpt|mbr) ;; *) fail "unknown layout $layout (gpt or mbr)" ;; esac
if [ -n "$image" ]; then
  [ -f "$image" ] || fail "no image at $image"
  image=$(realpath "$image")
fi
cd "$(dirname "$0")/.."

packages=(qemu-system-x86 u-boot-qemu mtools dosfstools fdisk)
# Configuring needs what the test tree finds too (GoogleTest, llvm-objdump).
[ -n "$image" ] || packages+=(cmake make clang lld llvm libgtest-dev python3)
source scripts/install-packages.sh
install_packages "${packages[@]}" || exit 1

if [ -z "$image" ]; then
  mkdir -p build
  # Configured every time: a configure that failed halfway (a package was
  # missing) leaves a cache behind but no build files.
  if ! { cmake -S . -B build -DCMAKE_CXX_COMPILER=clang++ &&
         cmake --build build --target quillmere_image; } >build/boot-build.log 2>&1; then
    fail "building the image failed (see build/boot-build.log)"
  fi
  image=build/quillmere.efi
fi
[ -f "$image" ] || fail "no image at $image"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
scripts/make-disk.sh --layout "$layout" "$image" "$work/disk.img" >/dev/null
scripts/run-firmware.sh "${run_options[@]}" "$work/disk.img"
