// vDisk contexts: one shared record per vDisk and per site caching it.
//
// A vdisk_context holds a vDisk's key, its size, the directory of its cached
// chunks ("<cache_path>/<key>") and the progress of its prepopulation. All
// but the size describe one cache's contents, so a vDisk that clients of two
// sites boot has one record per site: the table is keyed by the pair (site
// uuid, vDisk key). Clients name their vDisk by key (`vdisk_key`) within
// their site and count as references through vdisk_context_ref_inc /
// vdisk_context_ref_dec_and_del; the record is created on first use and freed
// when the last reference goes. Its directory is made, and stays on disk with
// its chunks, by the chunk store (vdisk_context_ref_inc in cache/chunks.h).
// A record whose boot set (`boot`, contexts/bootset.h) has changes not yet
// written is kept aside when its last reference goes, until the cache
// manager has written it (cache/bootset.h), and is taken back if the vDisk
// is used again meanwhile, so that nothing learnt is lost or read stale.
//
//   vdisk_boot_note(s, offset, length, now);  // a VM read, session locked
//   vdisk_context* vc = vdisk_contexts_get(context, client);  // pinned
//   if (vc != nullptr) {
//     { auto state = vc->state.lock(); ... state->size ...; }
//     vdisk_contexts_put(context, vc);
//   }
//
// A prepopulation job that works on a vDisk beyond one get/put holds it with vdisk_context_hold and
// ends with vdisk_context_release: a held vDisk stays in the table, and its record stays valid,
// even when its last client goes or the table is destroyed.
//
// Locks: vdisk_lock guards the table and every record's reference and hold
// counts; a vDisk's `state` lock guards its size and prepopulation state. No one
// waits for a vDisk's lock while holding vdisk_lock: a long holder of one
// vDisk (a prepopulation round, a slow disk) must not stall the others. Both
// come after a client's session lock. `boot` is another vDisk lock, only
// ever held briefly (never across I/O), so it may be taken under vdisk_lock;
// so is `collapse`, under which no other lock is ever taken.
// The client operations take the client's session, locked by the caller (for
// writing when its vdisk_key changes).
#pragma once

#include <netinet/in.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "contexts/bootset.h"
#include "core/guarded.h"

struct proxy_context;
struct client_context;
struct client_session;
struct site_context;

// The empty file in a vDisk's directory that says its prepopulation
// completed; the cache manager evicts such vDisks last.
inline constexpr const char* VDISK_PREPOP_MARKER = "prepop";

struct vdisk_state {
  uint64_t size = 0;             // bytes; 0 while unknown
  uint64_t end_offset = 0;       // size + 512: the first protocol offset past the vDisk
  uint64_t prepop_progress = 0;  // protocol offset below which everything is cached
  uint32_t prepop_in_progress = 0;
  uint64_t purges = 0;  // counts vdisk_contexts_purged: a scan older than one is stale
};

// Collapsed forwarding: the VM reads of a vDisk's cache in flight to the
// server, and the VM reads held back because another client's read in flight
// covers them, until that read's reply is stored (then they are answered from
// the cache) or their deadline passes (then they are forwarded). Bounded
// tables, allocated once per record: the packet path never allocates for them.
inline constexpr size_t VDISK_INFLIGHT_MAX = 512;
inline constexpr size_t VDISK_INFLIGHT_PER_CLIENT = 32;
inline constexpr size_t VDISK_HELD_MAX = 256;
inline constexpr size_t VDISK_HELD_PER_CLIENT = 8;
inline constexpr size_t VDISK_HELD_REQUEST_MAX = 128;  // bytes of a held request kept
// An in-flight read's key among its client's: the MIO thread id, or this.
inline constexpr uint32_t VDISK_INFLIGHT_EXT = 0x100;

struct vdisk_inflight_read {
  const client_context* client = nullptr;  // identity only, never dereferenced
  uint32_t key = 0;
  uint64_t offset = 0, length = 0;  // protocol offset and bytes
  int64_t sent_us = 0, deadline_us = 0;
};

struct vdisk_held_read {
  // The holder: its reads go (vdisk_collapse_forget) before it is freed or
  // linked elsewhere, so an entry's client is always alive.
  client_context* client = nullptr;
  uint64_t offset = 0, length = 0;
  int64_t held_us = 0, deadline_us = 0;
  bool stored = false;  // a reply covering it was stored
  // The request as the VM sent it, and its frame's addresses.
  uint8_t src_mac[6] = {}, dst_mac[6] = {};
  sockaddr_in src{}, dst{};
  uint32_t len = 0;
  std::array<uint8_t, VDISK_HELD_REQUEST_MAX> request{};
};

struct vdisk_collapse {
  std::vector<vdisk_inflight_read> inflight;
  std::vector<vdisk_held_read> held;
  int64_t reply_us = 0;  // the server's smoothed reply time; 0 until measured
};

struct vdisk_context {
  std::string vdisk_key;
  std::string site_uuid;  // the site whose cache this record describes
  std::string path;       // the vDisk's directory of chunk files
  // Under the table's vdisk_lock.
  uint32_t ref_count = 0;   // clients whose vdisk_key names this vDisk
  uint32_t hold_count = 0;  // prepopulation jobs and get/put pairs holding it
  guarded<vdisk_state> state;
  guarded<boot_set> boot;
  // Taken on the packet path under a client's session, never across I/O.
  guarded<vdisk_collapse> collapse;
  // Bytes the cache manager evicted while the record lived.
  std::atomic<uint64_t> evicted_b{0};
  // Bumped by every store to its cache, every eviction from it and every
  // boot set imported: a count of its warmth taken at an older value may be
  // stale.
  std::atomic<uint64_t> changes{0};
  // The latest count of its warmth; a short lock, never held across I/O.
  guarded<boot_set_warmth_figures> warmth;
};

// Shared so that a job holding a vDisk keeps the record valid after the
// table has dropped it (shutdown destroys the table before the jobs end).
// Keyed by vdisk_table_key.
using vdisk_table = std::unordered_map<std::string, std::shared_ptr<vdisk_context>>;

// The table key of a site's vDisk: "<site uuid>/<vdisk key>" (a key holds no
// "/", so no two pairs share one).
std::string vdisk_table_key(const std::string& site_uuid, const std::string& vdisk_key);

void vdisk_contexts_init(proxy_context* context);
// The vDisk of the key of the client's session `s` (locked by the caller),
// created if missing, pinned in the table until vdisk_contexts_put; null when
// the key is empty or refused, or the client's read cache is disabled.
vdisk_context* vdisk_contexts_get(proxy_context* context, client_context* cc,
                                  const client_session& s);
void vdisk_contexts_put(proxy_context* context, vdisk_context* vc);
// Takes the client's reference on the vDisk of its key, creating the record if
// missing; returns the vDisk when this call took the reference (the caller
// then makes its directory), null when the client holds one already or names
// no usable vDisk.
vdisk_context* vdisk_context_link(client_context* cc, client_session& s);
void vdisk_context_ref_dec_and_del(client_context* cc, client_session& s);
bool vdisk_should_prepop(const vdisk_state& state);
void vdisk_contexts_destroy(proxy_context* context);

// The client's vDisk, created if missing, held for a prepopulation job (the
// vDisk's lock not held); null as for vdisk_contexts_get.
std::shared_ptr<vdisk_context> vdisk_context_hold(proxy_context* context, client_context* cc,
                                                  const client_session& s);
// Ends a hold; the vDisk goes when neither clients nor jobs are left.
void vdisk_context_release(proxy_context* context, std::shared_ptr<vdisk_context> vc);

// The cache manager removed chunks of the site's vDisk from `vdisk_offset`
// (a vDisk byte offset) on, `bytes` of them: its prepopulation progress
// falls back there and its "prepop" marker goes, so that a later
// prepopulation fills it again.
void vdisk_contexts_purged(proxy_context* context, const std::string& site_uuid,
                           const std::string& vdisk_key, uint64_t vdisk_offset, uint64_t bytes);

// The vDisk `key` of `site`'s cache, created if missing, held as by
// vdisk_context_hold, for the control socket, which has no client to name it;
// null when the key is invalid or the site has no cache path.
std::shared_ptr<vdisk_context> vdisk_context_hold_key(proxy_context* context,
                                                      const site_context* site, const char* key);
// Every record, those set aside with unwritten boot sets included, held by
// the returned pointers only (not pinned).
std::vector<std::shared_ptr<vdisk_context>> vdisk_contexts_all(proxy_context* context);
// Lets go of the records set aside that are among `tried` and whose boot
// sets are written, or among `failed` (logged already: retrying an unused
// record's write every pass would only repeat the warning).
void vdisk_contexts_drop_retired(proxy_context* context,
                                 const std::vector<std::shared_ptr<vdisk_context>>& tried,
                                 const std::vector<std::shared_ptr<vdisk_context>>& failed);

// Learns a VM read of [vdisk_offset, + length) (vDisk bytes, within the
// vDisk) of the session `s` (locked, for reading at least): recorded in the
// linked vDisk's boot set while `now_us` (monotonic) is within
// BOOT_SET_WINDOW_US of the session's login. One short lock; no allocation
// unless the read starts a new range.
void vdisk_boot_note(const client_session& s, uint64_t vdisk_offset, uint64_t length,
                     int64_t now_us);

// Drops the client's held reads (never answered) and its reads in flight
// from the vDisk's collapse tables; the session's write lock held, or the
// client being stopped.
void vdisk_collapse_forget(vdisk_context* vc, client_context* cc);

// Whether `key` may name a vDisk directory: 1 to 63 characters, no "/", not
// beginning with "." (which would also hide it from the cache manager).
bool vdisk_key_is_valid(const char* key);
