#!/usr/bin/env bash
# Runs one GUI scenario of the driver against Morlit.exe under Wine, in the
# build tree's prefix, and turns its screenshots into PNG files.
#   run-gui-test.sh main|gate DRIVER_EXE MORLIT_EXE BUILD_DIR
set -u
scenario=$1 driver=$2 morlit=$3 build=$4
if [ -z "${DISPLAY:-}" ]; then
    echo "no X display: GUI test skipped (tools/test-windows.sh runs it under Xvfb)"
    exit 77
fi
export WINEPREFIX="${WINEPREFIX:-$build/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
shots="$build/screenshots"
mkdir -p "$shots"
wine_() { timeout --kill-after=10 "${WINE_STEP_TIMEOUT:-60}" wine "$@" </dev/null; }

# Japanese dialog text needs a font under the name the dialogs ask for, and
# Wine draws the window frames itself when no window manager runs.
wine_ reg add 'HKCU\Software\Wine\Fonts\Replacements' /v 'MS UI Gothic' /d IPAPGothic /f >/dev/null 2>&1
wine_ reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1

winshots=$(wine_ winepath -w "$shots" 2>/dev/null | tr -d '\r')
winmorlit=$(wine_ winepath -w "$morlit" 2>/dev/null | tr -d '\r')
status=0
case "$scenario" in
main)
    image_dir="$WINEPREFIX/drive_c/images"
    mkdir -p "$image_dir"
    head -c 4096 /dev/zero >"$image_dir/xp.vhd"
    WINE_STEP_TIMEOUT=240 wine_ "$driver" main "$winmorlit" 'C:\images\xp.vhd' "$winshots" || status=$?
    ;;
gate)
    # The host reports Windows XP only while this value is set.
    wine_ reg add 'HKCU\Software\Wine' /v Version /d winxp /f >/dev/null 2>&1
    WINE_STEP_TIMEOUT=120 wine_ "$driver" gate "$winmorlit" "$winshots" || status=$?
    wine_ reg delete 'HKCU\Software\Wine' /v Version /f >/dev/null 2>&1
    ;;
*)
    echo "unknown scenario $scenario"
    exit 2
    ;;
esac

for bmp in "$shots"/*.bmp; do
    [ -e "$bmp" ] || continue
    convert "$bmp" "${bmp%.bmp}.png" && rm -f "$bmp"
done
exit "$status"
