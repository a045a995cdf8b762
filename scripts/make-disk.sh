#!/usr/bin/env bash
# Makes a raw disk image that a machine's firmware boots IMAGE from, as
# EFI/BOOT/BOOTX64.EFI (or the machine's own boot file, scripts/machines.txt),
# the path firmware boots from removable media by itself. Needs no root:
# sfdisk writes the partition table into a sparse file, the FAT file system
# is made in a file of its own with mkfs.vfat and mtools and copied into
# place, so the partition may start anywhere a GPT reaches (mkfs.vfat
# --offset stops at 2 TiB).
#
#   make-disk.sh [options] IMAGE DISK
#     --machine NAME     a machine of scripts/machines.txt (default x64)
#     --arch ARCH        the same, for an architecture's own machine
#     --medium MEDIUM    disk: a partitioned disk (default);
#                        sd: the same as an SD card, its size a power of two,
#                        with the board's firmware where its boot ROM reads it
#                        (--firmware);
#                        superfloppy: one FAT over the whole disk, no
#                        partition table;
#                        cdrom: an El Torito ISO (xorriso) whose EFI boot
#                        image is a FAT of 2048-byte sectors, the CD's own
#                        sector size (U-Boot refuses a FAT of 512-byte
#                        sectors on a CD)
#     --layout gpt|mbr   partition table (default gpt)
#     --start SECTORS    first sector of the system partition
#     --size SECTORS     length of the system partition (superfloppy: of the
#                        disk) in sectors
#     --guid GUID        GPT: unique partition GUID of the system partition
#     --signature HEX    MBR: 32-bit disk signature in hexadecimal, 0x optional
#                        (5EC7A1B2 or 0x5EC7A1B2)
#     --second-esp       GPT: a second EFI system partition, number 3, right
#                        after the first, holding IMAGE as well
#     --logical          MBR: the system partition is logical partition 5 in
#                        an extended partition, after a logical partition 5
#                        that holds data (so the system partition is 6)
#     --firmware FILE    sd: the board firmware to write into the card
#     --force            replace DISK when it exists
#     --options-file WORDS
#                        also write WORDS (for example 'quillmere.wait=10') as
#                        the options file EFI/BOOT/quillmere-options.txt,
#                        which the image reads when no boot entry passes options
#     --check            check the options (and IMAGE and DISK, when given),
#                        make nothing
#
# IMAGE must be an EFI application for the machine: its PE header's machine
# field is read and another machine's image is refused.
# GPT: a 4 MiB data partition comes first, so the system partition is number 2.
# MBR: the system partition is number 1, type 0xEF, marked bootable.
# Sector numbers may be decimal or 0x-prefixed hexadecimal. DISK is never
# IMAGE; an existing DISK is refused unless --force is given; the disk is
# made under a temporary name beside DISK and moved into place only when it
# is complete. On success the facts are printed as KEY=VALUE lines: medium,
# layout, number, start, size (sectors, decimal), signature (GPT: the
# partition GUID; MBR: 0x-prefixed disk signature); a superfloppy's start is
# 0 and a CD's facts are its medium alone. With --second-esp or --logical,
# the other partition's facts follow as number2, start2, size2, signature2.
[ -n "${BASH_VERSION:-}" ] || exec bash "$0" "$@"
set -euo pipefail

source "$(dirname "$0")/common.sh"
source "$(dirname "$0")/machines.sh"

machine=x64
arch=
medium=disk
check_only=0
force=0
layout=gpt
start=
size=
guid=3F0A9C2E-71B4-4D6A-8E5C-B2D49A07F1E3
signature=5EC7A1B2
second_esp=
logical=0
firmware=
options_file=
parse_options --machine=machine --arch=arch --medium=medium --layout=layout --start=start --size=size \
  --guid=guid --signature=signature --second-esp=second_esp --logical!logical --firmware=firmware \
  --force!force --options-file:options_file --check!check_only -- "$@"
set -- "${ARGUMENTS[@]}"
if [ "$check_only" = 1 ]; then
  [ $# -le 2 ] || fail "usage: make-disk.sh --check [options] [IMAGE [DISK]]"
else
  [ $# -eq 2 ] || fail "usage: make-disk.sh [options] IMAGE DISK"
fi
image=${1:-}
disk=${2:-}
if [ -n "$arch" ]; then
  [ "$(machine_field "$arch" Architecture 2>/dev/null)" = "$arch" ] ||
    fail "unknown architecture $arch ($(machine_architectures | paste -sd' ' | sed 's/ / or /g'))"
  machine=$arch
fi
boot_file=$(machine_field "$machine" Boot-File) || fail "unknown machine $machine ($(machine_names | paste -sd' ' | sed 's/ /, /g'))"
case "$medium" in
  disk|sd|superfloppy|cdrom) ;;
  *) fail "unknown medium $medium (disk, sd, superfloppy or cdrom)" ;;
esac
if [ -n "$image" ]; then
  pe_image "$image"
  want=$(machine_field "$machine" PE-Machine)
  [ "$((PE_MACHINE))" = "$((want))" ] ||
    fail "$image is an EFI application for PE machine $PE_MACHINE; the $machine machine runs $want ($boot_file)"
fi
if [ -n "$disk" ]; then
  [ ! -d "$disk" ] || fail "$disk is a directory; DISK is the disk file to make"
  [ -z "$image" ] || [ ! "$disk" -ef "$image" ] || fail "DISK $disk is IMAGE itself; name another file"
  [ ! -e "$disk" ] || [ "$force" = 1 ] || fail "$disk exists; remove it or give --force to replace it"
  disk_dir=$(dirname -- "$disk")
  [ -d "$disk_dir" ] || fail "no directory $disk_dir for the disk"
  [ -w "$disk_dir" ] || fail "cannot write into $disk_dir"
fi
# 512 bytes at most, its line feed included: the image refuses a longer file whole.
[ "$(printf '%s\n' "$options_file" | wc -c)" -le 512 ] || fail "the options file holds at most 512 bytes"

# What each medium takes.
case "$medium" in
  superfloppy|cdrom)
    for option in --layout --start --guid --signature --second-esp --logical --firmware; do
      ! given "$option" || fail "$option is for partitioned media (disk or sd), not $medium"
    done
    [ "$medium" = superfloppy ] || ! given --size || fail "--size is not for a cdrom"
    ;;
  disk) [ -z "$firmware" ] || fail "--firmware is for the sd medium" ;;
esac
offset=$(machine_field "$machine" Firmware-Offset)
if [ "$medium" = sd ] && [ -n "$offset" ]; then
  [ -n "$firmware" ] || [ "$check_only" = 1 ] || fail "the $machine card needs its firmware (--firmware FILE)"
  [ -z "$firmware" ] || [ -f "$firmware" ] || fail "no firmware at $firmware"
  # The GPT's partition entries fill sectors 2 to 33.
  [ "$layout" = mbr ] || fail "the $machine boot ROM reads its firmware at byte $offset of the card, inside a GPT's partition entries; use --layout mbr"
elif [ -n "$firmware" ]; then
  fail "the $machine firmware is not written into the card"
fi

is_number() { [[ $1 =~ ^(0[xX][0-9a-fA-F]+|[0-9]+)$ ]]; }
case "$layout" in
  gpt) start=${start:-0x2800}; size=${size:-0xEC00}; number=2 ;;
  mbr) start=${start:-0x800}; size=${size:-0xBB80}; number=1 ;;
  *) fail "unknown layout $layout (gpt or mbr)" ;;
esac
if [ "$layout" = gpt ] && given --signature; then
  fail "--signature is for the mbr layout; a gpt disk takes --guid"
fi
if [ "$layout" = mbr ] && given --guid; then
  fail "--guid is for the gpt layout; an mbr disk takes --signature"
fi
[ "$layout" = gpt ] || [ -z "$second_esp" ] || fail "--second-esp is for the gpt layout"
[ "$layout" = mbr ] || [ "$logical" = 0 ] || fail "--logical is for the mbr layout"
[ "$medium" != superfloppy ] || start=0
is_number "$start" || fail "bad start $start"
is_number "$size" || fail "bad size $size"
start=$((start))
size=$((size))
# mkfs.vfat counts the file system in 1 KiB blocks, so the size must be even;
# a FAT12 volume needs a few hundred KiB at least; a FAT32 one, which
# mkfs.vfat makes from about 256 MiB on, ends at 2 TiB.
if [ $((size % 2)) -ne 0 ] || [ "$size" -lt 1024 ] || [ "$size" -gt $((0xFFFFFFFF)) ]; then
  fail "size must be an even number of sectors, at least 1024 and below 2^32"
fi
if [ -n "$second_esp" ]; then
  [[ $second_esp =~ ^[0-9a-fA-F]{8}(-[0-9a-fA-F]{4}){3}-[0-9a-fA-F]{12}$ ]] || fail "bad GUID $second_esp"
  second_esp=${second_esp^^}
fi

# Room for the partition table before the partition and, for GPT, the backup
# table after it.
end=$((start + size))
partitioned=$layout
[ "$medium" = disk ] || [ "$medium" = sd ] || partitioned=
case "$partitioned" in
  gpt)
    [[ $guid =~ ^[0-9a-fA-F]{8}(-[0-9a-fA-F]{4}){3}-[0-9a-fA-F]{12}$ ]] || fail "bad GUID $guid"
    guid=${guid^^}
    [ "$start" -ge 10240 ] || fail "start must leave room for the data partition (at least 10240)"
    # 2^48 sectors (128 PiB) is far beyond any file a file system here holds.
    [ "$start" -le $((1 << 48)) ] || fail "start must be at most 2^48"
    table="label: gpt
label-id: 5A7E1C0D-2B4F-4E8A-9C31-7D05E6F2A819
start=2048, size=8192, type=0FC63DAF-8483-4772-8E79-3D69D8477DE4, uuid=1D5C3B2A-0E4F-4A6B-8C7D-9E0F1A2B3C4D, name=\"data\"
start=$start, size=$size, type=C12A7328-F81F-11D2-BA4B-00A0C93EC93B, uuid=$guid, name=\"EFI system\""
    if [ -n "$second_esp" ]; then
      table+="
start=$end, size=$size, type=C12A7328-F81F-11D2-BA4B-00A0C93EC93B, uuid=$second_esp, name=\"EFI system 2\""
      end=$((end + size))
    fi
    ;;
  mbr)
    # Always hexadecimal, as the report prints it: 5EC7A1B2 and 0x5EC7A1B2
    # are the same signature.
    [[ $signature =~ ^(0[xX])?[0-9a-fA-F]{1,8}$ ]] ||
      fail "bad signature $signature (1 to 8 hexadecimal digits, 0x optional, e.g. 5EC7A1B2)"
    signature=$(printf '0x%08X' $((16#${signature#0[xX]})))
    [ "$start" -ge 1 ] || fail "start must leave room for the partition table"
    # An MBR partition entry holds 32-bit sector numbers.
    [ "$end" -le $((0xFFFFFFFF)) ] || fail "an MBR partition must end below sector 2^32 (use gpt)"
    if [ "$logical" = 1 ]; then
      # The extended partition from sector 2048; logical 5, data, at 4096
      # (its own table one sector in front of it); the system partition is
      # logical 6.
      [ "$start" -ge 14336 ] || fail "with --logical, start must leave room for logical partition 5 (at least 14336)"
      number=6
      table="label: dos
label-id: $signature
start=2048, size=$((end - 2048)), type=5
start=4096, size=8192, type=83
start=$start, size=$size, type=ef, bootable"
    else
      table="label: dos
label-id: $signature
start=$start, size=$size, type=ef, bootable"
    fi
    ;;
esac
bytes=$(((end + 2048) * 512))
if [ "$medium" = superfloppy ]; then
  bytes=$((size * 512))
elif [ "$medium" = sd ]; then
  # QEMU takes only SD cards whose size is a power of two.
  card=1048576
  while [ "$card" -lt "$bytes" ]; do card=$((card * 2)); done
  bytes=$card
fi

# Whether the file system can hold a (sparse) file of BYTES in DIRECTORY:
# ext4, for one, stops at 16 TiB. Asked by making and removing such a file,
# which takes no blocks.
check_room() {
  local probe
  probe=$(mktemp "$1/.make-disk-probe.XXXXXX" 2>/dev/null) || fail "cannot write into $1"
  if ! truncate -s "$bytes" "$probe" 2>/dev/null; then
    rm -f "$probe"
    fail "the file system of $1 cannot hold a disk file of $bytes bytes ($((bytes >> 40)) TiB, to sector $((end + 2048))); choose a smaller --start"
  fi
  rm -f "$probe"
}
[ "$medium" = cdrom ] || [ -z "$disk" ] || check_room "$disk_dir"

[ "$check_only" = 0 ] || exit 0
tools="mkfs.vfat mmd mcopy"
[ "$medium" = superfloppy ] || [ "$medium" = cdrom ] || tools+=" sfdisk"
[ "$medium" != cdrom ] || tools+=" xorriso"
for tool in $tools; do
  command -v "$tool" >/dev/null || fail "$tool is missing (packages fdisk, dosfstools, mtools, xorriso)"
done

# Every temporary file sits beside DISK and goes on every way out.
temps=()
trap 'rm -rf "${temps[@]}"' EXIT
trap 'exit 130' INT TERM HUP
export MTOOLS_SKIP_CHECK=1

# make_fat FILE KIB [mkfs.vfat options]: a FAT of KIB KiB in FILE holding
# IMAGE as the boot file and the options file when asked for.
make_fat() {
  local file=$1 kib=$2
  shift 2
  mkfs.vfat -C "$@" -i 51EE7A11 -n QUILLMERE "$file" "$kib" >/dev/null 2>&1 || fail "mkfs.vfat failed on the system partition"
  mmd -i "$file" ::/EFI ::/EFI/BOOT || fail "mmd failed on the system partition"
  mcopy -i "$file" "$image" "::/EFI/BOOT/$boot_file" || fail "mcopy failed on the system partition"
  if given --options-file; then
    printf '%s\n' "$options_file" | mcopy -i "$file" - ::/EFI/BOOT/quillmere-options.txt ||
      fail "mcopy could not write the options file"
  fi
}

temp=$(mktemp "$disk.XXXXXX") || fail "cannot write beside $disk"
temps+=("$temp")
if [ "$medium" = cdrom ]; then
  # The boot image: 1440 sectors of 2048 bytes, room for the image with
  # the FAT's own tables; xorriso puts it in the catalog as the
  # no-emulation EFI entry.
  tree=$(mktemp -d "$disk.tree.XXXXXX") || fail "cannot write beside $disk"
  temps+=("$tree")
  mkdir "$tree/boot"
  make_fat "$tree/boot/efi.img" 2880 -S 2048
  rm -f "$temp"
  xorriso -as mkisofs -quiet -o "$temp" -V QUILLMERE -e boot/efi.img -no-emul-boot "$tree" 2>/dev/null ||
    fail "xorriso could not make the ISO"
elif [ "$medium" = superfloppy ]; then
  rm -f "$temp"
  make_fat "$temp" $((size / 2))
else
  truncate -s "$bytes" "$temp" || fail "could not make a disk file of $bytes bytes"
  echo "$table" | sfdisk --quiet --no-reread --no-tell-kernel "$temp" >/dev/null ||
    fail "sfdisk could not write the partition table"
  # The file system is made in a file of its own beside the disk and
  # copied to the partition's offset, its unwritten blocks left as holes.
  # The boot sector's hidden-sector count says where the partition starts,
  # as far as its 32 bits reach.
  fat=$(mktemp "$disk.fat.XXXXXX")
  temps+=("$fat")
  rm -f "$fat"
  hidden=$start
  [ "$hidden" -le $((0xFFFFFFFF)) ] || hidden=0
  make_fat "$fat" $((size / 2)) -h "$hidden"
  dd if="$fat" of="$temp" bs=512 seek="$start" conv=notrunc,sparse status=none ||
    fail "could not copy the file system into the partition"
  if [ -n "$second_esp" ]; then
    dd if="$fat" of="$temp" bs=512 seek="$((start + size))" conv=notrunc,sparse status=none ||
      fail "could not copy the file system into the second partition"
  fi
  if [ -n "$firmware" ]; then
    [ $((offset + $(stat -c %s "$firmware"))) -le $((start * 512)) ] ||
      fail "the firmware at byte $offset reaches into the system partition; choose a larger --start"
    dd if="$firmware" of="$temp" bs=1024 seek=$((offset / 1024)) conv=notrunc status=none ||
      fail "could not write the firmware into the card"
  fi
fi
chmod 0644 "$temp"
# Checked again: a DISK that appeared meanwhile is not replaced either.
[ ! -e "$disk" ] || [ "$force" = 1 ] || fail "$disk exists; remove it or give --force to replace it"
mv -f "$temp" "$disk" || fail "could not move the disk into place at $disk"

echo "medium=$medium"
[ "$medium" != cdrom ] || exit 0
if [ "$medium" = superfloppy ]; then
  echo "start=0"
  echo "size=$size"
  exit 0
fi
echo "layout=$layout"
echo "number=$number"
echo "start=$start"
echo "size=$size"
if [ "$layout" = gpt ]; then echo "signature=$guid"; else echo "signature=$signature"; fi
if [ -n "$second_esp" ]; then
  echo "number2=3"
  echo "start2=$((start + size))"
  echo "size2=$size"
  echo "signature2=$second_esp"
fi
