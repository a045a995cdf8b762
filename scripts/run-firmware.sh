#!/usr/bin/env bash
# Boots DISK under U-Boot's UEFI firmware in QEMU (TCG, no display, no
# network) and watches the serial console until the application's report is
# complete: from "Print Nodes:" through the line after the closing end node,
# the firmware's text form of the path. Then it stops QEMU.
#
#   run-firmware.sh [options] DISK
#     --arch x64|aa64|riscv64|ia32|arm
#                      the machine: x64 boots U-Boot's qemu-x86_64 build on a
#                      PC, aa64 its qemu_arm64 build on a virt board with a
#                      Cortex-A57, riscv64 its qemu-riscv64_smode build over
#                      OpenSBI on a RISC-V virt board, ia32 its qemu-x86
#                      build on a PC, arm its qemu_arm build on a virt board
#                      with a Cortex-A15 (default x64)
#     --bus BUS        how the disk is attached; x64 and ia32: ide, ahci,
#                      virtio, usb; aa64: virtio, nvme, ahci, usb; riscv64:
#                      virtio, ahci; arm: virtio, ahci, usb (default ide on
#                      x64 and ia32, virtio on the others)
#     --log FILE       keep the raw console bytes in FILE (default: a temp file)
#     --timeout SECS   give up when the report is not complete by then (default 60)
#     --console        print the whole firmware console instead of the report
#
# Exit status 0 when the report arrived whole; otherwise 1 and one line on
# stderr saying why. QEMU never outlives this script: it is stopped on every
# way out, and runs under timeout(1) in case this script is killed outright.
set -euo pipefail

fail() { echo "run-firmware: $*" >&2; exit 1; }
# The value of option $1, or a failure when there is none.
value() { [ $# -ge 2 ] && [ -n "$2" ] || fail "option $1 needs a value"; }

source "$(dirname "$0")/machines.sh"

log=
limit=60
console=0
arch=x64
bus=
while [ $# -gt 0 ]; do
  case "$1" in
    --arch) value "$@"; arch=$2; shift 2 ;;
    --bus) value "$@"; bus=$2; shift 2 ;;
    --log) value "$@"; log=$2; shift 2 ;;
    --timeout) value "$@"; limit=$2; shift 2 ;;
    --console) console=1; shift ;;
    -h|--help) sed -n '2,/^set -e/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    -*) fail "unknown option $1" ;;
    *) break ;;
  esac
done
[ $# -eq 1 ] || fail "usage: run-firmware.sh [options] DISK"
disk=$1
bus=${bus:-$(default_bus "$arch")}
message=$(check_machine "$arch" "$bus") || fail "$message"
[[ $limit =~ ^[1-9][0-9]*$ ]] || fail "bad timeout $limit (a whole number of seconds, at least 1)"
[ -f "$disk" ] || fail "no disk image at $disk"
qemu=$(machine_qemu "$arch")
firmware=$(machine_firmware "$arch")
command -v "$qemu" >/dev/null || fail "$qemu is missing (package $(machine_qemu_package "$arch"))"
[ -f "$firmware" ] || fail "no U-Boot firmware at $firmware (package u-boot-qemu)"
[ "$arch" != riscv64 ] || [ -f "$MACHINE_OPENSBI" ] || fail "no OpenSBI firmware at $MACHINE_OPENSBI (package opensbi)"

work=$(mktemp -d)
qemu_pid=
cleanup() {
  if [ -n "$qemu_pid" ] && kill -0 "$qemu_pid" 2>/dev/null; then
    kill "$qemu_pid" 2>/dev/null || true
    # QEMU ends within a moment of SIGTERM; timeout(1) passes it on.
    for _ in 1 2 3 4 5 6 7 8 9 10; do kill -0 "$qemu_pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$qemu_pid" 2>/dev/null || true
    wait "$qemu_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP
[ -n "$log" ] || log=$work/console.log
: >"$log"

# Standard input from /dev/null: any byte would stop U-Boot's autoboot
# countdown and leave it at its prompt. -nodefaults leaves out the VGA card,
# CD-ROM and network card, so QEMU needs no option ROMs beside U-Boot's.
# -no-reboot turns a reset into an exit.
# snapshot=on keeps the firmware's writes out of the disk file, so every boot
# starts from the same disk.
mapfile -t machine < <(machine_options "$arch" "$bus" "$disk")
timeout -k 5 $((limit + 15)) "$qemu" "${machine[@]}" -nodefaults \
  -display none -monitor none -serial "file:$log" -nic none -no-reboot \
  </dev/null >"$work/qemu.out" 2>&1 &
qemu_pid=$!

# Judges the console so far: prints "complete", "pending", "reset",
# "prompt-none" or "prompt-partial". The report is complete once the line after
# the closing node (the first node line with type 127 or subType 255) has been
# ended by its line feed.
judge() {
  local lines
  lines=$(tr -cd '\n' <"$log" | wc -c)
  LC_ALL=C awk -v lines="$lines" -v banner="$(machine_banner "$arch")" '
    { sub(/\r+$/, "") }
    $0 ~ banner { banners++ }
    state == 0 && $0 == "Print Nodes:" { state = 1; next }
    state == 1 && /^type:[0-9]+,subType:[0-9]+,length:[0-9]+$/ {
      split($0, f, /[:,]/)
      if (f[2] == 127 || f[4] == 255) { state = 2; next }
    }
    state == 2 { if (NR <= lines) state = 3; next }
    /^=>/ || /^EFI LOAD FAILED/ { prompt = 1 }
    END {
      if (banners > 1) print "reset"
      else if (state == 3) print "complete"
      else if (prompt) print (state == 0 ? "prompt-none" : "prompt-partial")
      else print "pending"
    }' "$log"
}

# Escape sequences (the firmware asks the terminal for its size) and carriage
# returns are dropped, so that what is printed does not act on the terminal.
clean() { LC_ALL=C sed 's/\x1b\[[0-9;?]*[A-Za-z]//g; s/\x1b[78]//g; s/\r//g' "$log"; }
# The whole console, ended by a line break even when the firmware's last line
# was not.
show_console() {
  clean
  [ -z "$(tail -c 1 "$log")" ] || echo
}

# From here on a failure shows the console first when it was asked for.
fail() {
  [ "$console" = 0 ] || show_console
  echo "run-firmware: $*" >&2
  exit 1
}

deadline=$((SECONDS + limit))
verdict=pending
while :; do
  verdict=$(judge)
  [ "$verdict" = pending ] || break
  if ! kill -0 "$qemu_pid" 2>/dev/null; then
    status=0
    wait "$qemu_pid" || status=$?
    qemu_pid=
    verdict=$(judge)
    if [ "$verdict" = pending ]; then
      if [ ! -s "$log" ]; then
        fail "QEMU failed to start: $(grep -m1 . "$work/qemu.out" || echo "status $status")"
      fi
      fail "QEMU exited with status $status before the report was complete (a reset ends QEMU under -no-reboot)"
    fi
    break
  fi
  if [ "$SECONDS" -ge "$deadline" ]; then
    fail "no complete report within $limit second$([ "$limit" = 1 ] || echo s)"
  fi
  sleep 0.1
done

case "$verdict" in
  complete) ;;
  reset) fail "the machine reset (a second U-Boot banner) before the report was complete" ;;
  prompt-none) fail "the firmware went back to its prompt without starting the report" ;;
  prompt-partial) fail "the application returned before its report was complete" ;;
  *) fail "unexpected console state $verdict" ;;
esac

if [ "$console" = 1 ]; then
  show_console
else
  clean | LC_ALL=C awk '
    state == 0 && $0 == "Print Nodes:" { state = 1 }
    state == 0 { next }
    { print }
    state == 2 { exit }
    state == 1 && /^type:[0-9]+,subType:[0-9]+,length:[0-9]+$/ {
      split($0, f, /[:,]/)
      if (f[2] == 127 || f[4] == 255) state = 2
    }'
fi
