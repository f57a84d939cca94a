// Client contexts: the VMs whose traffic the daemon follows.
//
// A client_context holds what the site configuration says about one VM (uuid,
// MAC, host interface, site, whether to prepopulate), the protocol state that
// packet processing learns from its traffic, its MIO reads in flight, its
// counters and RRD source, and what the cache store keeps per client (the
// pending sub-sector write and the chunk file it read last).
//
// Locks: `lock` guards the protocol state and `vdisk_key` (writers change
// login or vDisk state, readers handle I/O messages); the narrow mutexes guard
// only their own fields, as noted beside them. Fields that other threads read
// without any lock are atomics. Lock order: site_lock, client_lock, a
// client's `lock`, vdisk_lock, a vDisk's lock, a client's `mio_mutex`.
//
// The table and its lock exist from start-up; creating and removing clients
// (with their interface threads) comes with packet interception. Tests build
// client records directly.
#pragma once

#include <netinet/in.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <unordered_map>

#include "core/unique_fd.h"
#include "metrics/metrics.h"

struct proxy_context;
struct site_context;

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

// One outstanding MIO read and its reassembly buffer.
struct mio_fragment {
  uint32_t count = 0;                    // ceil(length / (packet size - 56))
  std::atomic<uint32_t> outstanding{0};  // bit i-1 set while fragment i is missing
  uint32_t request_id = 0;
  uint64_t offset = 0;  // protocol offset; prepopulation's MIOs only
  uint64_t length = 0;  // prepopulation's MIOs only
  std::array<uint8_t, MIO_FRAGMENT_DATA_SIZE> data{};
  int64_t deadline = 0;  // monotonic microseconds
};

// Keyed by MIO thread id (0 to 255).
using mio_table = std::unordered_map<uint8_t, std::unique_ptr<mio_fragment>>;

// The last extent read forwarded to the server after a cache miss.
struct client_forwarded_read {
  uint8_t tag = 0;
  uint32_t offset_high = 0;
  uint32_t offset_low = 0;
};

struct client_context {
  // Configuration and identity.
  std::string uuid;
  std::array<uint8_t, 6> mac{};
  std::string interface;
  std::atomic<uint8_t> prepopulate{0};  // polled by running prepopulation jobs

  // Protocol state, under `lock`.
  uint32_t connection_handle = 0;
  uint32_t packet_size = 0;  // 0 until the server's MTU is known
  uint32_t burst_size = CLIENT_BURST_SIZE_DEFAULT;
  uint32_t received_vdisk_id = CLIENT_VDISK_ID_NONE;
  uint32_t vdisk_id = CLIENT_VDISK_ID_NONE;
  char vdisk_key[CLIENT_VDISK_KEY_SIZE] = {};  // empty: unknown
  std::array<uint8_t, CLIENT_VDISK_INFO_SIZE> vdisk_info{};
  uint8_t vdisk_info_valid = 0;
  uint8_t uefi_boot = 0;
  uint32_t prepop_sequence = CLIENT_PREPOP_SEQUENCE_START;
  uint32_t login_id = 0;
  uint64_t last_heartbeat_reply = 0;  // milliseconds
  uint8_t login_pending = 0;
  uint8_t read_cache_disabled = 0;
  uint32_t relogon_count = 0;
  // Whether this client holds a reference on the vDisk of `vdisk_key`. The
  // reference operations keep it, so a client drops exactly the reference it
  // took even if its read cache was disabled in between.
  bool vdisk_ref_held = false;
  client_forwarded_read last_forwarded_read;  // under read_tracking_mutex
  std::mutex read_tracking_mutex;
  sockaddr_in client_address{};
  sockaddr_in server_address{};

  // Transmission, MIO and prepopulation. A raw socket may well get
  // descriptor 0, so "none" is an invalid unique_fd rather than 0.
  unique_fd xmitfd;
  mio_table mio_fragments;  // under mio_mutex
  std::mutex mio_mutex;
  uint8_t next_prepop_thread_id = CLIENT_PREPOP_THREAD_ID_START;
  uint32_t prepop_mio_issued = 0;
  uint32_t prepop_timeouts = 0;
  uint32_t prepop_retries = 0;
  ::site_context* site_context = nullptr;  // cleared when the client is stopped
  std::shared_mutex lock;

  // Status, metrics, RRD.
  metrics_record metrics;
  std::atomic<uint32_t> status{CLIENTSTATUS_STOPPED};
  std::mutex rrd_mutex;
  time_t last_rrd_sample = 0;  // seconds; under rrd_mutex
  std::string rrd_path;        // empty while the RRD source is not open
  void* rrd_handle = nullptr;
  void* rrd_source = nullptr;

  // The pending write: the bytes at the end of this client's previous cache
  // write that did not fill a sector, with the chunk file they belong to and
  // a copy of their data, so that a continuation never completes a sector
  // from another chunk, nor from a chunk file that was removed and created
  // anew in between. Under partial_write_mutex.
  std::mutex partial_write_mutex;
  uint64_t pending_offset = 0;  // within its chunk
  uint64_t pending_length = 0;
  char pending_chunk_path[CLIENT_CHUNK_PATH_SIZE] = {};
  std::array<uint8_t, CLIENT_PENDING_MAX> pending_data{};

  // The chunk file this client read last, kept open for the next read.
  std::shared_mutex open_chunk_lock;
  unique_fd open_chunk_fd;
  char open_chunk_path[CLIENT_CHUNK_PATH_SIZE] = {};

  std::atomic<int64_t> last_server_activity{0};  // seconds

  // Rate limit of this client's cache warnings, so that a full or broken
  // cache disk cannot flood the log from the packet path.
  std::atomic<int64_t> cache_warning_window{0};  // monotonic microseconds; 0: none yet
  std::atomic<uint32_t> cache_warning_count{0};  // logged in the present window
  std::atomic<uint32_t> cache_warnings_dropped{0};
};

// Keyed by the client's MAC address as a 48-bit integer.
using client_table = std::unordered_map<uint64_t, std::unique_ptr<client_context>>;

void client_contexts_init(proxy_context* context);
void client_contexts_remove_by_site_context(proxy_context* context, site_context* site);
void client_contexts_destroy(proxy_context* context);
