#!/usr/bin/env bash
# Runs the adjustment and discovery tests of the Windows host under Wine,
# against real files: a folder standing as a hard-disk drive (the attached
# volume) and a folder standing as a CD-ROM drive (the installation CD).
# The driver sources are made here on the Linux side, as an installation
# ships them: hal.dl_ in SZDD form, ntoskrnl.ex_ and intelide.sy_ as
# one-member cabinets, sp3.cab holding all three.
#   run-adjust-tests.sh TEST_EXE BUILD_DIR
set -u
exe=$1 build=$(cd "$2" && pwd)
for tool in mscompress gcab wine wineserver; do
    command -v "$tool" >/dev/null || {
        echo "$tool is missing: Wine adjustment tests skipped (tools/install-deps.sh installs it)"
        exit 77
    }
done
export WINEPREFIX="${WINEPREFIX:-$build/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
wine_() { timeout --kill-after=10 "${WINE_STEP_TIMEOUT:-60}" wine "$@" </dev/null; }

work="$build/tests/win32/adjust-work"
rm -rf "$work"
mkdir -p "$work/fixtures" "$work/volume" "$work/cd/I386"

# The files the drivers expand to: recognisable, and not all text.
(
    cd "$work/fixtures" || exit 1
    for i in $(seq 1 200); do printf 'Standard PC HAL, line %d\r\n' "$i"; done >hal.dll
    { printf 'MZ uniprocessor kernel\0'; seq 1 3000; } >ntoskrnl.exe
    { printf 'MZ intel ide\0\1\2\3'; head -c 20000 /dev/zero | tr '\0' '\377'; } >intelide.sys
    mscompress hal.dll && mv hal.dll_ hal.dl_
    gcab -c -n -z ntoskrnl.ex_ ntoskrnl.exe
    gcab -c -n -z intelide.sy_ intelide.sys
    gcab -c -n -z sp3.cab hal.dll ntoskrnl.exe intelide.sys
) || exit 1
# An XP installation CD: the tag file and its I386 folder.
: >"$work/cd/win51"
cp "$work/fixtures/"{hal.dl_,ntoskrnl.ex_,intelide.sy_} "$work/cd/I386/"

# Two free drive letters: a drive letter is a link in dosdevices.
dosdevices="$WINEPREFIX/dosdevices"
free=()
for letter in m n o p q r s t u v w x y; do
    [ -e "$dosdevices/$letter:" ] || [ -L "$dosdevices/$letter:" ] || free+=("$letter")
    [ "${#free[@]}" -ge 2 ] && break
done
if [ "${#free[@]}" -lt 2 ] || [ ! -d "$dosdevices" ]; then
    echo "no Wine prefix with two free drive letters at $WINEPREFIX" >&2
    exit 1
fi
volume=${free[0]} cd=${free[1]}

# The wineserver in use when we start (tools/test-windows.sh keeps one for
# the whole run) is replaced, since drive types are read only when Wine's
# mount manager starts; a persistent one is put back at the end.
# A prefix's server socket lies in a folder named after the prefix's device
# and inode (under /tmp/.wine-UID, or a /tmp/wine-* folder on Debian).
had_server=0
server_id="server-$(printf '%x-%x' "0x$(stat -c %D "$WINEPREFIX")" "$(stat -c %i "$WINEPREFIX")")"
for socket in /tmp/.wine-"$(id -u)"/"$server_id"/socket /tmp/wine-*/"$server_id"/socket; do
    [ -S "$socket" ] && had_server=1
done
stop_server() {
    timeout 30 wineserver -k >/dev/null 2>&1
    timeout 30 wineserver -w >/dev/null 2>&1
}
restart_server() {
    stop_server
    # Away from ctest's pipes, which an inherited server would keep open.
    wineserver "$1" >/dev/null 2>&1 </dev/null
}
cleanup() {
    rm -f "$dosdevices/$volume:" "$dosdevices/$cd:"
    wine_ reg delete 'HKLM\Software\Wine\Drives' /v "$cd:" /f >/dev/null 2>&1
    if [ "$had_server" = 1 ]; then restart_server -p; else stop_server; fi
}
trap cleanup EXIT

ln -s "$work/volume" "$dosdevices/$volume:"
ln -s "$work/cd" "$dosdevices/$cd:"
wine_ reg add 'HKLM\Software\Wine\Drives' /v "$cd:" /d cdrom /f >/dev/null 2>&1 || exit 1
restart_server -p5

MORLIT_TEST_VOLUME=$volume MORLIT_TEST_CD=$cd \
    MORLIT_TEST_FIXTURES=$(wine_ winepath -w "$work/fixtures" 2>/dev/null | tr -d '\r') \
    WINE_STEP_TIMEOUT=150 wine_ "$exe" "${@:3}"
