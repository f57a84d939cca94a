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
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "cache/cachemanager.h"
#include "cache/chunks.h"
#include "contexts/proxy_context.h"
#include "core/service_thread.h"
#include "support/log_capture.h"
#include "support/sandbox.h"

namespace {

using namespace std::chrono_literals;
const std::string A = "1-1-1-1-1-1-1-1-1", B = "2-2-2-2-2-2-2-2-2", P = "9-9-9-9-9-9-9-9-9";

std::string& sandbox_dir() {
  static std::string dir;
  return dir;
}

// unshare(CLONE_NEWNS) refuses a threaded process: enter before any test runs.
struct enter_sandbox : ::testing::Environment {
  void SetUp() override {
    if (geteuid() == 0) sandbox_dir() = tarn_test::sandbox_enter_self();
  }
};
const auto* const sandbox_env = ::testing::AddGlobalTestEnvironment(new enter_sandbox);

bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

void make_file(const std::string& path, size_t bytes, time_t atime_s, long atime_ns = 0) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(fd, 0) << path;
  std::string data(bytes, 'x');
  ASSERT_EQ(write(fd, data.data(), data.size()), static_cast<ssize_t>(bytes));
  close(fd);
  const struct timespec times[2] = {{atime_s, atime_ns}, {0, UTIME_OMIT}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
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
    ASSERT_FALSE(sandbox_dir().empty()) << "no sandbox";
    ctx.cache_start_purge_free_space = ctx.cache_start_purge_free_inodes = 0.05f;
    ctx.cache_goal_purge_free_space = ctx.cache_goal_purge_free_inodes = 0.15f;
    ctx.site_context_ht = std::make_unique<site_table>();
    logs.clear();
  }
  void TearDown() override {
    if (thread.joinable()) stop();
    for (auto it = mounts.rbegin(); it != mounts.rend(); ++it) {
      if (umount2(it->c_str(), 0) != 0) umount2(it->c_str(), MNT_DETACH);
    }
  }
  std::string mount_tmpfs(const std::string& name, const std::string& options) {
    std::string dir = sandbox_dir() + "/cachemanager-" + name;
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
  // stop() answers whether the thread ended within 5 s of the shutdown signal.
  void start() {
    thread = std::thread([this] {
      cachemanager_thread(&record);
      ended = true;
    });
  }
  bool stop() {
    ctx.stopping = 1;
    cachemanager_signal(&ctx);
    for (int i = 0; i < 500 && !ended; i++) std::this_thread::sleep_for(10ms);
    bool prompt = ended;
    thread.join();
    return prompt;
  }
  template <typename Pred>
  static bool wait_until(Pred pred) {
    for (int i = 0; i < 500; i++, std::this_thread::sleep_for(10ms)) {
      if (pred()) return true;
    }
    return false;
  }

  proxy_context ctx;
  tarn_test::log_capture logs;
  std::vector<std::string> mounts;
  service_thread record{"CacheManager", -1, &ctx, {}};
  std::thread thread;
  std::atomic<bool> ended{false};
};

TEST(CacheManager, CheckLimitArithmeticIsSinglePrecision) {
  proxy_context ctx;
  ctx.cache_start_purge_free_space = ctx.cache_start_purge_free_inodes = 0.05f;
  ctx.cache_goal_purge_free_space = ctx.cache_goal_purge_free_inodes = 0.15f;
  struct statvfs v {};
  v.f_blocks = 1000000, v.f_bavail = v.f_bfree = 40000, v.f_frsize = 4096;
  v.f_files = 655360, v.f_favail = 100000;
  cache_limit low = check_limit_figures(&ctx, v);
  EXPECT_TRUE(low.low_space && !low.low_inodes);
  EXPECT_EQ(low.blocks_to_free, 880000u);
  EXPECT_EQ(low.budget, -40960000);
  EXPECT_EQ(low.total_bytes, 4096000000u);
  EXPECT_EQ(low.used_bytes, 960000u * 4096);

  v.f_bavail = v.f_bfree = 60000;
  cache_limit fine = check_limit_figures(&ctx, v);
  EXPECT_FALSE(fine.low_space || fine.low_inodes);
  EXPECT_EQ(fine.budget, 40960000);

  v.f_favail = 30000;  // 0.05 x 655,360 = 32,768 > 30,000
  cache_limit inodes = check_limit_figures(&ctx, v);
  EXPECT_TRUE(inodes.low_inodes && !inodes.low_space);
  EXPECT_EQ(inodes.inodes_to_free, 68304u);

  // A goal below its start fraction must not wrap into a huge goal.
  ctx.cache_start_purge_free_space = 0.2f, ctx.cache_goal_purge_free_space = 0.1f;
  v.f_bavail = 150000;
  cache_limit odd = check_limit_figures(&ctx, v);
  EXPECT_TRUE(odd.low_space);
  EXPECT_EQ(odd.blocks_to_free, 0u);
}

TEST_F(CacheManagerTest, DeletionOrderIsPrepopThenAccessTimeThenPath) {
  // Outside the cache but on its file system, where only links can lead.
  std::string m = mount_tmpfs("order", "size=16M,nr_inodes=200");
  std::string c = m + "/cache", outside = m + "/outside";
  ASSERT_EQ(mkdir(c.c_str(), 0700), 0);
  ASSERT_EQ(mkdir(outside.c_str(), 0700), 0);
  make_file(outside + "/8", 4096, 1);
  for (const auto& d : {A, B, P, A + "/sub", std::string(".hidden")}) {
    ASSERT_EQ(mkdir((c + "/" + d).c_str(), 0700), 0);
  }
  for (const auto& f :
       {"/config.data", "/busy", "/.hidden/0", "/1-1-1-1-1-1-1-1-1/config.data",
        "/1-1-1-1-1-1-1-1-1/.partial", "/1-1-1-1-1-1-1-1-1/sub/0", "/9-9-9-9-9-9-9-9-9/prepop"}) {
    make_file(c + f, 100, 1);
  }
  // Links out of the cache: neither they nor what they lead to are candidates.
  ASSERT_EQ(symlink(outside.c_str(), (c + "/3-3-3-3-3-3-3-3-3").c_str()), 0);
  ASSERT_EQ(symlink((outside + "/8").c_str(), (c + "/" + A + "/7").c_str()), 0);
  // Nor is another file system mounted inside the cache.
  const std::string other = c + "/4-4-4-4-4-4-4-4-4";
  ASSERT_EQ(mkdir(other.c_str(), 0700), 0);
  ASSERT_EQ(mount("tarn-test", other.c_str(), "tmpfs", 0, "size=1M"), 0);
  mounts.push_back(other);
  make_file(other + "/0", 4096, 1);
  make_file(c + "/" + B + "/5", 100, 1);
  // A mount point cannot be removed (EBUSY); it must not count.
  ASSERT_EQ(mount((c + "/busy").c_str(), (c + "/" + B + "/5").c_str(), nullptr, MS_BIND, nullptr),
            0);
  mounts.push_back(c + "/" + B + "/5");

  const std::vector<std::string> order = {A + "/2", B + "/0", A + "/1", A + "/3",
                                          A + "/0", P + "/0", P + "/1"};
  const struct timespec atimes[] = {{100, 2}, {100, 2}, {100, 5}, {200, 0},
                                    {300, 0}, {50, 0},  {400, 0}};
  for (size_t i = 0; i < order.size(); i++) {
    make_file(c + "/" + order[i], 4096 * (i + 1), atimes[i].tv_sec, atimes[i].tv_nsec);
  }
  const struct timespec busy_atime[2] = {{150, 0}, {0, UTIME_OMIT}};
  ASSERT_EQ(utimensat(AT_FDCWD, (c + "/" + B + "/5").c_str(), busy_atime, 0), 0);

  for (size_t i = 0; i <= order.size(); i++) {
    SCOPED_TRACE(i);
    purge_goals goals;
    goals.inodes_to_free = 1;
    purge_files(c.c_str(), &goals);
    for (size_t j = 0; j < order.size(); j++) EXPECT_EQ(exists(c + "/" + order[j]), j > i);
    // One file each time; the EBUSY one (before A/3) is skipped and not counted.
    EXPECT_EQ(goals.blocks_freed, i < order.size() ? 8 * (i + 1) : 0);
  }
  EXPECT_TRUE(logs.contains(G_LOG_LEVEL_INFO, "tree_element_purge unlink hit EBUSY"));
  EXPECT_FALSE(logs.contains(G_LOG_LEVEL_WARNING, "")) << "a link or a marker was tried";
  EXPECT_EQ(logs.count("Cache Manager achieved cache free goal!"), order.size());
  for (const auto& kept : {c + "/config.data", c + "/" + A + "/config.data",
                           c + "/" + A + "/.partial", c + "/" + A + "/sub/0", c + "/" + A + "/7",
                           c + "/.hidden/0", c + "/" + B + "/5", outside + "/8", other + "/0"}) {
    EXPECT_TRUE(exists(kept)) << kept;
  }
  EXPECT_FALSE(exists(c + "/" + P + "/prepop")) << "went with P's first chunk";
}

TEST_F(CacheManagerTest, PressureOnSpaceThenInodesIsRelievedInOrder) {
  // 2,048 pages of 4 KiB and 100 inodes; tmpfs counts both exactly.
  std::string c = mount_tmpfs("pressure", "size=8M,nr_inodes=100");
  auto site = add_site("aaaaaaaa-0000-4000-8000-000000000001", c);
  site->write_budget = -1;
  make_file(c + "/config.data", 100, 1);
  for (const auto& d : {A, B, P}) ASSERT_EQ(mkdir((c + "/" + d).c_str(), 0700), 0);
  make_file(c + "/" + P + "/prepop", 0, 1);
  // Interleaved across A and B, all newer than P's.
  for (int i = 0; i < 12; i++) {
    make_file(c + "/" + A + "/" + std::to_string(i), 65536, 1000 + 2 * i);
    make_file(c + "/" + B + "/" + std::to_string(i), 65536, 1001 + 2 * i);
  }
  for (int i = 0; i < 8; i++) make_file(c + "/" + P + "/" + std::to_string(i), 65536, 10 + i);
  // P is prepopulated and has a live record.
  site->chunk_size = 65536;
  vdisk_contexts_init(&ctx);
  client_context p_client;
  p_client.site_context = site.get();
  g_strlcpy(p_client.vdisk_key, P.c_str(), sizeof p_client.vdisk_key);
  vdisk_context_ref_inc(&p_client);
  vdisk_context* p_vdisk = vdisk_contexts_get(&ctx, &p_client);
  ASSERT_NE(p_vdisk, nullptr);
  {
    auto state = p_vdisk->state.lock();
    state->prepop_progress = state->end_offset = 8 * 65536 + 512;
  }
  vdisk_contexts_put(&ctx, p_vdisk);
  // Leaves 90 pages: below 5% (102.4), 217.2 pages short of 15%.
  make_file(c + "/ballast", (2048 - 513 - 90) * 4096, 1);
  ASSERT_EQ(measure(c).f_bavail, 90u);
  ASSERT_EQ(measure(c).f_favail, 61u);

  cachemanager_run_pass(&ctx);
  EXPECT_TRUE(logs.contains("Cache manager detected low space. Freeing 1737 blocks."));
  // 14 files of 128 blocks are the fewest that cover 1,737 blocks.
  for (int i = 0; i < 12; i++) {
    EXPECT_EQ(exists(c + "/" + A + "/" + std::to_string(i)), i >= 7) << i;
    EXPECT_EQ(exists(c + "/" + B + "/" + std::to_string(i)), i >= 7) << i;
  }
  EXPECT_EQ(measure(c).f_bavail, 314u);
  EXPECT_EQ(ctx.metrics.cache_evicted_b, 14u * 65536);
  EXPECT_DOUBLE_EQ(ctx.metrics.cache_utilized_p, 1734.0 / 2048 * 100);
  EXPECT_EQ(site->write_budget, 866713);  // (314 - 102.4) x 4,096
  EXPECT_FALSE(logs.contains("still exeeds"));
  EXPECT_TRUE(exists(c + "/" + P + "/prepop"));
  EXPECT_EQ(p_vdisk->state.lock()->prepop_progress, 8u * 65536 + 512);

  // 71 one-page files leave 4 inodes: below 5, 11 short of 15.
  for (int i = 0; i < 71; i++) make_file(c + "/" + P + "/s" + std::to_string(i), 512, 100 + i);
  ASSERT_EQ(measure(c).f_favail, 4u);
  cachemanager_run_pass(&ctx);
  EXPECT_TRUE(logs.contains("Cache manager detected low inodes. Freeing 11 inodes "));
  EXPECT_EQ(measure(c).f_favail, 16u);  // and the marker's
  // The ten files left in A and B go first, then the oldest prepopulated one.
  for (int i = 0; i < 12; i++) {
    EXPECT_FALSE(exists(c + "/" + A + "/" + std::to_string(i)) ||
                 exists(c + "/" + B + "/" + std::to_string(i)));
  }
  for (int i = 0; i < 8; i++) EXPECT_EQ(exists(c + "/" + P + "/" + std::to_string(i)), i > 0);
  for (const auto& kept : {c + "/config.data", c + "/ballast", c + "/" + A, c + "/" + B}) {
    EXPECT_TRUE(exists(kept)) << kept;
  }
  // P is no longer complete: its marker went, and its progress fell back to
  // the chunk removed, so that a prepopulation fills it again.
  EXPECT_FALSE(exists(c + "/" + P + "/prepop"));
  EXPECT_EQ(p_vdisk->state.lock()->prepop_progress, 512u);
  vdisk_context_ref_dec_and_del(&p_client);
  EXPECT_EQ(ctx.metrics.cache_evicted_b, 14u * 65536 + 11u * 65536);
}

TEST_F(CacheManagerTest, PassesWithoutMeasurementsReportNothing) {
  ctx.metrics.cache_evicted_b = 7;
  ctx.metrics.cache_utilized_p = 42.0;
  cachemanager_run_pass(&ctx);
  EXPECT_EQ(ctx.metrics.cache_evicted_b, 7u);
  EXPECT_EQ(ctx.metrics.cache_utilized_p, 0.0);

  // A cache that cannot be measured gets no walk and keeps its budget.
  auto site = add_site("bbbbbbbb-0000-4000-8000-000000000002", sandbox_dir() + "/no-such-cache");
  site->write_budget = 5;
  ctx.metrics.cache_utilized_p = 42.0;
  cachemanager_run_pass(&ctx);
  EXPECT_TRUE(logs.contains(G_LOG_LEVEL_WARNING, "check_limit statvfs " + site->cache_path));
  EXPECT_FALSE(logs.contains("purge_files opendir"));
  EXPECT_EQ(site->write_budget, 5);
  EXPECT_EQ(ctx.metrics.cache_evicted_b, 7u);
  EXPECT_EQ(ctx.metrics.cache_utilized_p, 0.0);
}

TEST_F(CacheManagerTest, ExhaustedBudgetWakesTheThreadAndShutdownStopsIt) {
  ctx.cache_monitor_interval_s = 60;
  auto site = add_site("cccccccc-0000-4000-8000-000000000003", mount_tmpfs("wake", "size=8M"));
  site->write_budget = -1;
  start();
  ASSERT_TRUE(wait_until([&] { return site->write_budget > 0; })) << "no first pass";
  // What a cache writer does when a write overdraws the budget: it parks the
  // budget at the maximum, so that no other writer signals, and signals.
  const int64_t write = site->write_budget + 4096;
  ASSERT_LT(site->write_budget.fetch_sub(write) - write, 0);
  site->write_budget = std::numeric_limits<int64_t>::max();
  cachemanager_signal(&ctx);
  EXPECT_TRUE(wait_until([&] { return site->write_budget != std::numeric_limits<int64_t>::max(); }))
      << "not woken within 5 s of a 60 s interval";
  EXPECT_TRUE(stop()) << "still running 5 s after shutdown began";
  EXPECT_EQ(logs.count("Cache Manager started"), 1u);
  EXPECT_EQ(logs.count("Cache Manager stopped"), 1u);
}

TEST_F(CacheManagerTest, IntervalBelowOneSecondStillWaitsASecond) {
  add_site("dddddddd-0000-4000-8000-000000000004", sandbox_dir() + "/no-such-cache");
  for (int interval : {0, -3}) {
    SCOPED_TRACE(interval);
    logs.clear();
    ctx.stopping = 0;
    ended = false;
    ctx.cache_monitor_interval_s = interval;
    auto begin = std::chrono::steady_clock::now();
    start();
    std::this_thread::sleep_for(1500ms);
    ASSERT_TRUE(stop());
    auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - begin)
            .count();
    // One pass at once, then at most one a second (each logs the failed statvfs).
    size_t passes = logs.count("check_limit statvfs");
    EXPECT_GE(passes, 1u);
    EXPECT_LE(passes, static_cast<size_t>(seconds) + 2);
    EXPECT_EQ(logs.count("checking the caches every second"), 1u);
  }
}

}  // namespace
