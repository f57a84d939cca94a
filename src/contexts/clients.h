// Client contexts: the VMs whose traffic the daemon follows.
//
// The table and its lock exist from start-up; clients themselves (their
// interface threads, session state and cache use) come with packet
// interception. Until then the table stays empty and the operations here keep
// the start-up, site removal and shutdown orders intact.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>

struct proxy_context;
struct site_context;

struct client_context {
  std::string uuid;
  ::site_context* site_context = nullptr;
};

// Keyed by the client's MAC address as a 48-bit integer.
using client_table = std::unordered_map<uint64_t, std::unique_ptr<client_context>>;

void client_contexts_init(proxy_context* context);
void client_contexts_remove_by_site_context(proxy_context* context, site_context* site);
void client_contexts_destroy(proxy_context* context);
