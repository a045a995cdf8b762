#!/usr/bin/env bash
# Makes a raw disk image whose EFI system partition holds IMAGE as
# EFI/BOOT/BOOTX64.EFI, BOOTAA64.EFI or BOOTRISCV64.EFI, the path firmware boots from
# removable media by itself. Needs no root: sfdisk writes the partition table
# into a sparse file, the FAT file system is made in a file of its own with
# mkfs.vfat and mtools and copied into place, so the partition may start
# anywhere a GPT reaches (mkfs.vfat --offset stops at 2 TiB).
#
#   make-disk.sh [options] IMAGE DISK
#     --arch x64|aa64|riscv64|ia32|arm
#                        the boot file's name: BOOTX64.EFI, BOOTAA64.EFI,
#                        BOOTRISCV64.EFI, BOOTIA32.EFI or BOOTARM.EFI
#                        (default x64)
#     --layout gpt|mbr   partition table (default gpt)
#     --start SECTORS    first sector of the system partition
#     --size SECTORS     length of the system partition in sectors
#     --guid GUID        GPT: unique partition GUID of the system partition
#     --signature HEX    MBR: 32-bit disk signature in hexadecimal, 0x optional
#                        (5EC7A1B2 or 0x5EC7A1B2)
#     --force            replace DISK when it exists
#     --options-file WORDS
#                        also write WORDS (for example 'quillmere.wait=10') as
#                        the options file EFI/BOOT/quillmere-options.txt,
#                        which the image reads when no boot entry passes options
#     --check            check the options (and IMAGE and DISK, when given),
#                        make nothing
#
# GPT: a 4 MiB data partition comes first, so the system partition is number 2.
# MBR: the system partition is number 1, type 0xEF, marked bootable.
# Sector numbers may be decimal or 0x-prefixed hexadecimal. DISK is never
# IMAGE; an existing DISK is refused unless --force is given; the disk is
# made under a temporary name beside DISK and moved into place only when it
# is complete. On success the partition facts are printed as KEY=VALUE
# lines: layout, number, start, size (sectors, decimal), signature (GPT: the
# partition GUID; MBR: 0x-prefixed disk signature).
set -euo pipefail

fail() { echo "make-disk: $*" >&2; exit 1; }
value() { [ $# -ge 2 ] && [ -n "$2" ] || fail "option $1 needs a value"; }

source "$(dirname "$0")/machines.sh"

arch=x64
check_only=0
force=0
layout=gpt
start=
size=
guid=3F0A9C2E-71B4-4D6A-8E5C-B2D49A07F1E3
signature=5EC7A1B2
# Which layout's own option was given, so that the other layout refuses it.
given_guid=0
given_signature=0
options_file=
has_options_file=0
while [ $# -gt 0 ]; do
  case "$1" in
    --arch) value "$@"; arch=$2; shift 2 ;;
    --layout) value "$@"; layout=$2; shift 2 ;;
    --start) value "$@"; start=$2; shift 2 ;;
    --size) value "$@"; size=$2; shift 2 ;;
    --guid) value "$@"; guid=$2; given_guid=1; shift 2 ;;
    --signature) value "$@"; signature=$2; given_signature=1; shift 2 ;;
    --force) force=1; shift ;;
    --options-file)
      [ $# -ge 2 ] || fail "option $1 needs a value"
      options_file=$2; has_options_file=1; shift 2 ;;
    --check) check_only=1; shift ;;
    -h|--help) sed -n '2,/^set -e/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    -*) fail "unknown option $1" ;;
    *) break ;;
  esac
done
if [ "$check_only" = 1 ]; then
  [ $# -le 2 ] || fail "usage: make-disk.sh --check [options] [IMAGE [DISK]]"
else
  [ $# -eq 2 ] || fail "usage: make-disk.sh [options] IMAGE DISK"
fi
image=${1:-}
disk=${2:-}
boot_file=$(machine_boot_file "$arch")
[ -n "$boot_file" ] || fail "unknown architecture $arch (${MACHINE_ARCHITECTURES// / or })"
[ -z "$image" ] || [ -f "$image" ] || fail "no image at $image"
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

is_number() { [[ $1 =~ ^(0[xX][0-9a-fA-F]+|[0-9]+)$ ]]; }
case "$layout" in
  gpt) start=${start:-0x2800}; size=${size:-0xEC00}; number=2 ;;
  mbr) start=${start:-0x800}; size=${size:-0xBB80}; number=1 ;;
  *) fail "unknown layout $layout (gpt or mbr)" ;;
esac
if [ "$layout" = gpt ] && [ "$given_signature" = 1 ]; then
  fail "--signature is for the mbr layout; a gpt disk takes --guid"
fi
if [ "$layout" = mbr ] && [ "$given_guid" = 1 ]; then
  fail "--guid is for the gpt layout; an mbr disk takes --signature"
fi
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

# Room for the partition table before the partition and, for GPT, the backup
# table after it.
case "$layout" in
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
    ;;
  mbr)
    # Always hexadecimal, as the report prints it: 5EC7A1B2 and 0x5EC7A1B2
    # are the same signature.
    [[ $signature =~ ^(0[xX])?[0-9a-fA-F]{1,8}$ ]] ||
      fail "bad signature $signature (1 to 8 hexadecimal digits, 0x optional, e.g. 5EC7A1B2)"
    signature=$(printf '0x%08X' $((16#${signature#0[xX]})))
    [ "$start" -ge 1 ] || fail "start must leave room for the partition table"
    # An MBR partition entry holds 32-bit sector numbers.
    [ $((start + size)) -le $((0xFFFFFFFF)) ] || fail "an MBR partition must end below sector 2^32 (use gpt)"
    table="label: dos
label-id: $signature
start=$start, size=$size, type=ef, bootable"
    ;;
esac
bytes=$(((start + size + 2048) * 512))

# Whether the file system can hold a (sparse) file of BYTES in DIRECTORY:
# ext4, for one, stops at 16 TiB. Asked by making and removing such a file,
# which takes no blocks.
check_room() {
  local probe
  probe=$(mktemp "$1/.make-disk-probe.XXXXXX" 2>/dev/null) || fail "cannot write into $1"
  if ! truncate -s "$bytes" "$probe" 2>/dev/null; then
    rm -f "$probe"
    fail "the file system of $1 cannot hold a disk file of $bytes bytes ($((bytes >> 40)) TiB, to sector $((start + size + 2048))); choose a smaller --start"
  fi
  rm -f "$probe"
}
[ -z "$disk" ] || check_room "$disk_dir"

[ "$check_only" = 0 ] || exit 0
for tool in sfdisk mkfs.vfat mmd mcopy; do
  command -v "$tool" >/dev/null || fail "$tool is missing (packages fdisk, dosfstools, mtools)"
done

# The disk is sparse: a partition 2 TiB in takes no more room than one at the
# start. The file system is made in a file of its own beside the disk and
# copied to the partition's offset, its unwritten blocks left as holes. Both
# are temporary files until the disk is complete.
temp=$(mktemp "$disk.XXXXXX") || fail "cannot write beside $disk"
fat=
trap 'rm -f "$temp" ${fat:+"$fat"}' EXIT
truncate -s "$bytes" "$temp" || fail "could not make a disk file of $bytes bytes"
echo "$table" | sfdisk --quiet --no-reread --no-tell-kernel "$temp" >/dev/null ||
  fail "sfdisk could not write the partition table"

fat=$(mktemp "$disk.fat.XXXXXX")
rm -f "$fat"
# The boot sector's hidden-sector count says where the partition starts, as
# far as its 32 bits reach.
hidden=$start
[ "$hidden" -le $((0xFFFFFFFF)) ] || hidden=0
mkfs.vfat -C -h "$hidden" -i 51EE7A11 -n QUILLMERE "$fat" $((size / 2)) >/dev/null 2>&1 ||
  fail "mkfs.vfat failed on the system partition"
export MTOOLS_SKIP_CHECK=1
mmd -i "$fat" ::/EFI ::/EFI/BOOT || fail "mmd failed on the system partition"
mcopy -i "$fat" "$image" "::/EFI/BOOT/$boot_file" || fail "mcopy failed on the system partition"
if [ "$has_options_file" = 1 ]; then
  printf '%s\n' "$options_file" | mcopy -i "$fat" - ::/EFI/BOOT/quillmere-options.txt ||
    fail "mcopy could not write the options file"
fi
dd if="$fat" of="$temp" bs=512 seek="$start" conv=notrunc,sparse status=none ||
  fail "could not copy the file system into the partition"
chmod 0644 "$temp"
# Checked again: a DISK that appeared meanwhile is not replaced either.
[ ! -e "$disk" ] || [ "$force" = 1 ] || fail "$disk exists; remove it or give --force to replace it"
mv -f "$temp" "$disk" || fail "could not move the disk into place at $disk"

echo "layout=$layout"
echo "number=$number"
echo "start=$start"
echo "size=$size"
if [ "$layout" = gpt ]; then echo "signature=$guid"; else echo "signature=$signature"; fi
