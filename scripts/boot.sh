#!/usr/bin/env bash
# Builds the images, puts one on a fresh medium and boots it under U-Boot's
# UEFI firmware in QEMU (no display). Prints the image's own lines, the
# report among them from "Print Nodes:" through the firmware's text form of
# the path, and ends once the image has returned to the firmware.
#
#   scripts/boot.sh [options]
#     --arch x64|aa64|riscv64|ia32|arm
#                        the image and its QEMU machine (default x64)
#     --machine NAME     any machine of scripts/machines.txt: the
#                        architectures' own, or a board (orangepi_plus,
#                        rpi_3), whose U-Boot build is fetched from Debian
#                        into a cache the first time
#                        (~/.cache/quillmere/firmware; nothing is installed)
#     --medium MEDIUM    disk: a partitioned disk on --bus (default);
#                        network: no disk, QEMU's TFTP serves the image to an
#                        e1000 card and U-Boot's boot order loads it;
#                        cdrom: an El Torito ISO on a USB CD-ROM (x64, aa64);
#                        superfloppy: one FAT over the whole disk, no
#                        partition table, loaded by a typed command since the
#                        boot order wants a partition table;
#                        sd: the boards' SD card (their only medium)
#     --bus BUS          how the disk or superfloppy is attached: one of the
#                        machine's Buses in scripts/machines.txt, the first
#                        by default (x64: ide, ahci, virtio, usb)
#     --mac MAC          network: the card's MAC (default a random
#                        52:54:00:xx:xx:xx)
#     --layout gpt|mbr   disk layout (default gpt; mbr on orangepi_plus)
#     --start SECTORS    first sector of the system partition
#     --size SECTORS     length of the system partition in sectors
#     --guid GUID        GPT: unique partition GUID of the system partition
#     --signature HEX    MBR: 32-bit disk signature in hexadecimal, 0x optional
#                        (5EC7A1B2 or 0x5EC7A1B2)
#     --options WORDS    hand WORDS to the image as its load options: autoboot
#                        is stopped and WORDS typed as U-Boot's bootargs (a
#                        backslash arrives as it is; a double quote cannot be
#                        typed). With quillmere.report=PATH the disk takes the
#                        firmware's writes and the file is read back and
#                        printed after the boot
#     --keep-disk FILE   make the disk at FILE (never over an existing file),
#                        let the firmware write to it, and keep it
#     --console          show the whole firmware console, not only the
#                        image's lines
#     --timeout SECS     give up when the boot is not over by then (default 60)
#     --image FILE       boot FILE instead of building the images
#     --secure-boot      boot with Secure Boot enforcing (aa64, over virtio):
#                        sign the image, enroll db, KEK and PK at U-Boot's
#                        prompt, check that SecureBoot reads 1, boot the
#                        signed image (its report), then show the unsigned
#                        image refused
#     --keys DIR         with --secure-boot: the key set to sign and enroll
#                        with, as scripts/make-keys.sh makes it (default: a
#                        fresh set in a temporary folder, removed afterwards)
#
# Every option is checked before anything is installed or built, and an
# image for another machine is refused by its PE header. Exit status 0 when
# the report came whole and the image returned success (and, with
# --secure-boot, the unsigned image was refused); 2 when the report came
# whole but the image returned an error (U-Boot's "## Application failed, r
# = N" line is shown, and one line names the status); otherwise 1 with one
# line saying why, in U-Boot's words where it gave any. Missing Debian
# packages are installed when run as root; nothing else needs root.
[ -n "${BASH_VERSION:-}" ] || exec bash "$0" "$@"
set -euo pipefail

source "$(dirname "$0")/common.sh"
source "$(dirname "$0")/machines.sh"

arch=
machine=
medium=
bus=
mac=
disk_options=()
console=0
options=
timeout=60
image=
secure_boot=0
keys=
keep=
parse_options --arch=arch --machine=machine --medium=medium --bus=bus --mac=mac \
  --layout+disk_options --start+disk_options --size+disk_options --guid+disk_options --signature+disk_options \
  --console!console --options:options --keep-disk=keep --timeout=timeout --image=image \
  --secure-boot!secure_boot --keys=keys -- "$@"
[ ${#ARGUMENTS[@]} = 0 ] || fail "unexpected argument ${ARGUMENTS[0]} (see --help)"
progress() { echo "boot: $*" >&2; }

if [ -n "$arch" ]; then
  [ "$(machine_field "$arch" Architecture 2>/dev/null)" = "$arch" ] ||
    fail "unknown architecture $arch ($(machine_architectures | paste -sd' ' | sed 's/ / or /g'))"
  [ -z "$machine" ] || [ "$(machine_field "$machine" Architecture 2>/dev/null)" = "$arch" ] ||
    fail "--machine $machine is not an $arch machine"
fi
machine=${machine:-${arch:-x64}}
media=$(machine_field "$machine" Media) ||
  fail "unknown machine $machine ($(machine_names | paste -sd' ' | sed 's/ /, /g'))"
arch=$(machine_field "$machine" Architecture)
medium=${medium:-${media%% *}}
case "$medium" in
  disk|superfloppy) buses=$(machine_field "$machine" Buses); bus=${bus:-${buses%% *}} ;;
  *) [ -z "$bus" ] || fail "--bus is for the disk and superfloppy media, not $medium" ;;
esac
message=$(check_machine "$machine" "$medium" "$bus") || fail "$message"
if [ "$medium" = network ]; then
  [ ${#disk_options[@]} = 0 ] || fail "${disk_options[0]} is for a disk; the network medium has none"
  [ -z "$keep" ] || fail "--keep-disk: the network medium has no disk"
  if [ -z "$mac" ]; then
    mac=$(printf '52:54:00:%02x:%02x:%02x' $((RANDOM % 256)) $((RANDOM % 256)) $((RANDOM % 256)))
  fi
  [[ $mac =~ ^[0-9a-fA-F]{2}(:[0-9a-fA-F]{2}){5}$ ]] || fail "bad MAC $mac (six pairs of hexadecimal digits, 52:54:00:ab:cd:ef)"
  (( (16#${mac:0:2} & 1) == 0 )) || fail "bad MAC $mac: its first byte is odd, a group address, which no card has"
  mac=${mac,,}
else
  [ -z "$mac" ] || fail "--mac is for the network medium"
fi
[[ $options != *'"'* ]] || fail "the options may not hold a double quote: U-Boot's shell has no way to type one"
[[ $timeout =~ ^[1-9][0-9]*$ ]] || fail "bad timeout $timeout (a whole number of seconds, at least 1)"
if [ "$secure_boot" = 1 ]; then
  [ "$(machine_field "$machine" Authenticates)" = yes ] ||
    fail "the $machine firmware (U-Boot's build for it) does not authenticate images, so --secure-boot has nothing to show there; it works with --arch aa64"
  [ "$medium" = disk ] && [ "$bus" = virtio ] || fail "--secure-boot attaches the disk over virtio, not $medium${bus:+ on $bus}"
  [ "$console" = 0 ] && ! given --options && [ -z "$keep" ] ||
    fail "--secure-boot shows the report and the refusal; --console, --options and --keep-disk are not for it"
  if [ -n "$keys" ]; then
    for file in db.key db.crt PK.auth KEK.auth db.auth; do
      [ -f "$keys/$file" ] || fail "no $file in $keys (make a key set with scripts/make-keys.sh)"
    done
    keys=$(realpath "$keys")
  fi
elif [ -n "$keys" ]; then
  fail "--keys is for --secure-boot"
fi
# A card whose firmware sits where a GPT's entries are takes an MBR.
if [ "$medium" = sd ] && [ -n "$(machine_field "$machine" Firmware-Offset)" ] && ! given --layout; then
  disk_options+=(--layout mbr)
fi
if [ -n "$image" ]; then
  [ -f "$image" ] || fail "no image at $image"
  image=$(realpath "$image")
fi
[ -z "$keep" ] || keep=$(realpath -m -- "$keep")
cd "$(dirname "$0")/.."

# Every temporary file is in WORK, which goes on every way out.
work=
trap '[ -z "$work" ] || rm -rf "$work"' EXIT
trap 'exit 130' INT TERM HUP
work=$(mktemp -d "${TMPDIR:-/tmp}/quillmere-boot.XXXXXX")
disk=${keep:-$work/disk.img}
# The medium's options, and the image when given, are checked by the script
# that makes the medium, without making anything; its message is passed on
# under this command's name.
check_medium=$medium
[ "$medium" != network ] || check_medium=disk
if ! message=$(scripts/make-disk.sh --check --machine "$machine" --medium "$check_medium" "${disk_options[@]}" \
                 "${image:-}" "$disk" 2>&1); then
  message=${message#make-disk: }
  fail "${message//$work/$(dirname "$work") (the temporary folder, TMPDIR)}"
fi

read -ra packages <<<"$(machine_packages "$machine" | tr '\n' ' ') mtools dosfstools fdisk python3"
[ "$medium" != cdrom ] || packages+=(xorriso)
[ "$secure_boot" = 0 ] || packages+=(sbsigntool efitools openssl)
# Configuring needs what the test tree finds too (GoogleTest, llvm-objdump).
[ -n "$image" ] || packages+=(cmake make clang lld llvm libgtest-dev)
source scripts/install-packages.sh
install_packages "${packages[@]}" 2> >(sed "s/^/boot: /" >&2) || exit 1

firmware=()
if [[ $(machine_field "$machine" Firmware) == cache:* ]]; then
  path=$(python3 scripts/uboot.py --machine "$machine" --fetch 2> >(sed 's/^uboot: /boot: /; /^boot: /!s/^/boot: /' >&2)) ||
    exit 1
  wait
  [ -z "$(machine_field "$machine" Firmware-Offset)" ] || firmware=(--firmware "$path")
fi

if [ -z "$image" ]; then
  mkdir -p build
  progress "building the images (cmake; the log is build/boot-build.log)"
  # Configured every time: a configure that failed halfway (a package was
  # missing) leaves a cache behind but no build files.
  if ! { cmake -S . -B build -DCMAKE_CXX_COMPILER=clang++ &&
         cmake --build build --target quillmere_image; } >build/boot-build.log 2>&1; then
    fail "building the image failed (see build/boot-build.log)"
  fi
  image=$PWD/build/quillmere$arch.efi
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
  facts=$(scripts/make-disk.sh --machine "$machine" "${disk_options[@]}" "$work/signed.efi.signed" "$disk" 2>&1) ||
    fail "${facts#make-disk: }"
  number=$(sed -n 's/^number=//p' <<<"$facts")
  start=$(sed -n 's/^start=//p' <<<"$facts")
  # Beside the boot file, at the top of the system partition: the unsigned
  # image and the authenticated writes of the three variables.
  for file in "$work/signed.efi.signed" "$work/unsigned.efi" "$keys/PK.auth" "$keys/KEK.auth" "$keys/db.auth"; do
    name=$(basename "$file")
    [ "$name" != signed.efi.signed ] || name=signed.efi
    MTOOLS_SKIP_CHECK=1 mcopy -i "$disk@@$((start * 512))" "$file" "::/$name" ||
      fail "mcopy could not put $name on the system partition"
  done
  progress "booting the $machine machine with Secure Boot"
  status=0
  python3 scripts/secure_boot.py --machine "$machine" --partition "$number" --timeout $((timeout + 120)) \
    "$disk" signed.efi unsigned.efi 2> >(sed 's/^secure-boot: /boot: /' >&2) || status=$?
  wait
  exit "$status"
fi

run=(--machine "$machine" --medium "$medium" --timeout "$timeout")
[ "$console" = 0 ] || run+=(--console)
! given --options || run+=(--options "$options")
if [ "$medium" = network ]; then
  mkdir "$work/tftp"
  boot_file=$(machine_field "$machine" Boot-File)
  cp "$image" "$work/tftp/$boot_file"
  run+=(--tftp "$work/tftp" --boot-file "$boot_file" --mac "$mac")
  progress "booting the $machine machine from the network (e1000, MAC $mac)"
else
  facts=$(scripts/make-disk.sh --machine "$machine" --medium "$medium" "${disk_options[@]}" "${firmware[@]}" \
            "$image" "$disk" 2>&1) || fail "${facts#make-disk: }"
  run+=(--disk "$disk")
  [ -z "$bus" ] || run+=(--bus "$bus")
  # The firmware may write where the image is asked to write, or where the
  # disk is kept; otherwise its writes are dropped.
  if [ -n "$keep" ] || [[ " $options " == *" quillmere.report="* ]]; then
    run+=(--writable)
    start=$(sed -n 's/^start=//p' <<<"$facts")
    [ -z "$start" ] || run+=(--volume-offset $((start * 512)))
  fi
  progress "booting the $machine machine from its $medium${bus:+ on $bus}"
fi
status=0
python3 scripts/uboot.py "${run[@]}" 2> >(sed 's/^uboot: /boot: /' >&2) || status=$?
wait
[ -z "$keep" ] || progress "the disk is kept at $keep"
exit "$status"
