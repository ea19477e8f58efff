#!/usr/bin/env bash
# Makes the driver sources an XP volume can hold, with recognisable test
# drivers, under OUT (a folder in the build tree):
#   OUT/content/               the drivers and some filler files, as stored
#   OUT/volume/Windows/Driver Cache/i386/sp3.cab   MSZIP (gcab -z), solid
#   OUT/volume/Windows/Driver Cache/i386/sp2.cab   stored (gcab without -z)
#   OUT/volume/Windows/Driver Cache/i386/sp1.cab   LZX (tools/make_cab.py)
#   OUT/volume/Windows/i386/hal.dl_, ntoskrnl.ex_  one-member cabinets (MSZIP, LZX)
#   OUT/volume/Windows/i386/intelide.sy_           SZDD (mscompress)
#   OUT/volume/Windows/system32/...                the old drivers to replace
#   OUT/paths.cab    the drivers stored under names with folder parts and ".."
# usage: make-driver-sources.sh [--tag TEXT] OUT
#   --tag TEXT   put TEXT in each driver's first line, so that drivers from
#                different sources can be told apart
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
tag=""
if [ "${1:-}" = "--tag" ]; then tag="$2"; shift 2; fi
out="$1"
rm -rf "$out"
mkdir -p "$out/content" "$out/volume/Windows/Driver Cache/i386" "$out/volume/Windows/i386" \
         "$out/volume/Windows/system32/drivers"

# Deterministic content: a header naming the file, then text that compresses
# somewhat but not trivially, long enough to cross 32 KB block boundaries.
python3 - "$out/content" "$tag" <<'PY'
import random, sys
folder = sys.argv[1]
tag = (sys.argv[2] + " ").encode() if sys.argv[2] else b""
def make(name, size, seed):
    rng = random.Random(seed)
    words = [bytes(rng.choice(b"abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(2, 9)))
             for _ in range(400)]
    data = bytearray(b"MORLIT TEST DRIVER " + tag + name.encode() + b"\r\n")
    while len(data) < size:
        data += rng.choice(words) + (b" " if rng.random() < 0.9 else bytes([rng.randrange(256)]))
    with open(f"{folder}/{name}", "wb") as f:
        f.write(bytes(data[:size]))
make("hal.dll", 70001, 1)
make("ntoskrnl.exe", 150000, 2)
make("intelide.sys", 9000, 3)
for i in range(8):
    make(f"filler{i}.dat", 40000 + 12345 * i, 10 + i)
PY

cd "$out/content"
fillers=(filler*.dat)
drivers=(hal.dll intelide.sys ntoskrnl.exe)
cache="$out/volume/Windows/Driver Cache/i386"
gcab -c -n -z "$cache/sp3.cab" "${fillers[@]}" "${drivers[@]}"
gcab -c -n "$cache/sp2.cab" "${fillers[@]}" "${drivers[@]}"
args=()
for f in "${fillers[@]}" "${drivers[@]}"; do args+=("$f=$f"); done
python3 "$here/make_cab.py" --lzx "$cache/sp1.cab" "${args[@]}"

i386="$out/volume/Windows/i386"
gcab -c -n -z "$i386/hal.dl_" hal.dll
python3 "$here/make_cab.py" --lzx "$i386/ntoskrnl.ex_" ntoskrnl.exe=ntoskrnl.exe
tmp="$(mktemp -d)"
cp intelide.sys "$tmp/" && (cd "$tmp" && mscompress intelide.sys)
mv "$tmp/intelide.sys_" "$i386/intelide.sy_"
rm -rf "$tmp"

python3 "$here/make_cab.py" --stored "$out/paths.cab" 'sub\hal.dll=hal.dll' \
    '..\ntoskrnl.exe=ntoskrnl.exe' '..\..\intelide.sys=intelide.sys'

sys32="$out/volume/Windows/system32"
printf 'OLD hal.dll\r\n' > "$sys32/hal.dll"
printf 'OLD ntoskrnl.exe\r\n' > "$sys32/ntoskrnl.exe"
printf 'OLD intelide.sys\r\n' > "$sys32/drivers/intelide.sys"
