#include "cache/cachemanager.h"

#include <dirent.h>
#include <fcntl.h>
#include <glib.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <ctime>
#include <limits>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "cache/bootset.h"
#include "contexts/clients.h"
#include "contexts/proxy_context.h"
#include "contexts/sites.h"
#include "contexts/vdisks.h"
#include "core/service_thread.h"
#include "core/unique_fd.h"
#include "metrics/metrics.h"

namespace {

constexpr const char* CONFIG_FILE_NAME = "config.data";
constexpr const char* PREPOP_MARKER = VDISK_PREPOP_MARKER;
constexpr uint64_t BLOCK_UNIT = 512;  // st_blocks and the purge goals count in these
constexpr int64_t MIN_INTERVAL_S = 1;

// One candidate chunk file: `path` is cache path/vDisk/name.
struct tree_element {
  std::string path;
  size_t vdisk_offset = 0;  // where the vDisk directory's name starts in path
  size_t name_offset = 0;   // where the file's name starts in path
  struct timespec atime {};
  uint64_t blocks = 0;
  uint8_t prepop = 0;

  std::string vdisk() const { return path.substr(vdisk_offset, name_offset - 1 - vdisk_offset); }
  const char* name() const { return path.c_str() + name_offset; }
};

// The deletion walk's state: files are removed relative to the directories
// the walk opened itself, so that a link planted in the cache after the tree
// was built cannot redirect a removal outside it.
struct purge_walk {
  int cache_fd = -1;
  unique_fd vdisk_fd;  // the vDisk directory of the previous removal
  std::string vdisk;
};

// Out-of-range conversions of a float are undefined; a misconfigured goal
// below its start fraction gives negative figures, a NaN fraction NaN.
uint64_t float_to_u64(float v) {
  if (!(v > 0.0f)) return 0;
  if (v >= 18446744073709551616.0f) return std::numeric_limits<uint64_t>::max();
  return static_cast<uint64_t>(v);
}

int64_t float_to_i64(float v) {
  if (std::isnan(v)) return 0;
  if (v >= 9223372036854775808.0f) return std::numeric_limits<int64_t>::max();
  if (v < -9223372036854775808.0f) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(v);
}

// 1 when a limit is crossed, 0 when not, -1 when the cache cannot be measured
// (goals, budget and record then stay as they were).
int check_limit(const proxy_context* context, const char* cache_path, purge_goals* goals,
                int64_t* budget, site_purge_record* record) {
  struct statvfs figures;
  if (statvfs(cache_path, &figures) != 0) {
    int err = errno;
    g_warning("check_limit statvfs %s: %s", cache_path, g_strerror(err));
    return -1;
  }
  cache_limit limit = check_limit_figures(context, figures);
  if (limit.low_space) {
    g_message("Cache manager detected low space. Freeing %" G_GUINT64_FORMAT " blocks.",
              limit.blocks_to_free);
  }
  if (limit.low_inodes) {
    g_message("Cache manager detected low inodes. Freeing %" G_GUINT64_FORMAT " inodes ",
              limit.inodes_to_free);
  }
  goals->blocks_to_free = limit.blocks_to_free;
  goals->inodes_to_free = limit.inodes_to_free;
  *budget = limit.budget;
  record->total_bytes = limit.total_bytes;
  record->used_bytes = limit.used_bytes;
  return limit.low_space || limit.low_inodes ? 1 : 0;
}

// Deletion order: files of vDisks without the "prepop" marker first, then the
// least recently accessed, then by path.
int tree_element_sort(const tree_element& a, const tree_element& b) {
  if (a.prepop != b.prepop) return a.prepop < b.prepop ? -1 : 1;
  if (a.atime.tv_sec != b.atime.tv_sec) return a.atime.tv_sec < b.atime.tv_sec ? -1 : 1;
  if (a.atime.tv_nsec != b.atime.tv_nsec) return a.atime.tv_nsec < b.atime.tv_nsec ? -1 : 1;
  return a.path.compare(b.path);
}

// Collects the regular files of the cache's vDisk directories, in deletion
// order. Nothing is followed through a symbolic link and nothing on another
// file system is taken: a link or a mount inside the cache could otherwise
// lead the walk to files that are not the cache's (and whose removal frees
// nothing here).
std::vector<tree_element> build_file_gtree(DIR* cache_dir, const std::string& cache_path) {
  std::vector<tree_element> tree;
  const int cache_fd = dirfd(cache_dir);
  struct stat cache_st;
  if (fstat(cache_fd, &cache_st) != 0) {
    g_warning("build_file_gtree stat: %s", g_strerror(errno));
    return tree;
  }
  while (const struct dirent* vdisk_entry = readdir(cache_dir)) {
    if (vdisk_entry->d_name[0] == '.') continue;
    // O_NOFOLLOW with O_DIRECTORY fails with ENOTDIR on a link, as on "config.data".
    int fd = openat(cache_fd, vdisk_entry->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
      int err = errno;
      if (err != ENOTDIR) g_warning("build_file_gtree opendir: %s", g_strerror(err));
      continue;
    }
    DIR* vdisk_dir = fdopendir(fd);
    if (vdisk_dir == nullptr) {
      int err = errno;
      close(fd);
      g_warning("build_file_gtree opendir: %s", g_strerror(err));
      continue;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
      g_warning("build_file_gtree stat: %s", g_strerror(errno));
    } else if (st.st_dev == cache_st.st_dev) {
      const uint8_t prepop = fstatat(fd, PREPOP_MARKER, &st, AT_SYMLINK_NOFOLLOW) == 0 ? 1 : 0;
      const std::string vdisk_path = cache_path + "/" + vdisk_entry->d_name + "/";
      while (const struct dirent* file_entry = readdir(vdisk_dir)) {
        const char* name = file_entry->d_name;
        if (name[0] == '.') continue;
        if (fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
          g_warning("build_file_gtree stat: %s", g_strerror(errno));
          continue;
        }
        if (!S_ISREG(st.st_mode) || st.st_dev != cache_st.st_dev) continue;
        if (strcmp(name, CONFIG_FILE_NAME) == 0 || strcmp(name, PREPOP_MARKER) == 0 ||
            strcmp(name, BOOT_SET_FILE) == 0) {
          continue;
        }
        tree_element element;
        element.path = vdisk_path + name;
        element.vdisk_offset = cache_path.size() + 1;
        element.name_offset = vdisk_path.size();
        element.atime = st.st_atim;
        element.blocks = static_cast<uint64_t>(st.st_blocks);
        element.prepop = prepop;
        tree.push_back(std::move(element));
      }
    }
    if (closedir(vdisk_dir) != 0) g_warning("build_file_gtree closedir: %s", g_strerror(errno));
  }
  std::sort(tree.begin(), tree.end(), [](const tree_element& a, const tree_element& b) {
    return tree_element_sort(a, b) < 0;
  });
  return tree;
}

// A vDisk that lost a chunk is no longer complete: its marker goes with the
// first removal (so a later prepopulation fills it again and the vDisk loses
// its eviction protection), and the lowest chunk number removed is kept for
// the vDisk's record.
void note_purged(const tree_element& element, purge_walk* walk, purge_goals* goals) {
  const char* name = element.name();
  char* end = nullptr;
  errno = 0;
  const unsigned long long number = strtoull(name, &end, 10);
  goals->blocks_freed_per_vdisk[walk->vdisk] += element.blocks;
  auto [at, first] = goals->first_purged_chunk.try_emplace(walk->vdisk, UINT64_MAX);
  if (end != name && *end == '\0' && errno == 0 && name[0] != '-') {
    at->second = std::min<uint64_t>(at->second, number);
  }
  if (first && element.prepop && unlinkat(walk->vdisk_fd.get(), PREPOP_MARKER, 0) != 0) {
    const int err = errno;
    if (err != ENOENT) g_warning("tree_element_purge unlink marker: %s", g_strerror(err));
  }
}

// Removes one file and counts it against the goals; answers whether the walk
// goes on. A failed removal frees nothing and counts nothing.
bool tree_element_purge(const tree_element& element, purge_walk* walk, purge_goals* goals) {
  int rc = -1;
  int err = 0;
  std::string vdisk = element.vdisk();
  if (!walk->vdisk_fd || walk->vdisk != vdisk) {
    int fd = openat(walk->cache_fd, vdisk.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) err = errno;
    walk->vdisk_fd.reset(fd);
    walk->vdisk = fd < 0 ? std::string() : std::move(vdisk);
  }
  if (walk->vdisk_fd) {
    // Flag 0: a directory is never removed, and a link would be removed itself.
    rc = unlinkat(walk->vdisk_fd.get(), element.name(), 0);
    if (rc != 0) err = errno;
  }
  if (rc != 0) {
    if (err == EBUSY) {
      g_info("tree_element_purge unlink hit EBUSY");
    } else {
      g_warning("tree_element_purge unlink: %s", g_strerror(err));
    }
    return true;
  }
  note_purged(element, walk, goals);
  if (goals->inodes_to_free > 0) goals->inodes_to_free--;
  if (goals->blocks_to_free > element.blocks) {
    goals->blocks_to_free -= element.blocks;
    goals->blocks_freed += element.blocks;
    return true;
  }
  goals->blocks_freed += element.blocks;
  goals->blocks_to_free = 0;
  if (goals->inodes_to_free > 0) return true;
  g_message("Cache Manager achieved cache free goal!");
  return false;
}

// A client keeps the chunk file it read last open for its next read. Once
// the purge has removed that file, the descriptor alone holds its space and
// its inode, until the client reads another chunk, which an idle client may
// never do; the purge would count them freed and the cache stay short. Such
// descriptors are let go. One in use right now is left to its reader, who
// notices the removal on its next miss.
void release_removed_chunks(proxy_context* context, const site_context* site) {
  std::shared_lock<std::shared_mutex> clients(context->client_lock);
  if (!context->client_context_ht) return;
  for (auto& entry : *context->client_context_ht) {
    client_context* cc = entry.second.get();
    if (cc->site_context != site) continue;
    auto open = cc->chunks.open_chunk.try_lock();
    if (!open || !open->fd.valid()) continue;
    struct stat st;
    if (fstat(open->fd.get(), &st) == 0 && st.st_nlink == 0) {
      open->fd.reset();
      open->path[0] = '\0';
    }
  }
}

}  // namespace

void cachemanager_signal(proxy_context* context) {
  g_return_if_fail(context != NULL);
  std::lock_guard<std::mutex> hold(context->cachemanager_mutex);
  context->cachemanager_flag = true;
  context->cachemanager_cond.notify_one();
}

cache_limit check_limit_figures(const proxy_context* context, const struct statvfs& figures) {
  cache_limit limit;
  // Single precision throughout, each step rounded to float as it is taken.
  const float blocks = static_cast<float>(figures.f_blocks);
  const float bavail = static_cast<float>(figures.f_bavail);
  const float frsize = static_cast<float>(figures.f_frsize);
  const float files = static_cast<float>(figures.f_files);
  const float favail = static_cast<float>(figures.f_favail);

  const float start_blocks = context->cache_start_purge_free_space * blocks;
  if (start_blocks > bavail) {
    limit.low_space = true;
    const float goal_blocks = blocks * context->cache_goal_purge_free_space;
    const float missing = goal_blocks - bavail;
    const float missing_bytes = missing * frsize;
    limit.blocks_to_free = float_to_u64(missing_bytes * 0.001953125f);
  }
  const float start_inodes = context->cache_start_purge_free_inodes * files;
  if (start_inodes > favail) {
    limit.low_inodes = true;
    const float goal_inodes = files * context->cache_goal_purge_free_inodes;
    limit.inodes_to_free = float_to_u64(goal_inodes - favail);
  }
  const float spare_blocks = bavail - blocks * context->cache_start_purge_free_space;
  limit.budget = float_to_i64(spare_blocks * frsize);

  limit.total_bytes = static_cast<uint64_t>(figures.f_blocks) * figures.f_frsize;
  const uint64_t used_blocks =
      figures.f_blocks > figures.f_bfree ? figures.f_blocks - figures.f_bfree : 0;
  limit.used_bytes = used_blocks * figures.f_frsize;
  return limit;
}

void check_and_purge(site_purge_record* input) {
  if (!(input != nullptr && input->site_context != nullptr && !input->cache_path.empty())) {
    g_return_if_fail_warning(G_LOG_DOMAIN, G_STRFUNC,
                             "input != NULL && input->site_context != NULL && "
                             "input->cache_path != NULL");
    return;
  }
  site_context* site = input->site_context.get();
  const proxy_context* context = site->context;
  g_return_if_fail(context != NULL);
  const char* cache_path = input->cache_path.c_str();

  purge_goals goals;
  int64_t budget = 0;
  const int crossed = check_limit(context, cache_path, &goals, &budget, input);
  // Without a measurement there is nothing to aim at: a walk would only
  // remove a file for nothing. The next pass measures again.
  if (crossed < 0) return;
  if (budget > 0) site->write_budget.store(budget);
  if (crossed == 0) return;

  // Only a goal below its start fraction (a misconfiguration) leaves a crossed
  // limit with nothing to free; deleting a file then would gain nothing.
  if (goals.blocks_to_free > 0 || goals.inodes_to_free > 0) purge_files(cache_path, &goals);
  release_removed_chunks(site->context, site);
  for (const auto& [vdisk, chunk] : goals.first_purged_chunk) {
    const uint64_t offset = chunk <= UINT64_MAX / std::max<uint64_t>(site->chunk_size, 1)
                                ? chunk * site->chunk_size
                                : 0;
    vdisk_contexts_purged(site->context, site->uuid, vdisk, offset,
                          BLOCK_UNIT * goals.blocks_freed_per_vdisk[vdisk]);
  }

  purge_goals unused;
  const int still = check_limit(context, cache_path, &unused, &budget, input);
  // A budget of 0 lets the next cache write wake us to measure again.
  site->write_budget.store(still < 0 ? 0 : budget);
  if (still != 0) {
    g_message(
        "check_and_purge detected that the cache still exeeds cache_start_purge_free_space after "
        "purging.");
  }
  input->evicted_bytes += BLOCK_UNIT * goals.blocks_freed;
}

void purge_files(const char* cache_path, purge_goals* goals) {
  g_return_if_fail(cache_path != NULL && goals != NULL);
  DIR* cache_dir = opendir(cache_path);
  if (cache_dir == nullptr) {
    g_warning("purge_files opendir: %s", g_strerror(errno));
    return;
  }
  {
    std::vector<tree_element> tree = build_file_gtree(cache_dir, cache_path);
    purge_walk walk;
    walk.cache_fd = dirfd(cache_dir);
    for (const tree_element& element : tree) {
      if (!tree_element_purge(element, &walk, goals)) break;
    }
  }
  if (closedir(cache_dir) != 0) g_warning("purge_files closedir: %s", g_strerror(errno));
}

void cachemanager_run_pass(proxy_context* context) {
  g_return_if_fail(context != NULL);
  std::vector<site_purge_record> records;
  {
    std::shared_lock<std::shared_mutex> hold(context->site_lock);
    if (context->site_context_ht) {
      records.reserve(context->site_context_ht->size());
      for (const auto& entry : *context->site_context_ht) {
        site_purge_record record;
        record.site_context = entry.second;
        if (entry.second) record.cache_path = entry.second->cache_path;
        records.push_back(std::move(record));
      }
    }
  }

  uint64_t evicted = 0;
  uint64_t used = 0;
  uint64_t total = 0;
  for (site_purge_record& record : records) {
    check_and_purge(&record);
    evicted += record.evicted_bytes;
    used += record.used_bytes;
    total += record.total_bytes;
  }
  metrics_add_cache_evicted_b(&context->metrics, evicted);
  const double utilisation =
      total == 0 ? 0.0 : static_cast<double>(used) / static_cast<double>(total) * 100.0;
  metrics_set_cache_utilized_p_not_mt(&context->metrics, utilisation);
  boot_sets_flush(context, nullptr);
}

void cachemanager_thread(service_thread* record) {
  g_return_if_fail(record != NULL && record->context != NULL);
  proxy_context* context = record->context;
  g_message("Cache Manager started");
  int64_t interval_s = context->cache_monitor_interval_s;
  if (interval_s < MIN_INTERVAL_S) {
    // Every wait would end at once and the passes would run back to back.
    g_message("Cache Manager: cacheMonitorIntervalInS %" G_GINT64_FORMAT
              " is below 1; checking the caches every second",
              interval_s);
    interval_s = MIN_INTERVAL_S;
  }
  while (!context->stopping) {
    cachemanager_run_pass(context);

    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(interval_s);
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
