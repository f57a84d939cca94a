// Client contexts: the VMs whose traffic the daemon follows.
//
// A client_context holds what the site configuration says about one VM (uuid,
// MAC, host interface, site, whether to prepopulate), the protocol state that
// packet processing learns from its traffic, its MIO reads in flight, its
// counters and RRD source, and what the chunk store keeps per client
// (client_chunk_state).
//
// Locks: `session` is reachable only through its shared mutex (writers change
// login or vDisk state, readers handle I/O messages), and functions that need
// it held take the client_session it gives; the narrow mutexes guard only
// their own fields, as noted beside them. Fields that other threads read
// without any lock are atomics. Lock order: site_lock, client_lock, a
// client's `session`, vdisk_lock, a vDisk's lock, a client's `mio_mutex`.
//
// Records are created and removed, with their sockets and threads, by
// control/lifecycle.h under client_lock; the packet path never walks the
// table, it holds its client's pointer. Tests may also build client records
// directly, outside the table.
//
// A prepopulation job keeps its client alive with client_context_hold (taken
// before the job is queued) and client_context_release (when it ends). Removal
// clears `prepopulate`, refuses new holds and waits up to
// CLIENT_HOLD_WAIT_MS for the jobs to end; a client still held after that is
// freed by the last release instead.
#pragma once

#include <netinet/in.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/guarded.h"
#include "core/log.h"
#include "core/unique_fd.h"
#include "metrics/metrics.h"

struct proxy_context;
struct site_context;
struct vdisk_context;

inline constexpr uint32_t CLIENTSTATUS_STOPPED = 0;
inline constexpr uint32_t CLIENTSTATUS_INITIALISED = 1;
inline constexpr uint32_t CLIENTSTATUS_CACHING = 2;
inline constexpr uint32_t CLIENTSTATUS_INCOMPATIBLE_WRITE_CACHE_MODE = 3;
inline constexpr uint32_t CLIENTSTATUS_INCOMPATIBLE_PROTOCOL_VERSION = 4;

inline constexpr uint32_t CLIENT_VDISK_ID_NONE = 0xFFFFFFFF;
inline constexpr uint32_t CLIENT_BURST_SIZE_DEFAULT = 16384;
inline constexpr uint32_t CLIENT_PREPOP_SEQUENCE_START = 0xF0000000;
inline constexpr uint8_t CLIENT_PREPOP_THREAD_ID_START = 128;
inline constexpr size_t CLIENT_VDISK_KEY_SIZE = 64;  // 63 characters and the NUL
inline constexpr size_t CLIENT_VDISK_INFO_SIZE = 82;
inline constexpr size_t CLIENT_CHUNK_PATH_SIZE = 255;  // 254 characters and the NUL
inline constexpr size_t CLIENT_PENDING_MAX = 511;      // a pending write never fills a sector
inline constexpr size_t MIO_FRAGMENT_DATA_SIZE = 65536;
inline constexpr uint32_t MIO_FRAGMENT_MAX = 32;     // bits of the outstanding mask
inline constexpr uint32_t MIO_FRAGMENT_HEADER = 56;  // bytes of a reply that are not data
// Log lines caused by one client's datagrams: at most this many per window.
inline constexpr int64_t CLIENT_LOG_WINDOW_US = 5000000;  // 5 s
inline constexpr uint32_t CLIENT_LOG_BURST = 50;
// How long removal waits for a client's prepopulation jobs before leaving
// the record to the last of them.
inline constexpr int CLIENT_HOLD_WAIT_MS = 5000;

// One outstanding MIO read and its reassembly buffer.
struct mio_fragment {
  uint32_t count = 0;                    // ceil(length / (packet size - 56))
  std::atomic<uint32_t> outstanding{0};  // bit i-1 set while fragment i is missing
  uint32_t request_id = 0;
  uint64_t offset = 0;  // protocol offset; prepopulation's MIOs only
  uint64_t length = 0;  // prepopulation's MIOs only
  // Left uninitialised: a read is complete only once every fragment has
  // filled exactly its own share of it (the reply handler checks).
  std::array<uint8_t, MIO_FRAGMENT_DATA_SIZE> data;
  int64_t deadline = 0;  // monotonic microseconds
  int64_t sent_ns = 0;   // monotonic; a VM's read, when forwarded
};

// Keyed by MIO thread id (0 to 255).
using mio_table = std::unordered_map<uint8_t, std::unique_ptr<mio_fragment>>;

// The last extent read forwarded to the server after a cache miss.
struct client_forwarded_read {
  uint8_t tag = 0;
  uint32_t offset_high = 0;
  uint32_t offset_low = 0;
  bool missed = false;  // counted as a miss, so its reply's wait is one
  int64_t sent_ns = 0;  // monotonic
};

// The pending write: the bytes at the end of this client's previous cache
// write that did not fill a sector, with the chunk file they belong to and a
// copy of their data, so that a continuation never completes a sector from
// another chunk, nor from a chunk file that was removed and created anew in
// between.
struct client_pending_write {
  uint64_t offset = 0;  // within its chunk
  uint64_t length = 0;
  char chunk_path[CLIENT_CHUNK_PATH_SIZE] = {};
  std::array<uint8_t, CLIENT_PENDING_MAX> data{};
};

// The chunk file this client read last, kept open for the next read.
struct client_open_chunk {
  unique_fd fd;
  char path[CLIENT_CHUNK_PATH_SIZE] = {};
};

// What the chunk store (cache/chunks.h) keeps per client; only it and the
// cache manager touch it. It lives in the record rather than behind a pointer
// the cache module allocates, so that a record built anywhere (tests, tools)
// has it, and the packet path never checks for it or allocates it.
struct client_chunk_state {
  guarded<client_pending_write> pending;

  guarded<client_open_chunk, std::shared_mutex> open_chunk;

  // Rate limit of this client's cache warnings, so that a full or broken
  // cache disk cannot flood the log from the packet path.
  log_limit warning_rate;
};

// Prepopulation jobs holding a client.
struct client_holds {
  uint32_t count = 0;
  bool refused = false;       // the client is being stopped
  bool free_pending = false;  // out of the table; the last release frees it
};

// What the client's current session has told the daemon, learnt from its
// login and vDisk messages (client_context::session).
struct client_session {
  uint32_t connection_handle = 0;
  uint32_t packet_size = 0;  // 0 until the server's MTU is known
  uint32_t burst_size = CLIENT_BURST_SIZE_DEFAULT;
  uint32_t received_vdisk_id = CLIENT_VDISK_ID_NONE;
  uint32_t vdisk_id = CLIENT_VDISK_ID_NONE;
  char vdisk_key[CLIENT_VDISK_KEY_SIZE] = {};  // empty: unknown
  // The first protocol offset past the linked vDisk (its size + 512) as the
  // server told this session; 0 while unknown. Nothing at or past it is
  // cached or served.
  uint64_t vdisk_end_offset = 0;
  std::array<uint8_t, CLIENT_VDISK_INFO_SIZE> vdisk_info{};
  uint8_t vdisk_info_valid = 0;
  uint8_t uefi_boot = 0;
  uint32_t login_id = 0;
  uint64_t last_heartbeat_reply = 0;  // milliseconds
  uint8_t login_pending = 0;
  uint8_t read_cache_disabled = 0;
  // Whether this client holds a reference on the vDisk of `vdisk_key`. The
  // reference operations keep it, so a client drops exactly the reference it
  // took even if its read cache was disabled in between.
  bool vdisk_ref_held = false;
  // The record of that reference, valid while it is held.
  vdisk_context* linked_vdisk = nullptr;
  // When the vDisk of the session's latest login was named (monotonic
  // microseconds): its boot reads are learnt for BOOT_SET_WINDOW_US from then.
  int64_t login_seen_us = 0;
  sockaddr_in client_address{};
};

struct client_context {
  // Configuration and identity.
  std::string uuid;
  std::array<uint8_t, 6> mac{};
  std::string interface;
  std::atomic<uint8_t> prepopulate{0};  // polled by running prepopulation jobs

  // Written by login and vDisk messages, read by I/O messages.
  guarded<client_session, std::shared_mutex> session;
  // The server this client talks to. Its words are loaded and stored
  // atomically (std::atomic_ref) under the session's write lock, since the
  // ARP proxy reads them without it.
  sockaddr_in server_address{};
  std::atomic<uint32_t> relogon_count{0};  // changed under the read lock
  guarded<client_forwarded_read> last_forwarded_read;

  // Transmission, MIO and prepopulation. A raw socket may well get
  // descriptor 0, so "none" is an invalid unique_fd rather than 0.
  unique_fd xmitfd;
  mio_table mio_fragments;  // under mio_mutex
  // Records of finished reads kept for the next ones (at most
  // CLIENT_MIO_SPARES), under mio_mutex: a read then costs no allocation.
  std::vector<std::unique_ptr<mio_fragment>> mio_spares;
  std::mutex mio_mutex;
  uint8_t next_prepop_thread_id = CLIENT_PREPOP_THREAD_ID_START;
  uint32_t prepop_sequence = CLIENT_PREPOP_SEQUENCE_START;
  uint32_t prepop_mio_issued = 0;
  uint32_t prepop_timeouts = 0;
  uint32_t prepop_retries = 0;
  // Bumped when one of prepopulation's MIOs completes, which wakes its job
  // through prepop_wake (waited on with prepop_wake_mutex, held by no one
  // for longer than a notification).
  std::atomic<uint64_t> prepop_completions{0};
  std::mutex prepop_wake_mutex;
  std::condition_variable prepop_wake;
  std::atomic<bool> prepop_holds_mio{false};  // while a job holds mio_mutex
  // Cleared, under the session's write lock, when the client is stopped.
  ::site_context* site_context = nullptr;

  // Status, metrics, RRD.
  metrics_record metrics;
  metrics_boot_mark boot_mark;  // renewed at each login
  std::atomic<uint32_t> status{CLIENTSTATUS_STOPPED};
  std::mutex rrd_mutex;
  int64_t last_rrd_sample = 0;  // monotonic microseconds; under rrd_mutex
  std::string rrd_path;         // empty while the RRD source is not open
  void* rrd_handle = nullptr;
  void* rrd_source = nullptr;

  client_chunk_state chunks;

  std::atomic<int64_t> last_server_activity{0};  // seconds

  // Rate limit of the log lines this client's datagrams cause, so that a VM
  // or a peer sending the same wrong thing over and over cannot flood the
  // log (client_log_admit).
  log_limit log_rate;

  // Reads of this client held back in its vDisk's collapse tables (their
  // count and earliest deadline, monotonic microseconds, 0 for none), kept
  // under that vDisk's collapse lock; and the eventfd its listener threads
  // watch, written when one of them is stored. Invalid in records built
  // without threads: their held reads wait for their deadline.
  std::atomic<uint32_t> held_count{0};
  std::atomic<int64_t> held_due{0};
  unique_fd held_wake;

  guarded<client_holds> holds;
  std::condition_variable hold_cond;  // signalled when the last hold goes
};

// The table's value destructor: frees the client now, or, while a
// prepopulation job still holds it, when that job releases it.
void client_context_free(client_context* client_context);

struct client_context_deleter {
  void operator()(client_context* cc) const { client_context_free(cc); }
};

// Keyed by the client's MAC address as a 48-bit integer (first byte most
// significant).
using client_table =
    std::unordered_map<uint64_t, std::unique_ptr<client_context, client_context_deleter>>;

uint64_t client_mac_key(const uint8_t mac[6]);
// "CLIENTSTATUS_..." for a known status, null otherwise.
const char* client_status_text(uint32_t status);

void client_contexts_init(proxy_context* context);
// The client of that uuid, or null; client_lock held.
client_context* client_contexts_find(proxy_context* context, const char* uuid);
// Refuses new holds and waits, bounded, for the present ones to end; true if
// some are left (the last release then frees the record).
bool client_context_refuse_holds(client_context* client_context);

void client_context_update_status(client_context* client_context, uint32_t status);
// Names the client's vDisk `key` in its session `s`, locked for writing,
// dropping the reference to the previous one when the key changes; the caller
// links the new one (client_context_set_vdisk_key in cache/chunks.h).
void client_context_swap_vdisk_key(client_context* client_context, client_session& s,
                                   const char* key);

// Whether a log line that the client's datagrams cause may be written now:
// true for the first CLIENT_LOG_BURST lines of every CLIENT_LOG_WINDOW_US.
// The first line of a new window is preceded by the count of lines the
// previous windows left out. Safe from any thread, without locks.
bool client_log_admit(client_context* client_context);

// False once the client is being stopped: then no job may be started for it.
bool client_context_hold(client_context* client_context);
void client_context_release(client_context* client_context);

// The MIO operations and client_prepop_thread_id expect mio_mutex held.
inline constexpr size_t CLIENT_MIO_SPARES = 2;

// A new fragment under `id` (a spare record where there is one), replacing
// any previous one; null,
// with any previous one removed, when the read cannot be tracked: a packet
// size of 56 or less, or more than MIO_FRAGMENT_MAX fragments.
mio_fragment* client_mio_fragment_add(client_context* client, uint8_t id, uint64_t length,
                                      uint32_t packet_size);
mio_fragment* client_mio_fragment_get(client_context* client, uint8_t id);
void client_mio_fragment_del(client_context* client, uint8_t id);
// Removes the fragment under `id` from the table and hands it over; null if none.
std::unique_ptr<mio_fragment> client_mio_fragment_take(client_context* client, uint8_t id);
// Keeps a record that was taken for a later read, or frees it.
void client_mio_fragment_recycle(client_context* client, std::unique_ptr<mio_fragment> fragment);
uint32_t client_mio_frament_count(client_context* client);
// Removes the client's own MIO records (ThreadId without the high bit) whose
// deadline (monotonic microseconds) has passed: their replies were lost, and
// left in place they would count as reads in flight for the whole session.
void client_mio_fragments_expire(client_context* client, int64_t now);
// The next id in 128..255 without a fragment, or 0 when all 128 are in use.
uint8_t client_prepop_thread_id(client_context* client);
