#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what building and testing Serivox needs from Debian's archive.
# Does nothing when everything is already there.
set -euo pipefail
packages=(g++ cmake ninja-build pkg-config qt6-base-dev libgl-dev googletest libgtest-dev fonts-dejavu-core
  # Network ports: the protocol library, and ser2net for their tests.
  libgensio-dev ser2net
  # Installing and packing: checks of the menu entry and metainfo, the Debian
  # package's tools and its checker; xvfb to look at the real window; git for
  # the package's time (the last commit's) and the licence-line check.
  desktop-file-utils appstream dpkg-dev file lintian xvfb git)
# Package names given as arguments are installed instead (scripts/driver-test.sh).
if (($#)); then packages=("$@"); fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
