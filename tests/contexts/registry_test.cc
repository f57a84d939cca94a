// Client contexts: creation, re-creation and removal (with stand-in interface
// threads: real threads and eventfds, no sockets), status changes, the MIO
// table, prepopulation thread ids and a prepopulation job's hold.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/eventfd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "contexts/proxy_context.h"
#include "support/log_capture.h"

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

int fails_eagain(tlt_context* tlt) {
  signal_thread_error(tlt, EAGAIN);
  return 0;
}

constexpr uint8_t MAC_A[6] = {0x02, 0x00, 0x00, 0x00, 0x01, 0x01};
constexpr uint8_t MAC_B[6] = {0x02, 0x00, 0x00, 0x00, 0x01, 0x02};
constexpr uint8_t MAC_C[6] = {0x02, 0x00, 0x00, 0x00, 0x01, 0x03};
const std::string UUID_A = "7c1d2e3f-0000-4000-8000-00000000000a";
const std::string UUID_B = "7c1d2e3f-0000-4000-8000-00000000000b";
const std::string UUID_C = "7c1d2e3f-0000-4000-8000-00000000000c";

class Clients : public ::testing::Test {
 protected:
  void SetUp() override {
    running = 0;
    hooks = {ready_thread, ready_thread, 10000};
    interface_thread_set_hooks(&hooks);
    ctx.listener_threads = 2;
    interface_thread_init(&ctx);
    site_contexts_init(&ctx);
    client_contexts_init(&ctx);
    vdisk_contexts_init(&ctx);
    std::string dir = (std::filesystem::temp_directory_path() / "tarn-clients-XXXXXX").string();
    ASSERT_NE(mkdtemp(dir.data()), nullptr);
    for (int i = 0; i < 2; i++) {
      auto site = std::make_shared<site_context>();
      site->uuid = "5e1a0000-0000-4000-8000-00000000000" + std::to_string(i);
      site->cache_path = dir;
      site->context = &ctx;
      sites[i] = site.get();
      ctx.site_context_ht->emplace(site->uuid, std::move(site));
    }
    logs.clear();
  }
  void TearDown() override {
    client_contexts_destroy(&ctx);
    EXPECT_EQ(running, 0);
    vdisk_contexts_destroy(&ctx);
    std::filesystem::remove_all(sites[0]->cache_path);
    ctx.site_context_ht.reset();  // no cache scripts ran for these sites
    interface_thread_destroy(&ctx);
    interface_thread_set_hooks(nullptr);
  }
  client_context* create(int site, const std::string& uuid, const uint8_t* mac,
                         const char* interface, bool prepopulate = false) {
    return client_contexts_create(&ctx, sites[site], uuid.c_str(), mac, interface, prepopulate);
  }
  client_context* find(const uint8_t* mac) {
    auto found = ctx.client_context_ht->find(client_mac_key(mac));
    return found == ctx.client_context_ht->end() ? nullptr : found->second.get();
  }
  interface_thread* group(const std::string& name) {
    auto found = ctx.interface_thread_ht->find(name);
    return found == ctx.interface_thread_ht->end() ? nullptr : found->second.get();
  }

  proxy_context ctx;
  interface_thread_hooks hooks;
  site_context* sites[2] = {};
  tarn_test::log_capture logs;
};

TEST_F(Clients, ReCreationOnlyUpdatesPrepopulateAndClashesAreRefused) {
  client_context* a = create(0, UUID_A, MAC_A, "eth1");
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(find(MAC_A), a);
  EXPECT_EQ(client_mac_key(MAC_A), 0x020000000101u);
  EXPECT_EQ(a->status, CLIENTSTATUS_INITIALISED);
  EXPECT_EQ(logs.count("Client " + UUID_A +
                       " - Changed status from CLIENTSTATUS_STOPPED to CLIENTSTATUS_INITIALISED"),
            1u);
  EXPECT_EQ(running, 2);

  logs.clear();
  EXPECT_EQ(create(0, UUID_A, MAC_A, "eth1"), a);
  EXPECT_TRUE(logs.lines().empty());

  interface_thread* threads = group("eth1");
  EXPECT_EQ(create(1, UUID_A, MAC_B, "eth9", true), a);
  EXPECT_TRUE(logs.contains(G_LOG_LEVEL_WARNING, "Can't change client interface at run time"));
  EXPECT_TRUE(logs.contains(G_LOG_LEVEL_WARNING, "Can't change client mac at run time"));
  EXPECT_TRUE(logs.contains(G_LOG_LEVEL_WARNING, "Can't change client's site at run time"));
  EXPECT_EQ(a->prepopulate, 1);
  EXPECT_EQ(a->interface, "eth1");
  EXPECT_EQ(a->site_context, sites[0]);
  EXPECT_EQ(find(MAC_B), nullptr);
  EXPECT_EQ(group("eth1"), threads);
  EXPECT_EQ(create(0, UUID_A, MAC_A, "eth1", false), a);
  EXPECT_EQ(a->prepopulate, 0);

  // Replacing A under its MAC would free it under its running threads.
  logs.clear();
  EXPECT_EQ(create(0, UUID_B, MAC_A, "eth2"), nullptr);
  EXPECT_TRUE(logs.contains(
      G_LOG_LEVEL_WARNING,
      "Client " + UUID_B + " - Can't add a client whose mac is already used by client " + UUID_A));
  // A's interface: its threads cannot start (-17) and B is released.
  EXPECT_EQ(create(0, UUID_B, MAC_B, "eth1"), nullptr);
  EXPECT_TRUE(logs.contains("Tried to add a client to an existing interface thread"));
  // A thread's own EAGAIN is a failure, not a clash of fanout ids.
  hooks.listener = fails_eagain;
  uint16_t next = ctx.next_fanout_group_id;
  EXPECT_EQ(create(0, UUID_C, MAC_C, "eth3"), nullptr);
  EXPECT_EQ(ctx.next_fanout_group_id, static_cast<uint16_t>(next + 1));
  EXPECT_FALSE(logs.contains("Trying the next fanout group id..."));

  EXPECT_FALSE(logs.contains("Client " + UUID_B + " - Changed status"));
  EXPECT_EQ(ctx.client_context_ht->size(), 1u);
  EXPECT_EQ(group("eth1"), threads);
  EXPECT_EQ(running, 2);
}

TEST_F(Clients, FanoutIdsInUseAreSkippedAcrossTheWrap) {
  ctx.next_fanout_group_id = 65535;
  ASSERT_NE(create(0, UUID_A, MAC_A, "eth1"), nullptr);
  ASSERT_NE(create(0, UUID_B, MAC_B, "eth2"), nullptr);
  EXPECT_EQ(group("eth1")->fanout_group_id, 65535);
  EXPECT_EQ(group("eth2")->fanout_group_id, 0);

  ctx.next_fanout_group_id = 65535;
  logs.clear();
  ASSERT_NE(create(1, UUID_C, MAC_C, "eth3"), nullptr);
  EXPECT_EQ(group("eth3")->fanout_group_id, 1);
  EXPECT_EQ(ctx.next_fanout_group_id, 2);
  EXPECT_EQ(logs.count("Trying the next fanout group id..."), 2u);
  EXPECT_TRUE(logs.contains(G_LOG_LEVEL_INFO, "This fanout group id is already in use: 65535"));
  EXPECT_TRUE(logs.contains(G_LOG_LEVEL_INFO, "This fanout group id is already in use: 0"));
}

TEST_F(Clients, RemovalStopsExactlyTheNamedClients) {
  ASSERT_NE(create(0, UUID_A, MAC_A, "eth1"), nullptr);
  ASSERT_NE(create(0, UUID_B, MAC_B, "eth2"), nullptr);
  client_context* c = create(1, UUID_C, MAC_C, "eth3");
  ASSERT_NE(c, nullptr);

  logs.clear();
  client_contexts_remove_by_site_context(&ctx, sites[0]);
  EXPECT_EQ(running, 2);
  EXPECT_EQ(ctx.client_context_ht->size(), 1u);
  EXPECT_EQ(find(MAC_C), c);
  EXPECT_NE(group("eth3"), nullptr);
  EXPECT_EQ(ctx.interface_thread_ht->size(), 1u);
  EXPECT_EQ(logs.count(" - stopping prepop"), 2u);
  EXPECT_EQ(logs.count("Client " + UUID_C), 0u);

  client_contexts_remove_by_uuid(&ctx, UUID_A.c_str());  // gone already: nothing happens
  EXPECT_EQ(running, 2);
  ASSERT_NE(create(0, UUID_A, MAC_A, "eth1"), nullptr);  // its interface is free again
  client_contexts_remove_by_uuid(&ctx, UUID_C.c_str());
  EXPECT_EQ(find(MAC_C), nullptr);
  EXPECT_EQ(running, 2);

  client_contexts_destroy(&ctx);
  EXPECT_EQ(running, 0);
  EXPECT_EQ(ctx.client_context_ht, nullptr);
  EXPECT_EQ(create(0, UUID_A, MAC_A, "eth1"), nullptr);  // after shutdown
}

TEST_F(Clients, StatusChangesAreLoggedOnce) {
  client_context cc;
  cc.uuid = UUID_A;
  client_context_update_status(&cc, CLIENTSTATUS_STOPPED);
  client_context_update_status(&cc, CLIENTSTATUS_CACHING);
  client_context_update_status(&cc, CLIENTSTATUS_CACHING);
  client_context_update_status(&cc, CLIENTSTATUS_INCOMPATIBLE_WRITE_CACHE_MODE);
  EXPECT_EQ(logs.lines().size(), 2u);
  const std::string c = "Client " + UUID_A + " - Changed status from ";
  EXPECT_TRUE(logs.contains(c + "CLIENTSTATUS_STOPPED to CLIENTSTATUS_CACHING"));
  EXPECT_TRUE(
      logs.contains(c + "CLIENTSTATUS_CACHING to CLIENTSTATUS_INCOMPATIBLE_WRITE_CACHE_MODE"));
}

// Without the fixture: the threadsafe style runs the test again in the child,
// and a fixture's set-up there would leave its temporary directory behind.
TEST(ClientsDeathTest, AnUndefinedStatusIsFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  client_context cc;
  cc.uuid = UUID_A;
  EXPECT_DEATH(client_context_update_status(&cc, 5), "UNDEFINED status_text 5");
}

TEST_F(Clients, MioFragmentsAndPrepopThreadIds) {
  client_context cc;
  mio_fragment* f = client_mio_fragment_add(&cc, 3, 1000, 1000);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->count, 2u);
  EXPECT_EQ(f->outstanding, 0b11u);
  EXPECT_EQ(client_mio_fragment_get(&cc, 3), f);
  ASSERT_NE(f = client_mio_fragment_add(&cc, 4, 944 * 3 + 1, 1000), nullptr);
  EXPECT_EQ(f->outstanding, 0b1111u);
  // 32 pieces fill the mask; 33 cannot be tracked, nor can anything before
  // the packet size is known, and the record they were to replace goes.
  ASSERT_NE(f = client_mio_fragment_add(&cc, 5, 944 * 32, 1000), nullptr);
  EXPECT_EQ(f->outstanding, 0xFFFFFFFFu);
  EXPECT_EQ(client_mio_fragment_add(&cc, 5, 944 * 32 + 1, 1000), nullptr);
  EXPECT_EQ(client_mio_fragment_add(&cc, 4, 100, 0), nullptr);
  EXPECT_EQ(client_mio_fragment_get(&cc, 5), nullptr);
  EXPECT_EQ(client_mio_frament_count(&cc), 1u);
  client_mio_fragment_del(&cc, 3);
  EXPECT_EQ(client_mio_frament_count(&cc), 0u);

  EXPECT_EQ(client_prepop_thread_id(&cc), 129);
  cc.next_prepop_thread_id = 254;
  client_mio_fragment_add(&cc, 128, 10, 1000);
  client_mio_fragment_add(&cc, 129, 10, 1000);
  EXPECT_EQ(client_prepop_thread_id(&cc), 255);
  EXPECT_EQ(client_prepop_thread_id(&cc), 130);  // wrapped past the ids in use
  for (int id = 130; id < 256; id++) client_mio_fragment_add(&cc, static_cast<uint8_t>(id), 1, 99);
  EXPECT_EQ(client_prepop_thread_id(&cc), 0);  // all in use: no endless search
}

TEST_F(Clients, VdiskKeyMovesTheReference) {
  client_context* a = create(0, UUID_A, MAC_A, "eth1");
  ASSERT_NE(a, nullptr);
  auto vdisk = [&, site = a->site_context->uuid](const char* key) -> vdisk_context* {
    auto found = ctx.vdisk_context_ht->find(vdisk_table_key(site, key));
    return found == ctx.vdisk_context_ht->end() ? nullptr : found->second.get();
  };
  client_context_set_vdisk_key(a, "1-2-3-4-5-6-7-8-9");
  vdisk_context* first = vdisk("1-2-3-4-5-6-7-8-9");
  ASSERT_NE(first, nullptr);
  first->prepop_progress = 4096;
  // The same key again (a new login) keeps the vDisk and what is known of it.
  client_context_set_vdisk_key(a, "1-2-3-4-5-6-7-8-9");
  EXPECT_EQ(vdisk("1-2-3-4-5-6-7-8-9"), first);
  EXPECT_EQ(first->ref_count, 1u);
  EXPECT_EQ(first->prepop_progress, 4096u);

  client_context_set_vdisk_key(a, "2-2-3-4-5-6-7-8-9");
  EXPECT_EQ(vdisk("1-2-3-4-5-6-7-8-9"), nullptr);
  ASSERT_NE(vdisk("2-2-3-4-5-6-7-8-9"), nullptr);
  client_contexts_remove_by_uuid(&ctx, UUID_A.c_str());
  EXPECT_EQ(vdisk("2-2-3-4-5-6-7-8-9"), nullptr);

  client_context cc;
  client_context_set_vdisk_key(&cc, std::string(80, '7').c_str());
  EXPECT_EQ(std::string(cc.vdisk_key), std::string(63, '7'));
}

TEST_F(Clients, APrepopulationJobKeepsItsClientAlive) {
  // A job that ends soon after prepopulate is cleared: removal waits for it.
  client_context* a = create(0, UUID_A, MAC_A, "eth1", true);
  ASSERT_NE(a, nullptr);
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

  // A job that outlives the wait: the client leaves the table with its
  // threads stopped, stays valid (socket included) and goes with the
  // release; the sanitizers see a use after free or a leak otherwise.
  a = create(0, UUID_A, MAC_A, "eth1", true);
  ASSERT_NE(a, nullptr);
  const int socket = a->xmitfd.get();
  ASSERT_TRUE(client_context_hold(a));
  auto start = std::chrono::steady_clock::now();
  client_contexts_remove_by_uuid(&ctx, UUID_A.c_str());
  EXPECT_GE(std::chrono::steady_clock::now() - start,
            std::chrono::milliseconds(CLIENT_HOLD_WAIT_MS));
  EXPECT_TRUE(logs.contains(G_LOG_LEVEL_WARNING,
                            "Client " + UUID_A +
                                " - 1 prepopulation jobs still hold the client; it is freed when "
                                "they end"));
  EXPECT_EQ(find(MAC_A), nullptr);
  EXPECT_EQ(running, 0);
  EXPECT_EQ(a->prepopulate, 0);
  EXPECT_EQ(a->xmitfd.get(), socket);
  std::thread([a] { client_context_release(a); }).join();
}

}  // namespace
