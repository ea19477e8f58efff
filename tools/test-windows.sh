#!/usr/bin/env bash
# Cross-builds the Windows program with mingw-w64 into build/win32, checks
# that it imports only system DLLs, packs the zip, and runs the Windows tests
# under Wine: the unit tests, the Win32 service tests, the adjustment tests on
# folders standing as drives (run-adjust-tests.sh) and the GUI tests under
# Xvfb (screenshots land in build/win32/screenshots). Every Wine step has a
# time limit, and the Wine and X servers started here are stopped at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build="$root/build/win32"

for tool in x86_64-w64-mingw32-g++-posix wine Xvfb convert; do
    command -v "$tool" >/dev/null || { bash tools/install-deps.sh; break; }
done

cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMORLIT_WERROR=ON
cmake --build "$build" -j"$(nproc)"
cmake --build "$build" --target package

exe="$build/platform/win32/Morlit.exe"
dlls=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/.*DLL Name: //p' | tr 'A-Z' 'a-z' | sort)
echo "Morlit.exe imports:" $dlls
for dll in $dlls; do
    case "$dll" in
    kernel32.dll | user32.dll | gdi32.dll | advapi32.dll | shell32.dll | comctl32.dll | \
        comdlg32.dll | shlwapi.dll | virtdisk.dll | msvcrt.dll | ole32.dll | version.dll) ;;
    *)
        echo "Morlit.exe needs a DLL that Windows does not ship: $dll" >&2
        exit 1
        ;;
    esac
done

export WINEPREFIX="$build/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64
display=":$((90 + RANDOM % 100))"
xvfb_pid=""
cleanup() {
    timeout 30 wineserver -k >/dev/null 2>&1 || true
    if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; fi
}
trap cleanup EXIT

Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
export DISPLAY="$display"

# One wineserver for the whole run, with its output (and that of the
# services it starts) away from ctest's pipes, which would otherwise stay
# open and make ctest wait for ever.
mkdir -p "$WINEPREFIX"
wineserver -p >/dev/null 2>&1 </dev/null
timeout 300 wineboot -i >/dev/null 2>&1 </dev/null
timeout 60 wine cmd /c exit >/dev/null 2>&1 </dev/null || true

rm -rf "$build/screenshots"
ctest --test-dir "$build" --output-on-failure --timeout 300
echo "Screenshots: $build/screenshots"
echo "Package: $build/Morlit.zip"
