#!/usr/bin/env bash
# Runs a cross-built program under Wine with a time limit. Without a
# WINEPREFIX it uses the prefix inside the build tree the program lies in.
set -u
exe=$1
shift
if [ -z "${WINEPREFIX:-}" ]; then
    dir=$(cd "$(dirname "$exe")" && pwd)
    while [ "$dir" != / ] && [ ! -f "$dir/CMakeCache.txt" ]; do dir=$(dirname "$dir"); done
    export WINEPREFIX="$dir/wineprefix"
fi
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
exec timeout --kill-after=10 "${MORLIT_WINE_TIMEOUT:-300}" wine "$exe" "$@"
