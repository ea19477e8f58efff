#!/usr/bin/env bash
# Builds the whole set of sample targets: disk images holding a Windows 7,
# XP or 2000 installation with a real SYSTEM hive, the old drivers and
# Boot.ini that a run replaces, and the driver sources a run finds; and XP
# installation CD images. Nothing but Morlit's own tools and Debian's.
#
#   tools/make-sample-targets.sh [--build DIR] [--format F] OUTDIR [NAME...]
#     NAME          build only these (e.g. xp-cabinets xp-cd); default all
#     --build DIR   where mkimage and tools/hive/morlit_make_hive were built
#                   (default build/)
#     --format F    fixed (default) or dynamic VHDs
#
# In OUTDIR:
#   win7.vhd          boot manager and Boot\BCD; hive with Select\Default 2
#   xp-cabinets.vhd   XP (sector 63), Driver Cache\i386\sp2.cab (stored,
#                     drivers tagged SP2) and sp3.cab (MSZIP, tagged SP3)
#   win2000.vhd       2000, WINNT\Driver Cache\i386\sp4.cab (LZX, tagged SP4)
#   xp-i386.vhd       XP with WINDOWS\i386: hal.dl_ (MSZIP), ntoskrnl.ex_
#                     (LZX), intelide.sy_ (SZDD), tagged I386
#   xp-nosource.vhd   XP with no driver source on the volume
#   none.vhd          an NTFS volume without any installation
#   xp-nomember.vhd   XP whose sp3.cab lacks ntoskrnl.exe
#   xp-badhive.vhd    XP with sp3.cab whose hive's Select\Default is a string
#   xp-fat32.vhd      XP on FAT32 (sector 63), Driver Cache\i386\sp2.cab
#                     (tagged SP2), config\systemprofile; made by mkfs.fat
#                     and the mtools
#   win2000-fat16.vhd 2000 on FAT16 (sector 63) with WINNT\i386 (tagged
#                     I386); made by mkfs.fat and the mtools
#   win7-reserved.vhd Windows 7 on its second partition; the first, "System
#                     Reserved", holds only bootmgr and Boot\BCD
#   xp-dirty.vhd      XP with sp3.cab whose hive is dirty: its newest keys
#                     (ControlSet001\Enum\PCI\...\Recovered, ...\STORAGE\
#                     Volume\Recovered) are only in an old-format system.LOG
#   win7-dirty.vhd    Windows 7 whose hive is dirty, with SYSTEM.LOG1 written
#                     for another state of it and SYSTEM.LOG2 that applies
#   xp-vendor.vhd     XP as partition 2, behind a vendor's utility partition
#                     (type DE), with sp3.cab
#   xp-logical.vhd    XP on the first logical drive, behind two primary
#                     partitions of types that get no letter (12, 27): ARC
#                     partition 3, although Linux calls it the fifth
#   win2000-third.vhd 2000 as partition 3, behind two such partitions (DE,
#                     84), with sp4.cab
#   win7-nobootmgr.vhd  Windows 7 alone, without bootmgr or Boot\BCD (an image
#                     of C: only): Windows\System32\winload.exe, a 6.1
#                     kernel, the Windows 7 hive; run with the XP CD
#   win2000-nosource.vhd  2000 in WINNT with no driver source; its
#                     ntoskrnl.exe carries a 5.0 version resource
#   xp-winnt.vhd      XP upgraded from 2000: WINNT, no driver source, a 5.1
#                     kernel
#   (the kernels are written by tools/make-pe-version.py)
#   xp-cd.iso         XP CD: WIN51, I386 with the compressed drivers (tagged CD)
#   xp-cd-sp3.iso     the same with I386\SP3.CAB
#   sources/          the driver sources and hives the images were made from
# Hives: Select\Default 2 of control sets 1, 2, 3 (XP, 7); 1 of 1, 2 (2000).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$here/../build"
format=fixed
out=""
only=()
while [ $# -gt 0 ]; do
    case "$1" in
        --build) build="$2"; shift 2 ;;
        --format) format="$2"; shift 2 ;;
        -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
        -*) echo "make-sample-targets: unknown option $1" >&2; exit 2 ;;
        *) if [ -z "$out" ]; then out="$1"; else only+=("${1%.*}"); fi; shift ;;
    esac
done
[ -n "$out" ] || { echo "usage: make-sample-targets.sh [--build DIR] OUTDIR [NAME...]" >&2; exit 2; }
wanted() { [ ${#only[@]} -eq 0 ] || [[ " ${only[*]} " == *" $1 "* ]]; }
mkimage="$build/mkimage"
make_hive="$build/tools/hive/morlit_make_hive"
make_dirty_hive="$build/tools/hive/morlit_make_dirty_hive"
for tool in "$mkimage" "$make_hive" "$make_dirty_hive"; do
    [ -x "$tool" ] || { echo "make-sample-targets: $tool is not built" >&2; exit 1; }
done

mkdir -p "$out"
out="$(cd "$out" && pwd)"
src="$out/sources"
rm -rf "$src"
mkdir -p "$src"

"$make_hive" "$src/system-xp" --default 2 --sets 1,2,3 >/dev/null
"$make_hive" "$src/system-7" --default 2 --sets 1,2,3 >/dev/null
"$make_hive" "$src/system-2000" --default 1 --sets 1,2 >/dev/null
"$make_hive" "$src/system-bad" --sets 1,2 --default-sz 2 >/dev/null
mkdir -p "$src/dirty-xp" "$src/dirty-7"
"$make_dirty_hive" "$src/system-xp" "$src/dirty-xp" system old
"$make_dirty_hive" "$src/system-7" "$src/dirty-7" SYSTEM old2

for tag in SP2 SP3 SP4 I386 CD; do
    bash "$here/make-driver-sources.sh" --tag "$tag" "$src/$tag"
done
cache() { echo "$src/$1/volume/Windows/Driver Cache/i386/$2"; }
i386() { echo "$src/$1/volume/Windows/i386"; }
# A cabinet lacking the kernel: the run's second driver step fails.
(cd "$src/SP3/content" && gcab -c -n -z "$src/nomember.cab" hal.dll intelide.sys)

# Kernels whose version resource says which Windows they belong to.
for v in 5.0.2195.6717 5.1.2600.5512 6.1.7601.17514; do
    python3 "$here/make-pe-version.py" "$v" "$src/kernel-${v%.*.*}.exe"
done

# Each tree: a base tree from tools/trees, then the files of this target.
tree() {
    local name="$1" base="$2"
    shift 2
    {
        echo "include $here/trees/$base"
        printf '%s\n' "$@"
    } > "$src/$name.tree"
}
xphive='copy WINDOWS\system32\config\system '"$src/system-xp"
tree win7 win7.tree 'copy Windows\system32\config\SYSTEM '"$src/system-7"
tree xp-cabinets xp.tree "$xphive" \
    "copy \"WINDOWS\\Driver Cache\\i386\\sp2.cab\" $(cache SP2 sp2.cab)" \
    "copy \"WINDOWS\\Driver Cache\\i386\\sp3.cab\" $(cache SP3 sp3.cab)"
tree win2000 win2000.tree 'copy WINNT\system32\config\system '"$src/system-2000" \
    "copy \"WINNT\\Driver Cache\\i386\\sp4.cab\" $(cache SP4 sp1.cab)"
tree xp-i386 xp.tree "$xphive" \
    "copy WINDOWS\\i386\\hal.dl_ $(i386 I386)/hal.dl_" \
    "copy WINDOWS\\i386\\ntoskrnl.ex_ $(i386 I386)/ntoskrnl.ex_" \
    "copy WINDOWS\\i386\\intelide.sy_ $(i386 I386)/intelide.sy_"
tree xp-nosource xp.tree "$xphive"
tree xp-nomember xp.tree "$xphive" \
    "copy \"WINDOWS\\Driver Cache\\i386\\sp3.cab\" $src/nomember.cab"
tree xp-badhive xp.tree 'copy WINDOWS\system32\config\system '"$src/system-bad" \
    "copy \"WINDOWS\\Driver Cache\\i386\\sp3.cab\" $(cache SP3 sp3.cab)"
# systemprofile beside the hive takes SYSTEM~1 before system_back is made.
tree xp-fat32 xp.tree "$xphive" 'dir WINDOWS\system32\config\systemprofile' \
    "copy \"WINDOWS\\Driver Cache\\i386\\sp2.cab\" $(cache SP2 sp2.cab)"
tree win2000-fat16 win2000.tree 'copy WINNT\system32\config\system '"$src/system-2000" \
    "copy WINNT\\i386\\hal.dl_ $(i386 I386)/hal.dl_" \
    "copy WINNT\\i386\\ntoskrnl.ex_ $(i386 I386)/ntoskrnl.ex_" \
    "copy WINNT\\i386\\intelide.sy_ $(i386 I386)/intelide.sy_"
tree xp-dirty xp.tree 'copy WINDOWS\system32\config\system '"$src/dirty-xp/system" \
    'copy WINDOWS\system32\config\system.LOG '"$src/dirty-xp/system.LOG" \
    "copy \"WINDOWS\\Driver Cache\\i386\\sp3.cab\" $(cache SP3 sp3.cab)"
tree win7-dirty win7.tree 'copy Windows\system32\config\SYSTEM '"$src/dirty-7/SYSTEM" \
    'copy Windows\system32\config\SYSTEM.LOG1 '"$src/dirty-7/SYSTEM.LOG1" \
    'copy Windows\system32\config\SYSTEM.LOG2 '"$src/dirty-7/SYSTEM.LOG2"
# Windows 7 as its setup lays it out on a blank disk: the boot manager on a
# small first partition, the installation on the second.
printf '%s\n' '# System Reserved: the boot manager and its store only.' \
    'file bootmgr BOOTMGR (sample)' 'attr bootmgr hidden,system,readonly,archive' 'dir Boot' \
    'file Boot\BCD regf (sample boot configuration)' 'attr Boot\BCD hidden,system,archive' \
    > "$src/reserved.tree"
printf '%s\n' '# The installation: no boot manager of its own.' \
    'dir Windows\system32\config' 'dir Windows\system32\drivers' \
    'copy Windows\system32\config\SYSTEM '"$src/system-7" \
    'file Windows\system32\ntoskrnl.exe MZ (sample kernel)' 'dir Users\Public' \
    > "$src/win7-reserved.tree"
# Windows 7 without its boot manager: the image of C: alone.
printf '%s\n' '# Windows 7 with no boot manager on its volume.' \
    'dir Windows\system32\config' 'dir Windows\system32\drivers' \
    'copy Windows\system32\config\SYSTEM '"$src/system-7" \
    'copy Windows\System32\ntoskrnl.exe '"$src/kernel-6.1.exe" \
    'file Windows\System32\winload.exe MZ (sample OS loader)' \
    'file Windows\system32\hal.dll MZ (sample HAL)' \
    'file Windows\system32\drivers\intelide.sys MZ (sample IDE driver)' \
    'dir "Program Files"' 'dir Users\Public' > "$src/win7-nobootmgr.tree"
tree win2000-nosource win2000.tree 'copy WINNT\system32\config\system '"$src/system-2000" \
    'copy WINNT\system32\ntoskrnl.exe '"$src/kernel-5.0.exe"
tree xp-winnt win2000.tree 'copy WINNT\system32\config\system '"$src/system-xp" \
    'copy WINNT\system32\ntoskrnl.exe '"$src/kernel-5.1.exe"
printf '%s\n' '# A data volume: no Windows on it.' 'dir Data' \
    'file Data\readme.txt nothing to boot here\r\n' > "$src/none.tree"

image() {
    local name="$1"
    shift
    wanted "$name" || return 0
    bash "$here/make-sample-image.sh" --mkimage "$mkimage" --format "$format" \
        --tree "$src/$name.tree" "$@" "$out/$name.vhd"
}
image win7
image xp-cabinets --start 63
image win2000 --start 63
image xp-i386 --start 63
image xp-nosource --start 63
image none
image xp-nomember --start 63
image xp-badhive --start 63
image xp-fat32 --start 63 --fs fat32
image win2000-fat16 --start 63 --fs fat16
image win7-reserved --reserved "$src/reserved.tree"
image xp-dirty --start 63
image win7-dirty
# Real machines' layouts: the installation is not partition 1, and the
# partitions before it get no letter, so it is still the first volume.
tree xp-vendor xp.tree "$xphive" "copy \"WINDOWS\\Driver Cache\\i386\\sp3.cab\" $(cache SP3 sp3.cab)"
tree xp-logical xp.tree "$xphive" "copy \"WINDOWS\\Driver Cache\\i386\\sp3.cab\" $(cache SP3 sp3.cab)"
tree win2000-third win2000.tree 'copy WINNT\system32\config\system '"$src/system-2000" \
    "copy \"WINNT\\Driver Cache\\i386\\sp4.cab\" $(cache SP4 sp1.cab)"
image xp-vendor --start 63 --before de
image xp-logical --start 63 --before 12 --before 27 --logical
image win2000-third --start 63 --before de --before 84
image win7-nobootmgr
image win2000-nosource --start 63
image xp-winnt --start 63

if wanted xp-cd; then
    bash "$here/make-xp-cd.sh" --drivers "$(i386 CD)" "$out/xp-cd.iso"
fi
if wanted xp-cd-sp3; then
    bash "$here/make-xp-cd.sh" --drivers "$(i386 CD)" --cab 3 "$out/xp-cd-sp3.iso"
fi
for name in "${only[@]}"; do
    [ -e "$out/$name.vhd" ] || [ -e "$out/$name.iso" ] ||
        { echo "make-sample-targets: no sample target $name" >&2; exit 2; }
done
