#!/usr/bin/env bash
# Builds the image, puts it on a fresh disk image and boots it under U-Boot's
# UEFI firmware in QEMU (no display, no network). Prints the report from
# "Print Nodes:" through the firmware's text form of the path and exits as
# soon as it is complete.
#
#   scripts/boot.sh [options]
#     --arch x64|aa64|riscv64|ia32|arm
#                        the machine and image: x64 boots build/quillmerex64.efi
#                        on a PC, aa64 build/quillmereaa64.efi on an AArch64
#                        virt board, riscv64 build/quillmereriscv64.efi on a
#                        RISC-V virt board, ia32 build/quillmereia32.efi on a
#                        PC with 32-bit firmware, arm build/quillmerearm.efi
#                        on an ARMv7 virt board (default x64)
#     --bus BUS          how the disk is attached; x64 and ia32: ide, ahci,
#                        virtio, usb; aa64: virtio, nvme, ahci, usb; riscv64:
#                        virtio, ahci; arm: virtio, ahci, usb (default ide on
#                        x64 and ia32, virtio on the others)
#     --layout gpt|mbr   disk layout (default gpt)
#     --start SECTORS    first sector of the system partition
#     --size SECTORS     length of the system partition in sectors
#     --guid GUID        GPT: unique partition GUID of the system partition
#     --signature HEX    MBR: 32-bit disk signature in hexadecimal, 0x optional
#                        (5EC7A1B2 or 0x5EC7A1B2)
#     --console          show the whole firmware console, not only the report
#     --options WORDS    hand WORDS to the image as its load options, as
#                        U-Boot's bootargs (for example 'quillmere.wait=10');
#                        the boot ends once the report is complete
#     --timeout SECS     give up when the report is not complete by then (default 60)
#     --image FILE       boot FILE instead of building the image
#     --secure-boot      boot with Secure Boot enforcing (aa64, over virtio):
#                        sign the image, enroll db, KEK and PK at U-Boot's
#                        prompt, check that SecureBoot reads 1, boot the
#                        signed image (its report), then show the unsigned
#                        image refused
#     --keys DIR         with --secure-boot: the key set to sign and enroll
#                        with, as scripts/make-keys.sh makes it (default: a
#                        fresh set in a temporary folder, removed afterwards)
#
# Every option is checked before anything is built. Exit status 0 when the
# report was seen whole (and, with --secure-boot, the unsigned image was
# refused); otherwise 1 with one line saying why. Missing Debian packages are
# installed when run as root; nothing else needs root.
set -euo pipefail

fail() { echo "boot: $*" >&2; exit 1; }
value() { [ $# -ge 2 ] && [ -n "$2" ] || fail "option $1 needs a value"; }

source "$(dirname "$0")/machines.sh"

arch=x64
bus=
disk_options=()
run_options=()
timeout=60
image=
secure_boot=0
keys=
while [ $# -gt 0 ]; do
  case "$1" in
    --arch) value "$@"; arch=$2; shift 2 ;;
    --bus) value "$@"; bus=$2; shift 2 ;;
    --layout|--start|--size|--guid|--signature) value "$@"; disk_options+=("$1" "$2"); shift 2 ;;
    --console) run_options+=(--console); shift ;;
    --options)
      [ $# -ge 2 ] || fail "option $1 needs a value"
      [[ $2 != *"'"* ]] || fail "the options may not hold a single quote"
      run_options+=(--options "$2"); shift 2 ;;
    --timeout) value "$@"; timeout=$2; shift 2 ;;
    --image) value "$@"; image=$2; shift 2 ;;
    --secure-boot) secure_boot=1; shift ;;
    --keys) value "$@"; keys=$2; shift 2 ;;
    -h|--help) sed -n '2,/^set -e/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) fail "unknown option $1 (see --help)" ;;
  esac
done
bus=${bus:-$(default_bus "$arch")}
message=$(check_machine "$arch" "$bus") || fail "$message"
[[ $timeout =~ ^[1-9][0-9]*$ ]] || fail "bad timeout $timeout (a whole number of seconds, at least 1)"
if [ "$secure_boot" = 1 ]; then
  machine_authenticates "$arch" ||
    fail "the $arch firmware (U-Boot's build for it) does not authenticate images, so --secure-boot has nothing to show there; it works with --arch aa64"
  [ "$bus" = virtio ] || fail "--secure-boot attaches the disk over virtio, not $bus"
  [ "${#run_options[@]}" = 0 ] || fail "--secure-boot shows the report and the refusal; --console is not for it"
  if [ -n "$keys" ]; then
    for file in db.key db.crt PK.auth KEK.auth db.auth; do
      [ -f "$keys/$file" ] || fail "no $file in $keys (make a key set with scripts/make-keys.sh)"
    done
    keys=$(realpath "$keys")
  fi
elif [ -n "$keys" ]; then
  fail "--keys is for --secure-boot"
fi
if [ -n "$image" ]; then
  [ -f "$image" ] || fail "no image at $image"
  image=$(realpath "$image")
fi
cd "$(dirname "$0")/.."
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The disk options are checked by the script that uses them, without making
# anything, against the place the disk will be made; its message is passed
# on under this command's name.
if ! message=$(scripts/make-disk.sh --check --arch "$arch" "${disk_options[@]}" "" "$work/disk.img" 2>&1); then
  message=${message#make-disk: }
  fail "${message//$work/$(dirname "$work") (the temporary folder, TMPDIR)}"
fi

read -ra packages <<<"$(machine_packages "$arch" | tr '\n' ' ') mtools dosfstools fdisk"
[ "$secure_boot" = 0 ] || packages+=(sbsigntool efitools openssl python3)
# Configuring needs what the test tree finds too (GoogleTest, llvm-objdump).
[ -n "$image" ] || packages+=(cmake make clang lld llvm libgtest-dev python3)
source scripts/install-packages.sh
install_packages "${packages[@]}" 2> >(sed "s/^/boot: /" >&2) || exit 1

if [ -z "$image" ]; then
  mkdir -p build
  # Configured every time: a configure that failed halfway (a package was
  # missing) leaves a cache behind but no build files.
  if ! { cmake -S . -B build -DCMAKE_CXX_COMPILER=clang++ &&
         cmake --build build --target quillmere_image; } >build/boot-build.log 2>&1; then
    fail "building the image failed (see build/boot-build.log)"
  fi
  image=build/quillmere$arch.efi
fi
[ -f "$image" ] || fail "no image at $image"

if [ "$secure_boot" = 1 ]; then
  # The image is signed as a copy, so a build's own images stay unsigned.
  if [ -z "$keys" ]; then
    keys=$work/keys
    message=$(scripts/make-keys.sh "$keys" 2>&1 >/dev/null) || fail "${message#make-keys: }"
    echo "keys: a fresh PK, KEK and db in a temporary folder"
  else
    echo "keys: $keys"
  fi
  cp "$image" "$work/signed.efi"
  cp "$image" "$work/unsigned.efi"
  message=$(scripts/sign.sh --key "$keys/db.key" --cert "$keys/db.crt" "$work/signed.efi" 2>&1 >/dev/null) ||
    fail "${message#sign: }"
  facts=$(scripts/make-disk.sh --arch "$arch" "${disk_options[@]}" "$work/signed.efi.signed" "$work/disk.img" 2>&1) ||
    fail "${facts#make-disk: }"
  number=$(sed -n 's/^number=//p' <<<"$facts")
  start=$(sed -n 's/^start=//p' <<<"$facts")
  # Beside the boot file, at the top of the system partition: the unsigned
  # image and the authenticated writes of the three variables.
  for file in "$work/signed.efi.signed" "$work/unsigned.efi" "$keys/PK.auth" "$keys/KEK.auth" "$keys/db.auth"; do
    name=$(basename "$file")
    [ "$name" != signed.efi.signed ] || name=signed.efi
    MTOOLS_SKIP_CHECK=1 mcopy -i "$work/disk.img@@$((start * 512))" "$file" "::/$name" ||
      fail "mcopy could not put $name on the system partition"
  done
  status=0
  python3 scripts/secure_boot.py --arch "$arch" --partition "$number" --timeout $((timeout + 120)) \
    "$work/disk.img" signed.efi unsigned.efi 2> >(sed 's/^secure-boot: /boot: /' >&2) || status=$?
  wait
  exit "$status"
fi

if ! message=$(scripts/make-disk.sh --arch "$arch" "${disk_options[@]}" "$image" "$work/disk.img" 2>&1 >/dev/null); then
  fail "${message#make-disk: }"
fi
if ! scripts/run-firmware.sh --arch "$arch" --bus "$bus" --timeout "$timeout" "${run_options[@]}" \
       "$work/disk.img" 2> >(sed 's/^run-firmware: /boot: /' >&2); then
  wait
  exit 1
fi
