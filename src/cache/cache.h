// A site's cache directory: the cache VDI, "config.data" and the chunk size.
//
// cache_init runs when a site is created: it asks the cache VDI script to
// attach the site's cache file system and name its directory, reuses a cache a
// previous run left there or wipes it and starts anew, chooses the chunk size
// and refuses caches that are too small. cache_teardown detaches the VDI again;
// the directory and its contents stay. Both run under site_lock held for
// writing, so the script runs synchronously there.
//
// Chunk data reaches the disk without fsync, so after a host crash a bitmap
// bit may be on disk while the data it declares is not. The state file
// CACHE_STATE_FILE says whether the cache can be trusted: "clean" once
// cache_teardown has synced the file system, "running" with the boot id while
// a run uses it. cache_init takes a cache over only when it was left clean, or
// running in this same boot (the daemon died but the kernel kept every write
// it had accepted); any other cache is wiped. The file starts with a dot, so
// the cache manager passes it by.
//
// Results are 0 or a nonzero code: -22 for a refused cache, -1 for a failed
// system call, or a code passed on from the script's wait status or a GLib
// error (never 0 for a failure).
#pragma once

#include <ftw.h>
#include <sys/stat.h>

#include <cstdint>

struct site_context;

inline constexpr const char* CACHE_VDI_COMMAND = "sudo /opt/vextal/tarnproxy/%s-cache-vdi.sh %s";
inline constexpr const char* CACHE_CONFIG_FILE = "config.data";
inline constexpr const char* CACHE_CONFIG_GROUP = "Main";
inline constexpr const char* CACHE_CONFIG_VERSION_KEY = "cacheVersion";
inline constexpr const char* CACHE_CONFIG_CHUNK_SIZE_KEY = "chunkSizeInBytes";
inline constexpr int CACHE_VERSION = 3;
inline constexpr uint64_t CACHE_MIN_SIZE = 996147200;           // 950 MiB
inline constexpr uint64_t CACHE_DEFAULT_CHUNK_SIZE = 10485760;  // 10 MiB
// The largest multiple of 10 MiB that a 32-bit signed key-file integer holds.
inline constexpr uint64_t CACHE_MAX_CHUNK_SIZE = 2139095040;
// Cache paths are composed in 255-byte buffers: at most 254 characters.
inline constexpr size_t CACHE_PATH_MAX = 254;
inline constexpr int CACHE_WIPE_MAX_FDS = 10;
inline constexpr const char* CACHE_STATE_FILE = ".cache-state";
inline constexpr const char* CACHE_STATE_KEY = "state";
inline constexpr const char* CACHE_STATE_BOOT_ID_KEY = "bootId";
inline constexpr const char* CACHE_STATE_CLEAN = "clean";
inline constexpr const char* CACHE_STATE_RUNNING = "running";
inline constexpr const char* CACHE_BOOT_ID_PATH = "/proc/sys/kernel/random/boot_id";

// 0: the cache is ready (cache_path, chunk_size and block_size set).
int cache_init(site_context* site);
// Syncs the cache and marks it clean, then closes the cache VDI; the
// directory stays. 0 or the close command's failure.
int cache_teardown(site_context* site);
// 0: valid, chunk size set; 1: no loadable config; 2: wrong version; -22: a key
// missing, a chunk size that is not positive, or a cache_path too long.
int read_config(site_context* site);
// Chooses the chunk size from the empty cache's file system and writes
// "config.data" atomically. 0, -1 or the GLib error's code.
int write_config(site_context* site);
// Runs the cache VDI script with `verb` ("open" or "close"); a directory it
// prints becomes cache_path. Does nothing for a site without a cache VDI.
int cache_open_or_close_vdi(site_context* site, const char* verb);
// True when the state file lets the cache at cache_path be taken over.
bool cache_state_trusted(const site_context* site);
// Replaces the state file durably with "running" and this boot's id, before
// the run writes anything; where that fails, removes it so the cache is not
// trusted later. 0, or -1 when neither was possible.
int cache_state_mark_running(const site_context* site);
// Syncs the cache's file system, then records "clean" durably. 0 or -1.
int cache_state_mark_clean(const site_context* site);
// nftw callback of the wipe: removes one entry. Nonzero stops the walk.
int cache_wipe_unlink(const char* path, const struct stat* sb, int typeflag, struct FTW* ftwbuf);

// The chunk size chosen for a new cache of `total_bytes` with `files` inodes;
// never 0 and always storable as a 32-bit signed integer.
uint64_t cache_chunk_size(uint64_t total_bytes, uint64_t files);
