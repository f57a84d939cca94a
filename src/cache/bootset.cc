#include "cache/bootset.h"

#include <fcntl.h>
#include <glib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>

#include "cache/chunks.h"
#include "contexts/proxy_context.h"
#include "contexts/vdisks.h"
#include "core/unique_fd.h"

namespace {

constexpr const char* TEMP_FILE = ".bootset.tmp";  // dot: never a purge candidate
// The largest file of BOOT_SET_MAX_RANGES ranges, with room to spare.
constexpr off_t FILE_MAX = off_t{BOOT_SET_MAX_RANGES} * 16 + 4096;

// One writer at a time: the cache manager, the control thread (import, site
// removal) and shutdown share the temporary file name.
std::mutex write_mutex;

// The vDisk's size when known and not contended (0 otherwise): a
// prepopulation round holds the state lock for long, and the size only
// tightens the check of the file.
uint64_t known_size(vdisk_context* vc) {
  auto state = vc->state.try_lock();
  return state ? state->size : 0;
}

// A site without a cache path gives its vDisks the path "/<key>": nothing
// of theirs is on disk, and nothing must be written at the root.
bool has_directory(const vdisk_context* vc) {
  return vc->path.size() > vc->vdisk_key.size() + 1;
}

// The ranges of the vDisk's file; empty when there is none or it is unusable.
std::vector<boot_range> read_file(vdisk_context* vc) {
  std::vector<boot_range> ranges;
  if (!has_directory(vc)) return ranges;
  const std::string path = vc->path + "/" + BOOT_SET_FILE;
  unique_fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (!fd) {
    const int err = errno;
    if (err != ENOENT) g_warning("Ignoring boot set %s: %s", path.c_str(), g_strerror(err));
    return ranges;
  }
  struct stat st;
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > FILE_MAX) {
    g_warning("Ignoring boot set %s: not a regular file of at most %lld bytes", path.c_str(),
              static_cast<long long>(FILE_MAX));
    return ranges;
  }
  // One byte more than it claims, so that a file growing meanwhile shows.
  std::string data(static_cast<size_t>(st.st_size) + 1, '\0');
  size_t got = 0;
  while (got < data.size()) {
    const ssize_t n = read(fd.get(), data.data() + got, data.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int err = errno;
      g_warning("Ignoring boot set %s: %s", path.c_str(), g_strerror(err));
      return ranges;
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  const char* why = boot_set_parse(data.data(), got, vc->vdisk_key, known_size(vc), &ranges);
  if (why != nullptr) g_warning("Ignoring boot set %s: %s", path.c_str(), why);
  return ranges;
}

bool write_file(const vdisk_context* vc, const std::string& image) {
  const std::string& dir = vc->path;
  unique_fd dir_fd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!dir_fd) {
    const int err = errno;
    g_warning("Cannot write boot set %s/%s: %s", dir.c_str(), BOOT_SET_FILE, g_strerror(err));
    return false;
  }
  unique_fd fd(
      openat(dir_fd.get(), TEMP_FILE, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
  int err = fd ? 0 : errno;
  for (size_t done = 0; err == 0 && done < image.size();) {
    const ssize_t n = write(fd.get(), image.data() + done, image.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) err = errno;
    if (n > 0) done += static_cast<size_t>(n);
  }
  if (err == 0 && fsync(fd.get()) != 0) err = errno;
  if (err == 0 && fd.close() != 0) err = errno;
  if (err == 0 && renameat(dir_fd.get(), TEMP_FILE, dir_fd.get(), BOOT_SET_FILE) != 0) err = errno;
  if (err != 0) {
    g_warning("Cannot write boot set %s/%s: %s", dir.c_str(), BOOT_SET_FILE, g_strerror(err));
    unlinkat(dir_fd.get(), TEMP_FILE, 0);
    return false;
  }
  // The rename is durable only once the directory is.
  if (fsync(dir_fd.get()) != 0) {
    err = errno;
    g_warning("Cannot sync %s: %s", dir.c_str(), g_strerror(err));
  }
  return true;
}

}  // namespace

void boot_set_load(vdisk_context* vc) {
  g_return_if_fail(vc != NULL);
  if (vc->boot.lock()->loaded) return;
  boot_set from_file = boot_set_from(read_file(vc));
  from_file.loaded = true;
  auto boot = vc->boot.lock();
  if (boot->loaded) return;  // another thread was first
  // What was learnt before the file was read comes after the file's ranges.
  std::swap(*boot, from_file);
  bool changed = false;
  for (const boot_range& r : from_file.ranges)
    changed |= boot_set_record(*boot, r.offset, r.length);
  boot->dirty = changed;
}

std::vector<boot_range> boot_set_ranges(vdisk_context* vc) {
  g_return_val_if_fail(vc != NULL, std::vector<boot_range>());
  boot_set_load(vc);
  return vc->boot.lock()->ranges;
}

std::vector<boot_range> boot_set_union(vdisk_context* vc) {
  g_return_val_if_fail(vc != NULL, std::vector<boot_range>());
  boot_set_load(vc);
  std::vector<boot_range> out;
  auto boot = vc->boot.lock();
  out.reserve(boot->covered.size());
  for (const auto& [from, to] : boot->covered) out.push_back({from, to - from});
  return out;
}

uint64_t boot_set_bytes(vdisk_context* vc) {
  g_return_val_if_fail(vc != NULL, 0);
  boot_set_load(vc);
  return vc->boot.lock()->bytes;
}

size_t boot_set_replace(vdisk_context* vc, const std::vector<boot_range>& ranges) {
  g_return_val_if_fail(vc != NULL, 0);
  boot_set next = boot_set_from(ranges);
  next.loaded = true;
  next.dirty = true;
  const size_t kept = next.ranges.size();
  std::swap(*vc->boot.lock(), next);
  vc->changes.fetch_add(1);  // a set of the same size may cover other bytes
  return kept;               // the old set goes with `next`, outside the lock
}

bool boot_set_write(vdisk_context* vc) {
  g_return_val_if_fail(vc != NULL, false);
  std::lock_guard<std::mutex> writer(write_mutex);
  std::vector<boot_range> ranges;
  {
    auto boot = vc->boot.lock();
    if (!boot->dirty) return true;
    boot->dirty = false;
    if (!has_directory(vc)) return true;  // kept in memory only
    ranges = boot->ranges;
  }
  if (write_file(vc, boot_set_serialise(ranges, vc->vdisk_key))) return true;
  vc->boot.lock()->dirty = true;
  return false;
}

void boot_sets_flush(proxy_context* context, const char* site_uuid) {
  g_return_if_fail(context != NULL);
  std::vector<std::shared_ptr<vdisk_context>> tried = vdisk_contexts_all(context);
  std::erase_if(tried, [&](const std::shared_ptr<vdisk_context>& vc) {
    return site_uuid != nullptr && vc->site_uuid != site_uuid;
  });
  std::vector<std::shared_ptr<vdisk_context>> failed;
  for (const std::shared_ptr<vdisk_context>& vc : tried) {
    boot_set_load(vc.get());
    if (!boot_set_write(vc.get())) failed.push_back(vc);
  }
  vdisk_contexts_drop_retired(context, tried, failed);
}

boot_set_warmth_figures boot_set_warmth(proxy_context* context, vdisk_context* vc) {
  boot_set_warmth_figures out;
  g_return_val_if_fail(context != NULL && vc != NULL, out);
  const boot_set_warmth_figures since = *vc->warmth.lock();
  std::shared_ptr<site_context> site;
  {
    std::shared_lock<std::shared_mutex> hold(context->site_lock);
    if (context->site_context_ht) {
      auto found = context->site_context_ht->find(vc->site_uuid);
      if (found != context->site_context_ht->end()) site = found->second;
    }
  }
  // Read before the counts, so that a store during them makes the next
  // call count again.
  out.changes = vc->changes.load();
  out.size = vc->state.lock()->size;
  out.evicted_b = vc->evicted_b.load();
  const std::vector<boot_range> ranges = boot_set_union(vc);
  for (const boot_range& r : ranges) out.boot_b += r.length;
  if (!site) return out;
  out.counted = true;
  if (since.counted && since.changes == out.changes && since.size == out.size &&
      since.boot_b == out.boot_b) {
    out.cached_b = since.cached_b;
    out.boot_cached_b = since.boot_cached_b;
    return out;
  }
  out.boot_cached_b = cache_present_bytes(site.get(), vc->vdisk_key.c_str(), ranges);
  if (out.size != 0) {
    out.cached_b = cache_present_bytes(site.get(), vc->vdisk_key.c_str(), {{0, out.size}});
  }
  *vc->warmth.lock() = out;
  return out;
}
