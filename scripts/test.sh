#!/usr/bin/env bash
# Runs every test: the host tests, the same tests under AddressSanitizer and
# UBSan and as a 32-bit i386 build, the image checks, the boots of every
# image under U-Boot in QEMU (every machine and medium of
# scripts/machines.txt, the options, Secure Boot), the Debian package and a
# bounded fuzz run; then prints the images' size and stack report and, last,
# one summary: each tree's passed and failed tests with the names of the
# failures, the budgets, and a verdict line. Installs what it needs on a
# fresh Debian machine; the boards' U-Boot builds are fetched into
# build/firmware-cache without installing them.
#
#   scripts/test.sh
#
# Takes no options. The trees are build/, build-sanitize/ and build-m32/; the detail of
# each run stays above the summary, and build/test-summary.txt keeps the
# summary. Exit status 0 when every test passed, otherwise 1.
[ -n "${BASH_VERSION:-}" ] || exec bash "$0" "$@"
set -euo pipefail

source "$(dirname "$0")/common.sh"
parse_options -- "$@"
[ ${#ARGUMENTS[@]} = 0 ] || fail "unknown argument ${ARGUMENTS[0]} (see --help)"
cd "$(dirname "$0")/.."

# Google Benchmark, {fmt} and stb_sprintf are here so that the benchmark,
# which is never run as a test, is still built and cannot rot. The Debian
# packaging tools serve the package test.
packages=(cmake make clang lld llvm libgtest-dev libclang-rt-14-dev python3
          qemu-system-x86 qemu-system-arm qemu-system-misc opensbi u-boot-qemu mtools dosfstools fdisk xorriso
          libbenchmark-dev libfmt-dev libstb-dev
          sbsigntool efitools openssl
          debhelper dpkg-dev lintian fakeroot g++-multilib libc6-dev-i386)
source scripts/install-packages.sh
install_packages "${packages[@]}"

jobs=$(nproc)
# The build signs both images as a packager's would, with a key set of its
# own that never leaves build/; it is made once.
keys=$PWD/build/signing-keys
[ -e "$keys/db.key" ] || scripts/make-keys.sh "$keys" >/dev/null
cmake -S . -B build -DCMAKE_CXX_COMPILER=clang++ \
  -DQUILLMERE_SIGN_KEY="$keys/db.key" -DQUILLMERE_SIGN_CERT="$keys/db.crt" >/dev/null
cmake --build build -j "$jobs"
cmake -S . -B build-sanitize -DCMAKE_CXX_COMPILER=clang++ -DQUILLMERE_SANITIZE=ON -DQUILLMERE_IMAGE=OFF >/dev/null
cmake --build build-sanitize -j "$jobs"
# The 32-bit tree: UINTN, pointers and statuses of 32 bits, as on IA32 and
# ARM firmware, through the same tests; GoogleTest is built for it from the
# sources libgtest-dev installs.
cmake -S . -B build-m32 -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_CXX_FLAGS=-m32 -DQUILLMERE_IMAGE=OFF \
  -DQUILLMERE_BENCH=OFF -DQUILLMERE_GTEST_SOURCE=/usr/src/googletest >/dev/null
cmake --build build-m32 -j "$jobs"

# Each tree that is tested, with what it holds; the summary goes through
# them in this order.
trees=(build build-sanitize build-m32)
declare -A tree_title=([build]="host build" [build-sanitize]="sanitizer build" [build-m32]="32-bit build")

status=0
for tree in "${trees[@]}"; do
  echo "== ${tree_title[$tree]:-$tree}"
  ctest --test-dir "$tree" --output-on-failure -j "$jobs" 2>&1 | tee "$tree/ctest-output.txt" || status=1
done
# The numbers behind the image_budgets test, for reading; the test alone
# decides the exit status.
echo "== size and stack"
scripts/image-report.sh build 2>&1 | tee build/image-report.txt || true

# CTest's own lines: "N% tests passed, F tests failed out of T" and the
# names under "The following tests FAILED:".
summarize() {
  local tree
  echo "== summary"
  for tree in "${trees[@]}"; do
    LC_ALL=C awk -v tree="$tree/" '
      /tests passed, [0-9]+ tests? failed out of [0-9]+/ {
        failed = $4; total = $NF; counted = 1
      }
      /^The following tests FAILED:/ { listing = 1; next }
      listing && /^[ \t]+[0-9]+ - / {
        sub(/^[ \t]+[0-9]+ - /, ""); names = names "\n    FAILED " $0; next
      }
      listing { listing = 0 }
      END {
        if (!counted) { printf "%-16s no test results (the run stopped early)\n", tree; exit }
        printf "%-16s %d passed, %d failed of %d%s\n", tree, total - failed, failed, total, names
      }' "$tree/ctest-output.txt"
  done
  grep -E '^image |^deepest ' build/image-report.txt | sed 's/^/  /' || echo "  no size and stack report"
  if [ "$status" = 0 ]; then
    echo "verdict: every test passed"
  else
    echo "verdict: FAILED (the failures are named above; their output is further up)"
  fi
}
summarize | tee build/test-summary.txt
exit $status
