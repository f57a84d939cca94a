// Boot-set files: what a vDisk's boot reads, kept in its cache directory.
//
// Each vDisk record learns its boot set in memory (contexts/bootset.h,
// vdisk_boot_note on the packet path). This module keeps it in
// "<vdisk dir>/bootset" (BOOT_SET_FILE): read on first use, and written
// atomically (temporary file, fsync, rename) by the cache manager's pass
// when it changed, when the site goes and at shutdown. A file that is
// damaged, truncated, of another vDisk or past the vDisk's end is ignored
// with a warning naming it and why.
//
// For the prepopulation worker, with no lock of the vDisk held:
//
//   for (const boot_range& r : boot_set_ranges(vc)) ... fetch r first ...
//
// Every operation here loads the vDisk's file first if that was not yet
// done (a file read, so never on the packet path) and takes the vDisk's
// `boot` lock only briefly, never across I/O.
#pragma once

#include <cstdint>
#include <vector>

#include "contexts/bootset.h"

struct proxy_context;
struct vdisk_context;

inline constexpr const char* BOOT_SET_FILE = "bootset";

// The boot set's ranges in the order first read (a copy); vDisk bytes.
std::vector<boot_range> boot_set_ranges(vdisk_context* vc);
// The same ranges as their union: sorted, disjoint (a copy).
std::vector<boot_range> boot_set_union(vdisk_context* vc);
// The bytes the boot set covers (each counted once).
uint64_t boot_set_bytes(vdisk_context* vc);

// How warm a vDisk's cache is (contexts/bootset.h), counted from the
// bitmaps (cache/chunks.h) with no lock held across the reads. The last
// count is kept in the vDisk's record and given again, without reading a
// bitmap, while nothing was stored to or evicted from the vDisk and its size
// and boot set stayed the same: a large warm vDisk's count takes a read per
// chunk file, and the metrics and `tarnctl top` ask every few seconds.
boot_set_warmth_figures boot_set_warmth(proxy_context* context, vdisk_context* vc);

// Reads the vDisk's file into its record unless done before; reads learnt
// meanwhile are kept, after the file's.
void boot_set_load(vdisk_context* vc);
// Replaces the record's set by `ranges` (recorded in their order) and marks
// it to be written; returns the number of ranges kept.
size_t boot_set_replace(vdisk_context* vc, const std::vector<boot_range>& ranges);
// Writes the record's set if it changed since last written; false when the
// write failed (the set stays marked, the failure is logged).
bool boot_set_write(vdisk_context* vc);
// Loads and writes the sets of every vDisk record (of the site `site_uuid`
// only, unless null), then lets go of the records kept only for writing
// (a failed write of one is logged and not retried).
void boot_sets_flush(proxy_context* context, const char* site_uuid);
