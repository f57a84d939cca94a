// Sites and servers on real cache file systems opened through the cache VDI
// scripts, in a private mount namespace.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "contexts/proxy_context.h"
#include "contexts/sites.h"
#include "support/log_capture.h"
#include "support/sandbox.h"

namespace {

const char* SITE_A = "aaaaaaaa-0000-4000-8000-000000000001";
const char* SITE_B = "bbbbbbbb-0000-4000-8000-000000000002";
const char* SITE_C = "cccccccc-0000-4000-8000-000000000003";
const char* VDI_A = "aaaaaaaa-1111-4000-8000-000000000001";
const char* VDI_B = "bbbbbbbb-1111-4000-8000-000000000002";
const char* VDI_C = "cccccccc-1111-4000-8000-000000000003";
const char* SRV_1 = "11111111-2222-4000-8000-000000000001";
const char* SRV_2 = "11111111-2222-4000-8000-000000000002";
const char* SRV_3 = "11111111-2222-4000-8000-000000000003";

uint32_t ip(const char* text) {
  in_addr a{};
  inet_pton(AF_INET, text, &a);
  return a.s_addr;
}

// Whether `path` is the root of a file system of its own.
bool is_mount_point(const std::string& path) {
  struct stat here {
  }, parent{};
  if (stat(path.c_str(), &here) != 0 || stat((path + "/..").c_str(), &parent) != 0) return false;
  return here.st_dev != parent.st_dev;
}

bool is_mounted_cache(const site_context* site) {
  return is_mount_point(site->cache_path);
}

class SitesTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (geteuid() == 0 && sandbox_dir().empty()) sandbox_dir() = tarn_test::sandbox_enter_self();
  }
  static std::string& sandbox_dir() {
    static std::string dir;
    return dir;
  }
  void SetUp() override {
    TARN_REQUIRE_ROOT();
    site_contexts_init(&ctx);
    server_contexts_init(&ctx);
    client_contexts_init(&ctx);
    vdisk_contexts_init(&ctx);
  }
  void TearDown() override {
    if (!ctx.site_context_ht) return;
    client_contexts_destroy(&ctx);
    vdisk_contexts_destroy(&ctx);
    server_contexts_destroy(&ctx);
    site_contexts_destroy(&ctx);
  }

  proxy_context ctx;
  tarn_test::log_capture logs;
};

TEST_F(SitesTest, CreateIsIdempotentAndRefusesANewCacheVdi) {
  bool created = false;
  site_context* a = site_contexts_create(&ctx, SITE_A, VDI_A, &created);
  ASSERT_NE(a, nullptr);
  EXPECT_TRUE(created);
  EXPECT_TRUE(is_mounted_cache(a)) << a->cache_path;
  EXPECT_GT(a->chunk_size, 0u);
  EXPECT_GT(a->block_size, 0u);

  EXPECT_EQ(site_contexts_create(&ctx, SITE_A, VDI_A, &created), a);
  EXPECT_FALSE(created);

  created = true;
  logs.clear();
  EXPECT_EQ(site_contexts_create(&ctx, SITE_A, VDI_B, &created), nullptr);
  EXPECT_FALSE(created);
  EXPECT_TRUE(
      logs.contains(G_LOG_LEVEL_WARNING, "Unsupported - Can't switch the cache_vdi online."));
  EXPECT_EQ(ctx.site_context_ht->at(SITE_A).get(), a);
  EXPECT_EQ(a->cache_vdi, VDI_A);

  // The refusal left no lock or state behind.
  site_context* b = site_contexts_create(&ctx, SITE_B, VDI_B, nullptr);
  ASSERT_NE(b, nullptr);
  std::string a_path = a->cache_path;
  site_contexts_remove(&ctx, SITE_A);
  EXPECT_EQ(ctx.site_context_ht->count(SITE_A), 0u);
  site_contexts_remove(&ctx, "00000000-0000-4000-8000-00000000dead");  // unknown: silent
  EXPECT_EQ(ctx.site_context_ht->size(), 1u);
  // Removal closed the cache VDI: the lab's script unmounts its file system.
  EXPECT_FALSE(is_mount_point(a_path));
}

TEST_F(SitesTest, NullArgumentsAreReportedAndRefused) {
  logs.clear();
  EXPECT_EQ(site_contexts_create(&ctx, nullptr, VDI_A, nullptr), nullptr);
  EXPECT_EQ(site_contexts_create(nullptr, SITE_A, VDI_A, nullptr), nullptr);
  uint32_t addr = ip("198.18.0.20");
  EXPECT_EQ(server_contexts_create(&ctx, nullptr, SRV_1, &addr, 1, 6910, 6890), nullptr);
  site_context* a = site_contexts_create(&ctx, SITE_A, VDI_A, nullptr);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(server_contexts_create(&ctx, a, SRV_1, &addr, 0, 6910, 6890), nullptr);
  EXPECT_EQ(server_contexts_create(&ctx, a, SRV_1, nullptr, 1, 6910, 6890), nullptr);
  EXPECT_TRUE(logs.contains(G_LOG_LEVEL_CRITICAL, "uuid != NULL && cache_vdi != NULL"));
  EXPECT_TRUE(logs.contains(G_LOG_LEVEL_CRITICAL, "context != NULL"));
  EXPECT_TRUE(logs.contains(G_LOG_LEVEL_CRITICAL, "site_context != NULL"));
  EXPECT_TRUE(logs.contains(G_LOG_LEVEL_CRITICAL, "uuid != NULL && addr != NULL && len != 0"));
  EXPECT_TRUE(ctx.server_context_ht->empty());
}

TEST_F(SitesTest, ServersBelongToTheirSiteAndUpdateInPlace) {
  site_context* a = site_contexts_create(&ctx, SITE_A, VDI_A, nullptr);
  site_context* b = site_contexts_create(&ctx, SITE_B, VDI_B, nullptr);
  ASSERT_TRUE(a && b);

  const uint32_t three[] = {ip("198.18.0.20"), ip("198.18.0.21"), ip("198.18.0.22")};
  server_context* s1 = server_contexts_create(&ctx, a, SRV_1, three, 3, 6910, 6890);
  ASSERT_NE(s1, nullptr);
  const uint32_t b_addr[] = {ip("198.18.1.20")};
  ASSERT_NE(server_contexts_create(&ctx, b, SRV_2, b_addr, 1, 6910, 6890), nullptr);

  EXPECT_TRUE(site_context_contains_server_ip(&ctx, a, ip("198.18.0.22")));
  EXPECT_FALSE(site_context_contains_server_ip(&ctx, a, ip("198.18.1.20")));  // B's only
  EXPECT_TRUE(site_context_contains_server_ip(&ctx, b, ip("198.18.1.20")));

  // Fewer addresses: the same record, no stale address visible, zero slots
  // never match an address of 0.
  const uint32_t one[] = {ip("198.18.0.30")};
  EXPECT_EQ(server_contexts_create(&ctx, a, SRV_1, one, 1, 7000, 6000), s1);
  EXPECT_EQ(s1->address_count, 1u);
  EXPECT_EQ(s1->addresses[1], 0u);
  EXPECT_EQ(s1->addresses[2], 0u);
  EXPECT_EQ(s1->last_port, 7000u);
  EXPECT_EQ(s1->first_port, 6000u);
  EXPECT_FALSE(site_context_contains_server_ip(&ctx, a, ip("198.18.0.21")));
  EXPECT_FALSE(site_context_contains_server_ip(&ctx, a, 0));
  EXPECT_TRUE(site_context_contains_server_ip(&ctx, a, ip("198.18.0.30")));

  // A server named again under another site stays with the site that created it.
  EXPECT_EQ(server_contexts_create(&ctx, b, SRV_1, one, 1, 7000, 6000), s1);
  EXPECT_EQ(s1->site_context, a);
  EXPECT_FALSE(site_context_contains_server_ip(&ctx, b, ip("198.18.0.30")));

  // More than 32 addresses are cut at 32, never written past the array.
  std::vector<uint32_t> many(40);
  for (uint32_t i = 0; i < many.size(); i++) many[i] = htonl(0xC6120100u + i);
  ASSERT_NE(server_contexts_create(&ctx, a, SRV_3, many.data(), 40, 1, 1), nullptr);
  EXPECT_EQ(ctx.server_context_ht->at(SRV_3)->address_count, 32u);
  EXPECT_TRUE(site_context_contains_server_ip(&ctx, a, many[31]));
  EXPECT_FALSE(site_context_contains_server_ip(&ctx, a, many[32]));

  // Removing site A takes its servers only.
  site_contexts_remove(&ctx, SITE_A);
  EXPECT_EQ(ctx.server_context_ht->count(SRV_1), 0u);
  EXPECT_EQ(ctx.server_context_ht->count(SRV_3), 0u);
  EXPECT_EQ(ctx.server_context_ht->count(SRV_2), 1u);
  EXPECT_TRUE(site_context_contains_server_ip(&ctx, b, ip("198.18.1.20")));

  server_contexts_remove(&ctx, SRV_2);
  server_contexts_remove(&ctx, SRV_2);  // unknown now: silent
  EXPECT_FALSE(site_context_contains_server_ip(&ctx, b, ip("198.18.1.20")));
}

// Packet threads look servers up while the control thread reconfigures them.
TEST_F(SitesTest, ConcurrentCreateRemoveAndLookup) {
  site_context* a = site_contexts_create(&ctx, SITE_A, VDI_A, nullptr);
  site_context* b = site_contexts_create(&ctx, SITE_B, VDI_B, nullptr);
  ASSERT_TRUE(a && b);
  const uint32_t fixed[] = {ip("198.18.0.20")};
  ASSERT_NE(server_contexts_create(&ctx, a, SRV_1, fixed, 1, 6910, 6890), nullptr);

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  std::atomic<bool> done{false};
  std::atomic<int> wrong{0};
  std::atomic<long> lookups{0};

  std::vector<std::thread> threads;
  for (int t = 0; t < 2; t++) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 3000 && std::chrono::steady_clock::now() < deadline; i++) {
        std::string uuid =
            "22222222-3333-4000-8000-" + std::to_string(100000000000 + t * 10 + i % 7);
        uint32_t addrs[] = {htonl(0xC6120200u + static_cast<uint32_t>(i % 50)), ip("198.18.1.99")};
        server_contexts_create(&ctx, b, uuid.c_str(), addrs, 1 + i % 2, 6910, 6890);
        if (i % 3 == 0) server_contexts_remove(&ctx, uuid.c_str());
      }
    });
  }
  for (int t = 0; t < 2; t++) {
    threads.emplace_back([&] {
      while (!done) {
        if (!site_context_contains_server_ip(&ctx, a, ip("198.18.0.20"))) wrong++;
        if (site_context_contains_server_ip(&ctx, a, ip("198.18.1.99"))) wrong++;
        lookups++;
      }
    });
  }
  threads.emplace_back([&] {
    for (int i = 0; i < 4 && std::chrono::steady_clock::now() < deadline; i++) {
      site_context* c = site_contexts_create(&ctx, SITE_C, VDI_C, nullptr);
      if (c == nullptr) {
        wrong++;
        continue;
      }
      const uint32_t c_addr[] = {ip("198.18.2.20")};
      server_contexts_create(&ctx, c, SRV_3, c_addr, 1, 1, 1);
      site_contexts_remove(&ctx, SITE_C);
    }
  });
  for (size_t i = 0; i < 2; i++) threads[i].join();
  threads.back().join();
  done = true;
  for (auto& t : threads)
    if (t.joinable()) t.join();

  EXPECT_EQ(wrong, 0);
  EXPECT_GT(lookups, 0);
  EXPECT_EQ(ctx.site_context_ht->count(SITE_C), 0u);
  EXPECT_EQ(ctx.server_context_ht->count(SRV_3), 0u);
  EXPECT_TRUE(site_context_contains_server_ip(&ctx, a, ip("198.18.0.20")));
}

}  // namespace
