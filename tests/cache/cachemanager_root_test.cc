// The cache manager on tmpfs file systems of exact size and inode count,
// mounted in a private mount namespace.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "cache/bootset.h"
#include "cache/cachemanager.h"
#include "cache/chunks.h"
#include "contexts/proxy_context.h"
#include "core/service_thread.h"
#include "support/log_capture.h"
#include "support/metrics_files.h"
#include "support/sandbox.h"

namespace {

using namespace std::chrono_literals;
using tarn_test::exists;
using tarn_test::read_text;
const std::string A = "/1-1-1-1-1-1-1-1-1", B = "/2-2-2-2-2-2-2-2-2", P = "/9-9-9-9-9-9-9-9-9";

std::string sandbox_dir;

// unshare(CLONE_NEWNS) refuses a threaded process: enter before any test runs.
struct enter_sandbox : ::testing::Environment {
  void SetUp() override {
    if (geteuid() == 0) sandbox_dir = tarn_test::sandbox_enter_self();
  }
};
const auto* const sandbox_env = ::testing::AddGlobalTestEnvironment(new enter_sandbox);

void make_file(const std::string& path, size_t bytes, time_t atime_s, long atime_ns = 0) {
  std::FILE* f = std::fopen(path.c_str(), "w");
  ASSERT_NE(f, nullptr) << path;
  ASSERT_EQ(std::fwrite(std::string(bytes, 'x').data(), 1, bytes, f), bytes);
  std::fclose(f);
  const struct timespec times[2] = {{atime_s, atime_ns}, {0, UTIME_OMIT}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

// Which of chunk files 0..n-1 of vDisk directory `dir` exist, as 0s and 1s.
std::string chunks(const std::string& dir, int n) {
  std::string present;
  for (int i = 0; i < n; i++) present += exists(dir + "/" + std::to_string(i)) ? '1' : '0';
  return present;
}

struct statvfs measure(const std::string& path) {
  struct statvfs v {};
  EXPECT_EQ(statvfs(path.c_str(), &v), 0);
  return v;
}

class CacheManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TARN_REQUIRE_ROOT();
    ASSERT_FALSE(sandbox_dir.empty()) << "no sandbox";
    ctx.cache_start_purge_free_space = ctx.cache_start_purge_free_inodes = 0.05f;
    ctx.cache_goal_purge_free_space = ctx.cache_goal_purge_free_inodes = 0.15f;
    ctx.site_context_ht = std::make_unique<site_table>();
    logs.clear();
  }
  void TearDown() override {
    for (auto it = mounts.rbegin(); it != mounts.rend(); ++it) umount2(it->c_str(), MNT_DETACH);
  }
  std::string mount_tmpfs(const std::string& dir, const std::string& options) {
    EXPECT_EQ(mkdir(dir.c_str(), 0700), 0) << dir;
    EXPECT_EQ(mount("tarn-test", dir.c_str(), "tmpfs", 0, options.c_str()), 0) << dir;
    mounts.push_back(dir);
    return dir;
  }
  std::shared_ptr<site_context> add_site(const std::string& uuid, const std::string& path) {
    auto site = std::make_shared<site_context>();
    site->uuid = uuid;
    site->cache_path = path;
    site->context = &ctx;
    (*ctx.site_context_ht)[uuid] = site;
    return site;
  }

  proxy_context ctx;
  tarn_test::log_capture logs;
  std::vector<std::string> mounts;
};

// The pressure run below checks the thresholds on real file systems; what it
// cannot reach: a budget overdrawn while low, and a goal set below its start
// fraction, which must not wrap into a huge goal.
TEST_F(CacheManagerTest, CheckLimitOverdrawsTheBudgetAndNeverWrapsTheGoal) {
  struct statvfs v {};
  v.f_blocks = 1000000, v.f_bavail = v.f_bfree = 40000, v.f_frsize = 4096, v.f_files = 100;
  EXPECT_EQ(check_limit_figures(&ctx, v).budget, -40960000);
  ctx.cache_start_purge_free_space = 0.2f, ctx.cache_goal_purge_free_space = 0.1f;
  v.f_bavail = 150000;
  const cache_limit odd = check_limit_figures(&ctx, v);
  EXPECT_TRUE(odd.low_space);
  EXPECT_EQ(odd.blocks_to_free, 0u);
}

TEST_F(CacheManagerTest, DeletionOrderIsPrepopThenAccessTimeThenPath) {
  // Outside the cache but on its file system, where only links can lead.
  const std::string m = mount_tmpfs(sandbox_dir + "/order", "size=16M,nr_inodes=200");
  const std::string c = m + "/cache", outside = m + "/outside", other = c + "/4-4-4-4-4-4-4-4-4";
  for (const auto& d : {c, outside, c + A, c + B, c + P, c + A + "/sub", c + "/.hidden"})
    ASSERT_EQ(mkdir(d.c_str(), 0700), 0) << d;
  make_file(outside + "/8", 4096, 1);
  for (const std::string& f :
       {c + "/config.data", c + "/busy", c + "/.hidden/0", c + A + "/config.data",
        c + A + "/.partial", c + A + "/sub/0", c + A + "/bootset", c + P + "/prepop", c + B + "/5"})
    make_file(f, 100, 1);
  // Links out of the cache, another file system mounted inside it and a
  // mount point (EBUSY) are never candidates, nor counted.
  ASSERT_EQ(symlink(outside.c_str(), (c + "/3-3-3-3-3-3-3-3-3").c_str()), 0);
  ASSERT_EQ(symlink((outside + "/8").c_str(), (c + A + "/7").c_str()), 0);
  mount_tmpfs(other, "size=1M");
  make_file(other + "/0", 4096, 1);
  ASSERT_EQ(mount((c + "/busy").c_str(), (c + B + "/5").c_str(), nullptr, MS_BIND, nullptr), 0);
  mounts.push_back(c + B + "/5");
  const struct {
    std::string path;
    timespec atime;
  } order[] = {{A + "/2", {100, 2}}, {B + "/0", {100, 2}}, {A + "/1", {100, 5}},
               {A + "/3", {200, 0}}, {A + "/0", {300, 0}}, {P + "/0", {50, 0}},
               {P + "/1", {400, 0}}};
  for (size_t i = 0; i < std::size(order); i++)
    make_file(c + order[i].path, 4096 * (i + 1), order[i].atime.tv_sec, order[i].atime.tv_nsec);
  for (size_t i = 0; i <= std::size(order); i++) {
    SCOPED_TRACE(i);
    purge_goals goals;
    goals.inodes_to_free = 1;
    purge_files(c.c_str(), &goals);
    for (size_t j = 0; j < std::size(order); j++) EXPECT_EQ(exists(c + order[j].path), j > i);
    EXPECT_EQ(goals.blocks_freed, i < std::size(order) ? 8 * (i + 1) : 0);
  }
  EXPECT_TRUE(logs.contains(G_LOG_LEVEL_INFO, "tree_element_purge unlink hit EBUSY"));
  EXPECT_FALSE(logs.contains(G_LOG_LEVEL_WARNING, "")) << "a link or a marker was tried";
  EXPECT_EQ(logs.count("Cache Manager achieved cache free goal!"), std::size(order));
  for (const auto& kept : {c + "/config.data", c + A + "/config.data", c + A + "/.partial",
                           c + A + "/sub/0", c + A + "/bootset", c + A + "/7", c + "/.hidden/0",
                           c + B + "/5", outside + "/8", other + "/0"})
    EXPECT_TRUE(exists(kept)) << kept;
  EXPECT_FALSE(exists(c + P + "/prepop")) << "went with P's first chunk";
}

TEST_F(CacheManagerTest, PressureOnSpaceThenInodesIsRelievedInOrder) {
  // 2,048 pages of 4 KiB and 100 inodes; tmpfs counts both exactly.
  const std::string c = mount_tmpfs(sandbox_dir + "/pressure", "size=8M,nr_inodes=100");
  auto site = add_site("aaaaaaaa-0000-4000-8000-000000000001", c);
  site->write_budget = -1;
  site->chunk_size = 65536;
  make_file(c + "/config.data", 100, 1);
  for (const auto& d : {A, B, P}) ASSERT_EQ(mkdir((c + d).c_str(), 0700), 0);
  make_file(c + P + "/prepop", 0, 1);
  // Interleaved across A and B, all newer than P's.
  for (int i = 0; i < 12; i++) {
    make_file(c + A + "/" + std::to_string(i), 65536, 1000 + 2 * i);
    make_file(c + B + "/" + std::to_string(i), 65536, 1001 + 2 * i);
  }
  for (int i = 0; i < 8; i++) make_file(c + P + "/" + std::to_string(i), 65536, 10 + i);
  // P is prepopulated and has a live record.
  vdisk_contexts_init(&ctx);
  client_context p_client;
  p_client.site_context = site.get();
  g_strlcpy(p_client.session.lock()->vdisk_key, P.c_str() + 1, CLIENT_VDISK_KEY_SIZE);
  vdisk_context_ref_inc(&p_client, *p_client.session.lock());
  vdisk_context* p_vdisk = vdisk_contexts_get(&ctx, &p_client, *p_client.session.lock_shared());
  ASSERT_NE(p_vdisk, nullptr);
  {
    auto state = p_vdisk->state.lock();
    state->prepop_progress = state->end_offset = 8 * 65536 + 512;
  }
  vdisk_contexts_put(&ctx, p_vdisk);
  // An idle client of A keeps the chunk file it read last open, as a reader
  // leaves it; the purge must let go of it or its space is never freed.
  client_contexts_init(&ctx);
  auto* reader = new client_context;
  reader->site_context = site.get();
  const std::string kept_chunk = c + A + "/0";
  {
    auto open_chunk = reader->chunks.open_chunk.lock();
    open_chunk->fd.reset(open(kept_chunk.c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(open_chunk->fd.valid());
    g_strlcpy(open_chunk->path, kept_chunk.c_str(), sizeof open_chunk->path);
  }
  ctx.client_context_ht->emplace(1, reader);
  // Leaves 90 pages: below 5% (102.4), 217.2 pages short of 15%.
  make_file(c + "/ballast", (2048 - 513 - 90) * 4096, 1);
  ASSERT_EQ(measure(c).f_bavail, 90u);
  ASSERT_EQ(measure(c).f_favail, 61u);

  cachemanager_run_pass(&ctx);
  EXPECT_TRUE(logs.contains("Cache manager detected low space. Freeing 1737 blocks."));
  // 14 files of 128 blocks are the fewest that cover 1,737 blocks.
  EXPECT_EQ(chunks(c + A, 12) + chunks(c + B, 12), "000000011111000000011111");
  // No descriptor is left on a removed chunk file.
  for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    const std::string target = std::filesystem::read_symlink(e.path(), ec).string();
    EXPECT_FALSE(!ec && target.starts_with(c + "/") && target.ends_with(" (deleted)")) << target;
  }
  EXPECT_FALSE(reader->chunks.open_chunk.lock()->fd.valid());
  EXPECT_EQ(measure(c).f_bavail, 314u);
  EXPECT_EQ(ctx.metrics.cache_evicted_b, 14u * 65536);
  EXPECT_DOUBLE_EQ(ctx.metrics.cache_utilized_p, 1734.0 / 2048 * 100);
  EXPECT_EQ(site->write_budget, 866713);  // (314 - 102.4) x 4,096
  EXPECT_FALSE(logs.contains("still exeeds"));
  EXPECT_TRUE(exists(c + P + "/prepop"));
  EXPECT_EQ(p_vdisk->state.lock()->prepop_progress, 8u * 65536 + 512);

  // 71 one-page files leave 4 inodes: below 5, 11 short of 15.
  for (int i = 0; i < 71; i++) make_file(c + P + "/s" + std::to_string(i), 512, 100 + i);
  ASSERT_EQ(measure(c).f_favail, 4u);
  cachemanager_run_pass(&ctx);
  EXPECT_TRUE(logs.contains("Cache manager detected low inodes. Freeing 11 inodes "));
  EXPECT_EQ(measure(c).f_favail, 16u);  // and the marker's
  // The ten files left in A and B go first, then the oldest prepopulated one.
  EXPECT_EQ(chunks(c + A, 12) + chunks(c + B, 12) + chunks(c + P, 8),
            std::string(24, '0') + "01111111");
  for (const auto& kept : {c + "/config.data", c + "/ballast", c + A, c + B})
    EXPECT_TRUE(exists(kept)) << kept;
  // P is no longer complete: its marker went, and its progress fell back to
  // the chunk removed, so that a prepopulation fills it again.
  EXPECT_FALSE(exists(c + P + "/prepop"));
  EXPECT_EQ(p_vdisk->state.lock()->prepop_progress, 512u);
  EXPECT_EQ(p_vdisk->evicted_b.load(), 65536u);  // its own share of what went
  // What P's boot read: a pass writes it (after its measurements, whose
  // figures above are exact).
  const std::vector<boot_range> boot = {{65536, 4096}, {0, 512}};
  boot_set_replace(p_vdisk, boot);
  cachemanager_run_pass(&ctx);
  vdisk_context_ref_dec_and_del(&p_client, *p_client.session.lock());

  // P's boot-set file read back by a new record, and damaged or foreign
  // ones ignored with a warning: {what is written, the warning's reason}.
  const std::string file = c + P + "/bootset", key = P.substr(1);
  const std::string image = read_text(file);
  ASSERT_EQ(image, boot_set_serialise(boot, key));
  auto patched = [&](size_t at, char byte) {
    std::string s = image;
    s[at] = byte;
    return s;
  };
  const std::pair<std::string, const char*> files[] = {
      {image, nullptr},
      {image.substr(0, image.size() - 1), "truncated"},
      {image + "x", "trailing bytes"},
      {patched(0, 'X'), "not a boot set"},
      {patched(8, 2), "unknown version"},
      {patched(12, 9), "truncated"},  // a count the file does not hold
      {patched(image.size() - 20, 1), "checksum mismatch"},
      {boot_set_serialise(boot, "3-3-3-3-3-3-3-3-3"), "another vDisk's boot set"},
      {boot_set_serialise({{8 * 65536, 1}}, key), "range past the vDisk's end"},
      {"", "truncated"},
  };
  for (const auto& [content, reason] : files) {
    SCOPED_TRACE(reason ? reason : "intact");
    logs.clear();
    std::ofstream(file, std::ios::binary | std::ios::trunc) << content;
    auto vc = vdisk_context_hold_key(&ctx, site.get(), key.c_str());
    ASSERT_NE(vc, nullptr);
    vc->state.lock()->size = 8 * 65536;
    EXPECT_EQ(boot_set_ranges(vc.get()), reason ? std::vector<boot_range>{} : boot);
    EXPECT_EQ(logs.contains(G_LOG_LEVEL_WARNING,
                            "Ignoring boot set " + file + ": " + (reason ? reason : "")),
              reason != nullptr);
    vdisk_context_release(&ctx, std::move(vc));
  }
  EXPECT_EQ(ctx.metrics.cache_evicted_b, 25u * 65536);
}

TEST_F(CacheManagerTest, UnmeasurableCachesAndTheThreadsWakeUps) {
  // A pass without measurements reports no evictions and no utilisation; a
  // cache that cannot be measured gets no walk and keeps its budget.
  ctx.metrics.cache_evicted_b = 7;
  ctx.metrics.cache_utilized_p = 42.0;
  auto missing = add_site("bbbbbbbb-0000-4000-8000-000000000002", sandbox_dir + "/no-cache");
  missing->write_budget = 5;
  cachemanager_run_pass(&ctx);
  EXPECT_TRUE(logs.contains(G_LOG_LEVEL_WARNING, "check_limit statvfs " + missing->cache_path));
  EXPECT_FALSE(logs.contains("purge_files opendir"));
  EXPECT_EQ(missing->write_budget, 5);
  EXPECT_EQ(ctx.metrics.cache_evicted_b, 7u);
  EXPECT_EQ(ctx.metrics.cache_utilized_p, 0.0);

  service_thread record{"CacheManager", -1, &ctx, {}};
  std::atomic<bool> ended{false};
  std::thread thread;
  auto start = [&](int interval) {
    logs.clear();
    ctx.stopping = 0;
    ended = false;
    ctx.cache_monitor_interval_s = interval;
    thread = std::thread([&] {
      cachemanager_thread(&record);
      ended = true;
    });
  };
  // Whether the thread ended within 5 s of the shutdown signal.
  auto stop = [&] {
    ctx.stopping = 1;
    cachemanager_signal(&ctx);
    const bool prompt = tarn_test::eventually([&] { return ended.load(); }, 5s);
    thread.join();
    return prompt;
  };
  // An interval below one second still waits a second: one pass at once,
  // then at most one a second (each logs the failed statvfs).
  for (int interval : {0, -3}) {
    SCOPED_TRACE(interval);
    const auto begin = std::chrono::steady_clock::now();
    start(interval);
    std::this_thread::sleep_for(1500ms);
    ASSERT_TRUE(stop());
    const auto seconds =
        std::chrono::ceil<std::chrono::seconds>(std::chrono::steady_clock::now() - begin);
    EXPECT_GE(logs.count("check_limit statvfs"), 1u);
    EXPECT_LE(logs.count("check_limit statvfs"), static_cast<size_t>(seconds.count()) + 1);
    EXPECT_EQ(logs.count("checking the caches every second"), 1u);
  }
  // A writer that overdraws the budget parks it at the maximum (so that no
  // other writer signals) and signals: that wakes a 60 s wait at once.
  ctx.site_context_ht->clear();
  auto site = add_site("cccccccc-0000-4000-8000-000000000003",
                       mount_tmpfs(sandbox_dir + "/wake", "size=8M"));
  site->write_budget = -1;
  start(60);
  constexpr int64_t parked = std::numeric_limits<int64_t>::max();
  EXPECT_TRUE(tarn_test::eventually([&] { return site->write_budget > 0; }, 5s)) << "no pass";
  site->write_budget = parked;
  cachemanager_signal(&ctx);
  EXPECT_TRUE(tarn_test::eventually([&] { return site->write_budget != parked; }, 5s))
      << "not woken within 5 s of a 60 s interval";
  EXPECT_TRUE(stop()) << "still running 5 s after shutdown began";
}

}  // namespace
