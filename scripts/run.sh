#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what is missing, builds Serivox and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSERIVOX_BUILD_TESTS=OFF -DSERIVOX_TEST_HOOKS=OFF
cmake --build build --target serivox serivox_bridge
exec ./build/app/serivox
