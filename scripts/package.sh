#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the Debian package of Serivox from scratch in build-deb (a release
# build installed under /usr), lists its contents and runs lintian over it:
# any error, warning or note fails the build. Prints the package's path,
# alone, on standard output; everything else goes to standard error.
#
# Two runs on the same commit give the same bytes: every time that enters the
# package (file times in its archives, the embedded resources' times) is the
# time of the last commit, and the build folder is always the same.
set -euo pipefail
cd "$(dirname "$0")/.."
exec 3>&1 1>&2
bash scripts/setup.sh
if [[ -z ${SOURCE_DATE_EPOCH-} ]]; then
  SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2> /dev/null) || {
    echo "package.sh: no git history to take the package's time from; set SOURCE_DATE_EPOCH"
    exit 1
  }
fi
export SOURCE_DATE_EPOCH
# Debian's hardening flags (fortified functions, stack protector, read-only
# relocations bound at start); they also map the source folder to "." in
# whatever keeps file names.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
rm -rf build-deb
cmake -S . -B build-deb -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
  -DSERIVOX_BUILD_TESTS=OFF -DSERIVOX_TEST_HOOKS=OFF \
  "-DCMAKE_CXX_FLAGS=$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
  "-DCMAKE_EXE_LINKER_FLAGS=$(dpkg-buildflags --get LDFLAGS)" \
  "-DCMAKE_SHARED_LINKER_FLAGS=$(dpkg-buildflags --get LDFLAGS)" > /dev/null
cmake --build build-deb -j "$(nproc)"
(cd build-deb && cpack -G DEB > /dev/null)
deb=$(ls build-deb/serivox_*.deb)
dpkg-deb --info "$deb"
dpkg-deb --contents "$deb"
lintian --info --display-info --fail-on error,warning,info "$deb" || {
  echo "lintian found errors, warnings or notes in $deb"
  exit 1
}
echo "$deb" >&3
