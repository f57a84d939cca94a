// The chunk store on tmpfs mounts of exact size and inode count, in a private
// mount namespace.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>

#include "cache/chunks_fixture.h"
#include "support/log_capture.h"
#include "support/sandbox.h"

namespace {

using namespace chunks_test;
constexpr uint64_t MiB10 = 10485760;

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

std::pair<uint64_t, uint64_t> pending_of(client_context* cc) {
  auto pending = cc->chunks.pending.lock();
  return {pending->offset, pending->length};
}

int64_t file_size(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

// What the store must do for server replies that are not sector multiples,
// that straddle chunks or that are all zeros, with 10 MiB chunks.
TEST(ChunksTmpfs, RepliesMarkWholeSectorsOnly) {
  TARN_REQUIRE_ROOT();
  tmpfs_mount fs("size=64m,nr_inodes=1000,mode=0700");
  ASSERT_FALSE(fs.path.empty());
  store st(fs.path, MiB10);
  client_context* a = st.add_client();
  client_context* b = st.add_client();
  proxy_context* ctx = &st.ctx;
  std::mt19937_64 rng(test_seed());
  auto image = random_bytes(rng, 16384);
  std::vector<uint8_t> out(16384);
  auto same = [&](uint64_t at, size_t n) { return memcmp(out.data(), image.data() + at, n) == 0; };
  tarn_test::log_capture logs;

  // Two replies of 1,400 bytes: the second completes the sector the first
  // left open; a read hits only up to the last whole sector.
  ASSERT_EQ(cache_put_data(ctx, a, 0, image.data(), 1400), 1400);
  EXPECT_EQ(bitmap_byte(st.chunk_path(0), MiB10, 0), 0xC0);
  EXPECT_EQ(pending_of(a), std::make_pair(1024ul, 376ul));
  ASSERT_EQ(cache_put_data(ctx, a, 1400, image.data() + 1400, 1400), 1400);
  EXPECT_EQ(bitmap_byte(st.chunk_path(0), MiB10, 0), 0xF8);
  EXPECT_EQ(pending_of(a), std::make_pair(2560ul, 240ul));
  ASSERT_EQ(cache_get_data(ctx, b, 0, out.data(), 2560), 2560);
  EXPECT_TRUE(same(0, 2560));
  EXPECT_EQ(cache_get_data(ctx, a, 0, out.data(), 2800), 0);
  EXPECT_EQ(cache_contains(ctx, b, 2560, 512), 0);  // partly written
  // Another client's bytes do not continue a's pending write.
  ASSERT_EQ(cache_put_data(ctx, b, 2800, image.data() + 2800, 272), 272);
  EXPECT_EQ(cache_contains(ctx, a, 2560, 512), 0);

  // A write inside a sector that continues nothing drops that sector until
  // a later write covers it whole. A run of 1,022 bytes from 4,097 keeps
  // only its part in the last sector pending.
  ASSERT_EQ(cache_put_data(ctx, a, 4196, image.data() + 4196, 1000), 1000);
  EXPECT_EQ(cache_contains(ctx, a, 4096, 512), 0);
  EXPECT_EQ(cache_contains(ctx, a, 4608, 512), 512);
  ASSERT_EQ(cache_put_data(ctx, a, 4096, image.data() + 4096, 512), 512);
  ASSERT_EQ(cache_get_data(ctx, a, 4096, out.data(), 1024), 1024);
  EXPECT_TRUE(same(4096, 1024));
  ASSERT_EQ(cache_put_data(ctx, a, 8193, image.data() + 8193, 1022), 1022);
  EXPECT_EQ(pending_of(a), std::make_pair(8704ul, 511ul));
  ASSERT_EQ(cache_put_data(ctx, a, 9215, image.data() + 9215, 1), 1);
  EXPECT_EQ(cache_contains(ctx, a, 8192, 512), 0);
  EXPECT_EQ(cache_contains(ctx, a, 8704, 512), 512);

  // 8 KiB from 4 KiB before a chunk's end: two files of exactly S + S/4096
  // bytes, mode 0700, bits at the end of one bitmap and the start of the
  // other. A read across the next boundary misses, silently, while the
  // second chunk file does not exist.
  ASSERT_EQ(cache_put_data(ctx, a, MiB10 - 4096, image.data(), 8192), 8192);
  EXPECT_EQ(file_size(st.chunk_path(1)), 10488320);
  EXPECT_EQ(file_size(st.chunk_path(0)), 10488320);
  struct stat sb;
  ASSERT_EQ(stat(st.chunk_path(1).c_str(), &sb), 0);
  EXPECT_EQ(sb.st_mode & 0777, 0700u);
  EXPECT_EQ(bitmap_byte(st.chunk_path(0), MiB10, MiB10 / 4096 - 1), 0xFF);
  EXPECT_EQ(bitmap_byte(st.chunk_path(1), MiB10, 0), 0xFF);
  EXPECT_EQ(bitmap_byte(st.chunk_path(1), MiB10, 1), 0x00);
  ASSERT_EQ(cache_get_data(ctx, b, MiB10 - 4096, out.data(), 8192), 8192);
  EXPECT_TRUE(same(0, 8192));
  ASSERT_EQ(cache_put_data(ctx, a, 2 * MiB10 - 4096, image.data(), 4096), 4096);
  logs.clear();
  EXPECT_EQ(cache_get_data(ctx, a, 2 * MiB10 - 4096, out.data(), 8192), 0);
  EXPECT_TRUE(logs.lines().empty());
  ASSERT_EQ(cache_put_data(ctx, a, 2 * MiB10, image.data() + 4096, 4096), 4096);
  EXPECT_EQ(cache_get_data(ctx, a, 2 * MiB10 - 4096, out.data(), 8192), 8192);

  // Zeros are marked, not written, and read back as zeros.
  ASSERT_EQ(cache_put_sparse(ctx, a, 3 * MiB10 + 4096, 10000), 10000);
  std::fill(out.begin(), out.end(), 0xAA);
  ASSERT_EQ(cache_get_data(ctx, a, 3 * MiB10 + 4096, out.data(), 9728), 9728);
  EXPECT_EQ(std::count(out.begin(), out.begin() + 9728, 0), 9728);
  EXPECT_EQ(cache_contains(ctx, a, 3 * MiB10 + 4096, 10000), 0);
}

// The write budget wakes the cache manager once per budget; a pending write
// never completes a sector from another chunk or from a removed file; a kept
// descriptor of a removed file gives way to the new file.
TEST(ChunksTmpfs, BudgetContinuationsAndRemovedFiles) {
  TARN_REQUIRE_ROOT();
  tmpfs_mount fs("size=16m,nr_inodes=100,mode=0700");
  ASSERT_FALSE(fs.path.empty());
  constexpr uint64_t S = 8192;
  store st(fs.path, S);
  client_context* a = st.add_client();
  proxy_context* ctx = &st.ctx;
  std::mt19937_64 rng(test_seed());
  auto image = random_bytes(rng, 8 * S);
  std::vector<uint8_t> out(S);

  st.site.write_budget = 0;  // a new site
  ASSERT_EQ(cache_put_data(ctx, a, 0, image.data(), 100), 100);
  EXPECT_TRUE(ctx->cachemanager_flag);
  ctx->cachemanager_flag = false;
  for (uint64_t at = 0; at < 4 * S; at += 4096)
    ASSERT_EQ(cache_put_sparse(ctx, a, 4 * S + at, 4096), 4096);
  EXPECT_FALSE(ctx->cachemanager_flag);
  st.site.write_budget = 10000;  // as the cache manager sets it
  ASSERT_EQ(cache_put_data(ctx, a, 0, image.data(), 4096), 4096);
  ASSERT_EQ(cache_put_data(ctx, a, 0, image.data(), 4096), 4096);
  EXPECT_FALSE(ctx->cachemanager_flag);
  ASSERT_EQ(cache_put_data(ctx, a, 0, image.data(), 1), 1);  // counts a whole block
  EXPECT_TRUE(ctx->cachemanager_flag);

  // Pending at 1024..1400 of chunk 0; the next write starts at 1400 of chunk 1.
  ASSERT_EQ(cache_put_data(ctx, a, 0, image.data(), 1400), 1400);
  ASSERT_EQ(cache_put_data(ctx, a, S + 1400, image.data() + S + 1400, 1400), 1400);
  EXPECT_EQ(cache_contains(ctx, a, S + 1024, 512), 0);
  EXPECT_EQ(cache_contains(ctx, a, S + 1536, 1024), 1024);
  // The chunk file removed between two replies: the shared sector is whole
  // in the new file.
  ASSERT_EQ(cache_put_data(ctx, a, 2 * S, image.data() + 2 * S, 1400), 1400);
  ASSERT_EQ(unlink(st.chunk_path(2).c_str()), 0);
  ASSERT_EQ(cache_put_data(ctx, a, 2 * S + 1400, image.data() + 2 * S + 1400, 1400), 1400);
  EXPECT_EQ(cache_contains(ctx, a, 2 * S, 1024), 0);
  ASSERT_EQ(cache_get_data(ctx, a, 2 * S + 1024, out.data(), 1536), 1536);
  EXPECT_EQ(memcmp(out.data(), image.data() + 2 * S + 1024, 1536), 0);

  // The kept descriptor serves the removed file's data, then the new file's.
  ASSERT_EQ(cache_put_data(ctx, a, 3 * S, image.data() + 3 * S, 4096), 4096);
  ASSERT_EQ(cache_get_data(ctx, a, 3 * S, out.data(), 4096), 4096);
  int kept = a->chunks.open_chunk.lock()->fd.get();
  ASSERT_EQ(cache_get_data(ctx, a, 3 * S + 512, out.data(), 512), 512);
  EXPECT_EQ(a->chunks.open_chunk.lock()->fd.get(), kept);
  ASSERT_EQ(unlink(st.chunk_path(3).c_str()), 0);
  EXPECT_EQ(cache_get_data(ctx, a, 3 * S, out.data(), 4096), 4096);
  ASSERT_EQ(cache_put_data(ctx, a, 3 * S + 4096, image.data() + 3 * S + 4096, 4096), 4096);
  ASSERT_EQ(cache_get_data(ctx, a, 3 * S + 4096, out.data(), 4096), 4096);
  EXPECT_EQ(memcmp(out.data(), image.data() + 3 * S + 4096, 4096), 0);
  EXPECT_EQ(cache_contains(ctx, a, 3 * S, 4096), 0);
}

// A full cache disk: writes answer 0, set no bit, wake the cache manager and
// warn a few times only; stored data stays readable and writing works again
// once there is room.
TEST(ChunksTmpfs, FullDiskSetsNoBitAndKeepsGoing) {
  TARN_REQUIRE_ROOT();
  tmpfs_mount fs("size=256k,nr_inodes=64,mode=0700");
  ASSERT_FALSE(fs.path.empty());
  constexpr uint64_t S = 65536;
  store st(fs.path, S);
  proxy_context* ctx = &st.ctx;
  client_context* a = st.add_client();
  client_context* b = st.add_client();
  client_context* c = st.add_client();
  std::vector<uint8_t> data(4096, 0x5A), out(4096);
  tarn_test::log_capture logs;
  ASSERT_EQ(cache_put_data(ctx, a, 2 * S, data.data(), 4096), 4096);

  int fd = open((fs.path + "/filler").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  int pages = 0;
  while (pages < 1000 && pwrite(fd, data.data(), 4096, 4096 * pages) == 4096) ++pages;
  ASSERT_LT(pages, 1000);

  logs.clear();
  ctx->cachemanager_flag = false;
  for (int i = 0; i < 50; ++i) EXPECT_EQ(cache_put_data(ctx, a, 0, data.data(), 4096), 0);
  EXPECT_TRUE(ctx->cachemanager_flag);
  EXPECT_EQ(bitmap_byte(st.chunk_path(0), S, 0), 0);
  EXPECT_GE(logs.count("cache_put_data pwrite64"), 1u);
  EXPECT_LE(logs.count("cache_put_data pwrite64"), CACHE_WARNING_BURST);
  ASSERT_EQ(cache_get_data(ctx, a, 2 * S, out.data(), 4096), 4096);
  EXPECT_EQ(out, data);

  // One free page: the data fits, its bitmap does not.
  ASSERT_EQ(fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 0, 4096), 0);
  ctx->cachemanager_flag = false;
  EXPECT_EQ(cache_put_data(ctx, b, S, data.data(), 4096), 0);
  EXPECT_TRUE(ctx->cachemanager_flag);
  EXPECT_TRUE(logs.contains(G_LOG_LEVEL_WARNING, "bitmap_mark_allocated pwrite64"));
  EXPECT_EQ(cache_contains(ctx, b, S, 512), 0);

  ASSERT_EQ(fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 4096, 8 * 4096), 0);
  ASSERT_EQ(cache_put_data(ctx, a, 0, data.data(), 4096), 4096);
  EXPECT_EQ(cache_contains(ctx, a, 0, 4096), 4096);

  // No inode left for a new chunk file.
  for (int i = 0; i < 1000; ++i) {
    int f = open((fs.path + "/inode-" + std::to_string(i)).c_str(), O_CREAT | O_CLOEXEC, 0600);
    if (f < 0) break;
    close(f);
  }
  ctx->cachemanager_flag = false;
  EXPECT_EQ(cache_put_data(ctx, c, 5 * S, data.data(), 4096), 0);
  EXPECT_TRUE(ctx->cachemanager_flag);
  EXPECT_TRUE(logs.contains(G_LOG_LEVEL_WARNING, "cache_put_data open: No space left"));
  close(fd);
}

}  // namespace
