# Sourced by the scripts: the machines the image boots on under QEMU, each
# with the U-Boot build Debian ships for it and the buses that build can boot
# a disk from. U-Boot 2023.01's x86-64 build has no NVMe driver; neither
# build finds a USB stick behind QEMU's xHCI, so USB goes through EHCI; both
# see an AHCI disk as SCSI. The RISC-V 64 build runs in supervisor mode over
# OpenSBI, which QEMU loads as the machine's firmware and which starts U-Boot
# as its kernel; it finds neither an NVMe disk nor a USB stick behind EHCI.
# The IA32 build is the x86-64 one for a 32-bit PC. The 32-bit ARM build
# finds a virtio disk on the virt board's MMIO transport, not behind PCI.

MACHINE_ARCHITECTURES="x64 aa64 riscv64 ia32 arm"

# The buses ARCH boots from, the default first.
machine_buses() {
  case "$1" in
    x64) echo "ide ahci virtio usb" ;;
    aa64) echo "virtio nvme ahci usb" ;;
    riscv64) echo "virtio ahci" ;;
    ia32) echo "ide ahci virtio usb" ;;
    arm) echo "virtio ahci usb" ;;
  esac
}

default_bus() { local buses; buses=$(machine_buses "$1"); echo "${buses%% *}"; }

# Fails with one line on stdout unless ARCH is known and boots from BUS.
check_machine() {
  local arch=$1 bus=$2 buses
  buses=$(machine_buses "$arch")
  if [ -z "$buses" ]; then
    echo "unknown architecture $arch (${MACHINE_ARCHITECTURES// / or })"
    return 1
  fi
  if [[ " $buses " != *" $bus "* ]]; then
    echo "the $arch firmware cannot boot from bus $bus; it boots from ${buses// /, }"
    return 1
  fi
}

# Whether ARCH's U-Boot build authenticates images once PK is enrolled
# (SecureBoot reads 01 and unsigned images are refused): seen on aa64 only.
# x64's refuses the authenticated writes themselves.
machine_authenticates() {
  case "$1" in
    aa64) return 0 ;;
    *) return 1 ;;
  esac
}

# The name firmware looks for on removable media.
machine_boot_file() {
  case "$1" in
    x64) echo BOOTX64.EFI ;;
    aa64) echo BOOTAA64.EFI ;;
    riscv64) echo BOOTRISCV64.EFI ;;
    ia32) echo BOOTIA32.EFI ;;
    arm) echo BOOTARM.EFI ;;
  esac
}

machine_qemu() {
  case "$1" in
    x64) echo qemu-system-x86_64 ;;
    aa64) echo qemu-system-aarch64 ;;
    riscv64) echo qemu-system-riscv64 ;;
    ia32) echo qemu-system-i386 ;;
    arm) echo qemu-system-arm ;;
  esac
}

machine_qemu_package() {
  case "$1" in
    x64) echo qemu-system-x86 ;;
    aa64) echo qemu-system-arm ;;
    riscv64) echo qemu-system-misc ;;
    ia32) echo qemu-system-x86 ;;
    arm) echo qemu-system-arm ;;
  esac
}

# The Debian packages that boot ARCH: its QEMU, U-Boot and, on RISC-V, the
# OpenSBI firmware under U-Boot.
machine_packages() {
  echo "$(machine_qemu_package "$1") u-boot-qemu"
  [ "$1" != riscv64 ] || echo opensbi
}

# RISC-V's machine-mode firmware, which QEMU runs first and which enters
# U-Boot in supervisor mode.
MACHINE_OPENSBI=/usr/lib/riscv64-linux-gnu/opensbi/generic/fw_dynamic.bin

machine_firmware() {
  case "$1" in
    x64) echo /usr/lib/u-boot/qemu-x86_64/u-boot.rom ;;
    aa64) echo /usr/lib/u-boot/qemu_arm64/u-boot.bin ;;
    riscv64) echo /usr/lib/u-boot/qemu-riscv64_smode/u-boot.bin ;;
    ia32) echo /usr/lib/u-boot/qemu-x86/u-boot.rom ;;
    arm) echo /usr/lib/u-boot/qemu_arm/u-boot.bin ;;
  esac
}

# An awk pattern for the banner U-Boot prints once per start: a second one
# means the machine reset.
machine_banner() {
  case "$1" in
    x64) echo "U-Boot SPL " ;;
    aa64|riscv64|ia32|arm) echo "U-Boot 20[0-9][0-9][.]" ;;
  esac
}

# QEMU's options for ARCH with DISK on BUS, one a line. snapshot=on keeps the
# firmware's writes out of the disk file, so every boot starts from the same
# disk; a fourth argument "writable" lets them reach it (for a report file
# that is read back from the disk afterwards).
machine_options() {
  local arch=$1 bus=$2 disk=$3 snapshot=,snapshot=on
  [ "${4:-}" != writable ] || snapshot=
  case "$arch" in
    x64) printf '%s\n' -machine pc -accel tcg -m 256 -bios "$(machine_firmware x64)" ;;
    aa64) printf '%s\n' -machine virt -cpu cortex-a57 -accel tcg -m 512 -bios "$(machine_firmware aa64)" ;;
    riscv64) printf '%s\n' -machine virt -accel tcg -m 256 -bios "$MACHINE_OPENSBI" -kernel "$(machine_firmware riscv64)" ;;
    ia32) printf '%s\n' -machine pc -accel tcg -m 256 -bios "$(machine_firmware ia32)" ;;
    arm) printf '%s\n' -machine virt -cpu cortex-a15 -accel tcg -m 512 -bios "$(machine_firmware arm)" ;;
  esac
  if [ "$bus" = ide ]; then
    printf '%s\n' -drive "file=$disk,format=raw,if=ide$snapshot"
    return
  fi
  printf '%s\n' -drive "file=$disk,format=raw,if=none,id=disk$snapshot"
  case "$bus" in
    ahci) printf '%s\n' -device ahci,id=ahci -device ide-hd,drive=disk,bus=ahci.0 ;;
    virtio) if [ "$arch" = arm ]; then
              printf '%s\n' -device virtio-blk-device,drive=disk
            else
              printf '%s\n' -device virtio-blk-pci,drive=disk
            fi ;;
    nvme) printf '%s\n' -device nvme,serial=quillmere,drive=disk ;;
    usb) printf '%s\n' -device usb-ehci,id=usb -device usb-storage,drive=disk,bus=usb.0 ;;
  esac
}
