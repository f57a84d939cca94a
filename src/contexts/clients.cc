#include "contexts/clients.h"

#include <glib.h>

#include <mutex>
#include <shared_mutex>

#include "contexts/proxy_context.h"

void client_contexts_init(proxy_context* context) {
  g_return_if_fail(context != NULL);
  context->client_context_ht = std::make_unique<client_table>();
}

void client_contexts_remove_by_site_context(proxy_context* context, site_context* site) {
  g_return_if_fail(context != NULL);
  g_return_if_fail(site != NULL);
  std::unique_lock<std::shared_mutex> hold(context->client_lock);
  if (!context->client_context_ht) return;
  std::erase_if(*context->client_context_ht, [site](const auto& entry) {
    return entry.second->site_context != nullptr && entry.second->site_context->uuid == site->uuid;
  });
}

void client_contexts_destroy(proxy_context* context) {
  g_return_if_fail(context != NULL);
  std::unique_lock<std::shared_mutex> hold(context->client_lock);
  context->client_context_ht.reset();
}
