#!/usr/bin/env bash
# Runs every test: the host tests, the same tests under AddressSanitizer and
# UBSan and as a 32-bit i386 build, and the image checks; then prints the
# image's size and stack report.
# Installs what it needs on a fresh Debian machine.
set -euo pipefail
cd "$(dirname "$0")/.."

# Google Benchmark, {fmt} and stb_sprintf are here so that the benchmark,
# which is never run as a test, is still built and cannot rot.
packages=(cmake make clang lld llvm libgtest-dev libclang-rt-14-dev python3
          qemu-system-x86 qemu-system-arm qemu-system-misc opensbi u-boot-qemu mtools dosfstools fdisk
          libbenchmark-dev libfmt-dev libstb-dev
          sbsigntool efitools openssl g++-multilib libc6-dev-i386)
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

status=0
echo "== host build"
ctest --test-dir build --output-on-failure -j "$jobs" || status=1
echo "== sanitizer build"
ctest --test-dir build-sanitize --output-on-failure -j "$jobs" || status=1
echo "== 32-bit build"
ctest --test-dir build-m32 --output-on-failure -j "$jobs" || status=1
# The numbers behind the image_budgets test, for reading; the test alone
# decides the exit status.
echo "== size and stack"
scripts/image-report.sh build || true
exit $status
