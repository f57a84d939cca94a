#include <glib.h>

#include <algorithm>
#include <mutex>

#include "contexts/proxy_context.h"
#include "contexts/sites.h"
#include "core/assert.h"

void server_contexts_init(proxy_context* context) {
  g_return_if_fail(context != NULL);
  context->server_context_ht = std::make_unique<server_table>();
}

server_context* server_contexts_create(proxy_context* context, ::site_context* site_context,
                                       const char* uuid, const uint32_t* addr, uint8_t len,
                                       uint32_t last_port, uint32_t first_port) {
  g_return_val_if_fail(context != NULL, nullptr);
  g_return_val_if_fail(site_context != NULL, nullptr);
  g_return_val_if_fail(uuid != NULL && addr != NULL && len != 0, nullptr);
  // The address array has 32 slots; a longer list is cut, never overrun.
  const uint32_t count = std::min<uint32_t>(len, SERVER_MAX_ADDRESSES);

  std::unique_lock<std::shared_mutex> hold(context->server_lock);
  auto found = context->server_context_ht->find(uuid);
  server_context* server;
  if (found != context->server_context_ht->end()) {
    // Updated in place, so pointers held elsewhere stay valid; the site stays
    // the one that created the server.
    server = found->second.get();
    std::unique_lock<std::shared_mutex> server_hold(server->lock);
    server->addresses.fill(0);
    std::copy_n(addr, count, server->addresses.begin());
    server->address_count = count;
    server->last_port = last_port;
    server->first_port = first_port;
    return server;
  }
  auto created = std::make_unique<server_context>();
  created->site_context = site_context;
  created->uuid = uuid;
  std::copy_n(addr, count, created->addresses.begin());
  created->address_count = count;
  created->last_port = last_port;
  created->first_port = first_port;
  server = created.get();
  context->server_context_ht->emplace(server->uuid, std::move(created));
  return server;
}

void server_contexts_remove(proxy_context* context, const char* uuid) {
  g_return_if_fail(context != NULL);
  g_return_if_fail(uuid != NULL);
  std::unique_lock<std::shared_mutex> hold(context->server_lock);
  auto found = context->server_context_ht->find(uuid);
  if (found == context->server_context_ht->end()) return;
  {
    std::unique_lock<std::shared_mutex> server_hold(found->second->lock);
    found->second->site_context = nullptr;
  }
  context->server_context_ht->erase(found);
}

void server_contexts_remove_given_site_context(proxy_context* context,
                                               ::site_context* site_context) {
  g_return_if_fail(context != NULL);
  g_return_if_fail(site_context != NULL);
  const ::site_context* site = site_context;
  std::unique_lock<std::shared_mutex> hold(context->server_lock);
  std::erase_if(*context->server_context_ht, [site](auto& entry) {
    server_context* server = entry.second.get();
    std::unique_lock<std::shared_mutex> server_hold(server->lock);
    if (server->site_context == nullptr || server->site_context->uuid != site->uuid) return false;
    server->site_context = nullptr;
    return true;
  });
}

void server_contexts_destroy(proxy_context* context) {
  g_return_if_fail(context != NULL);
  TARN_ASSERT(context->client_context_ht == NULL);
  std::unique_lock<std::shared_mutex> hold(context->server_lock);
  context->server_context_ht.reset();
}
