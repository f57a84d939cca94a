#include "cache/cachemanager.h"

#include <glib.h>

#include <chrono>
#include <mutex>

#include "contexts/proxy_context.h"
#include "core/service_thread.h"

void cachemanager_signal(proxy_context* context) {
  g_return_if_fail(context != NULL);
  std::lock_guard<std::mutex> hold(context->cachemanager_mutex);
  context->cachemanager_flag = true;
  context->cachemanager_cond.notify_one();
}

void cachemanager_thread(service_thread* record) {
  proxy_context* context = record->context;
  g_message("Cache Manager started");
  while (!context->stopping) {
    // The purge pass itself arrives with the cache data path.
    auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(context->cache_monitor_interval_s);
    std::unique_lock<std::mutex> hold(context->cachemanager_mutex);
    while (!context->cachemanager_flag) {
      if (context->cachemanager_cond.wait_until(hold, deadline) == std::cv_status::timeout) {
        context->cachemanager_flag = true;
      }
    }
    context->cachemanager_flag = false;
  }
  g_message("Cache Manager stopped");
}
