#include "contexts/sites.h"

#include <glib.h>

#include <mutex>

#include "contexts/proxy_context.h"

void site_contexts_init(proxy_context* context) {
  g_return_if_fail(context != NULL);
  context->site_context_ht = std::make_unique<site_table>();
}

bool site_context_contains_server_ip(proxy_context* context, site_context* site, uint32_t addr) {
  g_return_val_if_fail(context != NULL, false);
  std::shared_lock<std::shared_mutex> hold(context->server_lock);
  if (!context->server_context_ht) return false;
  for (auto& entry : *context->server_context_ht) {
    server_context* server = entry.second.get();
    std::shared_lock<std::shared_mutex> server_hold(server->lock);
    if (server->site_context != site) continue;
    for (uint32_t i = 0; i < server->address_count; i++) {
      if (server->addresses[i] == addr) return true;
    }
  }
  return false;
}
