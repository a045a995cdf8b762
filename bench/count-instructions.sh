#!/usr/bin/env bash
# Counts the instructions the engine spends per call on each case of the
# benchmark, with callgrind: repeatable where the clock is not. Run
# scripts/bench.sh once first; this uses the program it built.
#
#   bench/count-instructions.sh [CASE...]
#
# Each case is rendered by the engine 1000 times, its inputs in turn, and the
# instructions of those calls (the call, its slot array and everything the
# engine does) are divided by 1000. Cases are the benchmark's names, for
# example "partition block" or "%d spread"; by default every case.
[ -n "${BASH_VERSION:-}" ] || exec bash "$0" "$@"
set -euo pipefail
case "${1:-}" in
  -h|--help) sed -n '2,11p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
esac
cd "$(dirname "$0")/.."
source scripts/install-packages.sh
install_packages valgrind binutils

program=build-bench/bench/render_bench
[ -x "$program" ] || { echo "no $program: run scripts/bench.sh first" >&2; exit 1; }
if [ $# -eq 0 ]; then
  set -- "partition block" "partition block, UCS-2" "%d spread" "%,d large" "%08X" "%lx" "%g" \
    "%-40a| of 30" "%s of 300"
fi
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
# A copy without debug information, which this valgrind may not read;
# functions are found by their symbols.
objcopy --strip-debug "$program" "$out/render_bench"
echo "| case | instructions per call |"
echo "|---|---:|"
for name in "$@"; do
  LOCPATH="$PWD/build-bench/locale" valgrind --tool=callgrind --callgrind-out-file="$out/counts" \
    --toggle-collect='*RenderCalls*' "$out/render_bench" "--calls=$name" >/dev/null 2>&1 ||
    { echo "callgrind could not run case \"$name\"" >&2; exit 1; }
  total=$(sed -n 's/^summary: //p' "$out/counts")
  printf '| %s | %s |\n' "${name//|/\\|}" "$(awk -v t="$total" 'BEGIN { printf "%.0f", t / 1000 }')"
done
