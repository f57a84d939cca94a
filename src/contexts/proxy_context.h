// The registry root: the one daemon-wide record every subsystem receives.
//
// main value-initialises it, fills the configuration fields from the
// configuration file and then calls the init operations of the tables. Each
// table has its own lock (see the table's module for the lock order); the
// configuration fields are written once before any thread starts and only read
// afterwards.
//
// Tables that another layer owns (the JSON-RPC commands and site state of
// control/, the interface threads of net/, the opcode names of protocol/) are
// only declared here: each is complete, and freed (table_free), in its own
// module, so that the packet path does not pull in json-c or the threads.
#pragma once

#include <glib.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "contexts/clients.h"
#include "contexts/sites.h"
#include "contexts/vdisks.h"
#include "metrics/metrics.h"

struct json_command_table;
struct site_state_table;
struct interface_thread_table;
struct opcode_name_table;
void table_free(json_command_table* table);
void table_free(site_state_table* table);
void table_free(interface_thread_table* table);
void table_free(opcode_name_table* table);

struct table_deleter {
  table_deleter() = default;
  // Lets a table made with std::make_unique, where it is complete, be moved in.
  template <class T>
  table_deleter(std::default_delete<T> /*unused*/) {}  // NOLINT(google-explicit-constructor)
  template <class T>
  void operator()(T* table) const {
    table_free(table);
  }
};
template <class T>
using owned_table = std::unique_ptr<T, table_deleter>;

inline constexpr uint32_t LISTENER_RING_KIB_DEFAULT = 512;

struct proxy_context {
  GThreadPool* prepop_pool = nullptr;  // created and freed by main
  int32_t listener_threads = 0;
  uint32_t listener_fanout = 0;
  bool packet_mmap = false;
  // The memory of each packet-mmap ring of a listener thread (receive and
  // transmit), in KiB.
  uint32_t listener_ring_kib = LISTENER_RING_KIB_DEFAULT;
  int32_t cache_monitor_interval_s = 0;
  float cache_start_purge_free_space = 0;
  float cache_start_purge_free_inodes = 0;
  float cache_goal_purge_free_space = 0;
  float cache_goal_purge_free_inodes = 0;
  std::atomic<uint8_t> stopping{0};
  // Set by the unixsocket thread once the saved sites are configured again
  // and requests are served: start-up is complete.
  std::atomic<uint8_t> sites_restored{0};
  bool arp_proxy = false;
  // Whether a VM's miss covered by another client's read in flight is held
  // for that read's reply (protocol/collapse.h).
  bool collapse_forwarding = false;
  // Whether VM reads' service times go into the latency histograms
  // (metrics/metrics.h); off only where a benchmark measures their cost.
  bool latency_histograms = true;

  std::unique_ptr<site_table> site_context_ht;
  std::shared_mutex site_lock;
  std::unique_ptr<server_table> server_context_ht;
  std::shared_mutex server_lock;
  std::unique_ptr<client_table> client_context_ht;
  std::shared_mutex client_lock;
  std::unique_ptr<vdisk_table> vdisk_context_ht;
  std::mutex vdisk_lock;
  // Records without users kept until their boot sets are written; under
  // vdisk_lock.
  std::vector<std::shared_ptr<vdisk_context>> vdisk_retired;

  // The cache manager's wake-up signal (flag set under the mutex).
  std::mutex cachemanager_mutex;
  std::condition_variable cachemanager_cond;
  bool cachemanager_flag = false;

  owned_table<opcode_name_table> opcode_names;
  // Owned by the unixsocket thread while it runs.
  owned_table<json_command_table> json_commands;
  owned_table<site_state_table> site_state;
  owned_table<interface_thread_table> interface_thread_ht;

  metrics_record metrics;
  std::atomic<uint16_t> next_fanout_group_id{0};
  std::string unix_socket_path;
  std::atomic<int64_t> prepop_not_before{0};        // monotonic microseconds
  int64_t prepop_holdoff_us = 90 * G_USEC_PER_SEC;  // after any client is linked
  int32_t cache_vdi_timeout_s = 120;                // then a cache VDI script is killed
  bool workaround_migrate_freeze = false;
};
