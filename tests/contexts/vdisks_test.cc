// vDisk contexts: reference counting by clients, the vDisk directory, the
// prepopulation predicate, and the lifetime of a vDisk a job still holds.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "contexts/proxy_context.h"
#include "support/log_capture.h"

namespace {

constexpr const char* KEY_A = "7-1-2-3-4-5-6-7-8";
constexpr const char* KEY_B = "8-1-2-3-4-5-6-7-8";

class Vdisks : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "tarn-vdisks-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    site.cache_path = pattern;
    site.context = &ctx;
    client_contexts_init(&ctx);
    vdisk_contexts_init(&ctx);
  }
  void TearDown() override {
    for (auto& cc : clients) vdisk_context_ref_dec_and_del(cc.get());
    client_contexts_destroy(&ctx);
    vdisk_contexts_destroy(&ctx);
    std::filesystem::remove_all(site.cache_path);
  }
  client_context* client(const char* key, bool reference = true) {
    clients.push_back(std::make_unique<client_context>());
    client_context* cc = clients.back().get();
    cc->site_context = &site;
    g_strlcpy(cc->vdisk_key, key, sizeof cc->vdisk_key);
    if (reference) vdisk_context_ref_inc(cc);
    return cc;
  }
  // The table's record for `key` of the site (or null) and its reference count.
  std::pair<vdisk_context*, uint32_t> entry(const char* key) {
    std::lock_guard<std::mutex> hold(ctx.vdisk_lock);
    auto found = ctx.vdisk_context_ht->find(vdisk_table_key(site.uuid, key));
    if (found == ctx.vdisk_context_ht->end()) return {nullptr, 0};
    return {found->second.get(), found->second->ref_count};
  }

  proxy_context ctx;
  site_context site;
  std::vector<std::unique_ptr<client_context>> clients;
  tarn_test::log_capture logs;
};

TEST_F(Vdisks, ReferencesDirectoriesAndPrepopState) {
  ASSERT_EQ(mkdir((site.cache_path + "/" + KEY_B).c_str(), 0700), 0);
  logs.clear();
  client_context* a = client(KEY_A);
  client_context* b = client(KEY_A);
  client_context* c = client(KEY_B);  // its directory exists already: no warning
  EXPECT_FALSE(logs.contains("Failed creating dir"));
  auto [vc, refs] = entry(KEY_A);
  ASSERT_NE(vc, nullptr);
  EXPECT_EQ(refs, 2u);
  EXPECT_EQ(vc->path, site.cache_path + "/" + KEY_A);
  struct stat st;
  ASSERT_EQ(stat(vc->path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  ASSERT_EQ(vdisk_contexts_get(&ctx, b), vc);
  EXPECT_FALSE(vdisk_should_prepop(vc));  // size unknown
  vc->size = 1 << 20;
  vc->end_offset = vc->size + 512;
  vc->prepop_progress = 512;
  EXPECT_TRUE(vdisk_should_prepop(vc));
  vc->prepop_in_progress = 1;
  EXPECT_FALSE(vdisk_should_prepop(vc));
  vc->prepop_in_progress = 0;
  vc->prepop_progress = vc->end_offset;
  EXPECT_FALSE(vdisk_should_prepop(vc));
  vdisk_contexts_put(&ctx, vc);

  // No key, a disabled cache, a key that leaves the cache directory: no
  // vDisk and no count. Dropping a reference never taken changes nothing.
  EXPECT_EQ(vdisk_contexts_get(&ctx, client("")), nullptr);
  client_context* off = client(KEY_A, false);
  off->read_cache_disabled = 1;
  vdisk_context_ref_inc(off);
  EXPECT_EQ(vdisk_contexts_get(&ctx, off), nullptr);
  EXPECT_EQ(vdisk_contexts_get(&ctx, client("../escape")), nullptr);
  vdisk_context_ref_dec_and_del(client(KEY_A, false));
  vdisk_context_ref_dec_and_del(off);
  EXPECT_EQ(entry(KEY_A).second, 2u);
  EXPECT_FALSE(std::filesystem::exists(site.cache_path + "/../escape"));

  // The last reference frees the vDisk and leaves its directory; a client
  // whose cache was disabled after it took its reference still drops it.
  vdisk_context_ref_dec_and_del(a);
  EXPECT_EQ(entry(KEY_A).second, 1u);
  b->read_cache_disabled = 1;
  vdisk_context_ref_dec_and_del(b);
  EXPECT_EQ(entry(KEY_A).first, nullptr);
  EXPECT_TRUE(std::filesystem::is_directory(site.cache_path + "/" + KEY_A));

  // A directory that cannot be made is reported; the vDisk still counts.
  site.cache_path += "/missing";
  client_context* d = client("9-9-9-9-9-9-9-9-9");
  EXPECT_TRUE(logs.contains(G_LOG_LEVEL_WARNING,
                            "Failed creating dir " + site.cache_path + "/9-9-9-9-9-9-9-9-9 2"));
  EXPECT_EQ(entry(d->vdisk_key).second, 1u);
  site.cache_path.resize(site.cache_path.size() - 8);
  EXPECT_EQ(entry(c->vdisk_key).second, 1u);
}

// A prepopulation job waits on the vDisk's condition (its lock released)
// while the last client goes: the vDisk stays, a new client of the key finds
// it with its progress, and it goes when the job ends. Held across shutdown,
// the record stays valid for the job.
TEST_F(Vdisks, HeldVdiskOutlivesItsLastClient) {
  client_context* a = client(KEY_A);
  std::shared_ptr<vdisk_context> job = vdisk_context_hold(&ctx, a);
  ASSERT_NE(job, nullptr);
  std::atomic<bool> waiting{false};
  bool done = false;
  std::thread worker([&] {
    std::unique_lock<std::mutex> hold(job->lock);
    job->prepop_progress = 4096;
    waiting = true;
    job->cond.wait_for(hold, std::chrono::seconds(20), [&] { return done; });
    job->prepop_progress = 8192;
  });
  for (int i = 0; i < 2000 && !waiting; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  vdisk_context_ref_dec_and_del(a);
  EXPECT_EQ(entry(KEY_A).first, job.get());
  client_context* b = client(KEY_A);
  vdisk_context* vc = vdisk_contexts_get(&ctx, b);
  ASSERT_EQ(vc, job.get());
  EXPECT_EQ(vc->prepop_progress, 4096u);
  done = true;
  vc->cond.notify_all();
  vdisk_contexts_put(&ctx, vc);
  worker.join();
  vdisk_context_release(&ctx, std::move(job));
  EXPECT_EQ(entry(KEY_A).second, 1u);
  vdisk_context_ref_dec_and_del(b);
  EXPECT_EQ(entry(KEY_A).first, nullptr);

  std::shared_ptr<vdisk_context> late = vdisk_context_hold(&ctx, client(KEY_B));
  ASSERT_NE(late, nullptr);
  for (auto& cc : clients) vdisk_context_ref_dec_and_del(cc.get());
  client_contexts_destroy(&ctx);
  vdisk_contexts_destroy(&ctx);
  late->prepop_progress = 1;  // ASan reports it if the record was freed
  vdisk_context_release(&ctx, std::move(late));
}

// A long holder of one vDisk's lock (a prepopulation round, a slow disk
// write) with another thread waiting for that vDisk: a third thread's vDisk
// is not held up meanwhile.
TEST_F(Vdisks, ALongHolderOfOneVdiskStallsNoOther) {
  client_context* a = client(KEY_A);
  client_context* b = client(KEY_B);
  vdisk_context* held = vdisk_contexts_get(&ctx, a);
  ASSERT_NE(held, nullptr);
  std::atomic<bool> released{false}, other_done{false};
  std::thread waiter([&] {
    vdisk_context* vc = vdisk_contexts_get(&ctx, a);
    EXPECT_TRUE(released);
    vdisk_contexts_put(&ctx, vc);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the waiter is blocked by now
  std::thread other([&] {
    vdisk_context* vc = vdisk_contexts_get(&ctx, b);
    vdisk_contexts_put(&ctx, vc);
    other_done = true;
  });
  for (int i = 0; i < 100 && !other_done; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(other_done) << "another vDisk waited for the holder of this one";
  released = true;
  vdisk_contexts_put(&ctx, held);
  waiter.join();
  other.join();
}

}  // namespace
