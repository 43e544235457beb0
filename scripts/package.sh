#!/usr/bin/env bash
# Builds the Debian package of Serivox in build-deb (a release build installed
# under /usr), lists its contents and runs lintian over it. Prints the
# package's path, alone, on standard output; everything else goes to standard
# error.
set -euo pipefail
cd "$(dirname "$0")/.."
exec 3>&1 1>&2
bash scripts/setup.sh
# Debian's hardening flags (fortified functions, stack protector, read-only
# relocations bound at start).
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cmake -S . -B build-deb -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
  -DSERIVOX_BUILD_TESTS=OFF \
  "-DCMAKE_CXX_FLAGS=$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
  "-DCMAKE_EXE_LINKER_FLAGS=$(dpkg-buildflags --get LDFLAGS)" \
  "-DCMAKE_SHARED_LINKER_FLAGS=$(dpkg-buildflags --get LDFLAGS)" > /dev/null
cmake --build build-deb -j "$(nproc)"
(cd build-deb && cpack -G DEB > /dev/null)
deb=$(ls build-deb/serivox_*.deb)
dpkg-deb --info "$deb"
dpkg-deb --contents "$deb"
# Errors fail the build; warnings and notes are shown.
lintian --fail-on error "$deb" || {
  echo "lintian found errors in $deb"
  exit 1
}
echo "$deb" >&3
