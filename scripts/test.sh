#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what is missing, then builds and runs the whole test suite three
# times: a plain build, an AddressSanitizer + UndefinedBehaviorSanitizer
# build, and a ThreadSanitizer build of the port component (its event thread).
# After the plain build, the Debian package is built twice from scratch (the
# two must be byte-identical), checked by lintian, installed, run without a
# display, started from PATH and removed again; every source, header, script
# and CMake file must carry its licence line; and the real-driver tests run in
# an emulated PC on Linux's own 8250 and ftdi_sio drivers. The test builds let
# SERIVOX_TEST_STEPS drive the program (SERIVOX_TEST_HOOKS); the package
# does not.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
jobs=$(nproc)
export QT_QPA_PLATFORM=offscreen

echo "== plain build"
cmake -S . -B build-test -G Ninja -DCMAKE_BUILD_TYPE=Debug -DSERIVOX_TEST_HOOKS=ON > /dev/null
cmake --build build-test -j "$jobs"
ctest --test-dir build-test --output-on-failure -j "$jobs"

echo "== Debian package"
first=$(mktemp -d)
deb=$(bash scripts/package.sh)
cp "$deb" "$first/"
# The embedded pictures once carried the time of their checkout: a later
# checkout must not change the package.
touch resources/*
deb=$(bash scripts/package.sh)
cmp "$first/$(basename "$deb")" "$deb" || {
  echo "FAIL: two builds of the package differ"
  exit 1
}
echo "two package builds byte-identical:"
sha256sum "$first/$(basename "$deb")" "$deb"
rm -rf "$first"
bash tests/install/install_test.sh --deb "$deb"
# The line itself, "// SPDX-License-Identifier: MIT" or "# ...", not a mention.
unlicensed=$(git ls-files -z -- '*.cpp' '*.h' '*.sh' '*.py' '*.bash' '*.cmake' '*CMakeLists.txt' .ci/run |
  xargs -0 grep -L -E '^(//|#) SPDX-License-Identifier: MIT$' || true)
if [[ -n $unlicensed ]]; then
  echo "FAIL: no SPDX-License-Identifier line in:"
  echo "$unlicensed"
  exit 1
fi
echo "every source, header, script and CMake file carries its licence line: ok"

echo "== real drivers in an emulated PC"
bash scripts/driver-test.sh build-test

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DSERIVOX_SANITIZE=address -DSERIVOX_TEST_HOOKS=ON \
  > /dev/null
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
