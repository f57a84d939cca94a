// The registry: sites, servers, clients, the MIO table, vDisks and the holds
// prepopulation jobs take, with stand-in sites (no cache VDI, so no script
// runs) and stand-in interface threads (real threads and eventfds, no sockets).
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "cache/bootset.h"
#include "cache/chunks.h"
#include "contexts/proxy_context.h"
#include "control/lifecycle.h"
#include "net/interface_thread.h"
#include "support/log_capture.h"
#include "support/metrics_files.h"

namespace {

using namespace std::chrono_literals;

std::atomic<int> running{0};

int ready_thread(tlt_context* tlt) {
  running++;
  signal_thread_ready(tlt);
  pollfd p{tlt->efd, POLLIN, 0};
  poll(&p, 1, 30000);  // bounded; only the stop value is ever written here
  running--;
  return 0;
}

constexpr uint8_t MAC_A[6] = {2, 0, 0, 0, 1, 1}, MAC_B[6] = {2, 0, 0, 0, 1, 2},
                  MAC_C[6] = {2, 0, 0, 0, 1, 3};
const std::string UUID_A = "7c1d2e3f-0000-4000-8000-00000000000a",
                  UUID_B = "7c1d2e3f-0000-4000-8000-00000000000b",
                  UUID_C = "7c1d2e3f-0000-4000-8000-00000000000c";

class Registry : public ::testing::Test {
 protected:
  void SetUp() override {
    running = 0;
    hooks = {ready_thread, ready_thread, 10000};
    interface_thread_set_hooks(&hooks);
    ctx.listener_threads = 2;
    interface_thread_init(&ctx);
    site_contexts_init(&ctx), server_contexts_init(&ctx);
    client_contexts_init(&ctx), vdisk_contexts_init(&ctx);
    dir = (std::filesystem::temp_directory_path() / "tarn-registry-XXXXXX").string();
    ASSERT_NE(mkdtemp(dir.data()), nullptr);
    for (int i = 0; i < 2; i++) {
      auto site = std::make_shared<site_context>();
      site->uuid = "5e1a0000-0000-4000-8000-00000000000" + std::to_string(i);
      site->cache_path = dir, site->context = &ctx, sites[i] = site.get();
      ctx.site_context_ht->emplace(site->uuid, std::move(site));
    }
    logs.clear();
  }
  void TearDown() override {
    for (auto& cc : records) vdisk_context_ref_dec_and_del(cc.get(), *cc->session.lock());
    client_contexts_destroy(&ctx);
    EXPECT_EQ(running, 0);
    vdisk_contexts_destroy(&ctx), server_contexts_destroy(&ctx), site_contexts_destroy(&ctx);
    std::filesystem::remove_all(dir);
    interface_thread_destroy(&ctx);
    interface_thread_set_hooks(nullptr);
  }
  client_context* create(int site, const std::string& uuid, const uint8_t* mac,
                         const char* interface, bool prepopulate = false) {
    return client_contexts_create(&ctx, sites[site], uuid.c_str(), mac, interface, prepopulate);
  }
  template <typename Table, typename Key>
  static auto get(Table& table, const Key& key) -> decltype(table.begin()->second.get()) {
    auto found = table.find(key);
    return found == table.end() ? nullptr : found->second.get();
  }
  client_context* find(const uint8_t* mac) {
    return get(*ctx.client_context_ht, client_mac_key(mac));
  }
  // A plain record of site 0 naming `key`, linked unless told otherwise.
  client_context* record(const char* key, bool link = true) {
    records.push_back(std::make_unique<client_context>());
    client_context* cc = records.back().get();
    cc->site_context = sites[0];
    g_strlcpy(cc->session.lock()->vdisk_key, key, CLIENT_VDISK_KEY_SIZE);
    if (link) vdisk_context_ref_inc(cc, *cc->session.lock());
    return cc;
  }
  // The table's record of `key` in site 0, or null.
  vdisk_context* vdisk(const std::string& key) {
    std::lock_guard<std::mutex> hold(ctx.vdisk_lock);
    return get(*ctx.vdisk_context_ht, vdisk_table_key(sites[0]->uuid, key));
  }
  interface_thread* group(const std::string& name) { return get(*ctx.interface_thread_ht, name); }
  // "1" or "0" per {site, address}: whether the site's servers have it.
  std::string lookups(std::initializer_list<std::pair<int, const char*>> queries) {
    std::string r;
    for (auto [site, ip] : queries)
      r += site_context_contains_server_ip(&ctx, sites[site], ip ? inet_addr(ip) : 0) ? '1' : '0';
    return r;
  }

  proxy_context ctx;
  interface_thread_hooks hooks;
  std::string dir;
  site_context* sites[2] = {};
  std::vector<std::unique_ptr<client_context>> records;
  tarn_test::log_capture logs;
};

TEST_F(Registry, SitesServersAndLookups) {
  // (An existing site found again: site_commands_root_test.cc.)
  const std::string s0 = sites[0]->uuid;
  bool created = true;
  EXPECT_EQ(
      site_contexts_create(&ctx, s0.c_str(), "aaaaaaaa-1111-4000-8000-000000000001", &created),
      nullptr);
  EXPECT_TRUE(
      logs.contains(G_LOG_LEVEL_WARNING, "Unsupported - Can't switch the cache_vdi online."));
  EXPECT_EQ(site_contexts_create(&ctx, nullptr, "", nullptr), nullptr);
  EXPECT_TRUE(logs.contains(G_LOG_LEVEL_CRITICAL, "uuid != NULL && cache_vdi != NULL"));

  site_context *a = sites[0], *b = sites[1];
  const uint32_t three[] = {inet_addr("198.18.0.20"), inet_addr("198.18.0.21"),
                            inet_addr("198.18.0.22")};
  server_context* s1 = server_contexts_create(&ctx, a, UUID_A.c_str(), three, 3, 6910, 6890);
  ASSERT_NE(s1, nullptr);
  const uint32_t b_addr[] = {inet_addr("198.18.1.20")};
  ASSERT_NE(server_contexts_create(&ctx, b, UUID_B.c_str(), b_addr, 1, 6910, 6890), nullptr);
  EXPECT_EQ(server_contexts_create(&ctx, a, UUID_C.c_str(), b_addr, 0, 6910, 6890), nullptr);
  EXPECT_EQ(lookups({{0, "198.18.0.22"}, {0, "198.18.1.20"}}), "10");  // B's only
  // Fewer addresses update the record in place: no stale address, zero
  // slots never match 0; another site naming it does not take it over.
  const uint32_t one[] = {inet_addr("198.18.0.30")};
  EXPECT_EQ(server_contexts_create(&ctx, a, UUID_A.c_str(), one, 1, 7000, 6000), s1);
  EXPECT_EQ(server_contexts_create(&ctx, b, UUID_A.c_str(), one, 1, 7000, 6000), s1);
  EXPECT_EQ(s1->site_context, a);
  EXPECT_EQ(lookups({{0, "198.18.0.21"}, {0, nullptr}, {0, "198.18.0.30"}, {1, "198.18.0.30"}}),
            "0010");

  // Lookups from packet threads while servers come and go.
  std::atomic<bool> done{false};
  std::atomic<int> wrong{0};
  std::thread reader([&] {
    while (!done) wrong += lookups({{0, "198.18.0.30"}, {0, "198.18.1.99"}}) != "10";
  });
  for (int j = 0; j < 2000; j++) {
    std::string uuid = "22222222-3333-4000-8000-" + std::to_string(100000000000 + j % 7);
    const uint32_t addrs[] = {htonl(0xC6120200u + static_cast<uint32_t>(j % 50)),
                              inet_addr("198.18.1.99")};
    server_contexts_create(&ctx, b, uuid.c_str(), addrs, 1 + j % 2, 6910, 6890);
    if (j % 3 == 0) server_contexts_remove(&ctx, uuid.c_str());
  }
  done = true;
  reader.join();
  EXPECT_EQ(wrong, 0);

  // A site goes with its own servers and clients only.
  ASSERT_NE(create(0, UUID_A, MAC_A, "eth1"), nullptr);
  ASSERT_NE(create(1, UUID_B, MAC_B, "eth2"), nullptr);
  site_contexts_remove(&ctx, s0.c_str());
  site_contexts_remove(&ctx, "00000000-0000-4000-8000-00000000dead");  // unknown: ignored
  EXPECT_EQ(ctx.site_context_ht->size(), 1u);
  EXPECT_EQ(ctx.server_context_ht->count(UUID_A) + 2 * ctx.server_context_ht->count(UUID_B), 2u);
  EXPECT_TRUE(!find(MAC_A) && find(MAC_B));
  server_contexts_remove(&ctx, UUID_B.c_str());
  server_contexts_remove(&ctx, UUID_B.c_str());  // unknown now: silent
  EXPECT_EQ(lookups({{1, "198.18.1.20"}}), "0");
}

TEST_F(Registry, CreateRecreateClashAndFanoutIds) {
  ctx.next_fanout_group_id = 65535;
  client_context* a = create(0, UUID_A, MAC_A, "eth1");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(find(MAC_A), a);
  client_context_update_status(a, CLIENTSTATUS_INITIALISED);  // no change: not logged
  EXPECT_EQ(logs.count("Client " + UUID_A +
                       " - Changed status from CLIENTSTATUS_STOPPED to CLIENTSTATUS_INITIALISED"),
            1u);
  EXPECT_EQ(running, 2);

  // Re-creation changes only `prepopulate`; the rest is warned about.
  interface_thread* threads = group("eth1");
  EXPECT_EQ(create(1, UUID_A, MAC_B, "eth9", true), a);
  for (const char* what : {" interface", " mac", "'s site"})
    EXPECT_TRUE(logs.contains(G_LOG_LEVEL_WARNING,
                              std::string("Can't change client") + what + " at run time"));
  EXPECT_TRUE(a->prepopulate == 1 && a->site_context == sites[0] && !find(MAC_B));
  EXPECT_EQ(create(0, UUID_A, MAC_A, "eth1", false), a);
  EXPECT_EQ(a->prepopulate, 0);

  // Replacing A under its MAC would free it under its running threads; on
  // A's interface B's threads cannot start; a thread's own EAGAIN is a
  // failure, not a clash of fanout ids.
  logs.clear();
  EXPECT_EQ(create(0, UUID_B, MAC_A, "eth2"), nullptr);
  EXPECT_TRUE(logs.contains(
      G_LOG_LEVEL_WARNING,
      "Client " + UUID_B + " - Can't add a client whose mac is already used by client " + UUID_A));
  EXPECT_EQ(create(0, UUID_B, MAC_B, "eth1"), nullptr);
  EXPECT_TRUE(logs.contains("Tried to add a client to an existing interface thread"));
  hooks.listener = [](tlt_context* tlt) { return signal_thread_error(tlt, EAGAIN), 0; };
  EXPECT_EQ(create(0, UUID_C, MAC_C, "eth3"), nullptr);
  EXPECT_EQ(ctx.next_fanout_group_id, 2);
  EXPECT_FALSE(logs.contains("Trying the next fanout group id..."));
  EXPECT_FALSE(logs.contains("Client " + UUID_B + " - Changed status"));
  EXPECT_EQ(ctx.client_context_ht->size(), 1u);
  EXPECT_EQ(group("eth1"), threads);

  // Ids in use are skipped, across the wrap.
  hooks.listener = ready_thread;
  ASSERT_NE(create(0, UUID_B, MAC_B, "eth2"), nullptr);
  ctx.next_fanout_group_id = 65535;
  logs.clear();
  ASSERT_NE(create(1, UUID_C, MAC_C, "eth3"), nullptr);
  EXPECT_EQ(std::vector<int>({group("eth1")->fanout_group_id, group("eth2")->fanout_group_id,
                              group("eth3")->fanout_group_id}),
            std::vector<int>({65535, 2, 0}));
  EXPECT_EQ(logs.count("Trying the next fanout group id..."), 1u);
  EXPECT_TRUE(logs.contains(G_LOG_LEVEL_INFO, "This fanout group id is already in use: 65535"));

  // Removal by site stops exactly that site's clients.
  logs.clear();
  client_contexts_remove_by_site_context(&ctx, sites[0]);
  EXPECT_EQ(running, 2);
  EXPECT_EQ(ctx.client_context_ht->size(), 1u);
  EXPECT_TRUE(ctx.interface_thread_ht->size() == 1 && group("eth3"));
  EXPECT_EQ(logs.count(" - stopping prepop"), 2u);
  EXPECT_EQ(logs.count("Client " + UUID_C), 0u);
  client_contexts_remove_by_uuid(&ctx, UUID_A.c_str());  // gone already: nothing happens
  ASSERT_NE(create(0, UUID_A, MAC_A, "eth1"), nullptr);  // its interface is free again
  client_contexts_remove_by_uuid(&ctx, UUID_C.c_str());
  EXPECT_EQ(find(MAC_C), nullptr);
  EXPECT_EQ(running, 2);
  client_contexts_destroy(&ctx);
  EXPECT_EQ(running, 0);
  EXPECT_EQ(create(0, UUID_A, MAC_A, "eth1"), nullptr);  // after shutdown
}

TEST_F(Registry, MioTableAndPrepopThreadIds) {
  client_context cc;
  // {length, packet size, outstanding mask}: 0 when the read cannot be
  // tracked (more than 32 pieces, no room for data), which also drops the
  // record it was to replace.
  const uint64_t rows[][3] = {{1000, 1000, 0b11},
                              {944 * 3 + 1, 1000, 0b1111},
                              {944 * 32, 1000, ~0u},
                              {944 * 32 + 1, 1000, 0},
                              {100, 56, 0}};
  for (const auto& row : rows) {
    client_mio_fragment_add(&cc, 7, 10, 1000);
    mio_fragment* f = client_mio_fragment_add(&cc, 7, row[0], static_cast<uint32_t>(row[1]));
    EXPECT_EQ(f == nullptr ? 0 : f->outstanding.load(), row[2]) << row[0];
    EXPECT_EQ(client_mio_fragment_get(&cc, 7), f);
  }
  client_mio_fragment_add(&cc, 3, 10, 1000);
  client_mio_fragment_add(&cc, 130, 10, 1000);  // prepopulation's own: never expired
  client_mio_fragments_expire(&cc, 1);
  EXPECT_EQ(client_mio_fragment_get(&cc, 3), nullptr);
  EXPECT_EQ(client_mio_frament_count(&cc), 1u);
  // A finished read's record serves the next read, with nothing of the old
  // one left but its data bytes.
  mio_fragment* done = client_mio_fragment_add(&cc, 9, 2000, 1000);
  done->request_id = 5, done->offset = 512, done->length = 2000, done->deadline = 9;
  client_mio_fragment_recycle(&cc, client_mio_fragment_take(&cc, 9));
  mio_fragment* next = client_mio_fragment_add(&cc, 10, 100, 1000);
  EXPECT_EQ(next, done);
  EXPECT_EQ(std::make_tuple(next->count, next->outstanding.load(), next->request_id, next->offset,
                            next->length, next->deadline),
            std::make_tuple(1u, 1u, 0u, uint64_t{0}, uint64_t{0}, int64_t{0}));
  client_mio_fragment_del(&cc, 10);

  // 130 is in use; after 255 the ids wrap to 128.
  std::vector<int> ids;
  for (int i = 0; i < 2; i++) ids.push_back(client_prepop_thread_id(&cc));
  cc.next_prepop_thread_id = 254;
  for (int i = 0; i < 2; i++) ids.push_back(client_prepop_thread_id(&cc));
  EXPECT_EQ(ids, std::vector<int>({129, 131, 255, 128}));
  for (int id = 128; id < 256; id++) client_mio_fragment_add(&cc, static_cast<uint8_t>(id), 1, 99);
  EXPECT_EQ(client_prepop_thread_id(&cc), 0);  // all in use: no endless search
}

constexpr const char* KEY_A = "7-1-2-3-4-5-6-7-8";
constexpr const char* KEY_B = "8-1-2-3-4-5-6-7-8";

TEST_F(Registry, VdiskReferencesDirectoriesAndPrepopState) {
  ASSERT_EQ(mkdir((dir + "/" + KEY_B).c_str(), 0700), 0);
  client_context* a = record(KEY_A);
  client_context* b = record(KEY_A);
  client_context* kb = record(KEY_B);  // its directory exists already: no warning
  EXPECT_FALSE(logs.contains("Failed creating dir"));
  vdisk_context* vc = vdisk(KEY_A);
  ASSERT_NE(vc, nullptr);
  EXPECT_EQ(vc->ref_count, 2u);
  struct stat st;
  ASSERT_EQ(stat((dir + "/" + KEY_A).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & (S_IFMT | 07777), S_IFDIR | 0700u);

  // {size, progress, in progress}: prepopulate only what is known, unfinished
  // and not already running.
  const uint64_t rows[][4] = {
      {0, 0, 0, 0}, {4096, 512, 0, 1}, {4096, 512, 1, 0}, {4096, 4608, 0, 0}};
  for (const auto& row : rows) {
    auto state = vc->state.lock();
    *state = {row[0], row[0] == 0 ? 0 : row[0] + 512, row[1], static_cast<uint32_t>(row[2])};
    EXPECT_EQ(vdisk_should_prepop(*state), row[3] != 0) << row[0] << " " << row[1];
  }

  // A long holder of one vDisk's lock (a prepopulation round, a slow disk
  // write), with another thread waiting for it, holds up no other vDisk.
  {
    auto held = vc->state.lock();
    std::atomic<bool> released{false}, other_done{false};
    std::thread waiter([&] {
      vdisk_context* w = vdisk_contexts_get(&ctx, a, *a->session.lock_shared());
      EXPECT_TRUE(w->state.lock() && released);
      vdisk_contexts_put(&ctx, w);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the waiter waits by now
    std::thread other([&] {
      vdisk_context* o = vdisk_contexts_get(&ctx, kb, *kb->session.lock_shared());
      EXPECT_TRUE(o->state.lock());
      vdisk_contexts_put(&ctx, o);
      other_done = true;
    });
    EXPECT_TRUE(tarn_test::eventually([&] { return other_done.load(); }, 1s))
        << "another vDisk waited for the holder of this one";
    released = true;
    held.holder().unlock();
    waiter.join();
    other.join();
  }

  // No key, a disabled cache, a key that leaves the cache directory: no
  // vDisk and no count. Dropping a reference never taken changes nothing.
  client_context* none = record("");
  EXPECT_EQ(vdisk_contexts_get(&ctx, none, *none->session.lock_shared()), nullptr);
  client_context* off = record(KEY_A, false);
  off->session.lock()->read_cache_disabled = 1;
  vdisk_context_ref_inc(off, *off->session.lock());
  EXPECT_EQ(vdisk_contexts_get(&ctx, off, *off->session.lock_shared()), nullptr);
  client_context* escape = record("../escape");
  EXPECT_EQ(vdisk_contexts_get(&ctx, escape, *escape->session.lock_shared()), nullptr);
  EXPECT_FALSE(std::filesystem::exists(dir + "/../escape"));
  client_context* unlinked = record(KEY_A, false);
  vdisk_context_ref_dec_and_del(unlinked, *unlinked->session.lock());
  vdisk_context_ref_dec_and_del(off, *off->session.lock());
  EXPECT_EQ(vc->ref_count, 2u);

  // The last reference frees the vDisk and leaves its directory; a client
  // whose cache was disabled after it took its reference still drops it.
  vdisk_context_ref_dec_and_del(a, *a->session.lock());
  b->session.lock()->read_cache_disabled = 1;
  vdisk_context_ref_dec_and_del(b, *b->session.lock());
  EXPECT_EQ(vdisk(KEY_A), nullptr);
  EXPECT_TRUE(std::filesystem::is_directory(dir + "/" + KEY_A));

  // A directory that cannot be made is reported; the vDisk still counts.
  sites[0]->cache_path += "/missing";
  record("9-9-9-9-9-9-9-9-9");
  EXPECT_TRUE(logs.contains(G_LOG_LEVEL_WARNING,
                            "Failed creating dir " + dir + "/missing/9-9-9-9-9-9-9-9-9 2"));
  sites[0]->cache_path = dir;
  EXPECT_EQ(vdisk("9-9-9-9-9-9-9-9-9")->ref_count, 1u);
}

// A prepopulation job holds the vDisk while the last client goes: the vDisk
// stays, a new client of the key finds it with its progress, and it goes
// when the job ends. Held across shutdown, the record stays valid for the
// job.
TEST_F(Registry, HeldVdiskOutlivesItsLastClient) {
  client_context* a = record(KEY_A);
  std::shared_ptr<vdisk_context> job = vdisk_context_hold(&ctx, a, *a->session.lock_shared());
  ASSERT_NE(job, nullptr);
  job->state.lock()->prepop_progress = 4096;
  vdisk_context_ref_dec_and_del(a, *a->session.lock());
  EXPECT_EQ(vdisk(KEY_A), job.get());
  client_context* again = record(KEY_A);
  vdisk_context* vc = vdisk_contexts_get(&ctx, again, *again->session.lock_shared());
  ASSERT_EQ(vc, job.get());
  EXPECT_EQ(vc->state.lock()->prepop_progress, 4096u);
  vdisk_contexts_put(&ctx, vc);
  vdisk_context_release(&ctx, std::move(job));
  EXPECT_EQ(vdisk(KEY_A)->ref_count, 1u);

  client_context* b = record(KEY_B);
  std::shared_ptr<vdisk_context> late = vdisk_context_hold(&ctx, b, *b->session.lock_shared());
  ASSERT_NE(late, nullptr);
  for (auto& cc : records) vdisk_context_ref_dec_and_del(cc.get(), *cc->session.lock());
  client_contexts_destroy(&ctx);
  vdisk_contexts_destroy(&ctx);
  late->state.lock()->prepop_progress = 1;  // ASan reports it if the record was freed
  vdisk_context_release(&ctx, std::move(late));
}

TEST_F(Registry, VdiskKeyMovesTheReference) {
  client_context* a = create(0, UUID_A, MAC_A, "eth1");
  ASSERT_NE(a, nullptr);
  client_context_set_vdisk_key(a, *a->session.lock(), "1-2-3-4-5-6-7-8-9");
  vdisk_context* first = vdisk("1-2-3-4-5-6-7-8-9");
  ASSERT_NE(first, nullptr);
  first->state.lock()->prepop_progress = 4096;
  // Reads are learnt for five minutes from the login that named the key.
  const int64_t login = a->session.lock_shared()->login_seen_us;
  EXPECT_GT(login, 0);
  vdisk_boot_note(*a->session.lock_shared(), 4096, 512, login + BOOT_SET_WINDOW_US);
  vdisk_boot_note(*a->session.lock_shared(), 0, 512, login + BOOT_SET_WINDOW_US + 1);
  EXPECT_EQ(first->boot.lock()->ranges, (std::vector<boot_range>{{4096, 512}}));
  // The same key again (a new login) keeps the vDisk and what is known of it.
  client_context_set_vdisk_key(a, *a->session.lock(), "1-2-3-4-5-6-7-8-9");
  EXPECT_EQ(vdisk("1-2-3-4-5-6-7-8-9"), first);
  EXPECT_EQ(first->ref_count, 1u);
  EXPECT_EQ(first->state.lock()->prepop_progress, 4096u);
  client_context_set_vdisk_key(a, *a->session.lock(), "2-2-3-4-5-6-7-8-9");
  EXPECT_TRUE(!vdisk("1-2-3-4-5-6-7-8-9") && vdisk("2-2-3-4-5-6-7-8-9"));
  // Unwritten, the first vDisk's set is kept aside and comes back with its
  // key; once written it is read back from its file by a new record.
  const std::string file = dir + "/1-2-3-4-5-6-7-8-9/bootset";
  record("1-2-3-4-5-6-7-8-9");
  EXPECT_EQ(vdisk("1-2-3-4-5-6-7-8-9"), first);
  vdisk_context_ref_dec_and_del(records.back().get(), *records.back()->session.lock());
  EXPECT_FALSE(std::filesystem::exists(file));
  boot_sets_flush(&ctx, nullptr);
  EXPECT_TRUE(std::filesystem::exists(file));
  EXPECT_TRUE(ctx.vdisk_retired.empty());
  record("1-2-3-4-5-6-7-8-9");
  EXPECT_EQ(boot_set_ranges(vdisk("1-2-3-4-5-6-7-8-9")), (std::vector<boot_range>{{4096, 512}}));
  client_contexts_remove_by_uuid(&ctx, UUID_A.c_str());
  EXPECT_EQ(vdisk("2-2-3-4-5-6-7-8-9"), nullptr);

  client_context cc;
  client_context_set_vdisk_key(&cc, *cc.session.lock(), std::string(80, '7').c_str());
  EXPECT_EQ(std::string(cc.session.lock_shared()->vdisk_key), std::string(63, '7'));
}

// A boot set keeps ranges in the order first read: {reads} -> {ranges},
// bytes covered.
TEST(BootSet, OrderMergeDedupeAndBound) {
  using ranges = std::vector<boot_range>;
  const struct {
    const char* what;
    ranges reads, expected;
    uint64_t bytes;
  } rows[] = {
      {"first-read order", {{8192, 512}, {0, 512}}, {{8192, 512}, {0, 512}}, 1024},
      {"adjacent to the last: merged", {{0, 512}, {512, 1024}}, {{0, 1536}}, 1536},
      {"overlapping the last, before it", {{1024, 1024}, {512, 1024}}, {{512, 1536}}, 1536},
      {"covered by an earlier range",
       {{0, 4096}, {8192, 512}, {1024, 512}},
       {{0, 4096}, {8192, 512}},
       4608},
      {"adjacent to an earlier one only",
       {{0, 512}, {8192, 512}, {512, 512}},
       {{0, 512}, {8192, 512}, {512, 512}},
       1536},
      {"partly covered: counted once",
       {{0, 1024}, {8192, 512}, {512, 1024}},
       {{0, 1024}, {8192, 512}, {512, 1024}},
       2048},
      {"empty and wrapping reads", {{100, 0}, {UINT64_MAX, 2}}, {}, 0},
  };
  for (const auto& row : rows) {
    boot_set set;
    for (const boot_range& r : row.reads) boot_set_record(set, r.offset, r.length);
    EXPECT_EQ(set.ranges, row.expected) << row.what;
    EXPECT_EQ(set.bytes, row.bytes) << row.what;
  }
  // Full: no new range, but the last one still grows.
  boot_set full;
  for (uint64_t i = 0; i < BOOT_SET_MAX_RANGES; i++) boot_set_record(full, i * 1024, 512);
  EXPECT_FALSE(boot_set_record(full, 1ull << 40, 512));
  EXPECT_TRUE(boot_set_record(full, (BOOT_SET_MAX_RANGES - 1) * 1024 + 512, 512));
  EXPECT_FALSE(boot_set_record(full, 0, 512));
  EXPECT_EQ(full.ranges.size(), BOOT_SET_MAX_RANGES);
  EXPECT_EQ(full.ranges.back().length, 1024u);
  EXPECT_EQ(full.bytes, BOOT_SET_MAX_RANGES * 512 + 512);
}

TEST_F(Registry, APrepopulationJobKeepsItsClientAlive) {
  // A job that ends soon after prepopulate is cleared: removal waits for it.
  client_context* a = create(0, UUID_A, MAC_A, "eth1", true);
  ASSERT_NE(a, nullptr);
  const int first = a->xmitfd.get();
  EXPECT_EQ(first >= 0, geteuid() == 0);  // a raw socket: only root may open one
  ASSERT_TRUE(client_context_hold(a));
  std::atomic<bool> released{false};
  std::thread job([&] {
    for (int i = 0; i < 500 && a->prepopulate.load() != 0; i++) std::this_thread::sleep_for(10ms);
    std::this_thread::sleep_for(100ms);    // the rest of its round
    EXPECT_FALSE(client_context_hold(a));  // no new job for a client being stopped
    released = true;
    client_context_release(a);
  });
  client_contexts_remove_by_uuid(&ctx, UUID_A.c_str());
  EXPECT_TRUE(released);
  job.join();
  EXPECT_TRUE(first < 0 || fcntl(first, F_GETFD) == -1);  // closed with the client

  // A job that outlives the wait: the client leaves the table with its
  // threads stopped, stays valid (socket included) and goes with the
  // release; the sanitizers see a use after free or a leak otherwise.
  a = create(0, UUID_A, MAC_A, "eth1", true);
  ASSERT_NE(a, nullptr);
  const int socket = a->xmitfd.get();
  ASSERT_TRUE(client_context_hold(a));
  client_contexts_remove_by_uuid(&ctx, UUID_A.c_str());
  EXPECT_TRUE(logs.contains(G_LOG_LEVEL_WARNING,
                            "Client " + UUID_A +
                                " - 1 prepopulation jobs still hold the client; it is freed when "
                                "they end"));
  EXPECT_TRUE(!find(MAC_A) && running == 0 && a->xmitfd.get() == socket);
  std::thread([a] { client_context_release(a); }).join();
}

}  // namespace
