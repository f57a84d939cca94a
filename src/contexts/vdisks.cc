#include "contexts/vdisks.h"

#include <glib.h>

#include <mutex>

#include "contexts/proxy_context.h"
#include "core/assert.h"

void vdisk_contexts_init(proxy_context* context) {
  g_return_if_fail(context != NULL);
  context->vdisk_context_ht = std::make_unique<vdisk_table>();
}

void vdisk_contexts_destroy(proxy_context* context) {
  g_return_if_fail(context != NULL);
  TARN_ASSERT(context->client_context_ht == NULL);
  std::lock_guard<std::mutex> hold(context->vdisk_lock);
  context->vdisk_context_ht.reset();
}
