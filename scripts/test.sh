#!/usr/bin/env bash
# Runs every test: the host tests with the image checks, the boots of every
# image under U-Boot in QEMU (every machine and medium of
# scripts/machines.txt, the options, Secure Boot), the Debian package and a
# bounded fuzz run; the same host tests under AddressSanitizer and UBSan, as
# a 32-bit i386 build, and as AArch64, RISC-V 64 and 32-bit ARM builds under
# qemu-user; then prints the images' size and stack report and, last, one
# summary: each tree's passed and failed tests with the names of the failures
# and the tree's build and test time, the budgets, and a verdict line.
# Installs what it needs on a fresh Debian machine; the boards' U-Boot builds
# are fetched into build/firmware-cache without installing them.
#
#   scripts/test.sh [TREE...]
#
# The trees are build/, build-sanitize/, build-m32/, build-aarch64/,
# build-riscv64/ and build-arm/, built and tested one after another; naming
# some runs those alone. A tree that does not build is named in the summary
# with the reason, and the others still run. The detail of each run stays
# above the summary, and build/test-summary.txt keeps the summary. Exit
# status 0 when every tree built and every test passed, otherwise 1.
#
# The 32-bit tree's programs run natively where this kernel runs i386
# programs (a tiny one is built and run to find out) and under qemu-i386
# where it does not. QUILLMERE_I386=native or QUILLMERE_I386=emulated in the
# environment takes the one or the other route without asking the kernel.
[ -n "${BASH_VERSION:-}" ] || exec bash "$0" "$@"
set -uo pipefail
# No -e: a tree that fails to build must not keep the others from running.

source "$(dirname "$0")/common.sh"
parse_options -- "$@"
all_trees=(build build-sanitize build-m32 build-aarch64 build-riscv64 build-arm)
declare -A tree_title=([build]="host build" [build-sanitize]="sanitizer build" [build-m32]="32-bit build"
  [build-aarch64]="AArch64 build (under qemu-aarch64)" [build-riscv64]="RISC-V 64 build (under qemu-riscv64)"
  [build-arm]="32-bit ARM build (under qemu-arm)")
trees=()
for argument in ${ARGUMENTS[@]+"${ARGUMENTS[@]}"}; do
  [ -n "${tree_title[${argument%/}]:-}" ] || fail "no tree $argument (the trees: ${all_trees[*]})"
  trees+=("${argument%/}")
done
[ ${#trees[@]} -gt 0 ] || trees=("${all_trees[@]}")
case "${QUILLMERE_I386:-}" in
  ""|native|emulated) ;;
  *) fail "QUILLMERE_I386 is native or emulated, not ${QUILLMERE_I386}" ;;
esac
cd "$(dirname "$0")/.."
started=$SECONDS

# Google Benchmark, {fmt} and stb_sprintf are here so that the benchmark,
# which is never run as a test, is still built and cannot rot. The Debian
# packaging tools serve the package test. qemu-user runs the programs of the
# trees for other instruction sets, and the 32-bit tree's where the kernel
# cannot; those trees' C and C++ libraries are the cross libraries alone
# (the cross compiler drivers would remove g++-multilib), and GNU ld links
# the RISC-V one (cmake/toolchains/riscv64-linux-gnu.cmake says why).
packages=(cmake make clang lld llvm libgtest-dev libclang-rt-14-dev python3
          qemu-system-x86 qemu-system-arm qemu-system-misc opensbi u-boot-qemu mtools dosfstools fdisk xorriso
          libbenchmark-dev libfmt-dev libstb-dev
          sbsigntool efitools openssl
          debhelper dpkg-dev lintian fakeroot
          g++-multilib libc6-dev-i386
          qemu-user
          libc6-dev-arm64-cross libgcc-12-dev-arm64-cross libstdc++-12-dev-arm64-cross
          libc6-dev-riscv64-cross libgcc-12-dev-riscv64-cross libstdc++-12-dev-riscv64-cross
          binutils-riscv64-linux-gnu
          libc6-dev-armhf-cross libgcc-12-dev-armhf-cross libstdc++-12-dev-armhf-cross)
source scripts/install-packages.sh
install_packages "${packages[@]}" || fail "the packages above are needed"
packages_seconds=$((SECONDS - started))

jobs=$(nproc)
mkdir -p build

# How the 32-bit tree's programs run: sets i386_emulator (empty when they
# run natively), or returns 1 with the reason in i386_failure.
i386_emulator= i386_failure=
find_i386_route() {
  local dir status=0
  dir=$(mktemp -d)
  printf 'int main(void) { return 0; }\n' >"$dir/probe.c"
  if ! clang -m32 "$dir/probe.c" -o "$dir/probe" 2>"$dir/log"; then
    i386_failure="cannot build an i386 program: $(grep -m1 . "$dir/log")"
    status=1
  else
    local route=${QUILLMERE_I386:-}
    if [ -z "$route" ]; then
      if "$dir/probe" 2>/dev/null; then route=native; else route=emulated; fi
    fi
    if [ "$route" = native ]; then
      "$dir/probe" 2>/dev/null || { i386_failure="QUILLMERE_I386=native, but this kernel runs no i386 program"; status=1; }
    elif ! i386_emulator=$(command -v qemu-i386) || ! "$i386_emulator" "$dir/probe" 2>"$dir/log"; then
      local why
      why=$(grep -m1 . "$dir/log" 2>/dev/null || echo "qemu-i386 not found")
      if [ -n "${QUILLMERE_I386:-}" ]; then
        i386_failure="QUILLMERE_I386=emulated, but qemu-i386 runs no i386 program: $why"
      else
        i386_failure="this kernel runs no i386 program, and qemu-i386 does not either: $why"
      fi
      status=1
    fi
  fi
  rm -rf "$dir"
  return $status
}

# The trees for other ABIs than the host's build GoogleTest from the
# sources libgtest-dev installs, and no benchmark, whose libraries are the
# host's.
other_abi=(-DQUILLMERE_IMAGE=OFF -DQUILLMERE_BENCH=OFF -DQUILLMERE_GTEST_SOURCE=/usr/src/googletest)
configure_tree() {
  case $1 in
    build)
      # The build signs the images as a packager's would, with a key set of
      # its own that never leaves build/; it is made once.
      local keys=$PWD/build/signing-keys
      [ -e "$keys/db.key" ] || scripts/make-keys.sh "$keys" >/dev/null || return 1
      cmake -S . -B build -DCMAKE_CXX_COMPILER=clang++ \
        -DQUILLMERE_SIGN_KEY="$keys/db.key" -DQUILLMERE_SIGN_CERT="$keys/db.crt" ;;
    build-sanitize)
      cmake -S . -B build-sanitize -DCMAKE_CXX_COMPILER=clang++ -DQUILLMERE_SANITIZE=ON -DQUILLMERE_IMAGE=OFF ;;
    build-m32)
      # UINTN, pointers and statuses of 32 bits, as on IA32 and ARM firmware;
      # find_i386_route has chosen how its programs run.
      cmake -S . -B build-m32 -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_CXX_FLAGS=-m32 "${other_abi[@]}" \
        -DCMAKE_CROSSCOMPILING_EMULATOR="$i386_emulator" ;;
    build-aarch64|build-riscv64|build-arm)
      local toolchain
      toolchain=$(ls cmake/toolchains/"${1#build-}"-*.cmake)
      cmake -S . -B "$1" -DCMAKE_TOOLCHAIN_FILE="$toolchain" "${other_abi[@]}" ;;
  esac
}

# The first line that says why a configure or build log failed.
first_error() {
  LC_ALL=C awk '
    /CMake Error/ { cmake = 1; next }
    cmake && NF { sub(/^ +/, ""); print; exit }
    /error:|Error [0-9]/ { print; exit }' "$1"
}

status=0
declare -A failure times
for tree in "${trees[@]}"; do
  tree_start=$SECONDS
  mkdir -p "$tree"
  rm -f "$tree/ctest-output.txt"
  if [ "$tree" = build-m32 ]; then
    if ! find_i386_route; then
      echo "== ${tree_title[$tree]}: $i386_failure"
      failure[$tree]=$i386_failure
      status=1
      continue
    fi
    [ -z "$i386_emulator" ] || tree_title[$tree]="32-bit build (under qemu-i386)"
  fi
  echo "== ${tree_title[$tree]}"
  if ! configure_tree "$tree" >"$tree/configure-output.txt" 2>&1; then
    cat "$tree/configure-output.txt"
    failure[$tree]="did not configure: $(first_error "$tree/configure-output.txt" || true)"
    status=1
    continue
  fi
  cmake --build "$tree" -j "$jobs" 2>&1 | tee "$tree/build-output.txt"
  if [ "${PIPESTATUS[0]}" != 0 ]; then
    failure[$tree]="did not build: $(first_error "$tree/build-output.txt" || true)"
    status=1
    continue
  fi
  build_seconds=$((SECONDS - tree_start))
  ctest --test-dir "$tree" --output-on-failure -j "$jobs" 2>&1 | tee "$tree/ctest-output.txt"
  [ "${PIPESTATUS[0]}" = 0 ] || status=1
  test_seconds=$((SECONDS - tree_start - build_seconds))
  times[$tree]=$(printf 'build %dm%02ds, tests %dm%02ds' $((build_seconds / 60)) $((build_seconds % 60)) \
                 $((test_seconds / 60)) $((test_seconds % 60)))
  if [ "$tree" = build ]; then
    # The numbers behind the image_budgets test, for reading; the test
    # alone decides the exit status.
    echo "== size and stack"
    scripts/image-report.sh build 2>&1 | tee build/image-report.txt || true
  fi
done

# CTest's own lines: "N% tests passed, F tests failed out of T" and the
# names under "The following tests FAILED:".
summarize() {
  local tree failed=()
  echo "== summary"
  for tree in "${trees[@]}"; do
    if [ -n "${failure[$tree]:-}" ]; then
      printf '%-15s %s: %s\n' "$tree" "${tree_title[$tree]}" "${failure[$tree]}"
      failed+=("$tree: ${failure[$tree]}")
      continue
    fi
    LC_ALL=C awk -v tree="$tree" -v title="${tree_title[$tree]}" -v times="${times[$tree]}" '
      /tests passed, [0-9]+ tests? failed out of [0-9]+/ {
        failed = $4; total = $NF; counted = 1
      }
      /^The following tests FAILED:/ { listing = 1; next }
      listing && /^[ \t]+[0-9]+ - / {
        sub(/^[ \t]+[0-9]+ - /, ""); names = names "\n    FAILED " $0; next
      }
      listing { listing = 0 }
      END {
        if (!counted) { printf "%-15s %s: no test results (the run stopped early)\n", tree, title; exit 1 }
        printf "%-15s %s: %d passed, %d failed of %d (%s)%s\n", tree, title, total - failed, failed, total, times, names
        exit (failed > 0)
      }' "$tree/ctest-output.txt" || failed+=("$tree: tests failed")
  done
  if [ -n "${times[build]:-}" ]; then
    grep -E '^image |^deepest ' build/image-report.txt | sed 's/^/  /' || echo "  no size and stack report"
  fi
  local whole=$((SECONDS - started))
  printf 'time: %dm%02ds in all (packages %ds)\n' $((whole / 60)) $((whole % 60)) "$packages_seconds"
  if [ "$status" = 0 ]; then
    echo "verdict: every test passed"
  else
    local reasons=${failed[0]:-a test run failed} reason
    for reason in "${failed[@]:1}"; do reasons+="; $reason"; done
    echo "verdict: FAILED: $reasons (the failures are named above; their output is further up)"
  fi
}
summarize | tee build/test-summary.txt
exit $status
