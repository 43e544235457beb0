#!/usr/bin/env bash
# Installs what is missing, then builds and runs the whole test suite three
# times: a plain build, an AddressSanitizer + UndefinedBehaviorSanitizer
# build, and a ThreadSanitizer build of the port component (its event thread).
# After the plain build, the Debian package is built, checked by lintian,
# installed, started from PATH and removed again, and the real-driver tests
# run in an emulated PC on Linux's own 8250 and ftdi_sio drivers.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
jobs=$(nproc)
export QT_QPA_PLATFORM=offscreen

echo "== plain build"
cmake -S . -B build-test -G Ninja -DCMAKE_BUILD_TYPE=Debug > /dev/null
cmake --build build-test -j "$jobs"
ctest --test-dir build-test --output-on-failure -j "$jobs"

echo "== Debian package"
deb=$(bash scripts/package.sh)
bash tests/install/install_test.sh --deb "$deb"

echo "== real drivers in an emulated PC"
bash scripts/driver-test.sh build-test

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DSERIVOX_SANITIZE=address > /dev/null
cmake --build build-asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp" \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j "$jobs"

echo "== ThreadSanitizer (port component and event thread)"
cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSERIVOX_SANITIZE=thread \
  -DSERIVOX_BUILD_APP=OFF > /dev/null
cmake --build build-tsan -j "$jobs"
TSAN_OPTIONS="halt_on_error=1 suppressions=$PWD/tests/tsan.supp" \
  ctest --test-dir build-tsan --output-on-failure -j "$jobs"
