// Boot-set commands of the control socket: "export-boot-set" and
// "import-boot-set", which copy a vDisk's boot set (cache/bootset.h) out of
// one cache and into another, so that a fresh cache can prepopulate the
// boot's reads first without ever having seen a boot.
//
//   {"method": "export-boot-set", "params": {"site": uuid, "vdisk": key}}
//     -> {"vdisk": key, "ranges": [[offset, length], ...], "total": n}
//   {"method": "import-boot-set", "params": {"site", "vdisk", "ranges"}}
//     -> {"ranges": n, "written": true}
//
// Offsets and lengths are vDisk bytes. A response is sent in one
// non-blocking write and a request may be at most 1 MiB, which cannot carry
// BOOT_SET_MAX_RANGES ranges; so both go in pages of at most BOOT_SET_PAGE
// ranges. An export answers the page starting at range "from" (default 0)
// and names the next one in "next" while ranges are left. An import page
// names the position of its first range in "index" (default 0, which
// starts a new import) and sets "more" while pages follow: pages are
// gathered, and only the last one replaces the vDisk's set, so an import
// cut short or refused changes nothing. The record is created if the vDisk
// has none yet and the set is written to "<cache_path>/<key>/bootset" at
// once, so it also serves a vDisk first used later.
#pragma once

#include <json-c/json.h>

#include <cstddef>

struct proxy_context;

inline constexpr size_t BOOT_SET_PAGE = 2048;

void process_export_boot_set(proxy_context* context, json_object* request, int connection);
void process_import_boot_set(proxy_context* context, json_object* request, int connection);
