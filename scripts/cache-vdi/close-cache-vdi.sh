#!/bin/bash
# close-cache-vdi.sh VDI-UUID
#
# tarnproxy runs `sudo /opt/vextal/tarnproxy/close-cache-vdi.sh <vdi-uuid>` when
# it no longer uses the cache of a vDisk. It expects the cache file system to be
# detached and exit status 0; closing a cache that is not open also succeeds.
# On failure (e.g. the file system is still busy) it expects a nonzero status;
# the reason goes to stderr.
#
# This is the reference implementation used in the lab and in tests, the
# counterpart of open-cache-vdi.sh: the caches are tmpfs mounts, so unmounting
# throws their contents away, unless PERSIST=1 made the tmpfs a disk of its
# own that is only detached here. A real cache VDI keeps its file system and
# finds it again on the next open.
set -u
PATH=/usr/sbin:/usr/bin:/sbin:/bin

conf_dir=/opt/vextal/tarnproxy

die() {
	echo "close-cache-vdi: $*" >&2
	exit 1
}

[ $# -eq 1 ] || die "usage: close-cache-vdi.sh VDI-UUID"
vdi=$1
hex='[0-9a-fA-F]'
uuid_re="^$hex{8}-$hex{4}-$hex{4}-$hex{4}-$hex{12}\$"
[[ $vdi =~ $uuid_re ]] || die "not a VDI UUID: '$vdi'"

CACHE_ROOT=$conf_dir/caches
for conf in "$conf_dir/cache-vdi.conf" "$conf_dir/cache-vdi.d/$vdi.conf"; do
	if [ -f "$conf" ]; then
		# shellcheck source=/dev/null
		. "$conf" || die "cannot read $conf"
	fi
done

dir=$CACHE_ROOT/$vdi
if mountpoint -q -- "$dir"; then
	umount -- "$dir" >&2 || die "cannot unmount $dir"
fi
# The empty mount point is only clutter; a directory someone filled stays.
if [ -d "$dir" ]; then
	rmdir -- "$dir" 2>/dev/null || true
fi
exit 0
