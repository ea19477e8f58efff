#!/usr/bin/env bash
# Builds a sample disk image from nothing but Morlit's own code and Debian
# tools: no root, no loop devices, no FUSE.
#
#   tools/make-sample-image.sh [options] OUT
#     --tree FILE       file tree for the NTFS volume (repeatable; default
#                       tools/trees/win7.tree); see tools/mkimage.cpp
#     --format F        fixed (default), dynamic or raw
#     --start SECTOR    first sector of the partition: 2048 (1 MiB, default)
#                       or 63 (the XP layout)
#     --size MIB        disk size in MiB (default 48)
#     --type HEX        partition type (default 07 for NTFS, 06 for FAT16,
#                       0C for FAT32)
#     --fs FS           ntfs (default), fat16 or fat32: a FAT volume is made
#                       by mkfs.fat and filled by the mtools (tree_to_fat.py)
#     --no-fs           leave the partition unformatted
#     --dirty           mark the volume dirty
#     --hibernated      leave a hibernation file on the volume
#     --log STATE       restart pages in $LogFile saying the volume was shut
#                       down "clean" or "unclean", left open by a Windows 8
#                       or later ("newer"), or marked by chkdsk ("chkdsk");
#                       mkntfs leaves it empty
#     --compressed NAME add a compressed 200000-byte file NAME at the root
#     --reserved TREE   first a small NTFS partition ("System Reserved",
#                       8 MiB) filled from TREE; the --tree volume follows it
#     --before TYPE     first an unformatted 4 MiB primary partition of this
#                       type (a vendor's utility or recovery partition, e.g.
#                       de, 12, 27, 84); repeatable, in table order
#     --logical         the volume is the first logical drive of an extended
#                       partition (05) that follows the partitions before it
#     --mkimage PATH    the mkimage tool (default build/mkimage)
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
trees=()
format=fixed
start=2048
size=48
type=""
fs=ntfs
nofs=0
dirty=0
hibernated=0
log=""
compressed=()
reserved=""
reserved_sectors=$((8 * 2048))
befores=()
before_sectors=$((4 * 2048))
logical=0
mkimage="${MORLIT_MKIMAGE:-$here/../build/mkimage}"
out=""
while [ $# -gt 0 ]; do
    case "$1" in
        --tree) trees+=("$2"); shift 2 ;;
        --format) format="$2"; shift 2 ;;
        --start) start="$2"; shift 2 ;;
        --size) size="$2"; shift 2 ;;
        --type) type="$2"; shift 2 ;;
        --fs) fs="$2"; shift 2 ;;
        --no-fs) nofs=1; shift ;;
        --dirty) dirty=1; shift ;;
        --hibernated) hibernated=1; shift ;;
        --log) log="$2"; shift 2 ;;
        --compressed) compressed+=("$2"); shift 2 ;;
        --reserved) reserved="$2"; shift 2 ;;
        --before) befores+=("$2"); shift 2 ;;
        --logical) logical=1; shift ;;
        --mkimage) mkimage="$2"; shift 2 ;;
        -h|--help) sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
        -*) echo "make-sample-image: unknown option $1" >&2; exit 2 ;;
        *) out="$1"; shift ;;
    esac
done
[ -n "$out" ] || { echo "usage: make-sample-image.sh [options] OUT" >&2; exit 2; }
[ ${#trees[@]} -gt 0 ] || trees=("$here/trees/win7.tree")
PATH="$PATH:/usr/sbin:/sbin"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
disk_sectors=$((size * 2048))
main_start="$start"
# Partitions before the volume: each takes its place in the table, and the
# volume (or the extended partition holding it) starts after them. A
# logical drive starts as far into its extended partition as the first
# partition does into the disk.
table=()
for kind in "${befores[@]}"; do
    table+=("start=$main_start, size=$before_sectors, type=$kind")
    main_start=$((main_start + before_sectors))
done
if [ "$logical" -eq 1 ]; then
    [ -z "$reserved" ] || { echo "make-sample-image: --logical with --reserved" >&2; exit 2; }
    table+=("start=$main_start, size=$((disk_sectors - main_start)), type=05")
    main_start=$((main_start + start))
fi
if [ -n "$reserved" ]; then
    [ ${#befores[@]} -eq 0 ] || { echo "make-sample-image: --before with --reserved" >&2; exit 2; }
    main_start=$((start + reserved_sectors))
    truncate -s $((reserved_sectors * 512)) "$work/reserved.img"
    mkntfs -F -q -Q -s 512 -p "$start" -H 255 -S 63 -L "System Reserved" "$work/reserved.img" \
        >/dev/null 2>&1 || { echo "make-sample-image: mkntfs failed" >&2; exit 1; }
    "$mkimage" populate "$work/reserved.img" "$reserved"
fi
part_sectors=$((disk_sectors - main_start))

truncate -s $((part_sectors * 512)) "$work/part.img"
case "$fs" in
    ntfs) type="${type:-07}" ;;
    fat16) type="${type:-06}" ;;
    fat32) type="${type:-0c}" ;;
    *) echo "make-sample-image: unknown file system $fs" >&2; exit 2 ;;
esac
if [ "$nofs" -eq 0 ] && [ "$fs" != ntfs ]; then
    # FAT32 needs 65525 clusters: one sector each on a small disk.
    bits=${fs#fat}
    spc=4
    [ "$bits" = 32 ] && spc=1
    mkfs.fat -F "$bits" -s "$spc" -S 512 -h "$main_start" -n SAMPLE "$work/part.img" >/dev/null ||
        { echo "make-sample-image: mkfs.fat failed" >&2; exit 1; }
    python3 "$here/tree_to_fat.py" "$work/part.img" "${trees[@]}"
    if [ "$dirty" -eq 1 ]; then
        # Clear the "clean shutdown" bit of FAT entry 1 in both FATs.
        python3 - "$work/part.img" "$bits" <<'PY'
import struct, sys
path, bits = sys.argv[1], int(sys.argv[2])
with open(path, "r+b") as f:
    boot = f.read(512)
    bps, reserved, fats = struct.unpack_from("<H", boot, 11)[0], struct.unpack_from("<H", boot, 14)[0], boot[16]
    size = struct.unpack_from("<H", boot, 22)[0] or struct.unpack_from("<I", boot, 36)[0]
    for n in range(fats):
        at = (reserved + n * size) * bps
        if bits == 32:
            f.seek(at + 4); v = struct.unpack("<I", f.read(4))[0] & ~0x08000000
            f.seek(at + 4); f.write(struct.pack("<I", v))
        else:
            f.seek(at + 2); v = struct.unpack("<H", f.read(2))[0] & ~0x8000
            f.seek(at + 2); f.write(struct.pack("<H", v))
PY
    fi
elif [ "$nofs" -eq 0 ]; then
    mkntfs -F -q -Q -s 512 -p "$main_start" -H 255 -S 63 -L Sample "$work/part.img" >/dev/null 2>&1 ||
        { echo "make-sample-image: mkntfs failed" >&2; exit 1; }
    "$mkimage" populate "$work/part.img" "${trees[@]}"
    for name in "${compressed[@]}"; do
        "$mkimage" compressed "$work/part.img" "$name" 200000
    done
    [ "$hibernated" -eq 0 ] || "$mkimage" hibernate "$work/part.img"
    [ "$dirty" -eq 0 ] || "$mkimage" mark-dirty "$work/part.img"
    [ -z "$log" ] || "$mkimage" log-restart "$work/part.img" "$log"
fi

truncate -s $((disk_sectors * 512)) "$work/disk.img"
if [ -n "$reserved" ]; then
    printf '%s\n' "start=$start, size=$reserved_sectors, type=07, bootable" \
        "start=$main_start, size=$part_sectors, type=$type"
elif [ ${#table[@]} -gt 0 ]; then
    printf '%s\n' "${table[@]}" "start=$main_start, size=$part_sectors, type=$type"
else
    echo "start=$start, size=$part_sectors, type=$type, bootable"
fi | sfdisk --quiet --no-reread --no-tell-kernel --label dos "$work/disk.img" >/dev/null
if [ -n "$reserved" ]; then
    dd if="$work/reserved.img" of="$work/disk.img" bs=1M seek=$((start * 512)) oflag=seek_bytes \
        conv=notrunc status=none
fi
dd if="$work/part.img" of="$work/disk.img" bs=1M seek=$((main_start * 512)) oflag=seek_bytes \
    conv=notrunc status=none

case "$format" in
    raw) mv "$work/disk.img" "$out" ;;
    fixed|dynamic)
        qemu-img convert -q -f raw -O vpc -o subformat="$format",force_size=on \
            "$work/disk.img" "$work/out.vhd"
        mv "$work/out.vhd" "$out" ;;
    *) echo "make-sample-image: unknown format $format" >&2; exit 2 ;;
esac
