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
#     --options WORDS  hand WORDS to the image as its load options: autoboot is
#                      stopped over the serial line and "setenv bootargs 'WORDS';
#                      run bootcmd" typed at U-Boot's prompt (WORDS may not hold
#                      a single quote)
#
# Exit status 0 when the report arrived whole; otherwise 1 and one line on
# stderr saying why, with what the firmware said when it said why. QEMU never outlives this script: it is stopped on every
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
options=
has_options=0
while [ $# -gt 0 ]; do
  case "$1" in
    --arch) value "$@"; arch=$2; shift 2 ;;
    --bus) value "$@"; bus=$2; shift 2 ;;
    --log) value "$@"; log=$2; shift 2 ;;
    --timeout) value "$@"; limit=$2; shift 2 ;;
    --console) console=1; shift ;;
    --options)
      [ $# -ge 2 ] || fail "option $1 needs a value"
      options=$2; has_options=1; shift 2 ;;
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
[[ $options != *"'"* ]] || fail "the options may not hold a single quote"
qemu=$(machine_qemu "$arch")
firmware=$(machine_firmware "$arch")
command -v "$qemu" >/dev/null || fail "$qemu is missing (package $(machine_qemu_package "$arch"))"
[ -f "$firmware" ] || fail "no U-Boot firmware at $firmware (package u-boot-qemu)"
[ "$arch" != riscv64 ] || [ -f "$MACHINE_OPENSBI" ] || fail "no OpenSBI firmware at $MACHINE_OPENSBI (package opensbi)"

work=$(mktemp -d)
qemu_pid=
copy_pid=
cleanup() {
  if [ -n "$qemu_pid" ] && kill -0 "$qemu_pid" 2>/dev/null; then
    kill "$qemu_pid" 2>/dev/null || true
    # QEMU ends within a moment of SIGTERM; timeout(1) passes it on.
    for _ in 1 2 3 4 5 6 7 8 9 10; do kill -0 "$qemu_pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$qemu_pid" 2>/dev/null || true
    wait "$qemu_pid" 2>/dev/null || true
  fi
  # The copy of the serial line ends with QEMU's end of it; a QEMU that never
  # opened it leaves the copy waiting.
  if [ -n "$copy_pid" ]; then
    kill "$copy_pid" 2>/dev/null || true
    wait "$copy_pid" 2>/dev/null || true
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
serial=(-serial "file:$log")
if [ "$has_options" = 1 ]; then
  # The serial line through two FIFOs (QEMU's pipe backend): what the
  # firmware prints is copied to the log, and fd 3 types at its prompt.
  mkfifo "$work/serial.in" "$work/serial.out"
  exec 3<>"$work/serial.in"
  cat "$work/serial.out" >"$log" &
  copy_pid=$!
  serial=(-serial "pipe:$work/serial")
fi
timeout -k 5 $((limit + 15)) "$qemu" "${machine[@]}" -nodefaults \
  -display none -monitor none "${serial[@]}" -nic none -no-reboot \
  </dev/null >"$work/qemu.out" 2>&1 &
qemu_pid=$!

# Judges the console so far: prints "complete", "pending", "reset",
# "prompt-none" or "prompt-partial". The report is complete once the line after
# the closing node (the first node line with type 127 or subType 255) has been
# ended by its line feed.
judge() {
  local lines
  lines=$(tr -cd '\n' <"$log" | wc -c)
  LC_ALL=C awk -v lines="$lines" -v banner="$(machine_banner "$arch")" -v typed="$typed" '
    { sub(/\r+$/, "") }
    $0 ~ banner { banners++ }
    state == 0 && $0 == "Print Nodes:" { state = 1; next }
    state == 1 && /^type:[0-9]+,subType:[0-9]+,length:[0-9]+$/ {
      split($0, f, /[:,]/)
      if (f[2] == 127 || f[4] == 255) { state = 2; next }
    }
    state == 2 { if (NR <= lines) state = 3; next }
    # The prompt at which the options were typed is not a return to it.
    /^=>/ && typed > 0 { typed--; next }
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

# What U-Boot said when it did not start the application: the first line of
# its own after it read the boot file ("No UEFI binary known at ...",
# "Machine type 0xaa64 is not supported") and before "EFI LOAD FAILED";
# without a boot file read, that it found none.
firmware_reason() {
  clean | LC_ALL=C awk '
    / bytes read in / { reason = ""; loaded = 1; next }
    /^EFI LOAD FAILED/ { if (reason != "") { print "U-Boot said \"" reason "\""; found = 1; exit } }
    loaded && reason == "" && NF && !/^WARNING:/ && !/^Booting / { reason = $0 }
    END {
      if (!found && !loaded) print "U-Boot found no EFI boot file on the disk"
      else if (!found) print "U-Boot gave no reason"
    }'
}

# The console's last line with text, for a failure that has no better reason.
last_console_line() {
  local line
  line=$(clean | grep -v '^[[:space:]]*$' | tail -n 1 | cut -c 1-160)
  if [ -n "$line" ]; then echo "the console's last line: \"$line\""; else echo "the console stayed empty"; fi
}

# From here on a failure shows the console first when it was asked for.
fail() {
  [ "$console" = 0 ] || show_console
  echo "run-firmware: $*" >&2
  exit 1
}

deadline=$((SECONDS + limit))
verdict=pending
# With options: 0 before autoboot is stopped, 1 at the prompt, 2 once the
# options are typed (the prompt line then holds them).
typing=0
typed=0
while :; do
  if [ "$has_options" = 1 ] && [ "$typing" = 0 ] && grep -aq "Hit any key to stop autoboot" "$log"; then
    printf ' ' >&3
    typing=1
  elif [ "$typing" = 1 ] && [ "$(tail -c 3 "$log")" = "=> " ]; then
    printf "setenv bootargs '%s'; run bootcmd\n" "$options" >&3
    typing=2
    typed=1
  fi
  # Until the options are typed the prompt is where the boot is meant to be.
  if [ "$has_options" = 1 ] && [ "$typing" -lt 2 ]; then
    verdict=pending
  else
    verdict=$(judge)
  fi
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
    fail "no complete report within $limit second$([ "$limit" = 1 ] || echo s); $(last_console_line)"
  fi
  sleep 0.1
done

case "$verdict" in
  complete) ;;
  reset) fail "the machine reset (a second U-Boot banner) before the report was complete" ;;
  prompt-none) fail "the firmware went back to its prompt without starting the report: $(firmware_reason)" ;;
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
