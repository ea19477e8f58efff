#!/usr/bin/env bash
# Makes a Windows XP installation CD image: the WIN51 tag file and an I386
# folder with the three compressed drivers, optionally with a service-pack
# cabinet, as genisoimage (or xorriso) writes it.
#
#   make-xp-cd.sh [options] OUTPUT.iso
#     --names plain|joliet|rockridge|both   directory records to write
#                       (plain: ISO 9660 level 1, upper-case 8.3 names only)
#     --cab N           add I386/SPN.CAB holding the three drivers (N = 0..9)
#     --drivers DIR     take hal.dl_, ntoskrnl.ex_ and intelide.sy_ from DIR
#                       (default: recognisable placeholder bytes)
#     --label LABEL     volume label (default WXPVOL_EN)
#     --extra DIR       copy DIR's contents onto the disc as well
set -euo pipefail

names=both
cab=""
drivers=""
label="WXPVOL_EN"
extra=""
out=""
while [ $# -gt 0 ]; do
    case "$1" in
        --names) names="$2"; shift 2 ;;
        --cab) cab="$2"; shift 2 ;;
        --drivers) drivers="$2"; shift 2 ;;
        --label) label="$2"; shift 2 ;;
        --extra) extra="$2"; shift 2 ;;
        -h|--help) sed -n '2,16p' "$0"; exit 0 ;;
        -*) echo "make-xp-cd: unknown option $1" >&2; exit 2 ;;
        *) out="$1"; shift ;;
    esac
done
[ -n "$out" ] || { echo "make-xp-cd: no output file given" >&2; exit 2; }
case "$names" in plain|joliet|rockridge|both) ;; *)
    echo "make-xp-cd: --names must be plain, joliet, rockridge or both" >&2; exit 2 ;;
esac
if [ -n "$cab" ] && ! [[ "$cab" =~ ^[0-9]$ ]]; then
    echo "make-xp-cd: --cab takes one digit" >&2; exit 2
fi

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
tree="$work/tree"
mkdir -p "$tree/I386"

# The tag file Setup and Morlit look for, as on a retail XP disc.
printf '[Media]\r\nName="Windows XP Professional"\r\n' > "$tree/WIN51"
printf '[Media]\r\nName="Windows XP Professional"\r\n' > "$tree/WIN51IP"

for f in hal.dl_ ntoskrnl.ex_ intelide.sy_; do
    upper="$(echo "$f" | tr '[:lower:]' '[:upper:]')"
    if [ -n "$drivers" ]; then
        src=""
        for cand in "$drivers"/*; do
            [ "$(basename "$cand" | tr '[:lower:]' '[:upper:]')" = "$upper" ] && src="$cand"
        done
        [ -n "$src" ] || { echo "make-xp-cd: $f not found in $drivers" >&2; exit 1; }
        cp "$src" "$tree/I386/$upper"
    else
        printf 'CD I386 %s placeholder\n' "$upper" > "$tree/I386/$upper"
    fi
done
printf 'CD I386 TXTSETUP.SIF placeholder\n' > "$tree/I386/TXTSETUP.SIF"

if [ -n "$cab" ]; then
    # The cabinet holds the expanded drivers, as a service-pack cabinet does.
    mkdir -p "$work/cab"
    for f in hal.dll ntoskrnl.exe intelide.sys; do
        printf 'CD SP%s.CAB %s placeholder\n' "$cab" "$f" > "$work/cab/$f"
    done
    (cd "$work/cab" && gcab -c -n -z "$tree/I386/SP$cab.CAB" hal.dll ntoskrnl.exe intelide.sys)
fi

if [ -n "$extra" ]; then
    cp -r "$extra"/. "$tree/"
fi

args=(-quiet -V "$label" -o "$out")
case "$names" in
    plain) args+=(-iso-level 1) ;;
    joliet) args+=(-J) ;;
    rockridge) args+=(-R) ;;
    both) args+=(-J -R) ;;
esac

if command -v genisoimage >/dev/null; then
    genisoimage "${args[@]}" "$tree"
else
    xorriso -as mkisofs "${args[@]}" "$tree" 2>/dev/null
fi
