#!/bin/sh
# Builds the libFuzzer harnesses of tests/fuzz with clang, seeds their
# corpora with images made by the project's own tools, and runs each for a
# while. Crashes are left in BUILD/fuzz-artifacts/NAME/.
#
#   tools/fuzz.sh [-t SECONDS] [-b BUILD] [-j JOBS] [NAME...]
#
# NAME is one of: vhd partition_table reg_import expand iso mountinfo
# command_line crt_stream ntfs fat pe_version (default: all). SECONDS per harness, default 60.
set -eu

src=$(cd "$(dirname "$0")/.." && pwd)
seconds=60
build="$src/build-fuzz"
jobs=2
while getopts t:b:j: opt; do
    case $opt in
        t) seconds=$OPTARG ;;
        b) build=$OPTARG ;;
        j) jobs=$OPTARG ;;
        *) exit 2 ;;
    esac
done
shift $((OPTIND - 1))
all="vhd partition_table reg_import expand iso mountinfo command_line crt_stream ntfs fat pe_version"
names=${*:-$all}

cc=${CC:-clang-14}
cxx=${CXX:-clang++-14}
# clang and its sanitizer runtimes are not among the build's own packages.
if ! command -v "$cxx" >/dev/null 2>&1; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get install -y -q clang-14 libclang-rt-14-dev
fi
# Clang warns where gcc does not; the fuzz build is not the place to fail on it.
cmake -S "$src" -B "$build" -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" \
    -DMORLIT_FUZZ=ON -DMORLIT_WERROR=OFF -DMORLIT_BUILD_TESTS=OFF -DMORLIT_BUILD_BENCH=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
targets=
for n in $names; do targets="$targets fuzz_$n"; done
# shellcheck disable=SC2086
cmake --build "$build" -j "$jobs" --target $targets morlit_make_hive

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
corpus="$build/fuzz-corpus"
mkdir -p "$corpus"

# [u32 LE parent length][parent][child], as fuzz_vhd reads its input.
vhd_pack() {  # parent-or-empty child out
    python3 - "$1" "$2" "$3" <<'PY'
import os, struct, sys
parent = open(sys.argv[1], "rb").read() if sys.argv[1] else b""
child = open(sys.argv[2], "rb").read()
open(sys.argv[3], "wb").write(struct.pack("<I", len(parent)) + parent + child)
PY
}

seed_vhd() {
    d="$corpus/vhd"; mkdir -p "$d"
    qemu-img create -q -f vpc -o subformat=fixed,force_size=on "$work/fixed.vhd" 64K
    vhd_pack "" "$work/fixed.vhd" "$d/fixed"
    python3 "$src/tools/vhdtool.py" dynamic "$work/dyn.vhd" 65536 --block-size 4096
    vhd_pack "" "$work/dyn.vhd" "$d/dynamic-empty"
    qemu-io -f vpc -c "write -P 0x55 0 4k" -c "write -P 0x66 40k 6k" "$work/dyn.vhd" >/dev/null
    vhd_pack "" "$work/dyn.vhd" "$d/dynamic"
    mkdir -p "$work/chain"
    cp "$work/dyn.vhd" "$work/chain/parent.vhd"
    python3 "$src/tools/vhdtool.py" diff "$work/chain/parent.vhd" "$work/chain/child.vhd" \
        --locators rel
    vhd_pack "$work/chain/parent.vhd" "$work/chain/child.vhd" "$d/differencing"
}

seed_partition_table() {
    d="$corpus/partition_table"; mkdir -p "$d"
    truncate -s 8M "$work/mbr.img"
    printf 'label: dos\nstart=2048, size=4096, type=7, bootable\nstart=8192, size=4096, type=c\n' |
        sfdisk -q "$work/mbr.img" >/dev/null
    # 16384 sectors, then the first sector.
    { printf '\000\100\000\000'; head -c 512 "$work/mbr.img"; } >"$d/two"
    # 64 sectors: a primary, then an extended partition at 16 whose chain
    # holds two logical drives; the input ends after the second record.
    python3 - "$d/logical" <<'PY'
import struct, sys
disk = bytearray(33 * 512)
def entry(sector, index, kind, start, count):
    at = sector * 512 + 446 + 16 * index
    disk[at + 4] = kind
    disk[at + 8:at + 16] = struct.pack("<II", start, count)
    disk[sector * 512 + 510:sector * 512 + 512] = b"\x55\xaa"
entry(0, 0, 0x07, 1, 15)
entry(0, 1, 0x0F, 16, 48)
entry(16, 0, 0x0C, 1, 15)
entry(16, 1, 0x05, 16, 32)
entry(32, 0, 0x07, 1, 31)
open(sys.argv[1], "wb").write(struct.pack("<I", 64) + bytes(disk))
PY
}

seed_reg_import() {
    d="$corpus/reg_import"; mkdir -p "$d"
    printf 'REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\VirtualPC\\ControlSet001\\Services\\x]\r\n"Start"=dword:00000003\r\n"Name"="a b"\r\n@="def"\r\n"Bin"=hex:01,02,ff\r\n"Multi"=hex(7):41,00,00,00,00,00\r\n"Exp"=hex(2):25,00,00,00\r\n\r\n[-HKEY_LOCAL_MACHINE\\VirtualPC\\ControlSet002\\Enum]\r\n\r\n[HKEY_LOCAL_MACHINE\\VirtualPC\\Select]\r\n"Current"=-\r\n' >"$d/regedit4"
    printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\VirtualPC\\A\\B]\r\n"long"=hex:00,01,\\\r\n  02,03\r\n"q"="x\\"y\\\\z"\r\n' |
        iconv -f UTF-8 -t UTF-16LE | { printf '\377\376'; cat; } >"$d/version5"
    head -c 3328 "$src/templates/Dravmont.bin" >"$d/template" 2>/dev/null || true
}

seed_expand() {
    d="$corpus/expand"; mkdir -p "$d"
    mkdir -p "$work/cab"
    printf 'first member\r\n%.0s' $(seq 1 200) >"$work/cab/a.txt"
    head -c 3000 /dev/urandom >"$work/cab/B.BIN"
    (cd "$work/cab" && gcab -c "$work/plain.cab" a.txt B.BIN && gcab -cz "$work/mszip.cab" a.txt B.BIN)
    cp "$work/plain.cab" "$d/stored-gcab"; cp "$work/mszip.cab" "$d/mszip"
    python3 "$src/tools/make_cab.py" --lzx "$d/lzx" a.txt="$work/cab/a.txt" B.BIN="$work/cab/B.BIN"
    python3 "$src/tools/make_cab.py" --stored "$d/stored" a.txt="$work/cab/a.txt"
    mscompress -c <"$work/cab/a.txt" >"$d/szdd" 2>/dev/null || { cp "$work/cab/a.txt" "$work/sz.txt";
        mscompress "$work/sz.txt" && cp "$work/sz.tx_" "$d/szdd"; }
}

seed_iso() {
    d="$corpus/iso"; mkdir -p "$d"
    t="$work/cd"; mkdir -p "$t/I386" "$t/deep/a/b/c/d/e/f/g"
    printf 'xp\r\n' >"$t/WIN51"
    printf '[SourceDisksFiles]\r\n' >"$t/I386/TXTSETUP.SIF"
    printf 'readme\r\n' >"$t/README.TXT"
    printf 'long\r\n' >"$t/I386/A Long Name With Spaces.txt"
    printf 'deep\r\n' >"$t/deep/a/b/c/d/e/f/g/file.txt"
    cp "$corpus/expand/mszip" "$t/I386/DRIVER.CAB" 2>/dev/null || printf 'x' >"$t/I386/DRIVER.CAB"
    genisoimage -quiet -no-pad -V XPCD -J -R -o "$d/joliet-rr" "$t" 2>/dev/null
    genisoimage -quiet -no-pad -V XPCD -o "$d/plain" "$t" 2>/dev/null
}

seed_mountinfo() {
    d="$corpus/mountinfo"; mkdir -p "$d"
    printf '36 35 98:0 /mnt1 /mnt2 rw,noatime master:1 - ext3 /dev/root rw\n100 25 0:50 / /media/cd ro shared:5 - iso9660 /dev/sr0 ro\n101 25 0:51 /sub /media/a\\040b ro - udf /dev/sr1 ro\n' >"$d/seed"
    cp /proc/self/mountinfo "$d/self"
}

seed_command_line() {
    d="$corpus/command_line"; mkdir -p "$d"
    for s in '"D:\I386\DRIVER.CAB" -F:atapi.sys "E:\Windows\system32\drivers"' \
             'a\\\"b "c d" e\\\\"f g" """x"""' '"D:\src.cab" "D:\out\single.txt"'; do
        printf '%s' "$s" | iconv -f UTF-8 -t UTF-16LE >"$d/$(printf '%s' "$s" | md5sum | cut -c1-8)"
    done
}

seed_crt_stream() {
    d="$corpus/crt_stream"; mkdir -p "$d"
    for t in "$src"/templates/*.bin; do
        [ -s "$t" ] || continue
        { printf '\377\002'; cat "$t"; } >"$d/$(basename "$t")"
    done
    printf '\020\000a\r\nb\rc\n\032tail' >"$d/short-lines"
}

seed_ntfs() {
    d="$corpus/ntfs"; mkdir -p "$d"
    truncate -s 1536K "$work/ntfs.img"
    mkntfs -q -F -f -s 512 -c 512 "$work/ntfs.img" >/dev/null 2>&1 || return 0
    printf '[boot loader]\r\ntimeout=30\r\n' >"$work/boot.ini"
    head -c 5000 /dev/urandom >"$work/ntldr"
    ntfscp -q -f "$work/ntfs.img" "$work/boot.ini" boot.ini >/dev/null 2>&1 || true
    ntfscp -q -f "$work/ntfs.img" "$work/ntldr" ntldr >/dev/null 2>&1 || true
    cp "$work/ntfs.img" "$d/small"
}

# [u32 LE disk size][the disk's bytes without its trailing zeros], as
# fuzz_fat reads its input.
fat_pack() {  # image out
    python3 - "$1" "$2" <<'PY'
import struct, sys
data = open(sys.argv[1], "rb").read()
open(sys.argv[2], "wb").write(struct.pack("<I", len(data)) + data.rstrip(b"\0"))
PY
}

seed_fat() {
    d="$corpus/fat"; mkdir -p "$d"
    mkdir -p "$work/fat/WINDOWS/system32/config"
    printf '[boot loader]\r\ntimeout=30\r\n' >"$work/fat/boot.ini"
    head -c 5000 /dev/urandom >"$work/fat/ntldr"
    head -c 9000 /dev/urandom >"$work/fat/A long file name.bin"
    head -c 20000 /dev/urandom >"$work/fat/WINDOWS/system32/config/system"
    for kind in "12 -s 1 256" "16 -s 1 2200" "32 -s 1 34000"; do
        set -- $kind
        rm -f "$work/fat$1.img"
        mkfs.fat -C -F "$1" -s "$3" "$work/fat$1.img" "$4" >/dev/null 2>&1 || continue
        MTOOLS_SKIP_CHECK=1 mcopy -s -i "$work/fat$1.img" "$work/fat"/* ::/ 2>/dev/null || continue
        fat_pack "$work/fat$1.img" "$d/fat$1"
    done
}

seed_pe_version() {
    d="$corpus/pe_version"; mkdir -p "$d"
    python3 "$src/tools/make-pe-version.py" 5.0.2195.6717 "$d/kernel-5.0"
    python3 "$src/tools/make-pe-version.py" 5.1.2600.5512 "$d/kernel-5.1"
    # PE32+ files with full version blocks, when Wine is installed.
    for f in /usr/lib/x86_64-linux-gnu/wine/x86_64-windows/version.dll \
             /usr/lib/x86_64-linux-gnu/wine/x86_64-windows/hal.dll; do
        [ -f "$f" ] && cp "$f" "$d/wine-$(basename "$f")"
    done
    return 0
}

for n in $names; do
    "seed_$n"
done

max_len() {
    case $1 in
        ntfs|fat) echo 1572864 ;;
        *) echo 262144 ;;
    esac
}

# libntfs-3g keeps an inode whose close failed to write it back (a damaged
# volume), so leaks there are the library's; look for crashes only.
extra_options() {
    case $1 in
        ntfs) echo -detect_leaks=0 ;;
    esac
}

status=0
for n in $names; do
    art="$build/fuzz-artifacts/$n"
    mkdir -p "$art" "$corpus/$n"
    echo "== fuzz_$n for ${seconds}s"
    leaks=1
    [ "$n" = ntfs ] && leaks=0
    if ! (cd "$art" && ASAN_OPTIONS="detect_leaks=$leaks" "$build/tests/fuzz/fuzz_$n" -max_total_time="$seconds" -timeout=20 \
            -rss_limit_mb=2048 -max_len="$(max_len "$n")" $(extra_options "$n") -print_final_stats=1 -artifact_prefix="$art/" \
            "$corpus/$n" 2>"$art/log" >/dev/null); then
        status=1
        echo "   FAULT: see $art/log"
    fi
    grep -E 'stat::number_of_executed_units|stat::peak_rss_mb' "$art/log" | sed 's/^/   /'
done
exit $status
