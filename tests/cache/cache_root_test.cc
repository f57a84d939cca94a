// The cache directory on real tmpfs mounts made by the real cache VDI scripts,
// inside a private mount namespace. The scripts are wrapped so that every call
// is recorded, and a test may put a fake open or close script in their place.
#include <glib.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "cache/cache.h"
#include "contexts/sites.h"
#include "support/lab.h"
#include "support/log_capture.h"
#include "support/metrics_files.h"
#include "support/process.h"
#include "support/sandbox.h"

namespace {

using tarn_test::exists, tarn_test::read_text;
const std::string kScripts = "/opt/vextal/tarnproxy", kCacheRoot = kScripts + "/caches";
const std::string kCalls = kScripts + "/calls.log", kVdisk = "/1-2-3-4-5-6-7-8-9";
const std::string kSite = "5d3a0e52-9f4b-4c1e-8a57-0c6f1e2b7d90";
const std::string kBootId = "0b0b0b0b-1111-4222-8333-444455556666";
std::string sandbox_dir;  // T: outside every cache mount

std::string config(uint64_t chunk_size) {
  return "[Main]\ncacheVersion=3\nchunkSizeInBytes=" + std::to_string(chunk_size) + "\n";
}

void write_text(const std::string& path, const std::string& text, mode_t mode = 0644) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
  ASSERT_EQ(chmod(path.c_str(), mode), 0) << path;
}

// Whether `path` is the root of a file system of its own.
bool is_mount_point(const std::string& path) {
  struct stat here, parent;
  return stat(path.c_str(), &here) == 0 && stat((path + "/..").c_str(), &parent) == 0 &&
         here.st_dev != parent.st_dev;
}

// Detaches what is mounted at each entry of `dir`, with what is mounted below.
void unmount_in(const std::string& dir) {
  std::error_code ignored;
  for (const auto& e : std::filesystem::directory_iterator(dir, ignored))
    umount2(e.path().c_str(), MNT_DETACH);
}

std::unique_ptr<site_context> new_site(const std::string& vdi) {
  auto site = std::make_unique<site_context>();
  site->uuid = kSite;
  site->cache_vdi = vdi;
  return site;
}

// A cache as a previous run might have left it: one vDisk directory with a
// chunk file, the prepopulation marker and a link to a file outside, links
// to a directory outside and to nowhere, the directory opened up to 0755.
void fill_cache(const std::string& dir) {
  ASSERT_EQ(mkdir((dir + kVdisk).c_str(), 0700), 0);
  write_text(dir + kVdisk + "/0", std::string(8192, 'c'));
  write_text(dir + kVdisk + "/prepop", "");
  ASSERT_EQ(symlink((sandbox_dir + "/outside/keep").c_str(), (dir + kVdisk + "/link").c_str()), 0);
  ASSERT_EQ(symlink((sandbox_dir + "/outside").c_str(), (dir + "/link-to-dir").c_str()), 0);
  ASSERT_EQ(symlink("/nowhere", (dir + "/dangling").c_str()), 0);
  ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
}

class CacheRootTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (geteuid() != 0) return;
    // Before any thread exists: unshare(CLONE_NEWNS) refuses a threaded process.
    sandbox_dir = tarn_test::sandbox_enter_self();
    if (sandbox_dir.empty()) return;
    for (const std::string verb : {"open", "close"}) {
      const std::string script = kScripts + "/" + verb + "-cache-vdi.sh";
      const std::string real = kScripts + "/real-" + verb + "-cache-vdi.sh";
      const std::string fake = kScripts + "/fake-" + verb + ".sh";
      if (rename(script.c_str(), real.c_str()) != 0) {
        ADD_FAILURE() << "cannot move " << script << " aside: " << g_strerror(errno);
        return sandbox_dir.clear();
      }
      write_text(script,
                 "#!/bin/bash\necho \"" + verb + " $*\" >> " + kCalls + "\n[ -x " + fake +
                     " ] && exec " + fake + " \"$@\"\nexec " + real + " \"$@\"\n",
                 0755);
    }
    g_mkdir_with_parents((sandbox_dir + "/outside").c_str(), 0755);
    write_text(sandbox_dir + "/outside/keep", "keep me");
    // Only this boot may trust a cache left running.
    write_text(sandbox_dir + "/boot_id", kBootId + "\n");
    mount((sandbox_dir + "/boot_id").c_str(), "/proc/sys/kernel/random/boot_id", nullptr, MS_BIND,
          nullptr);
  }
  void SetUp() override {
    TARN_REQUIRE_ROOT();
    ASSERT_FALSE(sandbox_dir.empty()) << "no sandbox";
    fresh();
  }
  void TearDown() override {
    if (sandbox_dir.empty()) return;
    unlink((kScripts + "/fake-open.sh").c_str());
    unlink((kScripts + "/fake-close.sh").c_str());
    unmount_in(kCacheRoot);
    unmount_in(sandbox_dir + "/mnt");
  }
  void fresh() {
    unlink(kCalls.c_str());
    logs.clear();
  }

  // Attaches the VDI's cache the way the daemon would find it already open.
  static std::string open_cache(const std::string& vdi, const std::string& size = "1G",
                                uint64_t inodes = 65536) {
    EXPECT_TRUE(tarn_test::sandbox_set_cache_fs(sandbox_dir, vdi, size, inodes));
    std::string out;
    EXPECT_EQ(tarn_test::run_shell(kScripts + "/real-open-cache-vdi.sh " + vdi, &out), 0);
    EXPECT_EQ(out, kCacheRoot + "/" + vdi + "\n");
    return kCacheRoot + "/" + vdi;
  }
  static std::string new_vdi() {
    std::unique_ptr<char, decltype(&g_free)> uuid(g_uuid_string_random(), g_free);
    return uuid.get();
  }
  static void fake_script(const std::string& verb, const std::string& body) {
    write_text(kScripts + "/fake-" + verb + ".sh", "#!/bin/bash\n" + body + "\n", 0755);
  }
  static std::string calls() { return read_text(kCalls); }
  // The VDI script calls since fresh(): an open, and a close where `closed`.
  static std::string opened(const std::string& vdi, bool closed = true) {
    return "open " + vdi + "\n" + (closed ? "close " + vdi + "\n" : "");
  }

  tarn_test::log_capture logs;
};

// A cache the daemon cannot vouch for is wiped in place and rebuilt: its
// config unusable, or its state not one of a clean shutdown or of a daemon
// crash in this boot (chunk data is written without fsync, so after a host
// crash a bitmap may declare data that never reached the disk). A wipe
// removes links, never what they point to. One usable cache is taken over
// as it is.
TEST_F(CacheRootTest, CachesAreTakenOverOnlyWhenUsableAndLeftCleanOrByACrashInThisBoot) {
  const std::string state = "[Main]\nstate=", running = state + "running\nbootId=" + kBootId + "\n";
  const std::string v3 = "[Main]\ncacheVersion=3\n", ok = config(20971520),
                    size = "chunkSizeInBytes";
  // {what, config.data ("" for none), state file ("" for none), warning, taken over}
  const std::tuple<const char*, std::string, std::string, std::string, bool> examples[] = {
      {"synced and marked clean", ok, state + "clean\nbootId=x\n", "", true},
      {"daemon crash in this boot", ok, running, "", true},
      {"host crash: another boot", ok, state + "running\nbootId=x\n", "", false},
      {"running without a boot id", ok, state + "running\n", "", false},
      {"no state file", ok, "", "", false},
      {"damaged state file", ok, "\x01\xff[Main\nstate", "", false},
      {"no config.data", "", "", "", false},
      {"not a key file", size + " 20971520\n", running, "", false},
      {"version 2", "[Main]\ncacheVersion=2\n" + size + "=20971520\n", running,
       "cacheVersion does not match 2!=3.", false},
      {"no version", "[Main]\n" + size + "=20971520\n", running, "cacheVersion not set.", false},
      {"no chunk size", v3, running, size + " not set.", false},
      {"chunk size not a number", v3 + size + "=ten\n", running, size + " not set.", false},
      {"chunk size 0", config(0), running, "is not a positive size", false},
      {"chunk size < 0", v3 + size + "=-2147483648\n", running, "is not a positive size", false},
      {"no whole bitmap bytes", config(10000000), running,
       size + " 10000000 is not a multiple of 4096.", false},
  };
  for (size_t i = 0; i < std::size(examples); i++) {
    const auto& [name, cfg, state_file, warning, taken_over] = examples[i];
    SCOPED_TRACE(name);
    fresh();
    // One new cache on a file system whose figures give another chunk size.
    const bool big = i == 6;
    const std::string vdi = new_vdi(),
                      dir = open_cache(vdi, big ? "6291456000" : "1G", big ? 1000 : 65536);
    fill_cache(dir);
    if (!cfg.empty()) write_text(dir + "/config.data", cfg);
    if (!state_file.empty()) write_text(dir + "/.cache-state", state_file);
    struct stat before, after, root;
    ASSERT_EQ(stat((dir + kVdisk + "/0").c_str(), &before), 0);

    auto site = new_site(vdi);
    ASSERT_EQ(cache_init(site.get()), 0);
    EXPECT_EQ(site->cache_path, dir);
    EXPECT_TRUE(warning.empty() || logs.contains(G_LOG_LEVEL_WARNING, warning));
    EXPECT_TRUE(i >= 6 || logs.contains("was not shut down cleanly") != taken_over);
    EXPECT_EQ(logs.contains("Site " + kSite + " - Wiping existing cache at " + dir), !taken_over);
    const uint64_t chunk_size = taken_over || big ? 20971520 : 10485760;
    EXPECT_EQ(site->chunk_size, chunk_size);
    EXPECT_EQ(read_text(dir + "/config.data"), config(chunk_size));
    EXPECT_EQ(exists(dir + "/link-to-dir") + exists(dir + "/dangling"), taken_over ? 2 : 0);
    EXPECT_EQ(read_text(sandbox_dir + "/outside/keep"), "keep me");
    // Taken over as it is; or wiped, the mount point emptied, not removed:
    // the cache stays on its VDI.
    EXPECT_EQ(exists(dir + kVdisk) + exists(dir + kVdisk + "/prepop"), taken_over ? 2 : 0);
    EXPECT_TRUE(!taken_over || (stat((dir + kVdisk + "/0").c_str(), &after) == 0 &&
                                after.st_ino == before.st_ino));
    ASSERT_EQ(stat(dir.c_str(), &root), 0);
    EXPECT_TRUE(taken_over || (is_mount_point(dir) && (root.st_mode & 07777) == 0700));
    EXPECT_EQ(logs.contains("Writing cache config to " + dir + "/config.data"), !taken_over);
    EXPECT_EQ(logs.contains(G_LOG_LEVEL_MESSAGE,
                            "Configuring cache chunk size as: " + std::to_string(chunk_size)),
              !taken_over);
    // While the run lasts, only this boot may trust the cache; a teardown
    // closes the VDI.
    EXPECT_EQ(read_text(dir + "/.cache-state"), running);
    EXPECT_EQ(cache_teardown(site.get()), 0);
    EXPECT_FALSE(is_mount_point(dir));
    EXPECT_EQ(calls(), opened(vdi));
  }
}

// What the open script prints, and how it ends: {output, result, cache path
// afterwards, warning}. The real script's answer may come with blanks around.
TEST_F(CacheRootTest, OpenAndCloseScriptsAreCheckedAndFailuresCloseWhatWasOpened) {
  const std::string vdi = new_vdi(), plain_file = sandbox_dir + "/plain-file";
  write_text(plain_file, "not a directory");
  ASSERT_TRUE(tarn_test::sandbox_set_cache_fs(sandbox_dir, vdi, "1G", 65536));
  fake_script("open", "printf '  \\t %s\\n' \"$(" + kScripts + "/real-open-cache-vdi.sh \"$1\")\"");
  auto site = new_site(vdi);
  ASSERT_EQ(cache_init(site.get()), 0);
  const std::string dir = kCacheRoot + "/" + vdi;
  EXPECT_EQ(site->cache_path, dir);
  EXPECT_EQ(read_text(dir + "/config.data"), config(10485760));
  const std::tuple<std::string, int, std::string, std::string> outcomes[] = {
      {"", 0, dir, ""},
      {"\\n \\t\\n", 0, dir, ""},
      {plain_file, -22, dir, "Can't access cache path "},
      {sandbox_dir + "/missing", -1, dir, "Can't stat cache path "},
      {sandbox_dir, 0, sandbox_dir, ""},
  };
  for (const auto& [output, result, cache_path, warning] : outcomes) {
    SCOPED_TRACE("output '" + output + "'");
    logs.clear();
    site->cache_path = dir;
    fake_script("open", "printf '" + output + "'");
    EXPECT_EQ(cache_open_or_close_vdi(site.get(), "open"), result);
    EXPECT_EQ(site->cache_path, cache_path);
    EXPECT_TRUE(warning.empty() || logs.contains(G_LOG_LEVEL_WARNING, warning));
  }
  // A close that prints a directory moves cache_path just as an open does; a
  // failed close is reported by its status.
  site->cache_path = dir;
  fake_script("close", "echo " + sandbox_dir);
  EXPECT_EQ(cache_teardown(site.get()), 0);
  EXPECT_EQ(site->cache_path, sandbox_dir);
  fake_script("close", "exit 2");
  EXPECT_EQ(cache_teardown(site.get()), 2 << 8);

  // A failed open, or one that prints no directory, runs no close; a cache
  // one page smaller than the least accepted is closed again.
  fresh();
  fake_script("open", "echo some output; echo some error >&2; exit 3");
  EXPECT_EQ(cache_init(site.get()), 3 << 8);
  EXPECT_TRUE(logs.contains(
      G_LOG_LEVEL_WARNING,
      "Site " + kSite + " - Spawned command to open cache vdi failed. cmd: sudo " + kScripts +
          "/open-cache-vdi.sh " + vdi + ", rc: 768, stdout: some output\n, stderr: some error\n"));
  EXPECT_EQ(calls(), opened(vdi, false));
  fresh();
  fake_script("open", "echo " + plain_file);
  EXPECT_EQ(cache_init(site.get()), -22);
  EXPECT_EQ(calls(), opened(vdi, false));
  TearDown();
  fresh();
  const std::string small = new_vdi();
  ASSERT_TRUE(tarn_test::sandbox_set_cache_fs(sandbox_dir, small, "996143104", 65536));
  site = new_site(small);
  EXPECT_EQ(cache_init(site.get()), -22);
  EXPECT_TRUE(logs.contains(G_LOG_LEVEL_WARNING,
                            "Rejecting cache with insufficient size 996143104<996147200"));
  EXPECT_EQ(calls(), opened(small));
  EXPECT_FALSE(is_mount_point(kCacheRoot + "/" + small));

  // A VDI name the command line cannot be split around fails before any
  // script runs; a site without a VDI runs none and fails at mkdir.
  fresh();
  auto odd = new_site("a'b");
  EXPECT_EQ(cache_init(odd.get()), -1);
  EXPECT_TRUE(logs.contains(G_LOG_LEVEL_WARNING, "Failed to spawn open cache vdi. reason: "));
  auto none = new_site("");
  EXPECT_EQ(cache_init(none.get()), -1);
  EXPECT_TRUE(logs.contains(G_LOG_LEVEL_WARNING, "Site " + kSite + " - cache_init mkdir: "));
  EXPECT_TRUE(none->cache_path.empty());
  EXPECT_EQ(cache_teardown(none.get()), 0);
  EXPECT_FALSE(exists(kCalls));
}

// A wipe never crosses into another mount inside the cache (directly in it
// or one level down); a cache path too long for its config is refused
// untouched, one character shorter still works.
TEST_F(CacheRootTest, WipeStaysOnTheCachesFileSystemAndLongPathsAreRefused) {
  for (const std::string& inner : std::vector<std::string>{"/nested", kVdisk + "/nested"}) {
    SCOPED_TRACE(inner);
    fresh();
    const std::string vdi = new_vdi(), dir = open_cache(vdi);
    fill_cache(dir);
    ASSERT_EQ(g_mkdir_with_parents((dir + inner).c_str(), 0755), 0);
    ASSERT_EQ(mount("tarn-test", (dir + inner).c_str(), "tmpfs", 0, "size=1m"), 0);
    write_text(dir + inner + "/survivor", "still here");
    auto site = new_site(vdi);
    EXPECT_EQ(cache_init(site.get()), -1);
    EXPECT_TRUE(logs.contains(G_LOG_LEVEL_WARNING, "Failed to wipe the cache"));
    EXPECT_EQ(read_text(dir + inner + "/survivor"), "still here");
    EXPECT_FALSE(exists(dir + kVdisk + "/0"));
    // The failed init closes the VDI (here refused: the inner mount keeps it busy).
    EXPECT_EQ(calls(), opened(vdi));
    umount2(dir.c_str(), MNT_DETACH);
  }
  const std::string base = sandbox_dir + "/mnt/";
  const size_t fits = CACHE_PATH_MAX - std::string("/config.data").size();
  ASSERT_LT(base.size(), fits);
  const std::string longest = base + std::string(fits - base.size(), 'a');
  const std::string too_long = base + std::string(fits + 1 - base.size(), 'b');
  fake_script("close", "exit 0");
  for (const auto& [d, result] : {std::pair{longest, 0}, {too_long, -22}}) {
    SCOPED_TRACE(d.size());
    fresh();
    ASSERT_EQ(g_mkdir_with_parents(d.c_str(), 0755), 0);
    ASSERT_EQ(mount("tarn-test", d.c_str(), "tmpfs", 0, "size=1g"), 0);
    write_text(d + "/keep", "untouched");
    fake_script("open", "echo " + d);
    auto site = new_site("v");
    EXPECT_EQ(cache_init(site.get()), result);
    EXPECT_EQ(logs.contains(G_LOG_LEVEL_WARNING, "is too long"), result != 0);
    EXPECT_EQ(read_text(d + "/config.data"), result == 0 ? config(10485760) : "");
    EXPECT_EQ(exists(d + "/keep"), result != 0);
    EXPECT_EQ(calls(), opened("v", result != 0));
  }
}

TEST(CacheChunkSize, FollowsTheFileSystemAndNeverWrapsPastInt32) {
  // The largest multiple of 10 MiB that a signed 32-bit config value holds.
  constexpr uint64_t MiB10 = 10485760, CAP = 204 * MiB10;
  // {bytes, inodes, chunk size}
  const uint64_t cases[][3] = {
      // 100 GiB with 6,553,600 inodes: candidate 54,612 is no multiple of 10 MiB.
      {107374182400ULL, 6553600, MiB10},
      // Divisor 600, quotient 10 MiB, candidate 20 MiB; the quotient
      // truncates. (Exactly 10 MiB a quotient: the take-over test's own cache.)
      {6291456599ULL, 1000, 2 * MiB10},
      {6291456600ULL, 1000, MiB10},
      // No divisor, a zero candidate (0.6 truncates), a divisor above the total.
      {6291456000ULL, 0, MiB10},
      {6291456000ULL, 1, MiB10},
      {0, 1000, MiB10},
      {996147200ULL, UINT64_MAX, MiB10},
      {996147200ULL, 2000000000ULL, MiB10},
      // Two inodes give divisor 1: the candidate is twice the total, not rounded.
      {MiB10 / 2 + 1, 2, MiB10},
      {3 * MiB10 / 2, 2, 3 * MiB10},
      {3 * MiB10 / 2 + 1, 2, MiB10},
      // 205 x 10 MiB would wrap negative, 4096 x 10 MiB become 0 in 32 bits;
      // doubled quotients of 2^64 and more are still judged as multiples.
      {102 * MiB10, 2, CAP},
      {205 * MiB10 / 2, 2, CAP},
      {2048 * MiB10, 2, CAP},
      {5ULL << 61, 2, CAP},
      {UINT64_MAX, 2, MiB10},
  };
  for (const auto& [bytes, inodes, expected] : cases)
    EXPECT_EQ(cache_chunk_size(bytes, inodes), expected) << bytes << " / " << inodes;
}

}  // namespace
