// The RRD thread in this process, at the daemon's fixed paths inside a private
// mount namespace, with a real client context on a veth pair in a throwaway
// network namespace: when it samples, and how soon it stops. What it
// publishes is checked on the daemon's own files (tests/e2e/metrics_test.cc).
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>

#include "contexts/proxy_context.h"
#include "core/service_thread.h"
#include "metrics/rrd.h"
#include "support/log_capture.h"
#include "support/metrics_files.h"
#include "support/netns.h"
#include "support/sandbox.h"

namespace {

using tarn_test::eventually;
using tarn_test::exists;
using tarn_test::source_member;

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

const char* CLIENT_A = "9d2f1a3e-0000-4000-8000-0000000000a1";
const uint8_t MAC_A[6] = {0x02, 0x00, 0x00, 0x00, 0x0a, 0x01};

// unshare(CLONE_NEWNS) refuses a threaded process: enter before any test runs.
struct enter_sandbox : ::testing::Environment {
  void SetUp() override {
    if (geteuid() == 0) tarn_test::sandbox_enter_self();
  }
};
const auto* const sandbox_env = ::testing::AddGlobalTestEnvironment(new enter_sandbox);

struct registry {
  proxy_context ctx;
  std::shared_ptr<site_context> site;
  registry() {
    ctx.listener_threads = 1;
    ctx.listener_fanout = 6;  // cbpf
    ctx.packet_mmap = true;
    interface_thread_init(&ctx);
    site_contexts_init(&ctx);
    client_contexts_init(&ctx);
    vdisk_contexts_init(&ctx);
    site = std::make_shared<site_context>();
    site->uuid = "5e1a0000-0000-4000-8000-0000000000e1";
    site->context = &ctx;
    ctx.site_context_ht->emplace(site->uuid, site);
  }
  ~registry() {
    client_contexts_destroy(&ctx);
    vdisk_contexts_destroy(&ctx);
    ctx.site_context_ht.reset();
    interface_thread_destroy(&ctx);
  }
};

TEST(RrdThread, FollowsTheCountersSamplesClientsAfterFourSecondsAndStopsWithinOneSleep) {
  TARN_REQUIRE_ROOT();
  tarn_test::log_capture log;
  log.clear();
  std::ofstream(RRD_INVENTORY_PATH) << "INSTALLATION_UUID='c56a4180-65aa-42ec-a945-5fd21dec0538'\n";
  tarn_test::netns ns("trrd");
  ASSERT_EQ(
      ns.run("ip link add v0 type veth peer name v1 && ip link set v0 up && ip link set v1 up"), 0);
  rrd_set_path(RRD_PATH);
  registry r;
  client_context* a = nullptr;
  {
    tarn_test::netns_enter inside(ns);  // the listener threads inherit it
    a = client_contexts_create(&r.ctx, r.site.get(), CLIENT_A, MAC_A, "v0", false);
  }
  ASSERT_NE(a, nullptr);
  const std::string host_file = RRD_PATH;
  const std::string file_a = std::string(RRD_PATH) + "-" + CLIENT_A;
  auto status = [&] { return source_member(file_a, "tarncache_status", "value"); };
  EXPECT_EQ(status(), "1");  // becoming INITIALISED is a change, published at once

  service_thread rrd{"RRD", -1, &r.ctx, {}};
  service_thread_start(&rrd, rrd_thread);
  struct joiner {
    proxy_context& ctx;
    service_thread& t;
    ~joiner() {
      ctx.stopping = 1;
      if (t.handle.joinable()) t.handle.join();
    }
  } join_at_exit{r.ctx, rrd};

  // The thread's samples follow the registry-wide counters.
  metrics_add_client_sent_b(&r.ctx.metrics, &a->metrics, 4096);
  metrics_set_cache_utilized_p_not_mt(&r.ctx.metrics, 12.5);
  ASSERT_TRUE(eventually(
      [&] { return source_member(host_file, "velorin_space_utilization", "value") == "12.5"; },
      12s));
  EXPECT_EQ(source_member(host_file, "velorin_traffic_client_sent", "value"), "4096");

  // A change that was not published by itself (stored directly) is picked up
  // by the thread, and never sooner than 4 seconds after the client's last
  // sample.
  const auto changed = steady::now();
  client_context_update_status(a, CLIENTSTATUS_CACHING);
  EXPECT_EQ(status(), "2");
  a->status.store(CLIENTSTATUS_INCOMPATIBLE_PROTOCOL_VERSION);
  ASSERT_TRUE(eventually([&] { return status() == "4"; }, 15s));
  EXPECT_GT(steady::now() - changed, 4s);

  // Shutdown is noticed within one 5-second sleep; the host files go.
  const auto stop = steady::now();
  r.ctx.stopping = 1;
  rrd.handle.join();
  EXPECT_LT(steady::now() - stop, 5s);
  EXPECT_TRUE(log.contains(G_LOG_LEVEL_MESSAGE, "RRD Thread stopped"));
  EXPECT_FALSE(exists(host_file));
  EXPECT_FALSE(log.contains(G_LOG_LEVEL_WARNING, ""));
  rrd_set_path(nullptr);
}

}  // namespace
