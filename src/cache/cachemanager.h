// The cache manager: keeps free space and inodes available in every site's cache.
//
// Runs as the "CacheManager" service thread. It makes a pass at once and then
// every cacheMonitorIntervalInS seconds (at least one second), or as soon as
// cachemanager_signal wakes it (a cache writer exhausted its site's write
// budget, or shutdown began). A signal that arrives during a pass is kept and
// ends the next wait at once.
//
// A pass measures each site's cache file system. Where free blocks or free
// inodes have fallen below the start fractions it deletes chunk files until
// the goal fractions are available again: files of vDisks without the
// "prepop" marker first, least recently accessed first. It then sets the
// site's write budget (the bytes that may still be written before the start
// fraction is reached) and reports evicted bytes and utilisation to the
// metrics. Last it writes the vDisks' boot sets that changed
// (cache/bootset.h). Only regular files inside the vDisk directories of the cache are
// ever deleted: never "config.data", "prepop", "bootset", a directory, or anything reached
// through a symbolic link or on another file system. A vDisk that loses a
// chunk loses its "prepop" marker too, and its record's prepopulation
// progress falls back to the first chunk removed, so that it is filled again.
#pragma once

#include <sys/statvfs.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>

struct proxy_context;
struct service_thread;
struct site_context;

// What one pass learns of one site; made afresh for each site on each pass.
struct site_purge_record {
  // Shared with the site table, so that a site the control thread removes
  // during the pass stays valid until the pass is done with it.
  std::shared_ptr<::site_context> site_context;
  std::string cache_path;      // copied under site_lock
  uint64_t evicted_bytes = 0;  // 512 x blocks freed by this pass
  uint64_t used_bytes = 0;     // of the last successful measurement
  uint64_t total_bytes = 0;
};

// Handed to the deletion walk; blocks are 512-byte units.
struct purge_goals {
  uint64_t blocks_to_free = 0;
  uint64_t inodes_to_free = 0;
  uint64_t blocks_freed = 0;
  // Per vDisk directory the walk removed files from: the lowest chunk number
  // removed (UINT64_MAX when only files not named by a number went).
  std::map<std::string, uint64_t> first_purged_chunk;
  std::map<std::string, uint64_t> blocks_freed_per_vdisk;
};

// What one measurement of a cache file system means.
struct cache_limit {
  bool low_space = false;
  bool low_inodes = false;
  uint64_t blocks_to_free = 0;  // 512-byte units
  uint64_t inodes_to_free = 0;
  int64_t budget = 0;  // bytes that may be written before free space reaches the start fraction
  uint64_t used_bytes = 0;
  uint64_t total_bytes = 0;
};

void cachemanager_thread(service_thread* record);
void cachemanager_signal(proxy_context* context);

// One pass over all sites, as the thread runs it between two waits.
void cachemanager_run_pass(proxy_context* context);

// The threshold arithmetic of one measurement, in single precision with the
// thresholds of `context`. Logs nothing and touches no file.
cache_limit check_limit_figures(const proxy_context* context, const struct statvfs& figures);

// Measures the record's cache, purges it if a limit is crossed, sets the
// site's write budget and fills in the record's figures. The thresholds are
// those of the site's `context`.
void check_and_purge(site_purge_record* input);

// Deletes candidate chunk files of the cache at `cache_path` in deletion
// order until `goals` are met or no candidate is left.
void purge_files(const char* cache_path, purge_goals* goals);
