#include "cache/chunks.h"

#include <fcntl.h>
#include <glib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstring>
#include <limits>
#include <mutex>
#include <optional>
#include <shared_mutex>

#include "cache/cache.h"
#include "cache/cachemanager.h"
#include "contexts/clients.h"
#include "contexts/proxy_context.h"
#include "contexts/sites.h"
#include "contexts/vdisks.h"

namespace {

constexpr uint64_t MAX_RESULT = static_cast<uint64_t>(std::numeric_limits<int32_t>::max());
constexpr uint64_t MAX_CHUNK_NUMBER = static_cast<uint64_t>(std::numeric_limits<int32_t>::max());
constexpr int FLOCK_ATTEMPTS = 8;
constexpr int OPEN_ATTEMPTS = 4;
static_assert(sizeof(chunk_location::path) == CLIENT_CHUNK_PATH_SIZE);
static_assert(CLIENT_PENDING_MAX < SECTOR_SIZE);

// Chunk sizes the layout can hold: whole bitmap bytes (so no sector and no
// bitmap byte is shared between chunks), and file offsets and chunk-relative
// counts that fit 32 bits.
bool chunk_size_usable(uint64_t size) {
  return size >= BITMAP_BYTE_SPAN && size % BITMAP_BYTE_SPAN == 0 && size <= MAX_RESULT;
}

bool no_space(int err) {
  return err == ENOSPC || err == EDQUOT;
}

// The packet path calls here for every reply, so a failing disk would
// otherwise write warnings per datagram: a few per interval and client, and
// then how many were left out.
G_GNUC_PRINTF(2, 3) void cache_warning(client_context* cc, const char* format, ...) {
  uint32_t held = 0;
  const bool admit = log_limit_admit(&cc->chunks.warning_rate, CACHE_WARNING_INTERVAL_US,
                                     CACHE_WARNING_BURST, &held);
  if (held != 0) {
    g_warning("Client %s - %" PRIu32 " more cache warnings were not logged", cc->uuid.c_str(),
              held);
  }
  if (!admit) return;
  va_list args;
  va_start(args, format);
  char* text = g_strdup_vprintf(format, args);
  va_end(args);
  g_warning("%s", text);
  g_free(text);
}

// Whole-range positioned I/O. Each pass moves forward or ends the loop, so
// it is bounded by the length. A short count comes with the error of the
// call that stopped it: a write that stores nothing counts as a full disk, a
// read at the end of the file leaves the error 0.
ssize_t pwrite_full(int fd, const void* buf, size_t n, uint64_t at, int* err) {
  size_t done = 0;
  *err = 0;
  while (done < n) {
    ssize_t r = pwrite(fd, static_cast<const uint8_t*>(buf) + done, n - done,
                       static_cast<off_t>(at + done));
    if (r <= 0) {
      *err = r < 0 ? errno : ENOSPC;
      break;
    }
    done += static_cast<size_t>(r);
  }
  return static_cast<ssize_t>(done);
}

ssize_t pread_full(int fd, void* buf, size_t n, uint64_t at, int* err) {
  size_t done = 0;
  *err = 0;
  while (done < n) {
    ssize_t r =
        pread(fd, static_cast<uint8_t*>(buf) + done, n - done, static_cast<off_t>(at + done));
    if (r <= 0) {
      if (r < 0) *err = errno;
      break;
    }
    done += static_cast<size_t>(r);
  }
  return static_cast<ssize_t>(done);
}

bool compose_chunk(const site_context* site, const char* vdisk_key, uint64_t offset,
                   chunk_location* where) {
  if (site == nullptr || !chunk_size_usable(site->chunk_size)) return false;
  if (site->cache_path.empty() || !vdisk_key_is_valid(vdisk_key)) return false;
  uint64_t number = offset / site->chunk_size;
  if (number > MAX_CHUNK_NUMBER) return false;
  // "<cache_path>/<vdisk_key>/<number>", composed by hand rather than by
  // snprintf, as it runs for every piece of every read on the packet path.
  // A path that would not fit is refused: truncated, it would name another
  // chunk's file.
  char digits[16];
  size_t digit_count = 0;
  uint64_t rest = number;
  do {
    digits[digit_count++] = static_cast<char>('0' + rest % 10);
    rest /= 10;
  } while (rest != 0);
  const std::string& base = site->cache_path;
  size_t key_length = strnlen(vdisk_key, CLIENT_VDISK_KEY_SIZE);
  if (base.size() + 1 + key_length + 1 + digit_count >= sizeof where->path) return false;
  char* p = where->path;
  memcpy(p, base.data(), base.size());
  p += base.size();
  *p++ = '/';
  memcpy(p, vdisk_key, key_length);
  p += key_length;
  *p++ = '/';
  while (digit_count != 0) *p++ = digits[--digit_count];
  *p = '\0';
  where->number = number;
  where->offset = offset % site->chunk_size;
  return true;
}

// Checks a request before anything is touched. Offsets and lengths may come
// from the network: a range must not wrap, its count must fit the int32
// result, and its last chunk number must print as itself (a wrapped number
// would name another chunk's file and serve its data).
bool request_usable(const site_context* site, const char* vdisk_key, uint64_t offset,
                    uint64_t length) {
  if (site == nullptr || !chunk_size_usable(site->chunk_size)) return false;
  if (site->cache_path.empty() || !vdisk_key_is_valid(vdisk_key)) return false;
  if (length > MAX_RESULT || offset > std::numeric_limits<uint64_t>::max() - length) return false;
  return (offset + length - 1) / site->chunk_size <= MAX_CHUNK_NUMBER;
}

// Every cache write spends the site's budget; the writer that overdraws it
// wakes the cache manager, and the budget is set out of reach so that the
// others do not, until the cache manager measures the disk again.
void charge_write_budget(proxy_context* context, site_context* site, uint64_t length) {
  uint64_t block = site->block_size;
  uint64_t rounded = length;
  if (block > 1 && block <= MAX_RESULT) rounded = (length + block - 1) / block * block;
  auto amount = static_cast<int64_t>(rounded);
  int64_t before = site->write_budget.fetch_sub(amount);
  int64_t after;
  if (__builtin_sub_overflow(before, amount, &after) || after < 0) {
    site->write_budget.store(std::numeric_limits<int64_t>::max());
    cachemanager_signal(context);
  }
}

// The bytes [from, to) of a run made of the previous pending bytes (at
// [prev_offset, o)) followed by the data just written (at [o, ...); null
// data stands for zeros).
void copy_run(uint8_t* dst, uint64_t from, uint64_t to, const uint8_t* prev, uint64_t prev_offset,
              uint64_t o, const uint8_t* data) {
  for (uint64_t at = from; at < to; ++at) {
    if (at < o) {
      *dst++ = prev[at - prev_offset];
    } else {
      *dst++ = data != nullptr ? data[at - o] : 0;
    }
  }
}

// Sets bits [from, to) of a bitmap window: single bits up to a byte
// boundary, whole bytes, then the single bits left.
void set_bits(uint8_t* window, uint64_t from, uint64_t to) {
  uint64_t bit = from;
  while (bit < to && bit % 8 != 0) {
    window[bit / 8] |= static_cast<uint8_t>(0x80 >> (bit % 8));
    ++bit;
  }
  while (to - bit >= 8) {
    window[bit / 8] = 0xFF;
    bit += 8;
  }
  while (bit < to) {
    window[bit / 8] |= static_cast<uint8_t>(0x80 >> (bit % 8));
    ++bit;
  }
}

bool all_bits_set(const uint8_t* window, uint64_t from, uint64_t to) {
  uint64_t bit = from;
  while (bit < to && bit % 8 != 0) {
    if ((window[bit / 8] & (0x80 >> (bit % 8))) == 0) return false;
    ++bit;
  }
  while (to - bit >= 8) {
    if (window[bit / 8] != 0xFF) return false;
    bit += 8;
  }
  while (bit < to) {
    if ((window[bit / 8] & (0x80 >> (bit % 8))) == 0) return false;
    ++bit;
  }
  return true;
}

// The window of bitmap bytes holding sectors [sector, end): at most
// BITMAP_WINDOW_MAX bytes, so long runs take several windows.
struct bitmap_window {
  uint64_t first_byte;
  uint64_t byte_length;
  uint64_t end_sector;  // first sector past this window's share of the run
};

bitmap_window window_at(uint64_t sector, uint64_t end) {
  uint64_t first_byte = sector / 8;
  uint64_t last_byte = std::min(first_byte + BITMAP_WINDOW_MAX - 1, (end - 1) / 8);
  return {first_byte, last_byte - first_byte + 1, std::min(end, (last_byte + 1) * 8)};
}

// Sets the bits of sectors [first, end) of the chunk file, with the file
// locked so that concurrent writers (of any client) do not undo each other's
// bits. 0 or an errno value.
int write_bits(client_context* cc, int fd, uint64_t chunk_size, uint64_t first, uint64_t end) {
  int rc = -1;
  for (int attempt = 0; attempt < FLOCK_ATTEMPTS && rc != 0; ++attempt) {
    rc = flock(fd, LOCK_EX);
    if (rc != 0 && errno != EINTR) break;
  }
  if (rc != 0) {
    int err = errno;
    cache_warning(cc, "Client %s - bitmap_mark_allocated flock failed: %s", cc->uuid.c_str(),
                  g_strerror(err));
    return err;
  }
  for (uint64_t sector = first; sector < end;) {
    bitmap_window w = window_at(sector, end);
    uint8_t window[BITMAP_WINDOW_MAX + 1] = {};
    int err;
    // Bytes past what could be read (a file another writer has just
    // created and not yet sized) count as zero.
    ssize_t got = pread_full(fd, window, w.byte_length, chunk_size + w.first_byte, &err);
    if (got < 0 || err != 0) {
      cache_warning(cc, "Client %s - bitmap_mark_allocated pread64 returned %d: %s",
                    cc->uuid.c_str(), static_cast<int>(got), g_strerror(err));
      return err;
    }
    set_bits(window, sector - w.first_byte * 8, w.end_sector - w.first_byte * 8);
    ssize_t put = pwrite_full(fd, window, w.byte_length, chunk_size + w.first_byte, &err);
    if (put != static_cast<ssize_t>(w.byte_length)) {
      if (put == 0) {
        cache_warning(cc, "Client %s -  bitmap_mark_allocated pwrite64: %s", cc->uuid.c_str(),
                      g_strerror(err));
      } else {
        cache_warning(cc, "Client %s - bitmap_mark_allocated pwrite64 returned %d instead of %d",
                      cc->uuid.c_str(), static_cast<int>(put), static_cast<int>(w.byte_length));
      }
      return err != 0 ? err : EIO;
    }
    sector = w.end_sector;
  }
  return 0;
}

// bitmap_mark_allocated with a checked request; 0 or an errno value.
int mark_allocated(client_context* cc, int fd, const chunk_location& chunk, uint64_t o, uint64_t n,
                   const uint8_t* data) {
  uint64_t chunk_size = cc->site_context->chunk_size;
  uint8_t prev[CLIENT_PENDING_MAX];
  uint64_t prev_offset = o;
  uint64_t prev_length = 0;

  guarded<client_pending_write>& guard = cc->chunks.pending;
  std::optional<decltype(guard.lock())> pending;
  if (o % SECTOR_SIZE != 0) {
    pending.emplace(guard.lock());
    client_pending_write& p = **pending;
    // Only bytes of this very chunk may complete a sector here; their copy
    // is written again below, so the sector is whole in this file even if
    // the file was removed and created anew since they were stored.
    if (p.length != 0 && p.offset + p.length == o &&
        strncmp(p.chunk_path, chunk.path, CLIENT_CHUNK_PATH_SIZE) == 0) {
      prev_offset = p.offset;
      prev_length = p.length;
      memcpy(prev, p.data.data(), prev_length);
      p.offset = 0;
      p.length = 0;
      p.chunk_path[0] = '\0';
    }
  }

  uint64_t start = prev_offset;
  uint64_t stop = o + n;
  uint64_t first = (start + SECTOR_SIZE - 1) / SECTOR_SIZE;
  uint64_t end = stop / SECTOR_SIZE;
  // Only the bytes in the sector holding `stop` can help a later write: a
  // run without a whole sector that reaches into two sectors leaves the
  // first one for good, since that sector's beginning was never written.
  uint64_t tail = std::max(start, end * SECTOR_SIZE);
  if (tail < stop) {
    if (!pending) pending.emplace(guard.lock());
    client_pending_write& p = **pending;
    p.offset = tail;
    p.length = stop - tail;
    g_strlcpy(p.chunk_path, chunk.path, CLIENT_CHUNK_PATH_SIZE);
    copy_run(p.data.data(), tail, stop, prev, prev_offset, o, data);
  }
  pending.reset();
  if (first >= end) return 0;

  if (prev_length != 0 && prev_offset >= first * SECTOR_SIZE) {
    int err;
    if (pwrite_full(fd, prev, prev_length, prev_offset, &err) !=
        static_cast<ssize_t>(prev_length)) {
      cache_warning(cc, "Client %s -  bitmap_mark_allocated pwrite64: %s", cc->uuid.c_str(),
                    g_strerror(err));
      return err != 0 ? err : EIO;
    }
  }
  return write_bits(cc, fd, chunk_size, first, end);
}

// 1 when every sector touched by [o, o + n) is marked, 0 when one is not, or
// a negative errno value.
int is_allocated(client_context* cc, int fd, uint64_t chunk_size, uint64_t o, uint64_t n) {
  uint64_t end = (o + n - 1) / SECTOR_SIZE + 1;
  for (uint64_t sector = o / SECTOR_SIZE; sector < end;) {
    bitmap_window w = window_at(sector, end);
    uint8_t window[BITMAP_WINDOW_MAX + 1] = {};
    int err;
    ssize_t got = pread_full(fd, window, w.byte_length, chunk_size + w.first_byte, &err);
    if (err != 0) {
      cache_warning(cc, "Client %s - bitmap_is_allocated pread64(%d) returned %d: %s returned",
                    cc->uuid.c_str(), static_cast<int>(w.byte_length), static_cast<int>(got),
                    g_strerror(err));
      return -err;
    }
    if (!all_bits_set(window, sector - w.first_byte * 8, w.end_sector - w.first_byte * 8)) {
      return 0;
    }
    sector = w.end_sector;
  }
  return 1;
}

void close_logged(client_context* cc, unique_fd* fd, const char* format) {
  if (fd->close() != 0) {
    int err = errno;
    cache_warning(cc, format, cc->uuid.c_str(), g_strerror(err));
  }
}

// Stores one piece in its chunk file. False on failure, which wakes the cache
// manager when the disk is full.
bool put_piece(proxy_context* context, client_context* cc, const chunk_location& chunk,
               const uint8_t* data, uint64_t n) {
  const char* uuid = cc->uuid.c_str();
  uint64_t chunk_size = cc->site_context->chunk_size;
  constexpr int flags = O_RDWR | O_CLOEXEC | O_NOFOLLOW;
  unique_fd fd;
  bool created = false;
  // Creation is exclusive, so that only the writer that made the file sizes
  // it; one that lost the race opens the winner's file, unless the cache
  // manager removed it in between, which is worth another try.
  for (int attempt = 0; attempt < OPEN_ATTEMPTS; ++attempt) {
    fd.reset(open(chunk.path, flags));
    if (fd || errno != ENOENT) break;
    fd.reset(open(chunk.path, flags | O_CREAT | O_EXCL, 0700));
    if (fd) {
      created = true;
      break;
    }
    if (errno != EEXIST) break;
  }
  if (created &&
      ftruncate(fd.get(), static_cast<off_t>(chunk_size + chunk_size / BITMAP_BYTE_SPAN)) != 0) {
    int err = errno;
    cache_warning(cc, "Client %s - cache_put_data ftruncate64: %s", uuid, g_strerror(err));
    if (no_space(err)) cachemanager_signal(context);
    close_logged(cc, &fd, "Client %s - cache_put_data close: %s");
    return false;
  }
  if (!fd) {
    int err = errno;
    cache_warning(cc, "Client %s - cache_put_data open: %s", uuid, g_strerror(err));
    if (no_space(err)) cachemanager_signal(context);
    return false;
  }

  if (data != nullptr) {
    int err;
    if (pwrite_full(fd.get(), data, n, chunk.offset, &err) != static_cast<ssize_t>(n)) {
      cache_warning(cc, "Client %s - cache_put_data pwrite64: %s", uuid, g_strerror(err));
      if (no_space(err)) cachemanager_signal(context);
      close_logged(cc, &fd, "Client %s - cache_put_data close: %s");
      return false;
    }
  }

  int err = mark_allocated(cc, fd.get(), chunk, chunk.offset, n, data);
  if (err != 0) {
    cache_warning(cc, "Client %s - cache_put_data bitmap_mark_allocated failed", uuid);
    if (no_space(err)) cachemanager_signal(context);
    close_logged(cc, &fd, "Client %s - cache_put_data close: %s");
    return false;
  }
  // Closing also releases the bitmap lock.
  fd.reset();
  return true;
}

int32_t put_range(proxy_context* context, client_context* cc, const client_session& s,
                  uint64_t offset, const uint8_t* data, uint64_t length) {
  if (!request_usable(cc->site_context, s.vdisk_key, offset, length)) return 0;
  site_context* site = cc->site_context;
  charge_write_budget(context, site, length);
  // Whatever part of it lands, the vDisk's count of cached bytes is stale.
  if (s.linked_vdisk != nullptr) s.linked_vdisk->changes.fetch_add(1, std::memory_order_relaxed);
  uint64_t chunk_size = site->chunk_size;
  for (uint64_t done = 0; done < length;) {
    chunk_location chunk;
    if (!get_chunk(cc, s, offset + done, &chunk)) {
      cache_warning(cc, "Client %s - Can't compose the chunk path of vdisk %s offset %" PRIu64,
                    cc->uuid.c_str(), s.vdisk_key, offset + done);
      return 0;
    }
    uint64_t piece = std::min(length - done, chunk_size - chunk.offset);
    if (!put_piece(context, cc, chunk, data != nullptr ? data + done : nullptr, piece)) return 0;
    done += piece;
  }
  return static_cast<int32_t>(length);
}

// Tests one piece through `fd` and reads it into `buf` (unless null) on a
// hit.
bool probe(client_context* cc, int fd, uint64_t chunk_size, const chunk_location& chunk,
           uint8_t* buf, uint64_t n) {
  if (is_allocated(cc, fd, chunk_size, chunk.offset, n) != 1) return false;
  if (buf == nullptr) return true;
  int err;
  if (pread_full(fd, buf, n, chunk.offset, &err) != static_cast<ssize_t>(n)) {
    cache_warning(cc, "Client %s - cache_get_data pread64: %s", cc->uuid.c_str(),
                  err != 0 ? g_strerror(err) : "unexpected end of file");
    return false;
  }
  return true;
}

// Makes a freshly opened chunk file the client's kept descriptor, unless
// readers are using the present one right now (then it is simply closed).
void keep_descriptor(client_context* cc, unique_fd fd, const char* path) {
  unique_fd old;
  {
    auto open = cc->chunks.open_chunk.try_lock();
    if (!open) {
      close_logged(cc, &fd, "Client %s - cache_get_data close(fd): %s");
      return;
    }
    old.reset(open->fd.release());
    open->fd = std::move(fd);
    g_strlcpy(open->path, path, CLIENT_CHUNK_PATH_SIZE);
  }
  close_logged(cc, &old, "Client %s - cache_get_data close(old_open_fd): %s");
}

bool read_piece(client_context* cc, uint64_t chunk_size, const chunk_location& chunk, uint8_t* buf,
                uint64_t n) {
  {
    auto open = cc->chunks.open_chunk.try_lock_shared();
    if (open && open->fd.valid() && strncmp(open->path, chunk.path, CLIENT_CHUNK_PATH_SIZE) == 0) {
      int fd = open->fd.get();
      if (probe(cc, fd, chunk_size, chunk, buf, n)) return true;
      // The kept file may have been removed by the cache manager; its data
      // stay valid, but new data goes to a new file of that name, which
      // only a fresh descriptor sees.
      struct stat st;
      if (fstat(fd, &st) != 0 || st.st_nlink != 0) return false;
    }
  }
  unique_fd fd(open(chunk.path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!fd) return false;  // not cached
  bool hit = probe(cc, fd.get(), chunk_size, chunk, buf, n);
  keep_descriptor(cc, std::move(fd), chunk.path);
  return hit;
}

int32_t read_range(client_context* cc, const site_context* site, const char* vdisk_key,
                   uint64_t offset, uint8_t* buf, uint64_t length) {
  if (!request_usable(site, vdisk_key, offset, length)) return 0;
  uint64_t chunk_size = site->chunk_size;
  for (uint64_t done = 0; done < length;) {
    chunk_location chunk;
    if (!compose_chunk(site, vdisk_key, offset + done, &chunk)) return 0;
    uint64_t piece = std::min(length - done, chunk_size - chunk.offset);
    if (!read_piece(cc, chunk_size, chunk, buf != nullptr ? buf + done : nullptr, piece)) return 0;
    done += piece;
  }
  return static_cast<int32_t>(length);
}

}  // namespace

bool get_chunk(const client_context* cc, const client_session& s, uint64_t offset,
               chunk_location* where) {
  g_return_val_if_fail(cc != NULL && where != NULL, false);
  return compose_chunk(cc->site_context, s.vdisk_key, offset, where);
}

int bitmap_mark_allocated(client_context* cc, int fd, const chunk_location& chunk, uint64_t o,
                          uint64_t n, const uint8_t* data) {
  g_return_val_if_fail(cc != NULL, -EINVAL);
  g_return_val_if_fail(n != 0, -EINVAL);
  const site_context* site = cc->site_context;
  if (site == nullptr || !chunk_size_usable(site->chunk_size)) return -EINVAL;
  if (o >= site->chunk_size || n > site->chunk_size - o) return -EINVAL;
  return -mark_allocated(cc, fd, chunk, o, n, data);
}

int bitmap_is_allocated(client_context* cc, int fd, uint64_t o, uint64_t n) {
  g_return_val_if_fail(cc != NULL, -EINVAL);
  g_return_val_if_fail(n != 0, -EINVAL);
  const site_context* site = cc->site_context;
  if (site == nullptr || !chunk_size_usable(site->chunk_size)) return -EINVAL;
  if (o >= site->chunk_size || n > site->chunk_size - o) return -EINVAL;
  return is_allocated(cc, fd, site->chunk_size, o, n);
}

int32_t cache_put_data(proxy_context* context, client_context* cc, const client_session& s,
                       uint64_t offset, const void* data, uint64_t byte_length) {
  g_return_val_if_fail(context != NULL, 0);
  g_return_val_if_fail(cc != NULL && data != NULL, 0);
  g_return_val_if_fail(byte_length != 0, 0);
  g_return_val_if_fail(s.vdisk_key[0] != '\0', 0);
  return put_range(context, cc, s, offset, static_cast<const uint8_t*>(data), byte_length);
}

int32_t cache_put_sparse(proxy_context* context, client_context* cc, const client_session& s,
                         uint64_t offset, uint64_t byte_length) {
  g_return_val_if_fail(context != NULL, 0);
  g_return_val_if_fail(cc != NULL, 0);
  g_return_val_if_fail(byte_length != 0, 0);
  g_return_val_if_fail(s.vdisk_key[0] != '\0', 0);
  return put_range(context, cc, s, offset, nullptr, byte_length);
}

int32_t cache_get_data(proxy_context*, client_context* cc, const client_session& s, uint64_t offset,
                       void* data, uint64_t byte_length) {
  g_return_val_if_fail(cc != NULL && data != NULL, 0);
  g_return_val_if_fail(byte_length != 0, 0);
  g_return_val_if_fail(s.vdisk_key[0] != '\0', 0);
  return read_range(cc, cc->site_context, s.vdisk_key, offset, static_cast<uint8_t*>(data),
                    byte_length);
}

int32_t cache_contains(proxy_context*, client_context* cc, const client_session& s, uint64_t offset,
                       uint64_t byte_length) {
  g_return_val_if_fail(cc != NULL, 0);
  g_return_val_if_fail(byte_length != 0, 0);
  g_return_val_if_fail(s.vdisk_key[0] != '\0', 0);
  return read_range(cc, cc->site_context, s.vdisk_key, offset, nullptr, byte_length);
}

namespace {

// The first byte in [offset, end) whose sector is present (`want_cached`) or
// missing; `end` when there is none. `cc`, if any, lends its warning limit.
uint64_t first_sector(client_context* cc, const site_context* site, const char* vdisk_key,
                      uint64_t offset, uint64_t end, bool want_cached) {
  if (offset >= end) return offset;
  const uint64_t chunk_size = site->chunk_size;
  // A byte of the bitmap that holds nothing sought: 8 sectors skipped at once.
  const uint8_t skip = want_cached ? 0x00 : 0xFF;
  uint64_t at = offset;
  while (at < end) {
    chunk_location chunk;
    if (!compose_chunk(site, vdisk_key, at, &chunk)) return want_cached ? end : at;
    const uint64_t base = at - chunk.offset;
    unique_fd fd(open(chunk.path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!fd) {  // no file: nothing of the chunk is cached
      if (!want_cached) return at;
      at = base + chunk_size;
      continue;
    }
    const uint64_t end_sector = (std::min(end - base, chunk_size) + SECTOR_SIZE - 1) / SECTOR_SIZE;
    // The bitmap a window at a time; a skipped byte is 4 KiB at once.
    uint8_t window[4096];
    for (uint64_t sector = chunk.offset / SECTOR_SIZE; sector < end_sector;) {
      const uint64_t first_byte = sector / 8;
      const size_t n = std::min<uint64_t>(sizeof window, (end_sector - 1) / 8 - first_byte + 1);
      int err;
      if (pread_full(fd.get(), window, n, chunk_size + first_byte, &err) !=
          static_cast<ssize_t>(n)) {
        if (err != 0 && cc != nullptr) {
          cache_warning(cc, "Client %s - bitmap_is_allocated pread64(%d): %s", cc->uuid.c_str(),
                        static_cast<int>(n), g_strerror(err));
        }
        // Unreadable: as good as missing.
        return want_cached ? end : std::max(at, base + sector * SECTOR_SIZE);
      }
      for (size_t i = 0; i < n; i++) {
        if (window[i] == skip) continue;
        for (uint64_t s = (first_byte + i) * 8; s < (first_byte + i + 1) * 8; s++) {
          if (s < sector || s >= end_sector ||
              ((window[i] & (0x80 >> (s % 8))) != 0) != want_cached)
            continue;
          return std::max(at, base + s * SECTOR_SIZE);
        }
      }
      sector = (first_byte + n) * 8;
    }
    at = base + chunk_size;
  }
  return end;
}

}  // namespace

uint64_t cache_first_missing(client_context* cc, const site_context* site, const char* vdisk_key,
                             uint64_t offset, uint64_t end) {
  g_return_val_if_fail(cc != NULL && site != NULL && vdisk_key != NULL, offset);
  return first_sector(cc, site, vdisk_key, offset, end, false);
}

uint64_t cache_first_cached(client_context* cc, const site_context* site, const char* vdisk_key,
                            uint64_t offset, uint64_t end) {
  g_return_val_if_fail(cc != NULL && site != NULL && vdisk_key != NULL, offset);
  return first_sector(cc, site, vdisk_key, offset, end, true);
}

namespace {

// Bytes of [from, to) (offsets within one chunk) whose sectors `bitmap`
// marks present; a sector partly inside counts for its part.
uint64_t present_in_chunk(const std::vector<uint8_t>& bitmap, uint64_t from, uint64_t to) {
  const uint64_t first = from / SECTOR_SIZE, last = (to - 1) / SECTOR_SIZE;
  const auto has = [&](uint64_t s) { return (bitmap[s / 8] & (0x80 >> (s % 8))) != 0; };
  uint64_t sectors = 0;
  uint64_t s = first;
  for (; s <= last && s % 8 != 0; s++) sectors += has(s);
  for (; s + 8 <= last + 1; s += 8) sectors += static_cast<uint64_t>(std::popcount(bitmap[s / 8]));
  for (; s <= last; s++) sectors += has(s);
  uint64_t bytes = sectors * SECTOR_SIZE;
  if (has(first)) bytes -= from % SECTOR_SIZE;
  if (has(last) && to % SECTOR_SIZE != 0) bytes -= SECTOR_SIZE - to % SECTOR_SIZE;
  return bytes;
}

}  // namespace

uint64_t cache_present_bytes(const site_context* site, const char* vdisk_key,
                             const std::vector<boot_range>& ranges) {
  g_return_val_if_fail(site != NULL && vdisk_key != NULL, 0);
  if (!chunk_size_usable(site->chunk_size)) return 0;
  const uint64_t chunk_size = site->chunk_size;
  // Each chunk's bitmap is read once, whole, however many ranges it serves:
  // a vDisk's whole size is counted at one open and one read per chunk file.
  std::vector<uint8_t> bitmap(chunk_size / BITMAP_BYTE_SPAN);
  uint64_t loaded = UINT64_MAX;
  bool readable = false;
  uint64_t present = 0;
  for (const boot_range& r : ranges) {
    const uint64_t end = r.offset + r.length < r.offset ? UINT64_MAX : r.offset + r.length;
    for (uint64_t at = r.offset; at < end;) {
      chunk_location chunk;
      if (!compose_chunk(site, vdisk_key, at, &chunk)) break;
      const uint64_t stop = std::min(end - at, chunk_size - chunk.offset) + at;
      if (chunk.number != loaded) {
        loaded = chunk.number;
        unique_fd fd(open(chunk.path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
        int err;
        readable = fd && pread_full(fd.get(), bitmap.data(), bitmap.size(), chunk_size, &err) ==
                             static_cast<ssize_t>(bitmap.size());
      }
      if (readable) present += present_in_chunk(bitmap, chunk.offset, chunk.offset + (stop - at));
      at = stop;
    }
  }
  return present;
}

void vdisk_context_ref_inc(client_context* cc, client_session& s) {
  const vdisk_context* vc = vdisk_context_link(cc, s);
  if (vc == nullptr) return;
  // An empty cache_path would put the directory at the root of the host's
  // file system, and a truncated path would name some other directory.
  if (cc->site_context->cache_path.empty() || vc->path.size() > CACHE_PATH_MAX) {
    g_warning("Failed creating dir %s %d", vc->path.c_str(), ENAMETOOLONG);
    return;
  }
  if (mkdir(vc->path.c_str(), 0700) != 0) {
    int err = errno;
    if (err != EEXIST) g_warning("Failed creating dir %s %d", vc->path.c_str(), err);
  }
}

void client_context_set_vdisk_key(client_context* client_context, client_session& s,
                                  const char* key) {
  g_return_if_fail(client_context != NULL);
  g_return_if_fail(key != NULL);
  client_context_swap_vdisk_key(client_context, s, key);
  // Named at every login of the session (its vDisk information reply): the
  // boot that follows is learnt from here.
  if (key[0] != '\0') {
    s.login_seen_us = g_get_monotonic_time();
    metrics_mark_boot(&client_context->metrics, &client_context->boot_mark, s.login_seen_us);
  }
  vdisk_context_ref_inc(client_context, s);
}
