#!/usr/bin/env bash
# Builds the benchmark and runs it: the engine against glibc snprintf, {fmt}
# and stb_sprintf, with medians of several repetitions and the ratios in a
# table.
#
#   scripts/bench.sh [BENCHMARK-FLAG...]
#
# Every argument but --help passes on to the program, for example
# --benchmark_filter=%g or --benchmark_repetitions=9; Google Benchmark's
# own list of flags is build-bench/bench/render_bench --help, once built.
# The tree is build-bench/; nothing else is written.
[ -n "${BASH_VERSION:-}" ] || exec bash "$0" "$@"
set -euo pipefail
source "$(dirname "$0")/common.sh"
case "${1:-}" in
  -h|--help) show_help; exit 0 ;;
esac
cd "$(dirname "$0")/.."

packages=(cmake make clang libbenchmark-dev libfmt-dev libstb-dev locales)
source scripts/install-packages.sh
install_packages "${packages[@]}"

cmake -S . -B build-bench -DCMAKE_CXX_COMPILER=clang++ -DQUILLMERE_IMAGE=OFF >/dev/null
cmake --build build-bench -j "$(nproc)" --target render_bench

# snprintf groups thousands only under a locale that says so; the C locale
# does not, so the benchmark gets its own en_US.UTF-8.
locales=build-bench/locale
if [ ! -d "$locales/en_US.UTF-8" ]; then
  mkdir -p "$locales"
  localedef -i en_US -f UTF-8 "$locales/en_US.UTF-8"
fi
echo "machine: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //'), $(nproc) cores"
# Colour codes only for a terminal: a redirected table stays plain text. A
# --benchmark_color among the arguments comes later and wins.
colour=false
[ -t 1 ] && colour=true
LOCPATH="$PWD/$locales" exec build-bench/bench/render_bench --benchmark_color=$colour "$@"
