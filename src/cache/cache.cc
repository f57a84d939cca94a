#include "cache/cache.h"

#include <dirent.h>
#include <fcntl.h>
#include <glib.h>
#include <glib/gstdio.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "cache/chunks.h"
#include "cache/script.h"
#include "contexts/proxy_context.h"
#include "contexts/sites.h"
#include "core/unique_fd.h"

namespace {

struct gfree_deleter {
  void operator()(void* p) const { g_free(p); }
};
struct gstrv_deleter {
  void operator()(char** v) const { g_strfreev(v); }
};
struct gerror_deleter {
  void operator()(GError* e) const { g_error_free(e); }
};
struct key_file_deleter {
  void operator()(GKeyFile* k) const { g_key_file_unref(k); }
};
struct dir_deleter {
  void operator()(DIR* d) const { closedir(d); }
};

using gchar_ptr = std::unique_ptr<char, gfree_deleter>;
using gstrv_ptr = std::unique_ptr<char*, gstrv_deleter>;
using gerror_ptr = std::unique_ptr<GError, gerror_deleter>;
using key_file_ptr = std::unique_ptr<GKeyFile, key_file_deleter>;
using dir_ptr = std::unique_ptr<DIR, dir_deleter>;

// A GLib error whose code is 0 (G_SHELL_ERROR_BAD_QUOTING, G_SPAWN_ERROR_FORK,
// G_FILE_ERROR_EXIST) must not read as success to the caller.
int error_result(const GError* error) {
  return error->code != 0 ? error->code : -1;
}

// "<cache_path>/config.data", or false (with a warning) when it would not fit
// the 254 characters the on-disk layout allows; a truncated path would read or
// write some other file.
bool config_path(const site_context* site, std::string* path) {
  *path = site->cache_path + "/" + CACHE_CONFIG_FILE;
  if (path->size() <= CACHE_PATH_MAX) return true;
  g_warning("Site %s - Cache path %s is too long: the path of %s in it would exceed %zu characters",
            site->uuid.c_str(), site->cache_path.c_str(), CACHE_CONFIG_FILE, CACHE_PATH_MAX);
  return false;
}

bool directory_is_empty(const char* path) {
  dir_ptr dir(opendir(path));
  if (!dir) return false;
  while (const struct dirent* entry = readdir(dir.get())) {
    if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) return false;
  }
  return true;
}

// The open script may print a mount point as the cache directory; the wipe
// leaves such a directory in place, so creating it again finds it present.
int make_cache_dir(const site_context* site) {
  if (mkdir(site->cache_path.c_str(), 0700) == 0) return 0;
  int err = errno;
  struct stat st;
  if (err == EEXIST && stat(site->cache_path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    if (chmod(site->cache_path.c_str(), 0700) == 0) return 0;
    err = errno;
  }
  g_warning("Site %s - cache_init mkdir: %s", site->uuid.c_str(), g_strerror(err));
  return -1;
}

std::string state_path(const site_context* site) {
  return site->cache_path + "/" + CACHE_STATE_FILE;
}

// This boot's id; "" when it cannot be read, which never matches a record.
std::string current_boot_id() {
  char* raw = nullptr;
  if (!g_file_get_contents(CACHE_BOOT_ID_PATH, &raw, nullptr, nullptr)) return "";
  gchar_ptr contents(raw);
  return g_strstrip(contents.get());
}

// Makes the directory's entries (a rename, an unlink) durable.
int sync_dir(const std::string& dir) {
  unique_fd fd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd) return -errno;
  return fsync(fd.get()) == 0 ? 0 : -errno;
}

int write_state(const site_context* site, const char* state, const std::string& boot_id) {
  key_file_ptr key_file(g_key_file_new());
  g_key_file_set_string(key_file.get(), CACHE_CONFIG_GROUP, CACHE_STATE_KEY, state);
  g_key_file_set_string(key_file.get(), CACHE_CONFIG_GROUP, CACHE_STATE_BOOT_ID_KEY,
                        boot_id.c_str());
  gsize length = 0;
  gchar_ptr data(g_key_file_to_data(key_file.get(), &length, nullptr));
  // Synced before the rename, and the rename synced after it: the state on
  // disk is the old one or the new one, and the new one survives a crash.
  GError* raw_error = nullptr;
  if (!g_file_set_contents_full(state_path(site).c_str(), data.get(), static_cast<gssize>(length),
                                static_cast<GFileSetContentsFlags>(G_FILE_SET_CONTENTS_CONSISTENT |
                                                                   G_FILE_SET_CONTENTS_DURABLE),
                                0600, &raw_error)) {
    gerror_ptr error(raw_error);
    g_warning("Site %s - Failed to write the cache state %s: %s", site->uuid.c_str(), state,
              error->message);
    return -1;
  }
  int rc = sync_dir(site->cache_path);
  if (rc != 0) {
    g_warning("Site %s - Failed to sync %s: %s", site->uuid.c_str(), site->cache_path.c_str(),
              g_strerror(-rc));
    return -1;
  }
  return 0;
}

int wipe_cache(const site_context* site) {
  g_message("Site %s - Wiping existing cache at %s", site->uuid.c_str(), site->cache_path.c_str());
  // Depth first so every directory is empty when its turn comes; physical so
  // links are removed, never followed; on one file system so a mount inside
  // the cache is never entered.
  int rc = nftw(site->cache_path.c_str(), cache_wipe_unlink, CACHE_WIPE_MAX_FDS,
                FTW_DEPTH | FTW_PHYS | FTW_MOUNT);
  if (rc != 0) g_warning("Site %s - Failed to wipe the cache", site->uuid.c_str());
  return rc;
}

int check_cache_size(site_context* site) {
  struct statvfs vfs;
  if (statvfs(site->cache_path.c_str(), &vfs) != 0) {
    int err = errno;
    g_warning("Site %s - cache_init statvfs: %s", site->uuid.c_str(), g_strerror(err));
    return -1;
  }
  uint64_t size = static_cast<uint64_t>(vfs.f_frsize) * vfs.f_blocks;
  if (size < CACHE_MIN_SIZE) {
    g_warning("Site %s - Rejecting cache with insufficient size %lu<%lu", site->uuid.c_str(),
              static_cast<unsigned long>(size), static_cast<unsigned long>(CACHE_MIN_SIZE));
    return -22;
  }
  site->block_size = vfs.f_frsize;
  return 0;
}

// Steps of cache_init after a successful open; any failure here closes the
// VDI again in cache_init.
int prepare_cache(site_context* site) {
  std::string unused;
  if (!config_path(site, &unused)) return -22;

  int rc = read_config(site);
  if (rc == 0 && !cache_state_trusted(site)) {
    g_warning("Site %s - The cache at %s was not shut down cleanly; discarding it",
              site->uuid.c_str(), site->cache_path.c_str());
    rc = 1;
  }
  if (rc != 0) {
    struct stat st;
    if (stat(site->cache_path.c_str(), &st) == 0) {
      rc = wipe_cache(site);
      if (rc != 0) return rc;
    }
    rc = make_cache_dir(site);
    if (rc != 0) return rc;
    rc = write_config(site);
    if (rc != 0) return rc;
    rc = read_config(site);
    if (rc != 0) {
      g_warning("Site %s - Failed to read the config again", site->uuid.c_str());
      return rc;
    }
  }
  rc = check_cache_size(site);
  if (rc != 0) return rc;
  return cache_state_mark_running(site);
}

}  // namespace

uint64_t cache_chunk_size(uint64_t total_bytes, uint64_t files) {
  // Fewer than 2 inodes leave no divisor, and a candidate of 0 is a multiple
  // of 10 MiB that would make every chunk empty: both take the default.
  auto divisor = static_cast<uint64_t>(static_cast<double>(files) * 0.6);
  if (divisor == 0) return CACHE_DEFAULT_CHUNK_SIZE;
  uint64_t quotient = total_bytes / divisor;
  double doubled = 2.0 * static_cast<double>(quotient);
  // 2^64 and beyond cannot be converted back; such a candidate cannot be
  // stored anyway, so only whether it is a multiple of 10 MiB matters (fmod
  // is exact).
  bool multiple;
  uint64_t candidate;
  if (doubled >= 18446744073709551616.0) {
    multiple = std::fmod(doubled, static_cast<double>(CACHE_DEFAULT_CHUNK_SIZE)) == 0.0;
    candidate = UINT64_MAX;
  } else {
    candidate = static_cast<uint64_t>(doubled);
    multiple = candidate % CACHE_DEFAULT_CHUNK_SIZE == 0;
  }
  if (candidate == 0 || !multiple) return CACHE_DEFAULT_CHUNK_SIZE;
  // The key file stores a 32-bit signed integer; a larger multiple would be
  // stored wrapped, so it takes the largest multiple that fits.
  if (candidate > CACHE_MAX_CHUNK_SIZE) return CACHE_MAX_CHUNK_SIZE;
  return candidate;
}

namespace {

// The open script must print one absolute path on one line. Anything else (a
// log line, binary noise, a path relative to wherever the daemon happens to
// run) could otherwise name some directory that would then be wiped as the
// cache.
bool vdi_output_is_path(const std::string& text) {
  if (text.empty() || text[0] != '/') return false;
  return std::none_of(text.begin(), text.end(), [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return u < 0x20 || u == 0x7f;
  });
}

std::string vdi_output_trimmed(const std::string& text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && g_ascii_isspace(text[begin])) begin++;
  while (end > begin && g_ascii_isspace(text[end - 1])) end--;
  return text.substr(begin, end - begin);
}

bool is_root_directory(const struct stat& st) {
  struct stat root;
  return stat("/", &root) == 0 && root.st_dev == st.st_dev && root.st_ino == st.st_ino;
}

}  // namespace

int cache_open_or_close_vdi(site_context* site, const char* verb) {
  g_return_val_if_fail(site != NULL && verb != NULL, -22);
  if (site->cache_vdi.empty()) return 0;

  gchar_ptr command(g_strdup_printf(CACHE_VDI_COMMAND, verb, site->cache_vdi.c_str()));
  const char* uuid = site->uuid.c_str();
  g_message("Site %s - cache_open_or_close_vdi running %s", uuid, command.get());

  // The command line is split like a shell would and run directly; a line
  // that cannot be split is a failure to spawn.
  GError* raw_error = nullptr;
  char** raw_argv = nullptr;
  bool parsed = g_shell_parse_argv(command.get(), nullptr, &raw_argv, &raw_error);
  gstrv_ptr argv(raw_argv);
  gerror_ptr error(raw_error);
  if (!parsed) {
    g_warning("Site %s - Failed to spawn %s cache vdi. reason: %s cmd: %s", uuid, verb,
              error ? error->message : "unknown", command.get());
    return error ? error_result(error.get()) : -1;
  }

  // The script runs under site_lock held for writing: bounded in time, so
  // that one that hangs cannot hold every site operation, or the shutdown,
  // for good.
  const proxy_context* context = site->context;
  const int timeout_s =
      context != nullptr ? context->cache_vdi_timeout_s : CACHE_SCRIPT_DEFAULT_TIMEOUT_S;
  cache_script_result run;
  cache_script_run(argv.get(), timeout_s, context != nullptr ? &context->stopping : nullptr, &run);
  g_message("Site %s - cache_open_or_close_vdi returned from %s", uuid, command.get());

  switch (run.outcome) {
    case cache_script_outcome::not_started:
      g_warning("Site %s - Failed to spawn %s cache vdi. reason: %s cmd: %s", uuid, verb,
                run.error_message.c_str(), command.get());
      return run.error_code != 0 ? run.error_code : -1;
    case cache_script_outcome::timed_out:
      g_warning(
          "Site %s - Command to %s cache vdi did not finish within %d s and was killed. cmd: %s, "
          "stdout: %s, stderr: %s",
          uuid, verb, std::max(timeout_s, 1), command.get(), cache_script_text(run.out).c_str(),
          cache_script_text(run.err).c_str());
      return -ETIMEDOUT;
    case cache_script_outcome::cancelled:
      g_warning(
          "Site %s - Command to %s cache vdi was killed: the daemon is shutting down and it did "
          "not finish within %d s. cmd: %s",
          uuid, verb, static_cast<int>(CACHE_SCRIPT_SHUTDOWN_GRACE_S), command.get());
      return -ECANCELED;
    case cache_script_outcome::exited:
      break;
  }
  if (run.status != 0) {
    g_warning(
        "Site %s - Spawned command to %s cache vdi failed. cmd: %s, rc: %d, stdout: %s, "
        "stderr: %s",
        uuid, verb, command.get(), run.status, cache_script_text(run.out).c_str(),
        cache_script_text(run.err).c_str());
    return run.status;
  }
  if (run.out.dropped != 0) {
    g_warning("Site %s - Command to %s cache vdi printed more than %zu bytes. cmd: %s, stdout: %s",
              uuid, verb, CACHE_SCRIPT_OUTPUT_MAX, command.get(),
              cache_script_text(run.out).c_str());
    return -22;
  }

  const std::string dir = vdi_output_trimmed(run.out.text);
  if (dir.empty()) return 0;
  if (!vdi_output_is_path(dir)) {
    g_warning("Site %s - Can't access cache path %s: the script must print one absolute directory",
              uuid, cache_script_text({dir, 0}).c_str());
    return -22;
  }
  struct stat st;
  if (stat(dir.c_str(), &st) != 0) {
    int saved = errno;
    g_warning("Site %s - Can't stat cache path %s: %s", uuid, dir.c_str(), g_strerror(saved));
    return -1;
  }
  if (!S_ISDIR(st.st_mode)) {
    g_warning("Site %s - Can't access cache path %s", uuid, dir.c_str());
    return -22;
  }
  if (is_root_directory(st)) {
    g_warning("Site %s - Can't access cache path %s: the root directory cannot hold a cache", uuid,
              dir.c_str());
    return -22;
  }
  site->cache_path = dir;
  return 0;
}

int read_config(site_context* site) {
  g_return_val_if_fail(site != NULL, -22);
  const char* uuid = site->uuid.c_str();
  // Without a cache directory there is nothing to read; composing "/config.data"
  // would read a file of the root directory instead.
  if (site->cache_path.empty()) {
    g_message("Site %s - No existing cache config found at %s", uuid, site->cache_path.c_str());
    return 1;
  }
  std::string path;
  if (!config_path(site, &path)) return -22;
  g_message("Site %s - Reading cache config from %s", uuid, path.c_str());

  key_file_ptr key_file(g_key_file_new());
  GError* raw_error = nullptr;
  if (!g_key_file_load_from_file(key_file.get(), path.c_str(), G_KEY_FILE_NONE, &raw_error)) {
    gerror_ptr error(raw_error);
    g_message("Site %s - No existing cache config found at %s", uuid, site->cache_path.c_str());
    return 1;
  }

  int version = g_key_file_get_integer(key_file.get(), CACHE_CONFIG_GROUP, CACHE_CONFIG_VERSION_KEY,
                                       &raw_error);
  if (raw_error != nullptr) {
    gerror_ptr error(raw_error);
    g_warning("Site %s - cacheVersion not set.", uuid);
    return -22;
  }
  if (version != CACHE_VERSION) {
    g_warning("Site %s - cacheVersion does not match %d!=%d.", uuid, version, CACHE_VERSION);
    return 2;
  }

  int chunk_size = g_key_file_get_integer(key_file.get(), CACHE_CONFIG_GROUP,
                                          CACHE_CONFIG_CHUNK_SIZE_KEY, &raw_error);
  if (raw_error != nullptr) {
    gerror_ptr error(raw_error);
    g_warning("Site %s - chunkSizeInBytes not set.", uuid);
    return -22;
  }
  // A chunk size of 0 or below can only come from a damaged file, and
  // sign-extended it would mean absurd chunk offsets. Like a missing key, it
  // makes the cache unusable, so cache_init wipes and rebuilds it.
  if (chunk_size <= 0) {
    g_warning("Site %s - chunkSizeInBytes %d is not a positive size.", uuid, chunk_size);
    return -22;
  }
  // The chunk store needs whole bitmap bytes per chunk and would refuse every
  // read and write of such a cache, leaving the site silently uncached.
  if (static_cast<uint64_t>(chunk_size) % BITMAP_BYTE_SPAN != 0) {
    g_warning("Site %s - chunkSizeInBytes %d is not a multiple of %d.", uuid, chunk_size,
              static_cast<int>(BITMAP_BYTE_SPAN));
    return 2;
  }
  site->chunk_size = static_cast<uint64_t>(static_cast<int64_t>(chunk_size));
  return 0;
}

int write_config(site_context* site) {
  g_return_val_if_fail(site != NULL, -22);
  const char* uuid = site->uuid.c_str();
  struct statvfs vfs;
  if (statvfs(site->cache_path.c_str(), &vfs) != 0) {
    int saved = errno;
    g_warning("Site %s - write_config statvfs: %s", uuid, g_strerror(saved));
    g_warning("Site %s - Failed to write the config", uuid);
    return -1;
  }
  uint64_t chunk_size =
      cache_chunk_size(static_cast<uint64_t>(vfs.f_frsize) * vfs.f_blocks, vfs.f_files);
  g_message("Site %s - Configuring cache chunk size as: %lu", uuid,
            static_cast<unsigned long>(chunk_size));

  std::string path;
  if (!config_path(site, &path)) {
    g_warning("Site %s - Failed to write the config", uuid);
    return -22;
  }
  g_message("Site %s - Writing cache config to %s", uuid, path.c_str());

  key_file_ptr key_file(g_key_file_new());
  g_key_file_set_integer(key_file.get(), CACHE_CONFIG_GROUP, CACHE_CONFIG_VERSION_KEY,
                         CACHE_VERSION);
  g_key_file_set_integer(key_file.get(), CACHE_CONFIG_GROUP, CACHE_CONFIG_CHUNK_SIZE_KEY,
                         static_cast<gint>(chunk_size));
  gsize length = 0;
  gchar_ptr data(g_key_file_to_data(key_file.get(), &length, nullptr));
  // Written to a temporary file and renamed, so a reader sees the old file or
  // the new one, never a part.
  GError* raw_error = nullptr;
  if (!g_file_set_contents(path.c_str(), data.get(), static_cast<gssize>(length), &raw_error)) {
    gerror_ptr error(raw_error);
    g_warning("Site %s - Failed to write cache config file %s: %s", uuid, path.c_str(),
              error->message);
    g_warning("Site %s - Failed to write the config", uuid);
    return error_result(error.get());
  }
  return 0;
}

int cache_wipe_unlink(const char* path, const struct stat*, int, struct FTW* ftwbuf) {
  if (remove(path) == 0) return 0;
  int err = errno;
  // The cache directory itself may be the cache file system's mount point,
  // which cannot be removed (EBUSY); emptied, it serves as well as a new one.
  // Something the walk had to leave in it (a mount inside) still fails it.
  if (err == EBUSY && ftwbuf != nullptr && ftwbuf->level == 0) {
    if (directory_is_empty(path)) return 0;
    err = ENOTEMPTY;
  }
  g_warning("wipe_cache_unlink remove %s: %s", path, g_strerror(err));
  return -1;
}

int cache_init(site_context* site) {
  g_return_val_if_fail(site != NULL, -22);
  if (!site->cache_vdi.empty()) {
    int rc = cache_open_or_close_vdi(site, "open");
    if (rc != 0) {
      // A killed open may have attached the VDI half way: the close undoes
      // what it did, as after any failure that follows a successful open.
      if (rc == -ETIMEDOUT) cache_open_or_close_vdi(site, "close");
      return rc;
    }
  }
  g_message("Site %s - Cache path configured as %s", site->uuid.c_str(), site->cache_path.c_str());

  int rc = prepare_cache(site);
  if (rc != 0 && !site->cache_vdi.empty()) cache_open_or_close_vdi(site, "close");
  return rc;
}

int cache_teardown(site_context* site) {
  g_return_val_if_fail(site != NULL, -22);
  // A failure leaves "running", and the next start after a reboot wipes.
  if (!site->cache_path.empty()) cache_state_mark_clean(site);
  if (site->cache_vdi.empty()) return 0;
  return cache_open_or_close_vdi(site, "close");
}

bool cache_state_trusted(const site_context* site) {
  g_return_val_if_fail(site != NULL, false);
  key_file_ptr key_file(g_key_file_new());
  if (!g_key_file_load_from_file(key_file.get(), state_path(site).c_str(), G_KEY_FILE_NONE,
                                 nullptr)) {
    return false;
  }
  gchar_ptr state(
      g_key_file_get_string(key_file.get(), CACHE_CONFIG_GROUP, CACHE_STATE_KEY, nullptr));
  gchar_ptr boot_id(
      g_key_file_get_string(key_file.get(), CACHE_CONFIG_GROUP, CACHE_STATE_BOOT_ID_KEY, nullptr));
  if (!state) return false;
  if (strcmp(state.get(), CACHE_STATE_CLEAN) == 0) return true;
  if (strcmp(state.get(), CACHE_STATE_RUNNING) != 0 || !boot_id || *boot_id == '\0') return false;
  return current_boot_id() == boot_id.get();
}

int cache_state_mark_running(const site_context* site) {
  g_return_val_if_fail(site != NULL, -22);
  if (write_state(site, CACHE_STATE_RUNNING, current_boot_id()) == 0) return 0;
  // Without a record, the next start wipes the cache: safe, if cold. What
  // must not survive is an earlier "clean".
  std::string path = state_path(site);
  int rc = unlink(path.c_str()) == 0 || errno == ENOENT ? 0 : -errno;
  if (rc == 0) rc = sync_dir(site->cache_path);
  if (rc != 0) {
    g_warning("Site %s - Cannot remove the cache state %s: %s", site->uuid.c_str(), path.c_str(),
              g_strerror(-rc));
    return -1;
  }
  return 0;
}

int cache_state_mark_clean(const site_context* site) {
  g_return_val_if_fail(site != NULL, -22);
  unique_fd fd(open(site->cache_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  int rc = !fd ? -errno : 0;
  if (rc == 0 && syncfs(fd.get()) != 0) rc = -errno;
  if (rc != 0) {
    g_warning("Site %s - Failed to sync the cache at %s: %s", site->uuid.c_str(),
              site->cache_path.c_str(), g_strerror(-rc));
    return -1;
  }
  if (write_state(site, CACHE_STATE_CLEAN, current_boot_id()) != 0) return -1;
  g_message("Site %s - Cache synced and marked clean", site->uuid.c_str());
  return 0;
}
