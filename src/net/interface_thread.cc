#include "net/interface_thread.h"

#include <glib.h>

#include "contexts/proxy_context.h"

void interface_thread_init(proxy_context* context) {
  g_return_if_fail(context != NULL);
  context->interface_thread_ht = std::make_unique<interface_thread_table>();
}

void interface_thread_destroy(proxy_context* context) {
  g_return_if_fail(context != NULL);
  context->interface_thread_ht.reset();
}
