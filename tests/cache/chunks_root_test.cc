// The chunk store on tmpfs mounts of exact size and inode count, in a private
// mount namespace: concurrent clients that must never read a wrong byte, a
// sector model of the bitmaps, hostile requests, and a full disk.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "cache/chunks_fixture.h"
#include "support/log_capture.h"
#include "support/process.h"
#include "support/sandbox.h"

namespace {

using namespace chunks_test;

// A tmpfs under this process's sandbox (entered by the first test, before
// any thread starts).
struct tmpfs_mount {
  std::string path;
  explicit tmpfs_mount(const char* options) {
    static const std::string t = tarn_test::sandbox_enter_self();
    static int counter = 0;
    std::string p = t + "/chunks-" + std::to_string(counter++);
    if (t.empty() || mkdir(p.c_str(), 0700) != 0 ||
        mount("tmpfs", p.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options) != 0) {
      ADD_FAILURE() << "cannot mount tmpfs at " << p << ": " << strerror(errno);
      return;
    }
    path = p;
  }
  ~tmpfs_mount() {
    if (!path.empty()) umount2(path.c_str(), MNT_DETACH);
  }
};

uint64_t below(std::mt19937_64& rng, uint64_t n) {
  return rng() % n;
}

// Reply fragment sizes: MTU-sized, sector multiples, odd.
uint64_t fragment_size(std::mt19937_64& rng) {
  static const uint64_t sizes[] = {1444, 1400, 512, 4096, 65536};
  uint64_t pick = below(rng, 7);
  return pick < 5 ? sizes[pick] : 1 + below(rng, 3000);
}

// Four threads act as three clients of one vDisk: they store replies in
// fragments and sparse zeros of an image and read random ranges, while chunk
// files are removed as the cache manager would, also between the fragments
// of a reply. Every hit must return the image's bytes.
TEST(Chunks, ConcurrentClientsNeverReadAWrongByte) {
  TARN_REQUIRE_ROOT();
  const int per_thread = tarn_test::soak_or(600, 3000);
  const uint64_t seed = test_seed();
  constexpr uint64_t S = 16384, D = 32 * S, MAX_IO = 40000, ZEROS = 9000;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  tmpfs_mount fs("size=64m,nr_inodes=1000,mode=0700");
  store st(fs.path, S);
  client_context* clients[] = {st.add_client(), st.add_client(), st.add_client()};
  std::mt19937_64 image_rng(seed);
  auto image = random_bytes(image_rng, D);
  // Every chunk but the last starts with zeros, across a sector's end.
  for (uint64_t at = 0; at + S < D; at += S) std::fill_n(image.begin() + at, ZEROS, 0);
  std::atomic<uint64_t> ops{0}, reads{0}, hits{0}, failed{0};
  auto worker = [&](int t) {
    std::mt19937_64 rng(seed + 1 + t);
    client_context* cc = clients[t % 3];
    std::vector<uint8_t> out(MAX_IO);
    for (int i = 0; i < per_thread && std::chrono::steady_clock::now() < deadline; ++i, ++ops) {
      uint64_t kind = below(rng, 100), at = below(rng, D - 1);
      uint64_t n = 1 + below(rng, std::min(D - at, MAX_IO));
      if (kind < 45) {
        for (uint64_t p = at, frag = fragment_size(rng), m; p < at + n; p += frag) {
          if (below(rng, 16) == 0) unlink(st.chunk_path(p / S).c_str());
          m = std::min(frag, at + n - p);
          failed += cache_put_data(&st.ctx, cc, *cc->session.lock_shared(), p, &image[p], m) !=
                    static_cast<int32_t>(m);
        }
      } else if (kind < 55) {
        uint64_t p = at - at % S + below(rng, ZEROS), m = 1 + below(rng, ZEROS - p % S);
        failed += p + S < D && cache_put_sparse(&st.ctx, cc, *cc->session.lock_shared(), p, m) !=
                                   static_cast<int32_t>(m);
      } else {
        ++reads;
        int32_t got = cache_get_data(&st.ctx, cc, *cc->session.lock_shared(), at, out.data(), n);
        hits += got != 0;
        failed += got != 0 && (got != static_cast<int32_t>(n) || memcmp(out.data(), &image[at], n));
      }
    }
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) threads.emplace_back(worker, t);
  std::mt19937_64 purge_rng(seed - 1);
  while (ops < 4u * per_thread && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    unlink(st.chunk_path(below(purge_rng, D / S)).c_str());
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(failed.load(), 0u) << "failed writes or wrong bytes read, seed " << seed;
  EXPECT_GE(ops.load(), 400u) << "seed " << seed;
  EXPECT_GT(hits.load(), reads.load() / 20) << "seed " << seed;
}

// One client stores reply streams (contiguous fragments), each starting
// anywhere but where the previous one left a sector open. Model: a stream
// makes present exactly the sectors wholly inside it. cache_contains,
// cache_get_data and the bitmaps on disk must agree with it, for random
// ranges and ranges across chunk boundaries; large chunks need several
// bitmap windows per request.
TEST(Chunks, ContainsAndGetAgreeWithTheSectorModel) {
  TARN_REQUIRE_ROOT();
  const uint64_t seed = test_seed();
  tmpfs_mount fs("size=16m,nr_inodes=100,mode=0700");
  for (uint64_t S : {8192u, 131072u}) {
    SCOPED_TRACE("chunk size " + std::to_string(S) + ", seed " + std::to_string(seed));
    const uint64_t CHUNKS = 12, D = CHUNKS * S;
    store st(fs.path + "/" + std::to_string(S), S);
    ASSERT_EQ(mkdir(st.site.cache_path.c_str(), 0700), 0);
    client_context* cc = st.add_client();
    std::mt19937_64 rng(seed + S);
    auto image = random_bytes(rng, D);
    std::vector<bool> present(D / SECTOR_SIZE);
    uint64_t open_end = UINT64_MAX;
    for (int stream = 0; stream < 300; ++stream) {
      uint64_t start = below(rng, D - 2);
      if (below(rng, 2) == 0) start -= start % SECTOR_SIZE;
      start += start == open_end;
      uint64_t end = start + 1 + below(rng, std::min(D - start, S * 5 / 2));
      for (uint64_t p = start, frag = fragment_size(rng); p < end; p += frag) {
        uint64_t n = std::min(frag, end - p);
        ASSERT_EQ(cache_put_data(&st.ctx, cc, *cc->session.lock_shared(), p, image.data() + p, n),
                  static_cast<int32_t>(n));
      }
      for (uint64_t s = (start + SECTOR_SIZE - 1) / SECTOR_SIZE; s < end / SECTOR_SIZE; ++s)
        present[s] = true;
      if (end % SECTOR_SIZE != 0) open_end = end;
    }
    std::vector<uint8_t> out(2 * S + 4096);
    for (int q = 0; q < 3000; ++q) {
      uint64_t boundary = (1 + below(rng, CHUNKS - 1)) * S;
      uint64_t o = q % 2 ? below(rng, D - 1) : boundary - 1 - below(rng, 2048);
      uint64_t n = 1 + below(rng, std::min(D - o, q % 2 ? 2 * S : boundary - o + 4096));
      bool hit = true;
      uint64_t first_missing = o + n, first_cached = o + n, present_bytes = 0;
      for (uint64_t s = (o + n - 1) / SECTOR_SIZE + 1; s-- > o / SECTOR_SIZE;) {
        hit &= present[s];
        (present[s] ? first_cached : first_missing) = std::max(o, s * SECTOR_SIZE);
        if (present[s])
          present_bytes += std::min(o + n, (s + 1) * SECTOR_SIZE) - std::max(o, s * SECTOR_SIZE);
      }
      int32_t want = hit ? static_cast<int32_t>(n) : 0;
      ASSERT_EQ(cache_first_missing(cc, &st.site, KEY, o, o + n), first_missing) << o << "+" << n;
      ASSERT_EQ(cache_first_cached(cc, &st.site, KEY, o, o + n), first_cached) << o << "+" << n;
      ASSERT_EQ(cache_present_bytes(&st.site, KEY, {{o, n}}), present_bytes) << o << "+" << n;
      ASSERT_EQ(cache_contains(&st.ctx, cc, *cc->session.lock_shared(), o, n), want)
          << o << "+" << n;
      ASSERT_EQ(cache_get_data(&st.ctx, cc, *cc->session.lock_shared(), o, out.data(), n), want)
          << o << "+" << n;
      ASSERT_TRUE(!hit || memcmp(out.data(), image.data() + o, n) == 0) << o << "+" << n;
    }
    for (uint64_t s = 0; s < D / SECTOR_SIZE; ++s) {
      int byte = bitmap_byte(st.chunk_path(s * SECTOR_SIZE / S), S, s % (S / SECTOR_SIZE) / 8);
      ASSERT_EQ(byte > 0 && (byte & (0x80 >> (s % 8))), bool{present[s]}) << "sector " << s;
    }
  }
}

// Requests that would reach outside a chunk, its bitmap or the vDisk
// directory are refused without touching anything; nothing wraps to another
// chunk's data. Writes of several clients and chunk files that go away.
TEST(Chunks, HostileRequestsPendingSectorsAndRemovedFiles) {
  TARN_REQUIRE_ROOT();
  constexpr uint64_t S = 8192;
  tmpfs_mount fs("size=16m,nr_inodes=100,mode=0700");
  store st(fs.path, S);
  client_context *a = st.add_client(), *b = st.add_client();
  proxy_context* ctx = &st.ctx;
  std::mt19937_64 rng(test_seed());
  auto image = random_bytes(rng, 8 * S);
  std::vector<uint8_t> out(65536);
  tarn_test::log_capture logs;
  ASSERT_EQ(cache_put_data(ctx, a, *a->session.lock_shared(), 0, image.data(), 4096), 4096);
  const std::pair<uint64_t, uint64_t> ranges[] = {
      {UINT64_MAX, 1},       {UINT64_MAX - 99, 512},    {4096, UINT64_MAX},
      {0, 1ull << 31},       {0, (1ull << 32) + 4096},  {(1ull << 31) * S, 512},
      {(1ull << 32) * S, 4}, {(1ull << 31) * S - 1, 2},
  };
  for (auto [at, n] : ranges) {
    SCOPED_TRACE(std::to_string(at) + "+" + std::to_string(n));
    EXPECT_EQ(cache_put_data(ctx, a, *a->session.lock_shared(), at, out.data(), n), 0);
    EXPECT_EQ(cache_put_sparse(ctx, a, *a->session.lock_shared(), at, n), 0);
    EXPECT_EQ(cache_get_data(ctx, a, *a->session.lock_shared(), at, out.data(), n), 0);
  }
  // Keys that leave the cache directory or end in no NUL; chunk sizes of no
  // whole bitmap bytes or past 32 bits.
  char key[CLIENT_VDISK_KEY_SIZE];
  memcpy(key, a->session.lock_shared()->vdisk_key, sizeof key);
  for (const char* bad : {"../x", "a/b", ".hidden", ""}) {
    g_strlcpy(a->session.lock()->vdisk_key, bad, CLIENT_VDISK_KEY_SIZE);
    if (*bad == '\0') memset(a->session.lock()->vdisk_key, 'k', CLIENT_VDISK_KEY_SIZE);
    EXPECT_EQ(cache_put_data(ctx, a, *a->session.lock_shared(), 0, image.data(), 4096), 0) << bad;
    EXPECT_EQ(cache_contains(ctx, a, *a->session.lock_shared(), 0, 4096), 0) << bad;
  }
  memcpy(a->session.lock()->vdisk_key, key, sizeof key);
  for (uint64_t size : {0ul, 1000ul, 4608ul, 1ul << 32}) {
    st.site.chunk_size = size;
    EXPECT_EQ(cache_put_data(ctx, a, *a->session.lock_shared(), 0, image.data(), 4096), 0) << size;
    EXPECT_EQ(cache_contains(ctx, a, *a->session.lock_shared(), 0, 4096), 0) << size;
  }
  st.site.chunk_size = S;
  // A cache path that leaves room for one-digit chunk numbers only: chunk 12
  // is refused rather than truncated to chunk 1's name.
  std::string deep = fs.path + "/";
  deep += std::string(253 - deep.size() - strlen(KEY) - 2, 'd');
  ASSERT_EQ(mkdir(deep.c_str(), 0700), 0);
  store far(deep, S);
  client_context* fc = far.add_client();
  EXPECT_EQ(cache_put_data(&far.ctx, fc, *fc->session.lock_shared(), 12 * S, image.data(), 4096),
            0);
  EXPECT_EQ(cache_put_data(&far.ctx, fc, *fc->session.lock_shared(), 2 * S, image.data(), 4096),
            4096);
  // Every file made: S + S/4096 bytes, mode 0700.
  std::vector<std::string> files;
  for (const auto& e : std::filesystem::recursive_directory_iterator(fs.path)) {
    if (!e.is_regular_file()) continue;
    files.push_back(e.path().string());
    EXPECT_EQ(e.file_size(), S + S / 4096) << e.path();
    EXPECT_EQ(e.status().permissions(), std::filesystem::perms::owner_all) << e.path();
  }
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, (std::vector<std::string>{st.chunk_path(0), far.chunk_path(2)}));

  // Another client's bytes do not continue a's pending sector; a pending
  // sector never completes one in the next chunk.
  ASSERT_EQ(cache_put_data(ctx, a, *a->session.lock_shared(), S, image.data() + S, 1400), 1400);
  ASSERT_EQ(
      cache_put_data(ctx, b, *b->session.lock_shared(), S + 1400, image.data() + S + 1400, 1400),
      1400);
  EXPECT_EQ(cache_contains(ctx, a, *a->session.lock_shared(), S + 1024, 512), 0);
  ASSERT_EQ(cache_put_data(ctx, a, *a->session.lock_shared(), 2 * S, image.data() + 2 * S, 1400),
            1400);
  ASSERT_EQ(cache_put_data(ctx, a, *a->session.lock_shared(), 3 * S + 1400,
                           image.data() + 3 * S + 1400, 1400),
            1400);
  EXPECT_EQ(cache_contains(ctx, a, *a->session.lock_shared(), 3 * S + 1024, 512), 0);
  EXPECT_EQ(cache_contains(ctx, a, *a->session.lock_shared(), 3 * S + 1536, 1024), 1024);
  // A read across into a chunk file that does not exist misses, silently.
  ASSERT_EQ(cache_put_data(ctx, a, *a->session.lock_shared(), 4 * S - 512, image.data(), 512), 512);
  logs.clear();
  EXPECT_EQ(cache_get_data(ctx, a, *a->session.lock_shared(), 4 * S - 512, out.data(), 1024), 0);
  EXPECT_TRUE(logs.lines().empty());
  ASSERT_EQ(cache_put_data(ctx, a, *a->session.lock_shared(), 4 * S, image.data(), 512), 512);
  EXPECT_EQ(cache_get_data(ctx, a, *a->session.lock_shared(), 4 * S - 512, out.data(), 1024), 1024);
  // A kept descriptor serves the removed file's data, then the new file's.
  ASSERT_EQ(cache_put_data(ctx, a, *a->session.lock_shared(), 5 * S, image.data() + 5 * S, 4096),
            4096);
  ASSERT_EQ(cache_get_data(ctx, a, *a->session.lock_shared(), 5 * S, out.data(), 4096), 4096);
  ASSERT_EQ(unlink(st.chunk_path(5).c_str()), 0);
  EXPECT_EQ(cache_get_data(ctx, a, *a->session.lock_shared(), 5 * S, out.data(), 4096), 4096);
  ASSERT_EQ(cache_put_data(ctx, a, *a->session.lock_shared(), 5 * S + 4096,
                           image.data() + 5 * S + 4096, 4096),
            4096);
  ASSERT_EQ(cache_get_data(ctx, a, *a->session.lock_shared(), 5 * S + 4096, out.data(), 4096),
            4096);
  EXPECT_EQ(memcmp(out.data(), image.data() + 5 * S + 4096, 4096), 0);
  EXPECT_EQ(cache_contains(ctx, a, *a->session.lock_shared(), 5 * S, 4096), 0);

  // A new site's budget (0) wakes the cache manager at the first write and
  // parks at the maximum; the budget it then sets, once spent (a write of
  // one byte counts a whole block).
  st.site.write_budget = 0;
  ASSERT_EQ(cache_put_data(ctx, a, *a->session.lock_shared(), 0, image.data(), 100), 100);
  EXPECT_TRUE(ctx->cachemanager_flag);
  ctx->cachemanager_flag = false;
  ASSERT_EQ(cache_put_sparse(ctx, a, *a->session.lock_shared(), 6 * S, 8192), 8192);
  EXPECT_FALSE(ctx->cachemanager_flag);
  st.site.write_budget = 10000;
  ASSERT_EQ(cache_put_data(ctx, a, *a->session.lock_shared(), 0, image.data(), 4096), 4096);
  ASSERT_EQ(cache_put_data(ctx, a, *a->session.lock_shared(), 0, image.data(), 4096), 4096);
  EXPECT_FALSE(ctx->cachemanager_flag);
  ASSERT_EQ(cache_put_data(ctx, a, *a->session.lock_shared(), 0, image.data(), 1), 1);
  EXPECT_TRUE(ctx->cachemanager_flag);
}

// A full cache disk: writes answer 0, set no bit, wake the cache manager and
// warn a few times only; once there is room again, writing resumes.
TEST(Chunks, FullDiskSetsNoBitAndKeepsGoing) {
  TARN_REQUIRE_ROOT();
  tmpfs_mount fs("size=256k,nr_inodes=64,mode=0700");
  constexpr uint64_t S = 65536;
  store st(fs.path, S);
  proxy_context* ctx = &st.ctx;
  client_context* a = st.add_client();
  std::vector<uint8_t> data(4096, 0x5A);
  tarn_test::log_capture logs;
  int fd = open((fs.path + "/filler").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  int pages = 0;
  while (pages < 1000 && pwrite(fd, data.data(), 4096, 4096 * pages) == 4096) ++pages;
  ASSERT_LT(pages, 1000);
  logs.clear();
  ctx->cachemanager_flag = false;
  for (int i = 0; i < 50; ++i)
    EXPECT_EQ(cache_put_data(ctx, a, *a->session.lock_shared(), 0, data.data(), 4096), 0);
  EXPECT_TRUE(ctx->cachemanager_flag);
  EXPECT_EQ(bitmap_byte(st.chunk_path(0), S, 0), 0);
  EXPECT_GE(logs.count("cache_put_data pwrite64"), 1u);
  EXPECT_LE(logs.count("cache_put_data pwrite64"), CACHE_WARNING_BURST);
  // One free page: the data fits, its bitmap does not.
  ASSERT_EQ(fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 0, 4096), 0);
  client_context* fresh = st.add_client();
  EXPECT_EQ(cache_put_data(ctx, fresh, *fresh->session.lock_shared(), S, data.data(), 4096), 0);
  EXPECT_TRUE(logs.contains(G_LOG_LEVEL_WARNING, "bitmap_mark_allocated pwrite64"));
  EXPECT_EQ(cache_contains(ctx, a, *a->session.lock_shared(), S, 512), 0);
  ASSERT_EQ(ftruncate(fd, 0), 0);
  close(fd);
  ASSERT_EQ(cache_put_data(ctx, a, *a->session.lock_shared(), 0, data.data(), 4096), 4096);
  std::vector<uint8_t> out(4096);
  ASSERT_EQ(cache_get_data(ctx, a, *a->session.lock_shared(), 0, out.data(), 4096), 4096);
  EXPECT_EQ(out, data);
}

}  // namespace
