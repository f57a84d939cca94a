// Sites and servers: the configured caches and the streaming servers that use them.
//
// A site is one cache directory (opened through the cache VDI script) with its
// servers and clients. Sites are brought up and down by control/lifecycle.h,
// servers by the control socket's site commands; both go at shutdown. The
// packet path only asks site_context_contains_server_ip, which takes reader
// locks. Records are owned by their table; create operations copy their
// strings and are idempotent by uuid. Lock order: site_lock, then
// server_lock, then a server's own lock.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <shared_mutex>
#include <string>
#include <unordered_map>

struct proxy_context;

// Shared (see site_table); a prepopulation job holds its client's site
// through weak_from_this, so that it stays valid for the whole job.
struct site_context : std::enable_shared_from_this<site_context> {
  std::string uuid;
  std::string cache_vdi;                 // empty: the site has no cache VDI and no script runs
  uint64_t block_size = 0;               // fragment size of the cache file system
  std::atomic<int64_t> write_budget{0};  // bytes left before the cache manager is woken
  std::string cache_path;
  uint64_t chunk_size = 0;
  proxy_context* context = nullptr;
};

inline constexpr unsigned SERVER_MAX_ADDRESSES = 32;

struct server_context {
  std::string uuid;
  uint32_t last_port = 0;
  uint32_t first_port = 0;
  uint32_t address_count = 0;
  std::array<uint32_t, SERVER_MAX_ADDRESSES> addresses{};  // IPv4, network order
  ::site_context* site_context = nullptr;                  // cleared when the server is removed
  std::shared_mutex lock;  // guards the addresses, the count, the ports and site_context
};

// Shared so that a thread that took a site from the table (the cache manager
// during a pass) keeps it alive while the control thread removes it.
using site_table = std::unordered_map<std::string, std::shared_ptr<site_context>>;
using server_table = std::unordered_map<std::string, std::unique_ptr<server_context>>;

void site_contexts_init(proxy_context* context);
bool site_context_contains_server_ip(proxy_context* context, site_context* site, uint32_t addr);

void server_contexts_init(proxy_context* context);
server_context* server_contexts_create(proxy_context* context, ::site_context* site_context,
                                       const char* uuid, const uint32_t* addr, uint8_t len,
                                       uint32_t last_port, uint32_t first_port);
void server_contexts_remove(proxy_context* context, const char* uuid);
void server_contexts_remove_given_site_context(proxy_context* context,
                                               ::site_context* site_context);
void server_contexts_destroy(proxy_context* context);
