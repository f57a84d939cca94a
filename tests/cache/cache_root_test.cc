// The cache directory on real tmpfs mounts made by the real cache VDI scripts,
// inside a private mount namespace. The scripts are wrapped so that every call
// is recorded, and a test may put a fake open or close script in their place.
#include <glib.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "cache/cache.h"
#include "contexts/sites.h"
#include "support/log_capture.h"
#include "support/sandbox.h"

namespace {

const std::string kScripts = "/opt/vextal/tarnproxy";
const std::string kCacheRoot = kScripts + "/caches";
const std::string kCalls = kScripts + "/calls.log";
constexpr const char* kSiteUuid = "5d3a0e52-9f4b-4c1e-8a57-0c6f1e2b7d90";
constexpr uint64_t k10MiB = 10485760;

std::string sandbox_dir;  // T: outside every cache mount

std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void write_text(const std::string& path, const std::string& text, mode_t mode = 0644) {
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    ASSERT_TRUE(out.good()) << path;
  }
  ASSERT_EQ(chmod(path.c_str(), mode), 0) << path;
}

bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// Mount points as this namespace sees them (no test path holds a blank).
std::vector<std::string> mount_points() {
  std::vector<std::string> points;
  std::ifstream in("/proc/self/mountinfo");
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string id, parent, devno, root, point;
    fields >> id >> parent >> devno >> root >> point;
    points.push_back(point);
  }
  return points;
}

bool is_mount_point(const std::string& path) {
  auto points = mount_points();
  return std::find(points.begin(), points.end(), path) != points.end();
}

// Deepest first, so nested mounts come off before those holding them.
void unmount_below(const std::string& prefix) {
  std::vector<std::string> doomed;
  for (const auto& p : mount_points()) {
    if (p == prefix || p.rfind(prefix + "/", 0) == 0) doomed.push_back(p);
  }
  std::sort(doomed.begin(), doomed.end(),
            [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
  for (const auto& p : doomed) {
    if (umount2(p.c_str(), 0) != 0) umount2(p.c_str(), MNT_DETACH);
  }
}

void mount_tmpfs(const std::string& dir, const std::string& options) {
  ASSERT_EQ(g_mkdir_with_parents(dir.c_str(), 0755), 0) << dir;
  ASSERT_EQ(mount("tarn-test", dir.c_str(), "tmpfs", 0, options.c_str()), 0)
      << dir << ": " << g_strerror(errno);
}

std::string new_vdi() {
  std::unique_ptr<char, decltype(&g_free)> uuid(g_uuid_string_random(), g_free);
  return uuid.get();
}

std::unique_ptr<site_context> new_site(const std::string& vdi) {
  auto site = std::make_unique<site_context>();
  site->uuid = kSiteUuid;
  site->cache_vdi = vdi;
  return site;
}

struct key_file_deleter {
  void operator()(GKeyFile* k) const { g_key_file_unref(k); }
};

// The two integers of a cache's config.data; -1 where one cannot be read.
struct stored_config {
  int version = -1;
  int chunk_size = -1;
};

stored_config read_stored_config(const std::string& dir) {
  stored_config c;
  std::unique_ptr<GKeyFile, key_file_deleter> kf(g_key_file_new());
  std::string path = dir + "/config.data";
  if (!g_key_file_load_from_file(kf.get(), path.c_str(), G_KEY_FILE_NONE, nullptr)) return c;
  GError* error = nullptr;
  int v = g_key_file_get_integer(kf.get(), "Main", "cacheVersion", &error);
  if (error == nullptr) c.version = v;
  g_clear_error(&error);
  v = g_key_file_get_integer(kf.get(), "Main", "chunkSizeInBytes", &error);
  if (error == nullptr) c.chunk_size = v;
  g_clear_error(&error);
  return c;
}

// A cache as a previous run might have left it: one vDisk directory with a
// chunk file and the prepopulation marker, the directory opened up to 0755.
void fill_cache(const std::string& dir) {
  ASSERT_EQ(mkdir((dir + "/1-2-3-4-5-6-7-8-9").c_str(), 0700), 0);
  write_text(dir + "/1-2-3-4-5-6-7-8-9/0", std::string(8192, 'c'));
  write_text(dir + "/1-2-3-4-5-6-7-8-9/prepop", "");
  ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
}

class CacheRootTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (geteuid() != 0) return;
    // Before any thread exists: unshare(CLONE_NEWNS) refuses a threaded process.
    sandbox_dir = tarn_test::sandbox_enter_self();
    if (sandbox_dir.empty()) return;
    for (const char* verb : {"open", "close"}) {
      std::string script = kScripts + "/" + verb + "-cache-vdi.sh";
      std::string real = kScripts + "/real-" + verb + "-cache-vdi.sh";
      std::string fake = kScripts + "/fake-" + verb + ".sh";
      if (rename(script.c_str(), real.c_str()) != 0) {
        ADD_FAILURE() << "cannot move " << script << " aside: " << g_strerror(errno);
        sandbox_dir.clear();
        return;
      }
      write_text(script,
                 std::string("#!/bin/bash\n") + "echo \"" + verb + " $*\" >> " + kCalls + "\n" +
                     "[ -x " + fake + " ] && exec " + fake + " \"$@\"\n" + "exec " + real +
                     " \"$@\"\n",
                 0755);
    }
  }

  void SetUp() override {
    TARN_REQUIRE_ROOT();
    ASSERT_FALSE(sandbox_dir.empty()) << "no sandbox";
    unlink(kCalls.c_str());
    logs_.clear();
  }

  void TearDown() override {
    if (sandbox_dir.empty()) return;
    unlink((kScripts + "/fake-open.sh").c_str());
    unlink((kScripts + "/fake-close.sh").c_str());
    unmount_below(kCacheRoot);
    unmount_below(sandbox_dir + "/mnt");
  }

  // Attaches the VDI's cache the way the daemon would find it already open.
  static std::string open_cache(const std::string& vdi, const std::string& size = "1G",
                                uint64_t inodes = 65536) {
    EXPECT_TRUE(tarn_test::sandbox_set_cache_fs(sandbox_dir, vdi, size, inodes));
    std::string script = kScripts + "/real-open-cache-vdi.sh";
    const char* argv[] = {script.c_str(), vdi.c_str(), nullptr};
    char* out = nullptr;
    int status = -1;
    EXPECT_TRUE(g_spawn_sync(nullptr, const_cast<char**>(argv), nullptr, G_SPAWN_DEFAULT, nullptr,
                             nullptr, &out, nullptr, &status, nullptr));
    EXPECT_EQ(status, 0);
    std::string dir = out != nullptr ? g_strstrip(out) : "";
    g_free(out);
    EXPECT_EQ(dir, kCacheRoot + "/" + vdi);
    return dir;
  }

  static void fake_script(const std::string& verb, const std::string& body) {
    write_text(kScripts + "/fake-" + verb + ".sh", "#!/bin/bash\n" + body + "\n", 0755);
  }

  static std::vector<std::string> calls() {
    std::vector<std::string> lines;
    std::istringstream in(read_text(kCalls));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  tarn_test::log_capture logs_;
};

using strings = std::vector<std::string>;

TEST_F(CacheRootTest, UnusableCacheIsWipedAndRebuiltInPlace) {
  struct variant {
    const char* name;
    const char* config;   // null: no config.data at all
    const char* warning;  // what read_config reports, if anything
  };
  const variant variants[] = {
      {"no config.data", nullptr, nullptr},
      {"not a key file", "chunkSizeInBytes 20971520\n", nullptr},
      {"version 2", "[Main]\ncacheVersion=2\nchunkSizeInBytes=20971520\n",
       "cacheVersion does not match 2!=3."},
      {"no version", "[Main]\nchunkSizeInBytes=20971520\n", "cacheVersion not set."},
      {"no chunk size", "[Main]\ncacheVersion=3\n", "chunkSizeInBytes not set."},
      {"chunk size not a number", "[Main]\ncacheVersion=3\nchunkSizeInBytes=ten\n",
       "chunkSizeInBytes not set."},
      {"chunk size 0", "[Main]\ncacheVersion=3\nchunkSizeInBytes=0\n", "is not a positive size"},
      {"negative chunk size", "[Main]\ncacheVersion=3\nchunkSizeInBytes=-2147483648\n",
       "is not a positive size"},
      {"chunk size not whole bitmap bytes", "[Main]\ncacheVersion=3\nchunkSizeInBytes=10000000\n",
       "chunkSizeInBytes 10000000 is not a multiple of 4096."},
  };
  for (const auto& v : variants) {
    SCOPED_TRACE(v.name);
    logs_.clear();
    unlink(kCalls.c_str());
    std::string vdi = new_vdi();
    std::string dir = open_cache(vdi);
    fill_cache(dir);
    if (v.config != nullptr) write_text(dir + "/config.data", v.config);

    auto site = new_site(vdi);
    ASSERT_EQ(cache_init(site.get()), 0);
    EXPECT_EQ(site->cache_path, dir);
    if (v.warning != nullptr) {
      EXPECT_TRUE(logs_.contains(G_LOG_LEVEL_WARNING, v.warning));
    }
    EXPECT_TRUE(
        logs_.contains("Site " + std::string(kSiteUuid) + " - Wiping existing cache at " + dir));
    EXPECT_FALSE(exists(dir + "/1-2-3-4-5-6-7-8-9"));
    // The mount point is emptied, not removed: the cache stays on its VDI.
    EXPECT_TRUE(is_mount_point(dir));
    struct stat st;
    ASSERT_EQ(stat(dir.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    stored_config c = read_stored_config(dir);
    EXPECT_EQ(c.version, 3);
    EXPECT_EQ(c.chunk_size, static_cast<int>(k10MiB));
    EXPECT_EQ(site->chunk_size, k10MiB);
    EXPECT_EQ(site->block_size, 4096u);
    EXPECT_EQ(calls(), strings{"open " + vdi});

    EXPECT_EQ(cache_teardown(site.get()), 0);
    EXPECT_FALSE(is_mount_point(dir));
    EXPECT_EQ(calls(), (strings{"open " + vdi, "close " + vdi}));
  }
}

TEST_F(CacheRootTest, ValidCacheIsReusedWithItsChunkFiles) {
  std::string vdi = new_vdi();
  // This file system's own figures would give 10 MiB.
  std::string dir = open_cache(vdi);
  fill_cache(dir);
  const std::string config = "[Main]\ncacheVersion=3\nchunkSizeInBytes=20971520\n";
  write_text(dir + "/config.data", config);
  write_text(dir + "/.cache-state", "[Main]\nstate=clean\n");
  struct stat chunk_before, config_before;
  ASSERT_EQ(stat((dir + "/1-2-3-4-5-6-7-8-9/0").c_str(), &chunk_before), 0);
  ASSERT_EQ(stat((dir + "/config.data").c_str(), &config_before), 0);

  auto site = new_site(vdi);
  ASSERT_EQ(cache_init(site.get()), 0);
  EXPECT_EQ(site->chunk_size, 20971520u);
  EXPECT_EQ(site->block_size, 4096u);
  EXPECT_FALSE(logs_.contains("Wiping existing cache"));
  EXPECT_EQ(read_text(dir + "/config.data"), config);
  EXPECT_EQ(read_text(dir + "/1-2-3-4-5-6-7-8-9/0"), std::string(8192, 'c'));
  EXPECT_TRUE(exists(dir + "/1-2-3-4-5-6-7-8-9/prepop"));
  struct stat chunk_after, config_after;
  ASSERT_EQ(stat((dir + "/1-2-3-4-5-6-7-8-9/0").c_str(), &chunk_after), 0);
  ASSERT_EQ(stat((dir + "/config.data").c_str(), &config_after), 0);
  EXPECT_EQ(chunk_after.st_ino, chunk_before.st_ino);
  EXPECT_EQ(config_after.st_ino, config_before.st_ino);
  EXPECT_EQ(calls(), strings{"open " + vdi});
}

// Chunk data is written without fsync: only a cache that its last run synced
// and marked clean, or that a daemon crash left in this same boot, may be
// taken over; after a host crash its bitmaps may declare data that never
// reached the disk.
TEST_F(CacheRootTest, OnlyACacheLeftCleanOrByACrashInThisBootIsTakenOver) {
  const std::string boot_id = "0b0b0b0b-1111-4222-8333-444455556666";
  const std::string boot_file = sandbox_dir + "/boot_id";
  write_text(boot_file, boot_id + "\n");
  ASSERT_EQ(mount(boot_file.c_str(), "/proc/sys/kernel/random/boot_id", nullptr, MS_BIND, nullptr),
            0)
      << g_strerror(errno);
  struct example {
    const char* name;
    const char* state;  // nullptr: no state file
    bool taken_over;
  };
  const std::string running_here = "[Main]\nstate=running\nbootId=" + boot_id + "\n";
  const example examples[] = {
      {"synced and marked clean", "[Main]\nstate=clean\nbootId=earlier\n", true},
      {"daemon crash in this boot", running_here.c_str(), true},
      {"host crash: running in another boot", "[Main]\nstate=running\nbootId=earlier\n", false},
      {"running without a boot id", "[Main]\nstate=running\n", false},
      {"no state file", nullptr, false},
      {"damaged state file", "\x01\xff[Main\nstate", false},
  };
  // The real close would unmount the cache, state file and all.
  fake_script("close", "exit 0");
  for (const auto& e : examples) {
    SCOPED_TRACE(e.name);
    std::string vdi = new_vdi();
    std::string dir = open_cache(vdi);
    fill_cache(dir);
    write_text(dir + "/config.data", "[Main]\ncacheVersion=3\nchunkSizeInBytes=20971520\n");
    if (e.state != nullptr) write_text(dir + "/.cache-state", e.state);
    logs_.clear();

    auto site = new_site(vdi);
    ASSERT_EQ(cache_init(site.get()), 0);
    EXPECT_EQ(exists(dir + "/1-2-3-4-5-6-7-8-9/0"), e.taken_over);
    EXPECT_EQ(logs_.contains("was not shut down cleanly"), !e.taken_over);
    EXPECT_EQ(site->chunk_size, e.taken_over ? 20971520u : k10MiB);
    // While the run lasts, only this boot may trust the cache.
    EXPECT_EQ(read_text(dir + "/.cache-state"), running_here);
    EXPECT_EQ(cache_teardown(site.get()), 0);
    EXPECT_EQ(read_text(dir + "/.cache-state"), "[Main]\nstate=clean\nbootId=" + boot_id + "\n");
    unmount_below(kCacheRoot);
  }
  EXPECT_EQ(umount2("/proc/sys/kernel/random/boot_id", 0), 0);
}

TEST_F(CacheRootTest, ChunkSizeOfANewCacheFollowsTheFileSystem) {
  struct example {
    const char* size;
    uint64_t inodes;
    uint64_t chunk_size;
  };
  // tmpfs costs no memory until written, so the size can exceed the host's RAM.
  const example examples[] = {
      {"107374182400", 6553600, 10485760},  // candidate 54,612
      {"6291456000", 1000, 20971520},       // divisor 600, quotient 10 MiB
  };
  for (const auto& e : examples) {
    SCOPED_TRACE(e.size);
    logs_.clear();
    std::string vdi = new_vdi();
    ASSERT_TRUE(tarn_test::sandbox_set_cache_fs(sandbox_dir, vdi, e.size, e.inodes));
    auto site = new_site(vdi);
    ASSERT_EQ(cache_init(site.get()), 0);
    EXPECT_EQ(site->chunk_size, e.chunk_size);
    EXPECT_EQ(read_stored_config(site->cache_path).chunk_size, static_cast<int>(e.chunk_size));
    EXPECT_TRUE(logs_.contains(G_LOG_LEVEL_MESSAGE,
                               "Configuring cache chunk size as: " + std::to_string(e.chunk_size)));
    EXPECT_TRUE(logs_.contains("Writing cache config to " + site->cache_path + "/config.data"));
    EXPECT_EQ(cache_teardown(site.get()), 0);
  }
}

TEST_F(CacheRootTest, SmallestCacheIsAcceptedAndOnePageLessRefused) {
  std::string vdi = new_vdi();
  ASSERT_TRUE(tarn_test::sandbox_set_cache_fs(sandbox_dir, vdi, "996147200", 65536));
  auto site = new_site(vdi);
  EXPECT_EQ(cache_init(site.get()), 0);
  EXPECT_TRUE(is_mount_point(site->cache_path));
  EXPECT_EQ(cache_teardown(site.get()), 0);

  logs_.clear();
  unlink(kCalls.c_str());
  vdi = new_vdi();
  ASSERT_TRUE(tarn_test::sandbox_set_cache_fs(sandbox_dir, vdi, "996143104", 65536));
  site = new_site(vdi);
  EXPECT_EQ(cache_init(site.get()), -22);
  EXPECT_TRUE(logs_.contains(G_LOG_LEVEL_WARNING,
                             "Rejecting cache with insufficient size 996143104<996147200"));
  // The refused cache's VDI is closed again.
  EXPECT_EQ(calls(), (strings{"open " + vdi, "close " + vdi}));
  EXPECT_FALSE(is_mount_point(kCacheRoot + "/" + vdi));
}

TEST_F(CacheRootTest, OpenScriptOutputIsTrimmedAndChecked) {
  std::string vdi = new_vdi();
  ASSERT_TRUE(tarn_test::sandbox_set_cache_fs(sandbox_dir, vdi, "1G", 65536));
  // The real script's answer, with blanks before and a newline after.
  fake_script("open", "printf '  \\t %s\\n' \"$(" + kScripts + "/real-open-cache-vdi.sh \"$1\")\"");
  auto site = new_site(vdi);
  ASSERT_EQ(cache_init(site.get()), 0);
  EXPECT_EQ(site->cache_path, kCacheRoot + "/" + vdi);
  EXPECT_EQ(read_stored_config(site->cache_path).version, 3);

  std::string plain_file = sandbox_dir + "/plain-file";
  write_text(plain_file, "not a directory");
  struct outcome {
    std::string output;  // what the open script prints
    int result;
    std::string cache_path;  // afterwards
    const char* warning;
  };
  const std::string previous = site->cache_path;
  const outcome outcomes[] = {
      {"", 0, previous, nullptr},
      {"\\n \\t\\n", 0, previous, nullptr},
      {plain_file, -22, previous, "Can't access cache path "},
      {sandbox_dir + "/missing", -1, previous, "Can't stat cache path "},
  };
  for (const auto& o : outcomes) {
    SCOPED_TRACE("output '" + o.output + "'");
    logs_.clear();
    site->cache_path = previous;
    fake_script("open", "printf '" + o.output + "'");
    EXPECT_EQ(cache_open_or_close_vdi(site.get(), "open"), o.result);
    EXPECT_EQ(site->cache_path, o.cache_path);
    if (o.warning != nullptr) {
      EXPECT_TRUE(logs_.contains(G_LOG_LEVEL_WARNING, o.warning));
    }
  }

  // A close that prints a directory moves cache_path just as an open does.
  site->cache_path = previous;
  fake_script("close", "echo " + sandbox_dir);
  EXPECT_EQ(cache_teardown(site.get()), 0);
  EXPECT_EQ(site->cache_path, sandbox_dir);
}

TEST_F(CacheRootTest, FailedOpenReturnsItsStatusAndRunsNoClose) {
  std::string vdi = new_vdi();
  std::string plain_file = sandbox_dir + "/plain-file";
  write_text(plain_file, "not a directory");

  fake_script("open", "echo some output; echo some error >&2; exit 3");
  auto site = new_site(vdi);
  EXPECT_EQ(cache_init(site.get()), 3 << 8);  // the raw wait status
  EXPECT_TRUE(logs_.contains(G_LOG_LEVEL_WARNING,
                             "Site " + std::string(kSiteUuid) +
                                 " - Spawned command to open cache vdi failed. cmd: sudo " +
                                 kScripts + "/open-cache-vdi.sh " + vdi +
                                 ", rc: 768, stdout: some output\n, stderr: some error\n"));
  EXPECT_EQ(calls(), strings{"open " + vdi});

  unlink(kCalls.c_str());
  fake_script("open", "echo " + plain_file);
  EXPECT_EQ(cache_init(site.get()), -22);
  EXPECT_EQ(calls(), strings{"open " + vdi});

  // A VDI name that the command line cannot be split around fails before any
  // script runs; the failure is never mistaken for success.
  unlink(kCalls.c_str());
  logs_.clear();
  auto odd = new_site("a'b");
  EXPECT_EQ(cache_init(odd.get()), -1);
  EXPECT_TRUE(logs_.contains(G_LOG_LEVEL_WARNING, "Failed to spawn open cache vdi. reason: "));
  EXPECT_FALSE(exists(kCalls));

  // A failed close is reported by its status.
  fake_script("close", "exit 2");
  EXPECT_EQ(cache_teardown(site.get()), 2 << 8);
}

TEST_F(CacheRootTest, SiteWithoutVdiRunsNoScriptAndFailsAtMkdir) {
  auto site = new_site("");
  EXPECT_EQ(cache_init(site.get()), -1);
  EXPECT_TRUE(logs_.contains(G_LOG_LEVEL_WARNING,
                             "Site " + std::string(kSiteUuid) + " - cache_init mkdir: "));
  EXPECT_TRUE(site->cache_path.empty());
  EXPECT_EQ(cache_teardown(site.get()), 0);
  EXPECT_FALSE(exists(kCalls));
}

TEST_F(CacheRootTest, WipeRemovesLinksButNotWhatTheyPointTo) {
  std::string outside = sandbox_dir + "/outside";
  ASSERT_EQ(g_mkdir_with_parents(outside.c_str(), 0755), 0);
  write_text(outside + "/keep", "keep me");
  write_text(sandbox_dir + "/outside-file", "keep me too");

  std::string vdi = new_vdi();
  std::string dir = open_cache(vdi);
  fill_cache(dir);
  ASSERT_EQ(symlink(outside.c_str(), (dir + "/link-to-dir").c_str()), 0);
  ASSERT_EQ(symlink((sandbox_dir + "/outside-file").c_str(),
                    (dir + "/1-2-3-4-5-6-7-8-9/link-to-file").c_str()),
            0);
  ASSERT_EQ(symlink("/nowhere", (dir + "/dangling").c_str()), 0);

  auto site = new_site(vdi);
  ASSERT_EQ(cache_init(site.get()), 0);
  EXPECT_FALSE(exists(dir + "/link-to-dir"));
  EXPECT_FALSE(exists(dir + "/dangling"));
  EXPECT_FALSE(exists(dir + "/1-2-3-4-5-6-7-8-9"));
  EXPECT_EQ(read_text(outside + "/keep"), "keep me");
  EXPECT_EQ(read_text(sandbox_dir + "/outside-file"), "keep me too");
}

TEST_F(CacheRootTest, WipeDoesNotCrossAMountInsideTheCache) {
  // Directly in the cache directory, and one level further down.
  for (const char* inner : {"/nested", "/1-2-3-4-5-6-7-8-9/nested"}) {
    SCOPED_TRACE(inner);
    logs_.clear();
    unlink(kCalls.c_str());
    std::string vdi = new_vdi();
    std::string dir = open_cache(vdi);
    fill_cache(dir);
    mount_tmpfs(dir + inner, "size=1m");
    write_text(dir + inner + "/survivor", "still here");

    auto site = new_site(vdi);
    EXPECT_EQ(cache_init(site.get()), -1);
    EXPECT_TRUE(logs_.contains(G_LOG_LEVEL_WARNING, "Failed to wipe the cache"));
    EXPECT_EQ(read_text(dir + inner + "/survivor"), "still here");
    EXPECT_FALSE(exists(dir + "/1-2-3-4-5-6-7-8-9/0"));
    // The failed init closes the VDI (here refused: the inner mount keeps it busy).
    EXPECT_EQ(calls(), (strings{"open " + vdi, "close " + vdi}));
    unmount_below(dir);
  }
}

TEST_F(CacheRootTest, CachePathTooLongForConfigIsRefusedUntouched) {
  // "<dir>/config.data" of exactly 254 characters is still usable; one more is not.
  std::string base = sandbox_dir + "/mnt/";
  size_t fits = CACHE_PATH_MAX - std::string("/config.data").size();
  ASSERT_LT(base.size(), fits);
  std::string longest = base + std::string(fits - base.size(), 'a');
  std::string too_long = base + std::string(fits + 1 - base.size(), 'b');
  mount_tmpfs(longest, "size=1g");
  mount_tmpfs(too_long, "size=1g");
  write_text(too_long + "/keep", "untouched");

  std::string vdi = new_vdi();
  auto site = new_site(vdi);
  fake_script("open", "echo " + longest);
  fake_script("close", "exit 0");
  ASSERT_EQ(cache_init(site.get()), 0);
  EXPECT_EQ(read_stored_config(longest).version, 3);

  unlink(kCalls.c_str());
  site = new_site(vdi);
  fake_script("open", "echo " + too_long);
  EXPECT_EQ(cache_init(site.get()), -22);
  EXPECT_TRUE(logs_.contains(G_LOG_LEVEL_WARNING, "is too long"));
  EXPECT_EQ(read_text(too_long + "/keep"), "untouched");
  EXPECT_FALSE(exists(too_long + "/config.data"));
  EXPECT_EQ(calls(), (strings{"open " + vdi, "close " + vdi}));
}

}  // namespace
