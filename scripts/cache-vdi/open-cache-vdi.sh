#!/bin/bash
# open-cache-vdi.sh VDI-UUID
#
# tarnproxy runs `sudo /opt/vextal/tarnproxy/open-cache-vdi.sh <vdi-uuid>` when
# it wants the cache of a vDisk. It expects a file system for that VDI to be
# mounted, its directory printed as the only line on stdout and exit status 0.
# On failure it expects a nonzero status; the reason goes to stderr.
# Opening a cache that is already open must succeed and print the same
# directory again.
#
# This is the reference implementation used in the lab and in tests: each cache
# is a tmpfs, so its contents are lost when it is closed. A real cache VDI
# attaches a disk and keeps its file system across close and open; PERSIST=1
# does the same here: the tmpfs stands for the disk, mounted once under
# DISK_ROOT, and open and close only attach and detach it.
#
# Settings (shell variables) come from /opt/vextal/tarnproxy/cache-vdi.conf and
# then, for one VDI, from /opt/vextal/tarnproxy/cache-vdi.d/<vdi-uuid>.conf:
#   CACHE_ROOT  where the caches are mounted (/opt/vextal/tarnproxy/caches)
#   SIZE        tmpfs size: bytes, or with a k/m/g suffix, or a % of RAM (1G)
#   INODES      tmpfs inode limit, optionally with a k/m/g suffix (65536)
#   PERSIST     1: keep the contents across close and open (0)
#   DISK_ROOT   where PERSIST keeps the disks (/opt/vextal/tarnproxy/cache-disks)
set -u
PATH=/usr/sbin:/usr/bin:/sbin:/bin

conf_dir=/opt/vextal/tarnproxy

die() {
	echo "open-cache-vdi: $*" >&2
	exit 1
}

[ $# -eq 1 ] || die "usage: open-cache-vdi.sh VDI-UUID"
vdi=$1
# The VDI becomes a path component: nothing but a UUID may pass.
hex='[0-9a-fA-F]'
uuid_re="^$hex{8}-$hex{4}-$hex{4}-$hex{4}-$hex{12}\$"
[[ $vdi =~ $uuid_re ]] || die "not a VDI UUID: '$vdi'"

CACHE_ROOT=$conf_dir/caches
SIZE=1G
INODES=65536
PERSIST=0
DISK_ROOT=$conf_dir/cache-disks
for conf in "$conf_dir/cache-vdi.conf" "$conf_dir/cache-vdi.d/$vdi.conf"; do
	if [ -f "$conf" ]; then
		# shellcheck source=/dev/null
		. "$conf" || die "cannot read $conf"
	fi
done

# These end up in the mount options, where a comma would smuggle in others.
[[ $SIZE =~ ^[0-9]+[kKmMgG%]?$ ]] || die "bad SIZE '$SIZE'"
[[ $INODES =~ ^[0-9]+[kKmMgG]?$ ]] || die "bad INODES '$INODES'"
[[ $CACHE_ROOT == /* ]] || die "CACHE_ROOT must be absolute: '$CACHE_ROOT'"
[[ $DISK_ROOT == /* ]] || die "DISK_ROOT must be absolute: '$DISK_ROOT'"

dir=$CACHE_ROOT/$vdi
mkdir -p -- "$dir" || die "cannot create $dir"
if ! mountpoint -q -- "$dir"; then
	if [ "$PERSIST" = 1 ]; then
		disk=$DISK_ROOT/$vdi
		mkdir -p -- "$disk" || die "cannot create $disk"
		if ! mountpoint -q -- "$disk"; then
			mount -t tmpfs -o "size=$SIZE,nr_inodes=$INODES,mode=0700" \
				tarn-cache-disk "$disk" >&2 || die "cannot mount a tmpfs on $disk"
		fi
		mount --bind -- "$disk" "$dir" >&2 || die "cannot attach $disk on $dir"
	else
		mount -t tmpfs -o "size=$SIZE,nr_inodes=$INODES,mode=0700" \
			tarn-cache "$dir" >&2 || die "cannot mount a tmpfs on $dir"
	fi
fi
printf '%s\n' "$dir"
