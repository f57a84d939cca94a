// The chunk-file store: vDisk data and allocation bitmaps in a site's cache.
//
// A vDisk's bytes are cut into chunks of the site's chunk size S; chunk n
// lives in "<cache_path>/<vdisk_key>/<n>", a file of exactly S + S / 4096
// bytes: the data area (vDisk byte n * S + i at file offset i) followed by a
// bitmap with one bit per 512-byte sector (sector s at file byte S + s / 8,
// mask 0x80 >> s % 8). A set bit means the sector's 512 bytes are on disk;
// bits are only ever set, always after the data they declare is written, so
// readers need no lock.
//
//   auto s = cc->session.lock_shared();
//   if (cache_get_data(context, cc, *s, offset, buf, len) == len) ... a hit ...
//   cache_put_data(context, cc, *s, offset, reply_data, len);
//
// The four cache operations take vDisk byte offsets of the vDisk of the
// client's session (its `vdisk_key`, which must name one) and return the length when the
// whole range was stored, read or found, and 0 otherwise; there are no
// partial results. Offsets and lengths may come straight from the network:
// a range that overflows, a length beyond INT32_MAX or a chunk number beyond
// INT32_MAX is refused (0) without touching any file. Writes mark only
// sectors they (with the client's pending write, see clients.h) cover
// completely; reads hit only when every sector they touch is present.
//
// Called concurrently by all listener threads and prepopulation workers,
// with the client's session locked for reading. A full cache disk never stops the
// caller: the write answers 0, sets no bit, wakes the cache manager and warns
// at most every few seconds per client.
#pragma once

#include <cstdint>
#include <vector>

#include "contexts/bootset.h"

struct proxy_context;
struct client_context;
struct client_session;
struct site_context;

inline constexpr uint64_t SECTOR_SIZE = 512;
// Bitmap bytes read or written at once; longer runs are handled in windows.
inline constexpr uint64_t BITMAP_WINDOW_MAX = 15;
// Bytes of vDisk data per bitmap byte: a chunk of S bytes has S / 4096
// bitmap bytes, so S must be a multiple of this.
inline constexpr uint64_t BITMAP_BYTE_SPAN = 8 * SECTOR_SIZE;
// A client's cache warnings: at most this many per interval.
inline constexpr int64_t CACHE_WARNING_INTERVAL_US = 10000000;  // 10 s
inline constexpr uint32_t CACHE_WARNING_BURST = 4;

// Where one vDisk offset lives: its chunk file and the offset in the chunk.
struct chunk_location {
  char path[255];
  uint64_t number;
  uint64_t offset;
};

int32_t cache_put_data(proxy_context* context, client_context* cc, const client_session& s,
                       uint64_t offset, const void* data, uint64_t byte_length);
// As cache_put_data for a range whose data is all zeros: marks it present and
// writes no data (the chunk file's unwritten bytes read as zeros).
int32_t cache_put_sparse(proxy_context* context, client_context* cc, const client_session& s,
                         uint64_t offset, uint64_t byte_length);
int32_t cache_get_data(proxy_context* context, client_context* cc, const client_session& s,
                       uint64_t offset, void* data, uint64_t byte_length);
int32_t cache_contains(proxy_context* context, client_context* cc, const client_session& s,
                       uint64_t offset, uint64_t byte_length);
// The first byte of [offset, end) of the vDisk `vdisk_key` in `site`'s cache
// whose sector is not present, or `end` when all are: the bitmaps are read a
// window at a time, and a chunk without a file is missing at once. For a
// caller that does not hold the client's session (prepopulation) and so must
// not read the client's key or site, which listeners rewrite; the client only
// lends its warning limit. A chunk whose path cannot be composed counts as
// missing.
uint64_t cache_first_missing(client_context* cc, const site_context* site, const char* vdisk_key,
                             uint64_t offset, uint64_t end);
// The same scan for the first byte whose sector is present, or `end`: a
// chunk without a file is skipped whole, and a bitmap that cannot be read
// counts as missing.
uint64_t cache_first_cached(client_context* cc, const site_context* site, const char* vdisk_key,
                            uint64_t offset, uint64_t end);

// How many bytes of the sorted, disjoint `ranges` of the vDisk `vdisk_key`
// in `site`'s cache are present, counted a sector at a time from the
// bitmaps (a sector partly inside a range counts for its part). Takes no
// lock; a chunk that cannot be read counts as absent.
uint64_t cache_present_bytes(const site_context* site, const char* vdisk_key,
                             const std::vector<boot_range>& ranges);

// Links the client to the vDisk of its `vdisk_key` (vdisk_context_link) and,
// when that takes the client's reference, makes the vDisk's directory: at
// every link, since a site whose cache was rebuilt under a live record has
// lost it. A failure is only logged; the cache writes of a vDisk without its
// directory simply fail.
void vdisk_context_ref_inc(client_context* cc, client_session& s);
// client_context_swap_vdisk_key, then vdisk_context_ref_inc, with the
// client's session `s` locked for writing; a key names the vDisk of a login,
// so it also starts the window of the boot reads learnt (login_seen_us).
void client_context_set_vdisk_key(client_context* cc, client_session& s, const char* key);

// Composes the chunk of vDisk `offset` for the client; false when the client
// has no usable site or key, or the path would not fit.
bool get_chunk(const client_context* cc, const client_session& s, uint64_t offset,
               chunk_location* where);
// Marks the sectors of [o, o + n) of the chunk file `fd` that the write
// covers completely, counting the client's pending write, and keeps the
// uncovered tail as the new pending write. `data` holds the n bytes just
// written at o (null: zeros). 0 on success, nonzero on failure; the file
// stays locked (flock) until the caller closes fd.
int bitmap_mark_allocated(client_context* cc, int fd, const chunk_location& chunk, uint64_t o,
                          uint64_t n, const uint8_t* data);
// 1 when every sector touched by [o, o + n) is present, 0 when one is not,
// negative when the bitmap cannot be read.
int bitmap_is_allocated(client_context* cc, int fd, uint64_t o, uint64_t n);
