// The cache manager: keeps free space and inodes available in every site's cache.
//
// Runs as the "CacheManager" service thread. It makes a pass at once and then
// every cacheMonitorIntervalInS seconds, or as soon as cachemanager_signal wakes
// it (a cache writer exhausted its site's write budget, or shutdown began). A
// signal that arrives during a pass is kept and ends the next wait at once.
#pragma once

struct proxy_context;
struct service_thread;

void cachemanager_thread(service_thread* record);
void cachemanager_signal(proxy_context* context);
