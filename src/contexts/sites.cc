#include "contexts/sites.h"

#include <glib.h>

#include <mutex>

#include "cache/cache.h"
#include "contexts/proxy_context.h"
#include "core/assert.h"

void site_contexts_init(proxy_context* context) {
  g_return_if_fail(context != NULL);
  context->site_context_ht = std::make_unique<site_table>();
}

site_context* site_contexts_create(proxy_context* context, const char* uuid, const char* cache_vdi,
                                   bool* created) {
  g_return_val_if_fail(context != NULL, nullptr);
  g_return_val_if_fail(uuid != NULL && cache_vdi != NULL, nullptr);
  if (created != nullptr) *created = false;

  std::unique_lock<std::shared_mutex> hold(context->site_lock);
  auto found = context->site_context_ht->find(uuid);
  if (found != context->site_context_ht->end()) {
    if (found->second->cache_vdi == cache_vdi) return found->second.get();
    g_warning("Unsupported - Can't switch the cache_vdi online.");
    return nullptr;
  }

  auto site = std::make_shared<site_context>();
  site->context = context;
  site->uuid = uuid;
  site->cache_vdi = cache_vdi;
  // The cache script runs under site_lock: no other site operation may see a
  // site whose cache is half set up.
  int rc = cache_init(site.get());
  if (rc != 0) {
    g_warning("cache init failed with %d", rc);
    return nullptr;
  }
  if (created != nullptr) *created = true;
  site_context* result = site.get();
  context->site_context_ht->emplace(result->uuid, std::move(site));
  return result;
}

void site_contexts_remove(proxy_context* context, const char* uuid) {
  g_return_if_fail(context != NULL);
  g_return_if_fail(uuid != NULL);
  std::unique_lock<std::shared_mutex> hold(context->site_lock);
  auto found = context->site_context_ht->find(uuid);
  if (found == context->site_context_ht->end()) return;
  site_context* site = found->second.get();
  client_contexts_remove_by_site_context(context, site);
  server_contexts_remove_given_site_context(context, site);
  cache_teardown(site);
  context->site_context_ht->erase(found);
}

void site_contexts_destroy(proxy_context* context) {
  g_return_if_fail(context != NULL);
  TARN_ASSERT(context->client_context_ht == NULL);
  TARN_ASSERT(context->server_context_ht == NULL);
  TARN_ASSERT(context->vdisk_context_ht == NULL);
  std::unique_lock<std::shared_mutex> hold(context->site_lock);
  if (!context->site_context_ht) return;
  for (auto& entry : *context->site_context_ht) cache_teardown(entry.second.get());
  context->site_context_ht.reset();
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
