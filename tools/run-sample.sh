#!/usr/bin/env bash
# Tries morlit end to end on a fresh Debian 12 machine: installs the packages,
# builds the command into build/, makes the XP sample image (drivers in its
# service-pack cabinets, a real SYSTEM hive, an old Boot.ini) and adjusts it.
#
#   bash tools/run-sample.sh [--skip-deps] [MORLIT OPTION]...
#     --skip-deps   do not install packages (they are there already)
#     the rest goes to morlit, e.g. --no-pauses
#
# The image is left in /tmp/morlit-samples/xp-cabinets.vhd; its exit status
# is morlit's.
set -euo pipefail
cd "$(dirname "$0")/.."
deps=1
if [ "${1:-}" = "--skip-deps" ]; then
    deps=0
    shift
fi
[ "$deps" -eq 0 ] || bash tools/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target morlit mkimage morlit_make_hive
samples=/tmp/morlit-samples
bash tools/make-sample-targets.sh --build build "$samples" xp-cabinets
echo "morlit $* $samples/xp-cabinets.vhd"
exec build/morlit "$@" "$samples/xp-cabinets.vhd" </dev/null
