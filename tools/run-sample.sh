#!/usr/bin/env bash
# Tries morlit end to end on a fresh Debian 12 machine: installs the packages,
# builds the command and the sample maker's tools into build/, makes the XP
# sample image (drivers in its service-pack cabinets, a real SYSTEM hive, an
# old Boot.ini) in a new folder of its own and adjusts it.
#
#   bash tools/run-sample.sh [--skip-deps] [MORLIT OPTION]...
#     --skip-deps   do not install packages (they are there already)
#     the rest goes to morlit, e.g. --no-pauses
#
# The folder ($TMPDIR/morlit-sample.XXXXXX, /tmp when TMPDIR is unset) is
# kept, so the adjusted image can be looked at; the script says where it is.
# Its exit status is morlit's.
set -euo pipefail
cd "$(dirname "$0")/.."
deps=1
if [ "${1:-}" = "--skip-deps" ]; then
    deps=0
    shift
fi
[ "$deps" -eq 0 ] || bash tools/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
# Everything tools/make-sample-targets.sh runs, and the command itself.
cmake --build build -j"$(nproc)" --target morlit mkimage morlit_make_hive morlit_make_dirty_hive
# A folder of this run's own: nothing another user or an earlier try left in
# a fixed place gets in the way.
samples=$(mktemp -d "${TMPDIR:-/tmp}/morlit-sample.XXXXXX")
bash tools/make-sample-targets.sh --build build "$samples" xp-cabinets
image="$samples/xp-cabinets.vhd"
echo "morlit${*:+ $*} $image"
rc=0
build/morlit "$@" "$image" </dev/null || rc=$?
echo "The sample image is $image (remove its folder with: rm -rf $samples)"
exit "$rc"
