#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds Morlit into build/ and runs every
# unit and integration test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMORLIT_WERROR=ON
cmake --build build -j"$(nproc)"
ctest --test-dir build --output-on-failure -j"$(nproc)"
# The Windows program, cross-built and tested under Wine.
bash tools/test-windows.sh
